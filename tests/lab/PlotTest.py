"""`tarn-lab demo --plot`: the peer matrix drawn as a heat map. Needs matplotlib (python3-matplotlib), not root."""

import os
import struct
import tempfile
import unittest
from unittest import mock

import labsupport  # noqa: F401  (the lab package's import path)
from tarnlab import matrix, nat, plot, session

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(path):
    """(width, height) from a PNG's header."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != PNG_SIGNATURE:
        return None
    return struct.unpack(">II", head[16:24])


def played(kinds):
    """Results as matrix.play_all returns them: every pair direct except the ones with symmetric-random, which
    are relayed, and one pair whose games are 2 direct out of 3."""
    direct = (session.DIRECT_PUBLIC, session.DIRECT_PUBLIC)
    relay = (session.RELAY, session.RELAY)
    results = {}
    for i in range(len(kinds)):
        for j in range(i, len(kinds)):
            r = matrix.PairResult(kinds[i], kinds[j])
            random_side = nat.SYMMETRIC_RANDOM in (kinds[i].base, kinds[j].base)
            r.outcomes = [relay if random_side else direct] * 3
            results[(i, j)] = r
    results[(0, 1)].outcomes = [direct, direct, relay]
    return results


class PlotTest(unittest.TestCase):
    def setUp(self):
        reason = plot.unavailable()
        if reason:
            self.skipTest(reason)
        self.kinds = [nat.parse_kind(k) for k in ("full-cone", "port-restricted", "symmetric:1", "symmetric-random")]
        self.results = played(self.kinds)
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def testTheDataHoldsTheDirectRateAndTheTextOfEveryCell(self):
        data = plot.matrix_data(self.kinds, self.results)
        self.assertEqual(data["kinds"], ["full-cone", "port-restricted", "symmetric:1", "symmetric-random"])
        self.assertAlmostEqual(data["rates"][0][1], 2 / 3)
        self.assertAlmostEqual(data["rates"][1][0], 2 / 3, msg="the matrix is symmetric")
        self.assertEqual(data["rates"][2][2], 1.0)
        self.assertEqual(data["rates"][3][1], 0.0)
        self.assertEqual(data["texts"][0][1], "2/3")
        self.assertEqual(data["texts"][3][3], "0/3 relay")
        self.assertEqual(data["games"], 3)

    def testABrokenPairHasNoRate(self):
        self.results[(2, 3)].outcomes = [None]
        data = plot.matrix_data(self.kinds, self.results)
        self.assertIsNone(data["rates"][2][3])
        self.assertIsNone(data["rates"][3][2])

    def testTheHeatMapIsAPicture(self):
        path = os.path.join(self.dir.name, "matrix.png")
        plot.draw(path, plot.matrix_data(self.kinds, self.results))
        size = png_size(path)
        self.assertIsNotNone(size, "not a PNG")
        self.assertGreater(size[0], 400)
        self.assertGreater(size[1], 400)

    def testAnotherInterpreterDrawsItWhenThisOneLacksMatplotlib(self):
        if not plot._system_matplotlib():
            self.skipTest(f"{plot.SYSTEM_PYTHON} is this interpreter or has no matplotlib")
        path = os.path.join(self.dir.name, "matrix.png")
        with mock.patch.object(plot, "_own_matplotlib", return_value=False):
            plot.draw(path, plot.matrix_data(self.kinds, self.results))
        self.assertIsNotNone(png_size(path))


if __name__ == "__main__":
    unittest.main()
