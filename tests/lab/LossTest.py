"""Lossy sites: the drop rules a site carries, and the two ends of the scale, where the outcome is certain.

Random loss in between is measured by bench/p2p/loss.py, never asserted here.
"""

import unittest

import labsupport
from tarnlab import nat, netns, programs


def drop_rules(ns, family, interface):
    """The listed drop rules of the loss table in ns that name interface."""
    listing = ns.run(["nft", "list", "table", family, nat.LOSS_TABLE], check=False).stdout
    return [line.strip() for line in listing.splitlines() if line.strip().endswith(" drop")
            and f'"{interface}"' in line]


class LossTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        cls.reason = labsupport.lab_unavailable()
        if cls.reason:
            return
        cls.world = labsupport.new_server_world(cls)
        cls.sites = {(kind, loss): cls.world.add_site(kind, name=f"{kind}-{loss}", loss=loss)
                     for kind in ("full-cone", "none") for loss in (0, 100)}
        programs.MappedResponder(cls.server).start()
        cls.changing = {kind: cls.world.add_site(kind, name=f"{kind}-x") for kind in ("port-restricted", "none")}

    def testEachSiteDropsTheChosenShareEachWay(self):
        # percent -> the condition of both drop rules, or None for no rule at all
        table = [(7, "ip protocol udp numgen random mod 100 < 7"), (100, "ip protocol udp"), (0, None)]
        for percent, condition in table:
            for kind, site in self.changing.items():
                with self.subTest(percent=percent, kind=kind):
                    self.world.set_loss(site, percent)
                    if site.router:
                        rules = drop_rules(site.router, "ip", nat.WAN_IF)
                        interface = nat.WAN_IF
                    else:
                        interface = site.ports[0]
                        rules = drop_rules(self.world.internet.ns, "bridge", interface)
                    expected = [] if condition is None else [f'{d} "{interface}" {condition} drop'
                                                             for d in ("iifname", "oifname")]
                    self.assertEqual(rules, expected)
                    self.assertEqual(site.loss, percent)

    def testFullLossStopsEveryDatagramAndNoLossNone(self):
        for (kind, loss), site in self.sites.items():
            client = site.clients[0]
            with self.subTest(kind=kind, loss=loss):
                if loss == 100:
                    with self.assertRaises(netns.CommandError) as caught:
                        programs.mapped_probe(client, self.server.addrs)
                    self.assertIn("no answer", str(caught.exception))
                    continue
                r = programs.mapped_probe(client, self.server.addrs)
                self.assertEqual({a for a, _ in r["mapped"]}, {client.public_addr}, "every server endpoint answered")
                self.assertTrue(r["unsolicited"]["arrived"], "a datagram nobody asked for came in")


class LossValueTest(unittest.TestCase):
    """The loss a world or site takes; needs no namespaces."""

    def testOnlyWholePercentagesUpToAHundredAreTaken(self):
        for value, taken in [(0, True), (1, True), (100, True), (-1, False), (101, False), (2.5, False),
                             ("5", False), (True, False)]:
            with self.subTest(value=value):
                if taken:
                    self.assertEqual(nat.check_loss(value), value)
                else:
                    with self.assertRaises(ValueError):
                        nat.check_loss(value)


if __name__ == "__main__":
    unittest.main()
