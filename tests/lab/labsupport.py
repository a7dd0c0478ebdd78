"""Shared set-up of the lab tests: the import path of the lab package, the program folder, the preflight."""

import functools
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "lab"))

from tarnlab import netns, programs  # noqa: E402
from tarnlab.runner import BIN_ENV  # noqa: E402


def bin_dir():
    """Folder of tarn-probe and tarn-rendezvous: TARN_LAB_BIN, else the staged build of the repo."""
    return os.environ.get(BIN_ENV) or programs.default_bin_dir()


@functools.lru_cache(maxsize=None)
def lab_unavailable():
    """None when namespaces and nftables work here, else why not (computed once per test process)."""
    return netns.preflight()
