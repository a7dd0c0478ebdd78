"""Each NAT kind's real behaviour, measured with the stdlib prober: how it maps, what it lets in, and whether
an unsolicited datagram leaves state behind."""

import concurrent.futures
import sys
import time
import unittest

import labsupport
from tarnlab import nat, netns, programs, world

WORKERS = 4
# Noise: flows per second, how many to see before the check, and the bound of that wait.
NOISE_RATE = 20
NOISE_FLOWS = 30
NOISE_WAIT_S = 60.0


def _probe(site, addrs):
    try:
        return [programs.mapped_probe(c, addrs) for c in site.clients]
    except (netns.CommandError, ValueError) as e:
        return e


class NatKindTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        cls.reason = labsupport.lab_unavailable()
        if cls.reason:
            return
        w = labsupport.new_server_world(cls)
        cls.server_addrs = cls.server.addrs
        cls.sites = {k.name: w.add_site(k, name=k.name.replace(":", "-").replace("+", "-"))
                     for k in nat.STANDARD_KINDS + nat.LAYERED_KINDS + nat.STATEFUL_KINDS + nat.PORTMAP_KINDS}
        cls.shared = {k: w.add_site(k, clients=2, name=f"{k}-x2") for k in ("full-cone", "port-restricted")}
        cls.hairpinned = [w.add_site(k, clients=2, name=f"{k}-hp".replace(":", "-"), hairpin=True)
                          for k in ("full-cone", "port-restricted", "symmetric:1")]
        cls.isolated = w.add_site("port-restricted", name="iso", isolated_first=True)
        cls.world = w
        cls.noisy = w.add_site("symmetric:1", name="noisy")
        programs.MappedResponder(cls.server).start()
        measured = list(cls.sites.values()) + list(cls.shared.values())
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            results = list(pool.map(lambda s: _probe(s, cls.server_addrs), measured))
            cls.paths = dict(zip(cls.sites, pool.map(lambda s: programs.trace(s.clients[0], cls.server_addrs[0]),
                                                     cls.sites.values())))
        cls.results = {id(site): r for site, r in zip(measured, results)}

    def measured(self, site):
        result = self.results[id(site)]
        if isinstance(result, Exception):
            self.fail(f"prober failed at {site.kind.name}: {result}")
        return result

    def kinds_probed(self, probe):
        """(name, site) of every measured kind whose row asks the kind test for probe."""
        found = [(name, site) for name, site in self.sites.items() if probe in site.kind.probes]
        self.assertTrue(found, f"no kind asks for {probe}")
        return found

    def testMappingFollowsTheKind(self):
        # How the row picks the public port: the client's own endpoint, the local port kept, the kind's step, or
        # a port that varies per destination.
        for name, site in self.kinds_probed(nat.PROBE_MAPPING):
            with self.subTest(kind=name):
                client = site.clients[0]
                r = self.measured(site)[0]
                local = tuple(r["local"])
                mapped = [tuple(m) for m in r["mapped"]]
                ports = [p for _, p in mapped]
                self.assertEqual(local[0], client.addr)
                rule = site.kind.row.ports
                if rule == nat.OWN:
                    self.assertEqual(mapped, [local] * 4)
                    continue
                self.assertEqual({a for a, _ in mapped}, {client.public_addr})
                if rule == nat.KEPT:
                    self.assertEqual(ports, [local[1]] * 4)
                elif rule == nat.RANDOM:
                    self.assertGreater(len(set(ports)), 1, f"one public port for four destinations: {ports}")
                else:
                    self.assertEqual([b - a for a, b in zip(ports, ports[1:])], [site.kind.step] * 3, ports)
                    self.assertTrue(set(ports) <= set(site.kind.mapping_ports()), ports)

    def testInboundFilteringFollowsTheKind(self):
        for name, site in self.kinds_probed(nat.PROBE_FILTERING):
            with self.subTest(kind=name):
                self.assertEqual(self.measured(site)[0]["admitted"], nat.ADMITTED[site.kind.row.filtering])

    def testUnsolicitedDatagramLeavesNoStateBehind(self):
        # It reaches the client only through a NAT that filters by nothing; the stateful kinds show plain kernel
        # behaviour, which the lab measures but does not assert.
        for name, site in self.kinds_probed(nat.PROBE_UNSOLICITED):
            with self.subTest(kind=name):
                u = self.measured(site)[0]["unsolicited"]
                self.assertEqual(u["arrived"], site.kind.row.filtering == nat.EIF)
                self.assertEqual(u["mappedPort"], u["localPort"], "the unsolicited datagram claimed the port")

    def testClientsOfOneSiteShareOrOwnOutsideAddressesByKind(self):
        for name, site in self.shared.items():
            with self.subTest(kind=name):
                results = self.measured(site)
                self.assertEqual(len(results), 2)
                outside = [{a for a, _ in r["mapped"]} for r in results]
                self.assertEqual(outside, [{c.public_addr} for c in site.clients])
                self.assertEqual([r["local"][0] for r in results], [c.addr for c in site.clients])
                if site.kind.one_to_one:
                    self.assertNotEqual(site.clients[0].public_addr, site.clients[1].public_addr)
                else:
                    self.assertEqual(site.clients[0].public_addr, site.clients[1].public_addr)
                for r in results:
                    self.assertEqual({p for _, p in r["mapped"]}, {r["local"][1]})

    def testTheWayOutCrossesEachNatThenTheIspHop(self):
        # A datagram with TTL n dies at the n-th router out (the site's NATs, then its ISP hop); one more arrives.
        for name, site in self.sites.items():
            with self.subTest(kind=name):
                self.assertEqual(self.paths[name], site.hops + ["arrived"])
                self.assertEqual(len(site.hops), len(site.kind.layers) + bool(site.kind.layers))
                if site.router:
                    link = site.isp.run(["ip", "-4", "-o", "addr", "show", "dev", world.HOP_DOWN_IF]).stdout
                    self.assertIn(f"inet {site.hops[-1]}/32", link, "the last hop before the internet is the ISP's")

    def testHairpinningTurnsADatagramToTheOwnOutsideAddressBackIn(self):
        # (site, whether a datagram to a neighbour's outside endpoint reaches it from the sender's outside address)
        table = [(s, True) for s in self.hairpinned] + [(s, False) for s in self.shared.values()]
        for site, turned in table:
            with self.subTest(kind=site.kind.name, hairpin=site.hairpin):
                sender, receiver = site.clients
                source = programs.hairpin_source(sender, receiver, self.server_addrs[0])
                if turned:
                    self.assertEqual(source and source[0], sender.public_addr)
                else:
                    self.assertIsNone(source)

    def testNoiseTakesANewPublicPortPerFlowUntilStopped(self):
        site = self.noisy
        # Slow enough that the ports cannot wrap around while the check runs.
        self.world.set_noise(site, NOISE_RATE)
        process = site.noise_process
        deadline = time.monotonic() + NOISE_WAIT_S
        while (self.world.noise_report(site) or {}).get("flows", 0) < NOISE_FLOWS and time.monotonic() < deadline:
            time.sleep(netns.POLL_INTERVAL)  # the process reports to a file, once a second
        self.assertGreaterEqual(self.world.noise_report(site)["flows"], NOISE_FLOWS)
        neighbour = f"src={site.neighbour.run(['hostname', '-I']).stdout.split()[0]} "
        entries = [line.split() for line in site.router.run(["cat", "/proc/net/nf_conntrack"]).stdout.splitlines()
                   if neighbour in line and f"dst={self.world.sink.addrs[0]} " in line]
        # The last dport of an entry is the public port the flow was given.
        ports = [int([f for f in e if f.startswith("dport=")][-1][6:]) for e in entries]
        self.assertGreaterEqual(len(ports), NOISE_FLOWS)
        self.assertEqual(len(set(ports)), len(ports), "two flows shared a public port")
        self.assertTrue(set(ports) <= set(site.kind.mapping_ports()))
        self.world.set_noise(site, 0)
        self.assertIsNone(site.noise_process)
        self.assertEqual(process.wait(0), 0, "the noise process ends cleanly on SIGTERM")
        self.assertEqual(netns.run(["ip", "netns", "pids", site.neighbour.name]).stdout.split(), [])

    def testOnlyTheSiteAddressReachesTheInternet(self):
        client = self.isolated.clients[0]
        self.assertEqual(len(client.search_addrs), 2)
        isolated, site_addr = client.search_addrs
        self.assertEqual(site_addr, client.addr)
        stray = client.ns.run([sys.executable, programs.MAPPED_SCRIPT, "probe", "--bind", isolated,
                               "--server", ",".join(self.server_addrs),
                               "--ports", ",".join(str(p) for p in programs.DEFAULT_PORTS),
                               "--public", client.public_addr], timeout=programs.MAPPED_PROBE_TIMEOUT_S,
                              check=False)
        self.assertEqual(stray.returncode, 3, stray.stderr)
        self.assertIn("no answer", stray.stderr)
        r = programs.mapped_probe(client, self.server_addrs)
        self.assertEqual({tuple(m) for m in r["mapped"]}, {(client.public_addr, r["local"][1])})


