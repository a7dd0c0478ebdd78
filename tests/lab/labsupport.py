"""Shared set-up of the lab tests: the import path of the lab package, the program folder, the preflight.

Every world a test builds takes the delay of TARN_LAB_DELAY (MS or MS:JITTER_MS per crossing of a site's
ISP hop; `tarn-lab test --delay MS --jitter MS` sets it) unless the test gives its sites their own."""

import functools
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "lab"))

from tarnlab import delay, netns, programs, world  # noqa: E402
from tarnlab.runner import BIN_ENV  # noqa: E402


def bin_dir():
    """Folder of tarn-probe and tarn-rendezvous: TARN_LAB_BIN, else the staged build of the repo."""
    return os.environ.get(BIN_ENV) or programs.default_bin_dir()


@functools.lru_cache(maxsize=None)
def lab_unavailable():
    """None when namespaces and nftables work here, else why not (computed once per test process)."""
    return netns.preflight()


def programs_unavailable(bin_path):
    """lab_unavailable(), else why the project's programs can't be run from bin_path, else None."""
    return lab_unavailable() or programs.missing_programs(bin_path)


def new_world(test_class):
    """A lab owned by the test class (as test_class.lab, closed by its class cleanup) and its world."""
    test_class.lab = netns.Lab()
    test_class.addClassCleanup(test_class.lab.close)
    return world.World(test_class.lab, delay=delay.from_environment(), bin_dir=bin_dir())


def new_server_world(test_class):
    """new_world() with the rendezvous host, named srv on the server addresses, in test_class.server."""
    w = new_world(test_class)
    test_class.server = w.add_host("srv", world.SERVER_ADDRS)
    return w


def new_program_world(test_class):
    """For a class that runs the project's programs: sets test_class.bin and test_class.reason and, when
    the lab can run them, returns new_server_world(test_class); else None."""
    test_class.bin = bin_dir()
    test_class.reason = programs_unavailable(test_class.bin)
    if test_class.reason:
        return None
    return new_server_world(test_class)


class LabTestCase(unittest.TestCase):
    """Tests of a lab that the class builds once; each is skipped with the class's reason, if any."""

    reason = None

    def setUp(self):
        if self.reason:
            self.skipTest(self.reason)
