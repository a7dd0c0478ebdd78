"""The client at a distance: discovery is right at D = 300 ms per hop crossing (a 600 ms round trip to the
server), and two step-1 symmetric players connect directly at D = 100 (400 ms between them), both seeing the
same, in both modes. The waits follow the round trip only once the client measures it: see BENCHMARKS.md."""

import concurrent.futures
import unittest

import labsupport
from tarnlab import delay, programs, session
from tarnlab.commands import discovery_mismatches

DISCOVERY_D_MS = 300
GAME_D_MS = 100
DISCOVERY_KINDS = ("full-cone", "restricted-cone", "port-restricted", "symmetric:1")
MODES = {"documented": {}, "overlap": programs.FAST_CONFIG}
PARALLEL = 4


class DistanceTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        far, near = delay.ten_percent_jitter(DISCOVERY_D_MS), delay.ten_percent_jitter(GAME_D_MS)
        sites = {k: w.add_site(k, name=f"far{n}", delay=far) for n, k in enumerate(DISCOVERY_KINDS)}
        players = [w.add_site("symmetric:1", name=f"sym{n}", delay=near).clients[0] for n in range(2)]
        rendezvous = programs.Rendezvous(cls.server, cls.bin).start()
        cls.addClassCleanup(rendezvous.stop)
        with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
            found = {(k, m): pool.submit(programs.discover, s.clients[0], cls.bin, cls.server.addrs, config=c)
                     for m, c in MODES.items() for k, s in sites.items()}
            cls.discoveries = {key: (sites[key[0]], f.result()) for key, f in found.items()}
        cls.games = {m: session.play(players, cls.bin, cls.server.addrs, game=f"far-{m}", config=c)
                     for m, c in MODES.items()}

    def testDiscoveryIsRightAtD300(self):
        for (kind, mode), (site, d) in self.discoveries.items():
            with self.subTest(kind=kind, mode=mode):
                self.assertEqual(discovery_mismatches(site.kind, site.clients[0], d), [], d.describe())

    def testTwoStepOneSymmetricPlayersConnectDirectlyAtD100(self):
        for mode, game in self.games.items():
            with self.subTest(mode=mode):
                ab, ba = game.between(1, 2)
                self.assertEqual(ab, ba, game.describe())
                self.assertIn(ab, (session.DIRECT_PUBLIC, session.DIRECT_PRIVATE), game.describe())


if __name__ == "__main__":
    unittest.main()
