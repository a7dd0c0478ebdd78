#!/usr/bin/env python3
"""The /metrics endpoint at the descriptor limit, for several tarn-rendezvous builds side by side.

Each build runs with `ulimit -n LIMIT`, one worker and --metrics; CONNECTIONS idle TCP connections are
opened to the metrics port and left silent. Measured over WINDOW seconds: the server's CPU time, and
the binding requests it answers meanwhile from one client sending one at a time; then whether a
GET /metrics is still answered. Every server is started here and stopped by its pid.

    bench/server/idle_metrics.py before=BUILD/server/tarn-rendezvous after=build/server/tarn-rendezvous
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import time

BIND_REQ = bytes([0x08, 0x0A])  # field 1 (type), varint 10 = BIND_REQ


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(binary, limit, connections, window):
    proc = subprocess.Popen(["sh", "-c", f'ulimit -n {limit} && exec "$0" "$@"', binary, "--port1", "0", "--port2",
                             "0", "--threads", "1", "--stats-interval", "0", "--metrics", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    idle = []
    try:
        first, second = proc.stdout.readline(), proc.stdout.readline()
        host, port = re.search(r"listening on (\S+):(\d+)", first).groups()
        metrics_port = int(re.search(r":(\d+)/metrics", second).group(1))
        for _ in range(connections):
            s = socket.socket()
            s.connect(("127.0.0.1", metrics_port))
            idle.append(s)
        time.sleep(0.5)  # the accepts settle (or start spinning)
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.settimeout(0.2)
        answered = 0
        before = cpu_seconds(proc.pid)
        end = time.monotonic() + window
        while time.monotonic() < end:
            client.sendto(BIND_REQ, (host, int(port)))
            try:
                client.recv(2048)
                answered += 1
            except socket.timeout:
                pass
        cpu = cpu_seconds(proc.pid) - before
        scrape = socket.socket()
        scrape.settimeout(5)
        served = False
        try:
            scrape.connect(("127.0.0.1", metrics_port))
            scrape.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            served = scrape.recv(64).startswith(b"HTTP/1.0 200")
        except OSError:
            pass
        scrape.close()
        return cpu, answered / window, served
    finally:
        for s in idle:
            s.close()
        proc.terminate()
        proc.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+", metavar="NAME=BINARY")
    parser.add_argument("--limit", type=int, default=256)
    parser.add_argument("--connections", type=int, default=400)
    parser.add_argument("--window", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.builds]
    print(f"ulimit -n {args.limit}, {args.connections} idle connections, {args.window:g} s window; "
          f"load average {' '.join(open('/proc/loadavg').read().split()[:3])}")
    print("| build | round | server CPU in the window | binding answers/s meanwhile | GET /metrics answered after |")
    print("|---|---|---|---|---|")
    for round_number in range(1, args.rounds + 1):
        for name, binary in builds:
            cpu, rate, served = measure(binary, args.limit, args.connections, args.window)
            print(f"| {name} | {round_number} | {cpu:.2f} s | {rate:.0f} | {'yes' if served else 'no'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
