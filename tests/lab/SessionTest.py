"""`tarn-probe session` between sites of the lab: who reaches whom, and how, behind textbook NATs."""

import concurrent.futures
import re
import unittest

import labsupport
from tarnlab import programs, session

# Games that run side by side; each uses sites of its own.
PARALLEL_GAMES = 4
# DEBUG shows each round and the relay requests in tarn.log, for the checks and for a failure's story.
CONFIG = {"tarn.loglevel": "DEBUG"}
# Two symmetric players whose NATs others share: flows per second at each, games at most until one is direct.
BUSY_NOISE = 20
BUSY_GAMES = 3


class SessionTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        site = lambda kind, name, clients=1: w.add_site(kind, clients=clients, name=name)  # noqa: E731
        cls.sites = {
            "prc-lan": site("port-restricted", "prclan", clients=2),
            "prc-a": site("port-restricted", "prca"),
            "prc-b": site("port-restricted", "prcb"),
            "sym1-a": site("symmetric:1", "syma"),
            "fc-a": site("full-cone", "fca"),
            "sym1-b": site("symmetric:1", "symb"),
            "prc-c": site("port-restricted", "prcc"),
            "sym1-c": site("symmetric:1", "symc"),
            "sym1-d": site("symmetric:1", "symd"),
            "rnd-a": site("symmetric-random", "rnda"),
            "prc-d": site("port-restricted", "prcd"),
            # The game of four.
            "g-fc": site("full-cone", "gfc"),
            "g-prc": site("port-restricted", "gprc"),
            "g-sym": site("symmetric:1", "gsym"),
            "g-rnd": site("symmetric-random", "grnd"),
            # The game of three.
            "t-sym-a": site("symmetric:1", "tsyma"),
            "t-sym-b": site("symmetric:1", "tsymb"),
            "t-prc": site("port-restricted", "tprc"),
            # Two symmetric players with a full cone and a port-restricted one.
            "q-sym-a": site("symmetric:1", "qsyma"),
            "q-sym-b": site("symmetric:1", "qsymb"),
            "q-fc": site("full-cone", "qfc"),
            "q-prc": site("port-restricted", "qprc"),
            # Routers that keep state for unsolicited datagrams, each behind an ISP hop.
            "st-prc-a": site("port-restricted:stateful", "stprca"),
            "st-prc-b": site("port-restricted:stateful", "stprcb"),
            "busy-a": w.add_site("symmetric:1", name="busya", noise=BUSY_NOISE),
            "busy-b": w.add_site("symmetric:1", name="busyb", noise=BUSY_NOISE),
        }
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()
        # Every game runs at once: what one game does at its sites cannot reach another's.
        games = {
            "same router": [c for c in cls.sites["prc-lan"].clients],
            "two port-restricted": [cls.client("prc-a"), cls.client("prc-b")],
            "symmetric and full cone": [cls.client("sym1-a"), cls.client("fc-a")],
            "symmetric and port-restricted": [cls.client("sym1-b"), cls.client("prc-c")],
            "two symmetric": [cls.client("sym1-c"), cls.client("sym1-d")],
            "random ports and port-restricted": [cls.client("rnd-a"), cls.client("prc-d")],
            "four sites": [cls.client(k) for k in ("g-fc", "g-prc", "g-sym", "g-rnd")],
            "two symmetric and port-restricted": [cls.client(k) for k in ("t-sym-a", "t-sym-b", "t-prc")],
            "two symmetric, full cone and port-restricted":
                [cls.client(k) for k in ("q-sym-a", "q-sym-b", "q-fc", "q-prc")],
            "two stateful port-restricted": [cls.client("st-prc-a"), cls.client("st-prc-b")],
        }
        with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
            futures = {name: pool.submit(session.play, clients, cls.bin, cls.server.addrs,
                                         game=name.replace(" ", "-"), config=CONFIG)
                       for name, clients in games.items()}
            busy = pool.submit(cls.playBusy)
            cls.games = {name: f.result() for name, f in futures.items()}
            cls.busy = busy.result()

    @classmethod
    def playBusy(cls):
        """Games of the two busy symmetric sites until one ends direct on both sides, BUSY_GAMES at most."""
        played = []
        while len(played) < BUSY_GAMES and (not played or played[-1].between(1, 2) != (session.DIRECT_PUBLIC,) * 2):
            played.append(session.play([cls.client("busy-a"), cls.client("busy-b")], cls.bin, cls.server.addrs,
                                       game=f"busy-{len(played)}", config=CONFIG))
        return played

    @classmethod
    def client(cls, site):
        return cls.sites[site].clients[0]

    def checkPair(self, game, a_sees_b, b_sees_a):
        s = self.games[game]
        for run in s.runs:
            self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
        self.assertEqual(s.between(1, 2), (a_sees_b, b_sees_a), s.describe())
        self.checkFailures(s)
        return s

    def checkFailures(self, s):
        """Each player's report counts exactly the peers it marked for relay, and itself as SELF."""
        for run in s.runs:
            connections = run.connections
            self.assertEqual(connections.get(run.identifier), "SELF", s.describe())
            self.assertEqual(run.failures, sum(1 for c in connections.values() if c == session.RELAY),
                             s.describe())

    def testSecondClientBehindTheSameRouterIsReachedPrivately(self):
        self.checkPair("same router", session.DIRECT_PRIVATE, session.DIRECT_PRIVATE)

    def testTwoPortRestrictedSitesReachEachOtherPublicly(self):
        s = self.checkPair("two port-restricted", session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)
        # Each side saw the other at its router's outside address.
        seen = {p["identifier"]: p for p in s.runs[0].result["peers"]}
        self.assertEqual(seen[2]["publicAddr"], self.client("prc-b").public_addr, s.describe())

    def testPrimersKeepTheMappingFromAStatefulRouter(self):
        # Without primers the first public ping to arrive takes the port the other side's mapping
        # needs; the primers open both mappings during the private round, half a second earlier.
        self.checkPair("two stateful port-restricted", session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)

    def testSymmetricStepOneReachesFullCone(self):
        self.checkPair("symmetric and full cone", session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)

    def testSymmetricStepOneReachesPortRestrictedByPredictionAndRelayedPing(self):
        s = self.checkPair("symmetric and port-restricted", session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)
        self.assertIn("Sent PING_RELAY message to", s.runs[0].log, s.describe())

    def testTwoSymmetricStepOneSitesReachEachOtherThroughRelayedPings(self):
        self.checkPair("two symmetric", session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)

    def testRandomPortsAndPortRestrictedNeedTheRelay(self):
        s = self.checkPair("random ports and port-restricted", session.RELAY, session.RELAY)
        self.assertEqual([r.failures for r in s.runs], [1, 1], s.describe())

    def testGameOfFourSites(self):
        s = self.games["four sites"]
        for run in s.runs:
            self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
        self.checkFailures(s)
        # Players 1 full cone, 2 port-restricted, 3 symmetric step 1, 4 symmetric random ports.
        expected = {
            (1, 2): session.DIRECT_PUBLIC, (1, 3): session.DIRECT_PUBLIC, (1, 4): session.DIRECT_PUBLIC,
            (2, 3): session.DIRECT_PUBLIC, (2, 4): session.RELAY, (3, 4): session.RELAY,
        }
        for (a, b), connection in expected.items():
            self.assertEqual(s.between(a, b), (connection, connection), f"players {a} and {b}\n" + s.describe())
        self.assertEqual([r.failures for r in s.runs], [0, 1, 1, 2], s.describe())

    def checkEveryPairDirect(self, game):
        s = self.games[game]
        for run in s.runs:
            self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
        self.checkFailures(s)
        players = range(1, len(s.runs) + 1)
        for a in players:
            for b in players:
                if a < b:
                    self.assertEqual(s.between(a, b), (session.DIRECT_PUBLIC, session.DIRECT_PUBLIC),
                                     f"players {a} and {b}\n" + s.describe())

    def testTwoSymmetricPlayersAndAPortRestrictedOneReachEachOther(self):
        # Each symmetric player pings the port-restricted one first, then answers the other
        # symmetric player from the block of ports it announced to that player alone.
        self.checkEveryPairDirect("two symmetric and port-restricted")

    def testTwoSymmetricPlayersWithAFullConeAndAPortRestrictedOneReachEachOther(self):
        self.checkEveryPairDirect("two symmetric, full cone and port-restricted")

    def testTwoSymmetricPlayersWhoseNatsOthersShareReachEachOther(self):
        story = "\n\n".join(s.describe() for s in self.busy)
        self.assertEqual(self.busy[-1].between(1, 2), (session.DIRECT_PUBLIC, session.DIRECT_PUBLIC), story)
        # Discovery saw the others' flows (a discovery across the lab's wrap of ports may see none).
        rates = [float(m) for s in self.busy for r in s.runs
                 for m in re.findall(r"runPlan001\] Other hosts take (\S+) ports per second", r.log)]
        self.assertGreater(max(rates, default=-1), 0, story)


if __name__ == "__main__":
    unittest.main()
