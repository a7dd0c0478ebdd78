"""Lossy sites: the drop rules a site carries, and the two ends of the scale, where the outcome is certain.

Random loss in between is measured by bench/p2p/loss.py, never asserted here.
"""

import sys
import unittest

import labsupport
from tarnlab import nat

DATAGRAMS = 5
# How long a sink waits for a datagram that full loss must keep away; at no loss it ends on the last arrival.
QUIET_S = 1.0
SINK_TIMEOUT_S = 10.0
FIRST_PORT = 15000
SINK = ("import socket, sys\n"
        "addr, port, wanted, quiet = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "s.bind((addr, port))\n"
        "s.settimeout(quiet)\n"
        "n = 0\n"
        "try:\n"
        "    while n < wanted:\n"
        "        s.recv(64)\n"
        "        n += 1\n"
        "except socket.timeout:\n"
        "    pass\n"
        "print(n)\n")
SOURCE = ("import socket, sys\n"
          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
          "for _ in range(int(sys.argv[3])):\n"
          "    s.sendto(b'lossy?', (sys.argv[1], int(sys.argv[2])))\n")


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

    def testFullLossStopsEveryDatagramEachWayAndNoLossNone(self):
        server = self.server.ns
        port = FIRST_PORT
        for (kind, loss), site in self.sites.items():
            client = site.clients[0]
            # (direction, receiving namespace, address it binds, sending namespace, address sent to)
            ways = [("out", server, self.server.addrs[0], client.ns, self.server.addrs[0]),
                    ("in", client.ns, client.addr, server, client.public_addr)]
            for direction, sink_ns, bind, source_ns, to in ways:
                port += 1
                with self.subTest(kind=kind, loss=loss, direction=direction):
                    sink = sink_ns.spawn([sys.executable, "-c", SINK, bind, port, DATAGRAMS, QUIET_S],
                                         f"sink{port}")
                    sink_ns.wait_udp_listening([(bind, port)], sink, SINK_TIMEOUT_S)
                    source_ns.run([sys.executable, "-c", SOURCE, to, port, DATAGRAMS])
                    self.assertEqual(sink.wait(SINK_TIMEOUT_S), 0)
                    arrived = int(sink.output()[0])
                    self.assertEqual(arrived, 0 if loss == 100 else DATAGRAMS)


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