class NatKindNameTest(unittest.TestCase):
    """Kind names as the command line and World.add_site take them; needs no namespaces."""

    def testNamesParseOrAreRefusedWithAReason(self):
        table = [
            # (text, canonical name or None when refused, words the refusal must contain)
            ("none", "none", ""),
            ("symmetric:2", "symmetric:2", ""),
            (" port-restricted:stateful ", "port-restricted:stateful", ""),
            ("symmetric:1:stateful", "symmetric:1:stateful", ""),
            ("double-nat:stateful", "double-nat:stateful", ""),
            ("double-nat:2", None, "takes no port step"),
            ("symmetric", None, "step 0 out of range"),
            ("symmetric:46", None, "step 46 out of range"),
            ("symmetric:x", None, "bad port step"),
            ("full-cone:stateful", None, "no stateful variant"),
            ("full-cone:3", None, "takes no port step"),
            ("moat", None, "unknown NAT kind"),
            ("symmetric:1:2:3", None, "bad NAT kind"),
            ("symmetric-random+pmp", "symmetric-random+pmp", ""),
            ("symmetric:2:stateful+lying", "symmetric:2:stateful+lying", ""),
            ("double-nat+upnp", "double-nat+upnp", ""),
            ("full-cone+pmp", None, "takes no port mapping"),
            ("none+natpmp", None, "takes no port mapping"),
            ("port-restricted+moat", None, "unknown port mapping"),
            ("port-restricted+", None, "follows the + sign"),
        ]
        for text, name, refusal in table:
            with self.subTest(text=text):
                if name is None:
                    with self.assertRaises(ValueError) as caught:
                        nat.parse_kind(text)
                    self.assertIn(refusal, str(caught.exception))
                else:
                    self.assertEqual(nat.parse_kind(text).name, name)

    def testSequentialPortsStayInsideThePortRange(self):
        for step in (1, 2, 45):
            with self.subTest(step=step):
                ports = nat.NatKind(nat.SYMMETRIC, step).mapping_ports()
                self.assertEqual(len(ports), nat.SEQ_SLOTS)
                self.assertEqual(ports[0], nat.SEQ_BASE_PORT)
                self.assertLessEqual(ports[-1], 65535)
                self.assertEqual({b - a for a, b in zip(ports, ports[1:])}, {step})


if __name__ == "__main__":
    unittest.main()
