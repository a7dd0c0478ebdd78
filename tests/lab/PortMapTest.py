"""Mapping routers, checked with Debian's own client tools: what each one answers, whether a mapped port
forwards, and the clean-up helper that lists what a router still holds."""

import concurrent.futures
import unittest

import labsupport
from tarnlab import nat, portmap

# Kind -> (natpmpc gets a mapping, PCP answers, upnpc gets a mapping, a mapped port forwards).
ROUTERS = {
    "port-restricted+pmp": (True, True, False, True),
    "symmetric-random+natpmp": (True, False, False, True),
    "port-restricted+upnp": (False, False, True, True),
    "symmetric:1+lying": (True, True, True, False),
}
LEASE_S = 60
FIRST_PORT = 40000


class PortMapTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        cls.reason = labsupport.lab_unavailable()
        if cls.reason:
            return
        cls.world = w = labsupport.new_server_world(cls)
        cls.sites = {k: w.add_site(k, name=k.replace(":", "-").replace("+", "-")) for k in ROUTERS}
        cls.rebooted = w.add_site("port-restricted+natpmp", name="reboot")

    def grant(self, site, port, lifetime=LEASE_S):
        """Asks the site's router for a mapping of port with the first tool it answers; the public port."""
        natpmp, _, upnp, _ = ROUTERS[site.kind.name]
        if natpmp:
            return portmap.natpmpc_map(site.clients[0], site.gateway, port, lifetime)
        return portmap.upnpc_map(site.clients[0], port, lifetime) if upnp else None

    def testEachRouterAnswersItsProtocolsAlone(self):
        def ask(site):
            client = site.clients[0]
            port = FIRST_PORT + list(self.sites.values()).index(site)
            return (portmap.natpmpc_map(client, site.gateway, port, LEASE_S) is not None,
                    portmap.pcp_answer(client, site.gateway).get("answer") is not None,
                    portmap.upnpc_map(client, port + 100, LEASE_S) is not None)

        with concurrent.futures.ThreadPoolExecutor(len(self.sites)) as pool:
            answers = dict(zip(self.sites, pool.map(ask, self.sites.values())))
        for name, row in ROUTERS.items():
            with self.subTest(kind=name):
                self.assertEqual(answers[name], row[:3])

    def testAMappedPortForwardsUnlessTheRouterLies(self):
        for name, (*_, forwards) in ROUTERS.items():
            with self.subTest(kind=name):
                site = self.sites[name]
                public = self.grant(site, FIRST_PORT + 10)
                self.assertIsNotNone(public, "no mapping granted")
                source = portmap.inbound_source(site.clients[0], FIRST_PORT + 10, self.server,
                                                (site.wan_addrs[0], public))
                self.assertEqual(source and source[0], self.server.addrs[0] if forwards else None)

    def testTheCleanUpCheckSeesAMappingUntilItIsDeleted(self):
        site = self.sites["port-restricted+pmp"]
        client, port = site.clients[0], FIRST_PORT + 20
        self.assertEqual(self.grant(site, port), port)
        self.assertIn(portmap.Mapping("UDP", port, (client.addr, port)), portmap.mappings_left(site.router, 0))
        self.grant(site, port, lifetime=0)
        self.assertNotIn(port, [m.external_port for m in portmap.mappings_left(site.router)])

    def testARestartedDaemonForgetsItsMappingsAndGrantsAgain(self):
        site = self.rebooted
        client, port = site.clients[0], FIRST_PORT + 30
        self.assertEqual(portmap.natpmpc_map(client, site.gateway, port, LEASE_S), port)
        old = site.portmap
        self.world.restart_portmap(site)
        self.assertFalse(old.running())
        self.assertEqual(portmap.mappings(site.router), [])
        self.assertEqual(portmap.natpmpc_map(client, site.gateway, port, LEASE_S), port)
        self.assertEqual(len(portmap.mappings(site.router)), 1)


class PortMapRowTest(unittest.TestCase):
    """The daemon's rules as the clean-up check reads them; needs no namespaces."""

    def testDaemonRulesReadAsMappings(self):
        table = [
            ('iif "wan" @nh,72,8 0x11 th dport 4000 dnat ip to 10.1.0.10:4000',
             portmap.Mapping("UDP", 4000, ("10.1.0.10", 4000))),
            ('iif "wan" ip saddr 198.51.100.1 @nh,72,8 0x6 th dport 5000 dnat ip to 10.1.0.11:5001',
             portmap.Mapping("TCP", 5000, ("10.1.0.11", 5001))),
            ('iif "wan" udp dport 4002 dnat ip to 10.1.0.10:4003', portmap.Mapping("UDP", 4002, ("10.1.0.10", 4003))),
            ("chain prerouting_miniupnpd {", None),
        ]
        for line, mapping in table:
            with self.subTest(line=line):
                self.assertEqual(portmap._rule_mapping(line), mapping)

    def testOnlyAForwardingRouterReachesItsRules(self):
        for name, option in portmap.OPTIONS.items():
            with self.subTest(option=name):
                table = "\n".join(option.nft_table(nat.LAN_IF))
                self.assertEqual(f"jump {portmap.PREROUTING_CHAIN}" in table, option.forwards)
                self.assertEqual("@th,64,8 != 0 drop" in table, option.natpmp and not option.pcp)


if __name__ == "__main__":
    unittest.main()
