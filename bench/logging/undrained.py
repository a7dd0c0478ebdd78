#!/usr/bin/env python3
"""A host whose console nobody drains: tarn-probe discover at TRACE with its console lines going
into a 4 KiB pipe that is never read, once with tarn.logconsole = 1 and once with 0.

    bench/logging/undrained.py build/stage/bin/tarn-probe [SECONDS]

Runs in a fresh temporary folder (the probe starts its own rendezvous server on loopback) and
prints, per setting, the exit code and the time taken, or that the probe was still blocked after
SECONDS (default 15), when it is killed by its pid.
"""
import fcntl
import os
import subprocess
import sys
import tempfile
import time

F_SETPIPE_SZ = 1031  # fcntl.F_SETPIPE_SZ, named only from Python 3.10


def run(probe, console, seconds, folder):
    with open(os.path.join(folder, "tarn.cfg"), "w") as cfg:
        cfg.write("tarn.loglevel = TRACE\ntarn.logconsole = %s\n" % console)
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)  # the smallest pipe Linux allows
    start = time.monotonic()
    # The probe sends the library's console lines to standard error.
    proc = subprocess.Popen([probe, "discover"], cwd=folder, stdout=subprocess.DEVNULL, stderr=write_end)
    os.close(write_end)
    try:
        outcome = "exit %d" % proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        outcome = "still blocked, killed"
        proc.kill()
        proc.wait()
    os.close(read_end)
    return outcome, time.monotonic() - start


def main():
    probe = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 15.0
    for console in ("1", "0"):
        with tempfile.TemporaryDirectory() as folder:
            outcome, took = run(probe, console, seconds, folder)
        print("tarn.logconsole = %s: %s after %.1f s" % (console, outcome, took))


if __name__ == "__main__":
    main()
