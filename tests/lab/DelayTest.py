"""The delay line: every crossing of a delayed hop (an ISP hop, or a host without NAT) costs its delay, a
round trip never comes back sooner, nothing is lost or reordered on the way, and the line refuses bad options."""

import os
import subprocess
import unittest

import labsupport
from tarnlab import delay, programs, world

D_MS = 100
REQUESTS = 5
GAP_MS = 20
# A loose ceiling over the delay line's own added time: the Python prober and responder share a loaded
# machine; the line's precision is measured in bench/p2p/delayprecision.py.
MARGIN_MS = 1000
WAIT_S = 5.0

# Path -> (the kind sending, the kind answering or None for the server, hop crossings of one round trip).
PATHS = {
    "NAT site to the server": ("port-restricted", None, 2),
    "host without NAT to the server": ("none", None, 2),
    "NAT site to a host without NAT": ("symmetric:1", "none", 4),
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
        cls.sites, cls.rtts = {}, {}
        for n, (name, (kind, answering, _)) in enumerate(PATHS.items()):
            site = w.add_site(kind, name=f"dl{n}", delay=delay.Delay(D_MS))
            target = server.addrs[0]
            if answering:
                other = w.add_site(answering, name=f"dl{n}x", delay=delay.Delay(D_MS))
                programs.MappedResponder(world.Host(other.clients[0].ns, (other.clients[0].addr,))).start()
                target = other.clients[0].addr
            cls.rtts[name] = programs.round_trips(site.clients[0], target, REQUESTS, GAP_MS, WAIT_S)
            cls.sites[name] = site
        cls.counters = {name: world.World.delay_counters(site) for name, site in cls.sites.items()}

    def testEachCrossingCostsTheDelayAndNothingIsLost(self):
        for name, (_, _, crossings) in PATHS.items():
            with self.subTest(name):
                rtts = self.rtts[name]
                self.assertNotIn(None, rtts)
                self.assertGreaterEqual(min(rtts), crossings * D_MS, rtts)
                self.assertLess(max(rtts), crossings * D_MS + MARGIN_MS, rtts)
                for c in self.counters[name]:
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
