#!/usr/bin/env python3
"""Times `connect` between two `tarn-probe session` processes on this machine.

Starts tarn-rendezvous on 127.0.0.1 and 127.0.0.2 with free ports, then plays GAMES games of two players
that discover, exchange their topologies and connect; prints how long each player's connect call took
(the probe's elapsedMs: the whole connectivity pass plus the report) and fails if a pair did not connect
DIRECT PRIVATE.

    bench/p2p/sessions.py --bin build/stage/bin --games 20
    bench/p2p/sessions.py --bin build/stage/bin --games 20 --fast --set tarn.loglevel=DEBUG
"""

import argparse
import json
import os
import re
import selectors
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "lab"))

from tarnlab import programs  # noqa: E402  (plain helpers: no namespaces, no root)

STEP_TIMEOUT_S = 30


class LineReader:
    """A child's standard output line by line, each line awaited only until a deadline."""

    def __init__(self, stream):
        self._stream = stream
        self._pending = b""

    def readline(self, deadline):
        """The next line without its end, or None at the end of the output or at the deadline."""
        with selectors.DefaultSelector() as selector:
            selector.register(self._stream, selectors.EVENT_READ)
            while b"\n" not in self._pending:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    return None
                chunk = os.read(self._stream.fileno(), 65536)
                if not chunk:
                    return None
                self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line.decode(errors="replace")


def read_line(reader, who):
    """The next line from reader, or the run ends naming who gave none."""
    line = reader.readline(time.monotonic() + STEP_TIMEOUT_S)
    if line is None:
        raise SystemExit(f"{who} gave no line: it ended, or was silent for {STEP_TIMEOUT_S} s")
    return line


def start_rendezvous(bin_dir):
    server = subprocess.Popen([os.path.join(bin_dir, "tarn-rendezvous"), "--port1", "0", "--port2", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = LineReader(server.stdout).readline(time.monotonic() + STEP_TIMEOUT_S) or ""
    ports = [int(p) for p in re.findall(r"127\.0\.0\.1:(\d+)", line)]
    if len(ports) < 2:
        server.terminate()
        server.wait(STEP_TIMEOUT_S)
        raise SystemExit(f"tarn-rendezvous did not start: {line!r}")
    return server, ports[:2]


def play(bin_dir, ports, workdir, config):
    """One game of two players, each with config ({key: value}) as its tarn.cfg; returns their result lines."""
    players = []
    for identifier in (1, 2):
        cwd = tempfile.mkdtemp(dir=workdir)
        programs.write_config(cwd, config)
        players.append(subprocess.Popen(
            [os.path.join(bin_dir, "tarn-probe"), "session", "--client-id", str(identifier), "--game", "bench",
             "--json", "--server", "127.0.0.1,127.0.0.2", "--ports", f"{ports[0]},{ports[1]}"],
            cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
    try:
        readers = [LineReader(p.stdout) for p in players]
        lines = [read_line(r, f"player {i}").strip() for i, r in enumerate(readers, 1)]
        peer_list = ("[" + ",".join(lines) + "]\n").encode()
        for p in players:
            p.stdin.write(peer_list)
            p.stdin.close()
        results = [json.loads(read_line(r, f"player {i}")) for i, r in enumerate(readers, 1)]
        for p in players:
            p.wait(STEP_TIMEOUT_S)
        return results
    finally:
        for p in players:
            if p.poll() is None:
                p.kill()
                p.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default="build/stage/bin", help="folder with tarn-probe and tarn-rendezvous")
    parser.add_argument("--games", type=int, default=20)
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="a tarn.cfg line for both players; repeat it for more keys")
    parser.add_argument("--fast", action="store_true", help="overlapped connect and discovery: " + ", ".join(
        f"{k}={v}" for k, v in programs.FAST_CONFIG.items()))
    args = parser.parse_args()
    config = dict(programs.FAST_CONFIG) if args.fast else {}
    try:
        config.update(programs.parse_setting(text) for text in args.set)
    except ValueError as e:
        parser.error(str(e))
    args.bin = os.path.abspath(args.bin)
    server, ports = start_rendezvous(args.bin)
    workdir = tempfile.mkdtemp(prefix="tarn-bench-")
    times = []
    try:
        for _ in range(args.games):
            for result in play(args.bin, ports, workdir, config):
                connections = {p["connection"] for p in result["peers"]}
                if connections != {"SELF", "DIRECT PRIVATE"} or result["exitCode"] != 0:
                    raise SystemExit(f"a pair did not connect privately: {json.dumps(result)}")
                times.append(result["elapsedMs"])
    finally:
        server.terminate()
        server.wait(STEP_TIMEOUT_S)
        shutil.rmtree(workdir, ignore_errors=True)
    times.sort()
    print(f"{len(times)} connect calls: median {statistics.median(times):g} ms, "
          f"90th percentile {times[int(0.9 * (len(times) - 1))]} ms, max {times[-1]} ms")


if __name__ == "__main__":
    sys.exit(main())
