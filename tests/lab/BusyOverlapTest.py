"""Two symmetric players in overlap mode whose NATs a neighbour keeps busy: they still meet directly, and what
the pass sends to use up ports stays within its limits."""

import re
import unittest

import labsupport
from tarnlab import programs, session

# A neighbour at each site opens this many new flows per second; games at most until one ends direct on both
# sides. The bench (bench/p2p/noise.py) measures the rate of success; this test only asks that the pair can
# still meet, a loose bound that a loaded machine meets too.
BUSY_NOISE = 50
BUSY_GAMES = 4
CANDIDATES = 4
CONFIG = {"tarn.loglevel": "DEBUG", "tarn.connect.overlap": "1", "tarn.candidate_addrs": str(CANDIDATES)}
# "Block 0 for peer 2: 3 ports gone since port 40000, 2 used up, 0 of the block gone, 4 answers"
BLOCK_LINE = re.compile(r"Block \d+ for peer \d+: -?\d+ ports gone since port \d+, (\d+) used up")


class BusyOverlapTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        cls.rendezvous = programs.Rendezvous(cls.server, cls.bin).start()
        clients = [w.add_site("symmetric:1", name=f"busy{n}", noise=BUSY_NOISE).clients[0] for n in range(2)]
        cls.played = []
        while len(cls.played) < BUSY_GAMES and (
                not cls.played or cls.played[-1].between(1, 2) != (session.DIRECT_PUBLIC,) * 2):
            cls.played.append(session.play(clients, cls.bin, cls.server.addrs, game=f"busy-{len(cls.played)}",
                                           config=CONFIG))

    def testThePairMeetsDirectly(self):
        last = self.played[-1]
        self.assertEqual(last.between(1, 2), (session.DIRECT_PUBLIC,) * 2,
                         "\n\n".join(s.describe() for s in self.played))

    def testUsedUpPortsStayWithinTheirLimits(self):
        # The direct game met through answered blocks.
        self.assertTrue(any(BLOCK_LINE.search(run.log) for run in self.played[-1].runs), self.played[-1].describe())
        for s in self.played:
            for run in s.runs:
                self.assertEqual(run.returncode, programs.EXIT_VALID, s.describe())
                used = [int(n) for n in BLOCK_LINE.findall(run.log)]
                self.assertTrue(all(n <= CANDIDATES for n in used), s.describe())
                # Three public rounds after the first, each with at most four blocks' worth.
                self.assertLessEqual(sum(used), 4 * 4 * CANDIDATES, s.describe())


if __name__ == "__main__":
    unittest.main()
