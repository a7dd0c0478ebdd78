"""The lab's own machinery: names, cleanup on every way out, bounded commands, processes stopped by pid."""

import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import labsupport
from tarnlab import netns, programs

TARN_LAB = os.path.join(programs.REPO_ROOT, "lab", "tarn-lab")
# Bounds of the waits below; each one ends as soon as its event is seen.
READY_TIMEOUT_S = 30.0
EXIT_TIMEOUT_S = 20.0


def leftovers(prefix):
    """Namespaces, hosts folders and work folders that still carry prefix."""
    found = [n for n in netns.live_namespaces() if n.startswith(prefix)]
    if os.path.isdir(netns.HOSTS_ROOT):
        found += [f for f in os.listdir(netns.HOSTS_ROOT) if f.startswith(prefix)]
    found += [f for f in os.listdir(tempfile.gettempdir()) if f.startswith(prefix)]
    return found


def wait_for_line(path, text, timeout):
    """Polls a process's output file until a line contains text; the writer gives no other signal."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, encoding="utf-8", errors="replace") as f:
            if any(text in line for line in f):
                return True
        time.sleep(netns.POLL_INTERVAL)
    return False


class NetnsTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        cls.reason = labsupport.lab_unavailable()

    def testCloseRemovesNamespacesHostsFilesWorkFolderAndProcesses(self):
        with netns.Lab() as lab:
            a = lab.namespace("a")
            b = lab.namespace("b")
            a.set_hosts("somehost", ["192.0.2.7"])
            sleeper = b.spawn(["sleep", "60"], "sleeper")
            self.assertEqual({a.name, b.name} & netns.live_namespaces(), {a.name, b.name})
            self.assertTrue(os.path.isfile(os.path.join(netns.HOSTS_ROOT, a.name, "hosts")))
            self.assertTrue(os.path.isdir(lab.workdir))
            self.assertTrue(sleeper.running())
        self.assertEqual(leftovers(lab.prefix), [])
        self.assertEqual(sleeper.stop(), -signal.SIGTERM)
        self.assertEqual(lab.close(), [], "a second close finds nothing left to do")

    def testTwoRunsNeverShareNames(self):
        with netns.Lab() as first, netns.Lab() as second:
            self.assertNotEqual(first.prefix, second.prefix)
            names = {first.namespace("site").name, second.namespace("site").name}
            self.assertEqual(len(names), 2)
            self.assertEqual(names & netns.live_namespaces(), names)
        self.assertEqual(leftovers(first.prefix) + leftovers(second.prefix), [])

    def testFailingStepStillRemovesEverything(self):
        with self.assertRaises(netns.CommandError) as caught:
            with netns.Lab() as lab:
                ns = lab.namespace("router")
                ns.load_nft("table ip broken { chain c { this is not nftables } }\n")
        self.assertIn("nft", str(caught.exception))
        self.assertEqual(leftovers(lab.prefix), [])

    def testCommandsAreBoundedInTime(self):
        with netns.Lab() as lab:
            ns = lab.namespace("slow")
            start = time.monotonic()
            with self.assertRaises(netns.CommandError) as caught:
                ns.run(["sleep", "30"], timeout=0.5)
            self.assertLess(time.monotonic() - start, 10.0)
            self.assertIn("timed out after 0.5 s", str(caught.exception))
            with self.assertRaises(netns.CommandError) as caught:
                ns.run(["false"])
            self.assertIn("exit 1", str(caught.exception))
            self.assertEqual(ns.run(["false"], check=False).returncode, 1)

    def testStopEndsProcessesByPidEvenWhenTheyIgnoreSigterm(self):
        stubborn = ("import signal, sys, time\n"
                    "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                    "print('ignoring', flush=True)\n"
                    "time.sleep(60)\n")
        cases = [
            # (label, argv, line that shows the handler is set, exit code after stop)
            ("polite", ["sleep", "60"], None, -signal.SIGTERM),
            ("stubborn", [sys.executable, "-c", stubborn], "ignoring", -signal.SIGKILL),
        ]
        with netns.Lab() as lab:
            ns = lab.namespace("procs")
            for label, argv, ready, code in cases:
                with self.subTest(label):
                    p = ns.spawn(argv, label)
                    if ready:
                        self.assertTrue(wait_for_line(p.stdout_path, ready, READY_TIMEOUT_S))
                    self.assertEqual(p.stop(grace=0.5), code)
                    self.assertFalse(p.running())
                    with self.assertRaises(ProcessLookupError):
                        os.kill(p.pid, 0)

    def testBackgroundProcessesRunInsideTheirNamespace(self):
        with netns.Lab() as lab:
            ns = lab.namespace("inside")
            ns.ip("addr", "add", "192.0.2.10/24", "dev", "lo")
            server = ns.spawn([sys.executable, programs.MAPPED_SCRIPT, "serve", "--endpoints",
                               "192.0.2.10:4000"], "mapped")
            ns.wait_listening([("192.0.2.10", 4000)], server, timeout=READY_TIMEOUT_S)
            pids = [int(x) for x in netns.run(["ip", "netns", "pids", ns.name]).stdout.split()]
            self.assertIn(server.pid, pids)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                with self.assertRaises(OSError, msg="the address exists only inside the namespace"):
                    s.bind(("192.0.2.10", 0))
            self.assertEqual(server.stop(), 0, "the responder exits cleanly on SIGTERM")

    def testWaitingForAListenerEndsWhenTheProcessDies(self):
        with netns.Lab() as lab:
            ns = lab.namespace("dies")
            p = ns.spawn(["sh", "-c", "echo cannot start >&2; exit 4"], "dies")
            start = time.monotonic()
            with self.assertRaises(netns.CommandError) as caught:
                ns.wait_listening([("127.0.0.1", 4000)], p, timeout=READY_TIMEOUT_S)
            self.assertLess(time.monotonic() - start, READY_TIMEOUT_S)
            self.assertIn("exited with 4", str(caught.exception))
            self.assertIn("cannot start", str(caught.exception))

    def testHostNameResolvesToTheListedAddressesInOrder(self):
        orders = [["192.0.2.20", "10.9.0.10"], ["10.9.0.10", "192.0.2.20"]]
        with netns.Lab() as lab:
            ns = lab.namespace("hosts")
            for order in orders:
                with self.subTest(order=order):
                    ns.set_hosts(socket.gethostname(), order)
                    script = ("import socket\n"
                              "print(' '.join(a[4][0] for a in socket.getaddrinfo(socket.gethostname(), None, "
                              "socket.AF_INET, socket.SOCK_DGRAM)))")
                    self.assertEqual(ns.run([sys.executable, "-c", script]).stdout.split(), order)

    def testInterruptedRunRemovesEverything(self):
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum.name):
                lab = subprocess.Popen([sys.executable, TARN_LAB, "up", "--kinds", "restricted-cone"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    prefix = read_ready_prefix(lab.stdout.fileno(), READY_TIMEOUT_S)
                    self.assertIsNotNone(prefix, "tarn-lab up never reported ready")
                    self.assertNotEqual(leftovers(prefix), [])
                    lab.send_signal(signum)
                    code = lab.wait(EXIT_TIMEOUT_S)
                    remaining = leftovers(prefix)
                finally:
                    if lab.poll() is None:
                        lab.kill()
                        lab.wait(EXIT_TIMEOUT_S)
                    # Whatever a failed run left is a dead run's now.
                    netns.clean_stale()
                    lab.stdout.close()
                    stderr = lab.stderr.read().decode(errors="replace")
                    lab.stderr.close()
                self.assertIn(code, (130, 128 + signum), stderr)
                self.assertEqual(remaining, [], stderr)
                self.assertNotIn("cleanup", stderr)

    def testCleanStaleRemovesOnlyRunsWhoseProcessIsGone(self):
        gone = subprocess.Popen(["true"])
        gone.wait(EXIT_TIMEOUT_S)
        stale = f"{netns.NAME_PREFIX}-{gone.pid}-0badc0-site"
        with netns.Lab() as lab:
            live = lab.namespace("site")
            netns.run(["ip", "netns", "add", stale])
            try:
                removed = netns.clean_stale()
                names = netns.live_namespaces()
            finally:
                netns.run(["ip", "netns", "del", stale], check=False)
            self.assertIn(stale, removed)
            self.assertNotIn(stale, names)
            self.assertIn(live.name, names)


def read_ready_prefix(fd, timeout):
    """Reads `tarn-lab up` output until its ready line; returns the run's prefix, or None on timeout or EOF."""
    deadline = time.monotonic() + timeout
    text = ""
    while True:
        for line in text.splitlines():
            if line.startswith("lab ") and line.endswith(" ready; Ctrl-C or SIGTERM tears it down"):
                return line.split()[1]
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        readable, _, _ = select.select([fd], [], [], left)
        if not readable:
            return None
        chunk = os.read(fd, 4096)
        if not chunk:
            return None
        text += chunk.decode(errors="replace")


if __name__ == "__main__":
    unittest.main()
