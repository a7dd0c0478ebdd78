"""Games with tarn.connect.overlap = 1: the outcomes of the documented order, within a fraction of the time the
documented order waits in its private round alone, also against a player that keeps the documented order."""

import concurrent.futures
import unittest

import labsupport
from tarnlab import programs, session

PARALLEL_GAMES = 4
DOCUMENTED = {"tarn.loglevel": "DEBUG"}
OVERLAP = {**DOCUMENTED, "tarn.connect.overlap": "1"}
# The documented order pings no public endpoint before its 500 ms private round is over; in overlap mode these
# games take 5 to 60 ms on the lab. The bound proves the overlap and leaves a loaded machine ample room.
FAST_MS = 450

# Game name -> (the players' site kinds, whether the first keeps the documented order, whether both share one
# hairpinning router, the view each must have of the other, whether the game must end within FAST_MS).
GAMES = {
    "two port-restricted": (("port-restricted",) * 2, False, False, session.DIRECT_PUBLIC, True),
    "symmetric and port-restricted": (("symmetric:1", "port-restricted"), False, False, session.DIRECT_PUBLIC, True),
    "two symmetric": (("symmetric:1", "symmetric:2"), False, False, session.DIRECT_PUBLIC, True),
    # The public pings come back through the router as well as the private ones across the LAN.
    "same hairpinning router": (("port-restricted",) * 2, False, True, session.DIRECT_PRIVATE, True),
    "two symmetric, one in the documented order": (("symmetric:1",) * 2, True, False, session.DIRECT_PUBLIC, False),
    "port-restricted in the documented order and symmetric": (("port-restricted", "symmetric:1"), True, False,
                                                              session.DIRECT_PUBLIC, False),
}


class OverlapTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()
        players = {}
        for n, (name, (kinds, _, shared, _, _)) in enumerate(GAMES.items()):
            if shared:
                players[name] = w.add_site(kinds[0], clients=2, name=f"ov{n}", hairpin=True).clients
            else:
                players[name] = [w.add_site(k, name=f"ov{n}p{p}").clients[0] for p, k in enumerate(kinds)]
        with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
            futures = {name: pool.submit(session.play, players[name], cls.bin, cls.server.addrs,
                                         game=f"ov{n}", configs=[DOCUMENTED if GAMES[name][1] else OVERLAP, OVERLAP])
                       for n, name in enumerate(GAMES)}
            cls.games = {name: f.result() for name, f in futures.items()}

    def test(self):
        for name, (_, _, _, view, fast) in GAMES.items():
            with self.subTest(name):
                s = self.games[name]
                for run in s.runs:
                    self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
                self.assertEqual(s.between(1, 2), (view, view), s.describe())
                if fast:
                    self.assertLess(max(run.result["elapsedMs"] for run in s.runs), FAST_MS, s.describe())


if __name__ == "__main__":
    unittest.main()
