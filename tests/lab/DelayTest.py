"""The delay line: every crossing of a delayed hop (an ISP hop, or a host without NAT) costs its delay, a
round trip never comes back sooner, jitter keeps the order, the line's own loss drops and counts, and the
line refuses bad options."""

import os
import subprocess
import unittest

import labsupport
from tarnlab import delay, programs, world

D_MS = 100
REQUESTS = 10
GAP_MS = 2
# A loose ceiling over the delay line's own added time: the Python prober and responder share a loaded
# machine; the line's precision is measured in bench/p2p/delayline.py.
MARGIN_MS = 1000
# How long the prober waits for answers after its last request: the longest round trip here plus MARGIN_MS.
WAIT_S = 2.0

# Path -> (the kind sending, the kind answering or None for the server, the delay of both sites, hop
# crossings of one round trip, whether the answers come back).
PATHS = {
    "NAT site to the server": ("port-restricted", None, delay.Delay(D_MS), 2, True),
    "host without NAT to the server": ("none", None, delay.Delay(D_MS), 2, True),
    "NAT site to a host without NAT": ("symmetric:1", "none", delay.Delay(D_MS), 4, True),
    "jitter of half the delay, order kept": ("port-restricted", None, delay.Delay(D_MS, D_MS / 2), 2, True),
    "everything lost in the line": ("full-cone", None, delay.Delay(D_MS, loss_pct=100), 2, False),
}
# Options -> what tarn-delayline must say about them before it touches any device.
BAD_OPTIONS = {
    ("--dev", "x", "--delay", "soon"): "--delay takes a number",
    ("--dev", "x", "--loss", "101"): "--loss takes a number",
    ("--delay", "10"): "--dev NAME is required",
    ("--dev", "x", "--later", "1"): "unknown option --later",
    ("--dev",): "expected --option VALUE pairs",
}


class DelayTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        cls.bin = labsupport.bin_dir()
        cls.reason = labsupport.lab_unavailable() or programs.missing_programs(cls.bin, (delay.PROGRAM,))
        if cls.reason:
            return
        w = labsupport.new_world(cls)
        server = w.add_host("srv", world.SERVER_ADDRS)
        programs.MappedResponder(server).start()
        cls.found = {}
        for n, (name, (kind, answering, shape, _, _)) in enumerate(PATHS.items()):
            site = w.add_site(kind, name=f"dl{n}", delay=shape)
            target = server.addrs[0]
            if answering:
                other = w.add_site(answering, name=f"dl{n}x", delay=shape)
                programs.MappedResponder(world.Host(other.clients[0].ns, (other.clients[0].addr,))).start()
                target = other.clients[0].addr
            trips, order = programs.round_trips(site.clients[0], target, REQUESTS, GAP_MS, WAIT_S)
            cls.found[name] = (trips, order, w.delay_counters(site))

    def testEachCrossingCostsItsDelayInOrderAndTheLineCountsWhatItDrops(self):
        for name, (_, _, shape, crossings, answered) in PATHS.items():
            with self.subTest(name):
                trips, order, counters = self.found[name]
                if not answered:
                    self.assertEqual(trips, [None] * REQUESTS)
                    for c in counters:
                        self.assertEqual((c["lost"], c["sent"]), (c["received"], 0), c)
                        self.assertGreaterEqual(c["lost"], REQUESTS, c)
                    continue
                self.assertNotIn(None, trips)
                self.assertGreaterEqual(min(trips), crossings * (shape.ms - shape.jitter_ms), trips)
                self.assertLess(max(trips), crossings * (shape.ms + shape.jitter_ms) + MARGIN_MS, trips)
                self.assertEqual(order, sorted(order))
                for c in counters:
                    self.assertEqual((c["lost"], c["overflow"], c["malformed"], c["writeErrors"]), (0, 0, 0, 0), c)
                    self.assertEqual(c["sent"], c["received"], c)

    def testBadOptionsAreRefusedWithAReason(self):
        program = os.path.join(self.bin, delay.PROGRAM)
        for argv, reason in BAD_OPTIONS.items():
            with self.subTest(argv=argv):
                done = subprocess.run([program, *argv], capture_output=True, text=True, timeout=10)
                self.assertEqual(done.returncode, 2)
                self.assertIn(reason, done.stderr)


if __name__ == "__main__":
    unittest.main()
