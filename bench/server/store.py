#!/usr/bin/env python3
"""Measures what the shared store costs, side by side in one run on loopback.

Binding throughput of one tarn-rendezvous without a store, with one, with one that writes at every
binding request (an allow table of 8 entries evicts every record, so each request is new), and
with its store down; rounds alternate between the modes under the same closed-loop load. Then the
relay latency through server A when the target bound to A (its own list) and when it bound to
server B (a look-up in the store, then A sends the request on to B, which sends the ping), and how long A takes to be ready again when the store returns.
With --before, every mode and the fleet's figures run for that binary too, beside the build's, in
the same rounds. A binary that knows --fleet-secret-file gets one (and, for the write per request,
no store-write budget, so that each request still writes).
Every process is started here and stopped by its pid.

    bench/server/store.py [--build BUILD] [--before BINARY] [--rounds N] [--seconds S] [--relays N]
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

START_WAIT = 5.0
READY_WAIT = 15.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Redis:
    """redis-server on a free loopback port, without persistence."""

    def __init__(self, port, log_dir):
        self.port = port
        self.log = open(os.path.join(log_dir, f"redis-{port}-{time.monotonic_ns()}.log"), "w+")
        self.proc = subprocess.Popen([shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1",
                                      "--save", "", "--appendonly", "no"], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_WAIT
        while time.monotonic() < deadline:
            self.log.seek(0)
            if "Ready to accept connections" in self.log.read():
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("redis-server did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Server:
    """tarn-rendezvous on ports the system picks; endpoints from its start-up line."""

    def __init__(self, binary, args, ports=("0", "0")):
        self.proc = subprocess.Popen([binary, "--port1", ports[0], "--port2", ports[1], "--stats-interval", "0"] + args,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if " listening on " not in line:
            self.stop()
            raise RuntimeError("tarn-rendezvous did not start: " + line)
        self.endpoints = line.split(" listening on ")[1].split(" with ")[0].split()
        self.metrics = None
        if "--metrics" in args:
            self.metrics = self.proc.stdout.readline().split(" at ")[1].strip().replace("/metrics", "")

    def ready(self):
        try:
            with urllib.request.urlopen(self.metrics + "/ready", timeout=2) as answer:
                return answer.status == 200
        except urllib.error.HTTPError:
            return False

    def metric(self, name):
        with urllib.request.urlopen(self.metrics + "/metrics", timeout=2) as answer:
            for line in answer.read().decode().splitlines():
                if line.startswith(name + " "):
                    return float(line.split()[1])
        return 0.0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def load(build, server, seconds):
    out = subprocess.run([os.path.join(build, "bench/server/tarn-rendezvous-load"), "--server"] + server.endpoints
                         + ["--sockets", "64", "--threads", "1", "--window", "8", "--duration", str(seconds),
                            "--warmup", "1", "--pid", str(server.proc.pid), "--json"],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def fleet_figures(build, binary, redis, store, extra, relays, logs):
    """Relay latency through A to a target bound at A and at B, and A's readiness after the store
    comes back; returns (latency by target, recovery seconds, the store now running)."""
    unlimited = ["--threads", "1", "--bind-rate", "0", "--relay-rate", "0"]
    # Servers of a fleet have addresses of their own and the same ports; the players are elsewhere.
    a = Server(binary, unlimited + ["--shared-store", store, "--metrics", "127.0.0.1:0"] + extra)
    ports = tuple(e.rsplit(":", 1)[1] for e in a.endpoints[:2])
    b = Server(binary, unlimited + ["--shared-store", store, "--addr1", "127.0.0.3", "--addr2", "127.0.0.4"] + extra,
               ports)
    time.sleep(1.5)  # each has renewed its place in the fleet and read the other's
    try:
        latency = {}
        for name, bind_to in (("bound to A", a.endpoints[0]), ("bound to B (store, forwarded by A to B)", b.endpoints[0])):
            out = subprocess.run([os.path.join(build, "bench/server/tarn-relay-latency"), a.endpoints[0], bind_to,
                                  str(relays), "127.0.0.9"], check=True, capture_output=True, text=True).stdout
            latency[name] = json.loads(out)
        # The store goes and comes back: how long until A is ready again.
        redis.stop()
        deadline = time.monotonic() + READY_WAIT
        while a.ready() and time.monotonic() < deadline:
            time.sleep(0.05)
        redis = Redis(redis.port, logs)
        back = time.monotonic()
        while not a.ready() and time.monotonic() < back + READY_WAIT:
            time.sleep(0.01)
        recovery = time.monotonic() - back
    finally:
        a.stop()
        b.stop()
    return latency, recovery, redis


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--before", help="another tarn-rendezvous to measure beside the build's")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--relays", type=int, default=500)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    binaries = {"": os.path.join(build, "server/tarn-rendezvous")}
    if args.before:
        binaries = {"before: ": os.path.abspath(args.before), "after: ": binaries[""]}
    logs = tempfile.mkdtemp(prefix="tarn-store-bench-")
    secret = os.path.join(logs, "fleet.secret")
    with open(secret, "w") as out:
        out.write("the benchmark's fleet secret\n")
    sealed = {label: "--fleet-secret-file" in subprocess.run([binary, "--help"], capture_output=True, text=True).stdout
              for label, binary in binaries.items()}
    redis = Redis(free_port(), logs)
    store = f"redis://127.0.0.1:{redis.port}"
    unlimited = ["--threads", "1", "--bind-rate", "0", "--relay-rate", "0"]

    def modes(label):
        fleet = ["--fleet-secret-file", secret] if sealed[label] else []
        every_write = ["--store-write-rate", "0"] if sealed[label] else []
        return {
            label + "no store": [],
            label + "store": ["--shared-store", store] + fleet,
            label + "store, a write per request": ["--shared-store", store, "--allow-table", "8", "--metrics",
                                                  "127.0.0.1:0"] + fleet + every_write,
            label + "store down": ["--shared-store", f"redis://127.0.0.1:{free_port()}"] + fleet,
        }
    all_modes = {name: (binaries[label], extra) for label in binaries for name, extra in modes(label).items()}
    print(f"machine: {os.cpu_count()} processors, load average {' '.join(open('/proc/loadavg').read().split()[:3])}")
    results = {name: [] for name in all_modes}
    fleet = {}
    try:
        for round_number in range(1, args.rounds + 1):
            for name, (binary, extra) in all_modes.items():
                server = Server(binary, unlimited + extra)
                try:
                    result = load(build, server, args.seconds)
                    if server.metrics:
                        # Writes over the whole run (warm-up included) per second of it.
                        result["storeWritesPerSecond"] = server.metric(
                            'tarn_rendezvous_store_writes_total{result="written"}') / (args.seconds + 1)
                        result["storeWritesDropped"] = server.metric(
                            'tarn_rendezvous_store_writes_total{result="dropped"}')
                finally:
                    server.stop()
                results[name].append(result)
                print(f"round {round_number} {name}: {result['answersPerSecond']:.0f}/s, "
                      f"{result['targetCpuMicrosPerAnswer']:.2f} us CPU per answer, lost {result['lost']}")
        for label, binary in binaries.items():
            extra = ["--fleet-secret-file", secret] if sealed[label] else []
            latency, recovery, redis = fleet_figures(build, binary, redis, store, extra, args.relays, logs)
            fleet[label] = (latency, recovery)
    finally:
        redis.stop()
        shutil.rmtree(logs, ignore_errors=True)

    print()
    print("| mode | binding answers/s (median) | of no store | CPU us per answer (median) | lost |")
    print("|---|---|---|---|---|")
    for label in binaries:
        base = statistics.median(r["answersPerSecond"] for r in results[label + "no store"])
        for name in modes(label):
            rate = statistics.median(r["answersPerSecond"] for r in results[name])
            cpu = statistics.median(r["targetCpuMicrosPerAnswer"] for r in results[name])
            print(f"| {name} | {rate:.0f} | {rate / base:.2f} | {cpu:.2f} | {sum(r['lost'] for r in results[name])} |")
    for label in binaries:
        writes = results[label + "store, a write per request"]
        print()
        print(f"{label}store writes by one server when every request is new: "
              f"{statistics.median(r['storeWritesPerSecond'] for r in writes):.0f}/s written (median), "
              f"{sum(r['storeWritesDropped'] for r in writes):.0f} dropped in all rounds")
    for label, (latency, recovery) in fleet.items():
        print()
        print(f"| {label}relay through A, target | forwarded | median us | p90 us | p99 us |")
        print("|---|---|---|---|---|")
        for name, r in latency.items():
            print(f"| {name} | {r['forwarded']} of {r['relays']} | {r['medianMicros']:.0f} | {r['p90Micros']:.0f} | "
                  f"{r['p99Micros']:.0f} |")
        added = latency["bound to B (store, forwarded by A to B)"]["medianMicros"] - latency["bound to A"]["medianMicros"]
        print()
        print(f"{label}added median latency of the store look-up: {added / 1000:.2f} ms")
        print(f"{label}store back -> A ready again after {recovery:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
