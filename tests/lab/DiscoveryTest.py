"""`tarn-probe discover` behind each kind of kernel NAT, against the real tarn-rendezvous."""

import unittest

import labsupport
from tarnlab import nat, programs

# Silence costs the probe (retries + 1) x discovery timeout per local address; this bounds it generously.
SILENT_EXIT_BOUND_S = 10.0


class DiscoveryTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        cls.sites = {k.name: w.add_site(k, name=k.name.replace(":", "-")) for k in nat.STANDARD_KINDS + nat.LAYERED_KINDS}
        cls.two_interfaces = w.add_site("port-restricted", name="twoif", isolated_first=True)
        cls.silent = w.add_silent_host()
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()

    def discover(self, client, addrs=None, extra=()):
        return programs.discover(client, self.bin, addrs or self.server.addrs, extra=extra)

    def checkSite(self, kind, nat_type, behavior, increment, extra=()):
        """Discovery at the site of kind reports nat_type, behavior and increment (None: any value >= 0)."""
        site = self.sites[kind]
        client = site.clients[0]
        d = self.discover(client, extra=extra)
        self.assertEqual(d.returncode, programs.EXIT_VALID, d.describe())
        self.assertIsNotNone(d.topology, d.describe())
        t = d.topology
        self.assertEqual((t.nat_type, t.behavior), (nat_type, behavior), d.describe())
        if increment is None:
            self.assertGreaterEqual(t.increment, 0, d.describe())
        else:
            self.assertEqual(t.increment, increment, d.describe())
        self.assertEqual(t.local_addr, client.addr, d.describe())
        self.assertGreater(t.local_port, 0, d.describe())
        self.assertEqual(t.public_addr, client.public_addr, d.describe())
        # The same NAT in today's terms, as the site's kind says.
        expected = site.kind.expected
        self.assertEqual((t.mapping, t.filtering), (expected.mapping, expected.filtering), d.describe())
        return t

    def testNoNatReportsTheHostsOwnEndpoint(self):
        t = self.checkSite("none", "NONE", "NOT SENSITIVE", 0)
        self.assertEqual((t.public_addr, t.public_port), (t.local_addr, t.local_port))

    def testFullCone(self):
        t = self.checkSite("full-cone", "FULL CONE", "NOT SENSITIVE", 0)
        self.assertEqual(t.public_port, t.local_port, "a one-to-one translation keeps the port")

    def testRestrictedCone(self):
        t = self.checkSite("restricted-cone", "RESTRICTED CONE", "ADDRESS SENSITIVE", 0)
        self.assertEqual(t.public_port, t.local_port, "a one-to-one translation keeps the port")

    def testPortRestrictedCone(self):
        t = self.checkSite("port-restricted", "PORT RESTRICTED CONE", "PORT SENSITIVE", 0)
        self.assertEqual(t.public_port, t.local_port, "masquerading keeps a free port")

    def testDoubleNatLooksLikeOnePortRestrictedCone(self):
        t = self.checkSite("double-nat", "PORT RESTRICTED CONE", "PORT SENSITIVE", 0)
        self.assertEqual(t.public_port, t.local_port, "both layers keep a free port")

    def testSymmetricWithPortStepOne(self):
        t = self.checkSite("symmetric:1", "SYMMETRIC", "PORT SENSITIVE", 1)
        self.assertIn(t.public_port, self.sites["symmetric:1"].kind.mapping_ports())

    def testSymmetricWithPortStepTwo(self):
        t = self.checkSite("symmetric:2", "SYMMETRIC", "PORT SENSITIVE", 2)
        self.assertIn(t.public_port, self.sites["symmetric:2"].kind.mapping_ports())

    def testSymmetricWithRandomPorts(self):
        self.checkSite("symmetric-random", "SYMMETRIC", "PORT SENSITIVE", None)

    def testOverlappedOrderFindsTheSameWithinOneTimeOut(self):
        for kind in nat.STANDARD_KINDS:
            with self.subTest(kind.name):
                e = kind.expected
                self.checkSite(kind.name, e.nat_type, e.behavior, e.increment, extra=["--fast"])
        # Both change tests stay silent: the documented order waits two time-outs (1000 ms at the
        # default 500 ms) by construction, the overlapped one a single one.
        d = self.discover(self.sites["port-restricted"].clients[0], extra=["--fast"])
        self.assertLess(d.discovery_ms, 1000, d.describe())

    def testBindingSearchSkipsAnInterfaceThatCannotReachTheServer(self):
        client = self.two_interfaces.clients[0]
        self.assertEqual(client.search_addrs[1], client.addr, "the reachable address comes second")
        d = self.discover(client)
        self.assertEqual(d.returncode, programs.EXIT_VALID, d.describe())
        t = d.topology
        self.assertEqual(t.local_addr, client.addr, d.describe())
        self.assertEqual((t.nat_type, t.public_addr), ("PORT RESTRICTED CONE", client.public_addr), d.describe())
        self.assertIn(client.search_addrs[0], d.log, "the first address was tried first")

    def testSilentServerMakesTheProbeExitThreePromptly(self):
        d = self.discover(self.sites["none"].clients[0], self.silent.addrs)
        self.assertEqual(d.returncode, programs.EXIT_UNREACHABLE, d.describe())
        self.assertLess(d.elapsed, SILENT_EXIT_BOUND_S, d.describe())

    def testRendezvousExitsCleanlyOnSigterm(self):
        spare = programs.Rendezvous(self.silent, self.bin, ports=(14434, 14435)).start()
        self.assertEqual(spare.stop(), 0, spare.process.output())


if __name__ == "__main__":
    unittest.main()
