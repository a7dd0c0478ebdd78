#!/usr/bin/env python3
"""Measures what a failover of the shared store's master costs a fleet, on loopback.

A master and a replica (redis-server), three sentinels (down-after-milliseconds 1000,
failover-timeout 5000) and two tarn-rendezvous, A and B, that follow the master through
redis+sentinel://. Players bind at B once, before anything fails. tarn-failover-probe then relays
through A to them and sends a binding request to A every 20 ms, while the master is killed with
SIGKILL and the script asks the sentinels every 20 ms which instance is the master. Reported: when
relays work again after the sentinels name the new master, the binding answers during the switch,
and 200 relays 5 s after the kill. Then the old master comes back (the sentinels make it a replica),
one sentinel is killed and the new master too: the same figures for that promotion. Last, binding
throughput with the store through the sentinels and through plain redis://, in rounds that
alternate (and alternate which goes first).
Every process is started here and stopped by its pid.

    bench/server/sentinel.py [--build BUILD] [--rounds N] [--seconds S]
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from store import Server, free_port, load

START_WAIT = 5.0
# The sentinels' own bounds: a promotion starts after down-after-milliseconds (1 s) and a second one
# for the same master not before twice the failover timeout (10 s); their INFO on a replica is 10 s old
# at most.
FAILOVER_WAIT = 30.0
POLL = 0.02
PLAYERS = 400


def start(argv, log, ready):
    """A process whose log (a file) shows ready within START_WAIT; its Popen."""
    out = open(log, "w+")
    proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + START_WAIT
    while time.monotonic() < deadline:
        out.seek(0)
        if ready in out.read():
            return proc
        time.sleep(POLL)
    stop(proc)
    raise RuntimeError(f"{argv[0]} did not start")


def stop(proc, how=signal.SIGTERM):
    if proc.poll() is None:
        proc.send_signal(how)
    proc.wait(timeout=10)


def redis(port, logs, *extra):
    # In the logs' folder: a replica writes the master's data to a file while it synchronises.
    return start([shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                  "--appendonly", "no", "--dir", logs, *extra], os.path.join(logs, f"redis-{port}-{time.monotonic_ns()}.log"),
                 "Ready to accept connections")


def ask(port, *command):
    return subprocess.run([shutil.which("redis-cli"), "-p", str(port), "--raw", *command], capture_output=True,
                          text=True, timeout=5).stdout.split()


def entries(port, *command):
    """A sentinel's answer of field-value pairs, one dict per entry (each begins with "name")."""
    tokens = ask(port, *command)
    starts = [i for i, token in enumerate(tokens) if token == "name" and i % 2 == 0] + [len(tokens)]
    return [dict(zip(tokens[a:b:2], tokens[a + 1:b:2])) for a, b in zip(starts, starts[1:])]


def named(sentinels):
    """The master's port as the first sentinel that answers names it; None if none does."""
    for port in sentinels:
        answer = ask(port, "SENTINEL", "get-master-addr-by-name", "tarn")
        if len(answer) == 2:
            return int(answer[1])
    return None


def wait_until(condition, bound):
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out")
        time.sleep(POLL)
    return time.monotonic()


def failover(probe, servers, victim, sentinels, old_port, seconds):
    """Kills the master victim 1 s into seconds of the probe's ticks; the figures of this promotion."""
    probe.stdin.write(f"tick {seconds}\n")
    probe.stdin.flush()
    time.sleep(1.0)
    killed = time.monotonic()
    stop(victim, signal.SIGKILL)
    promoted = wait_until(lambda: named(sentinels) not in (None, old_port), FAILOVER_WAIT)
    ticks = json.loads(probe.stdout.readline())["ticks"]
    time.sleep(max(0.0, killed + 5.0 - time.monotonic()))
    burst_at = time.monotonic() - killed
    probe.stdin.write("burst 200\n")
    probe.stdin.flush()
    burst = json.loads(probe.stdout.readline())
    # Relays work again from the first one after the kill that reached its player; the ones lost
    # after it are counted apart (a look-up slower than --store-wait on a busy machine).
    back = next((t for t, relayed, _ in ticks if t > killed and relayed >= 0), None)
    lost_after = sum(1 for t, relayed, _ in ticks if back is not None and t > back and relayed < 0)
    switching = [bound for t, _, bound in ticks if killed <= t <= (back or killed)]
    usual = [bound for t, _, bound in ticks if t < killed and bound >= 0]
    return {
        "namedAfterKillS": promoted - killed,
        "relaysBackAfterNamedS": None if back is None else back - promoted,
        "relaysLostAfterThat": f"{lost_after} of {sum(1 for t, _, _ in ticks if back is not None and t > back)}",
        "storeTimeoutsOfA": servers[0].metric('tarn_rendezvous_store_lookups_total{result="timeout"}'),
        "bindsDuringSwitch": f"{sum(1 for b in switching if b >= 0)} of {len(switching)}",
        "bindMedianUsBefore": statistics.median(usual),
        "bindMedianUsDuring": statistics.median([b for b in switching if b >= 0] or [0]),
        "bindP99UsDuring": sorted(b for b in switching if b >= 0)[int(0.99 * max(1, len(switching))) - 1]
        if switching else 0,
        "burst": f"{burst['reached']} of {burst['relays']} reached, sent {burst_at:.1f} s after the kill",
        "switches": [s.metric("tarn_rendezvous_store_switches_total") for s in servers],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    binary = os.path.join(build, "server/tarn-rendezvous")
    logs = tempfile.mkdtemp(prefix="tarn-sentinel-bench-")
    secret = os.path.join(logs, "fleet.secret")
    with open(secret, "w") as out:
        out.write("the benchmark's fleet secret\n")
    procs = {}
    servers = []
    probe = None
    print(f"machine: {os.cpu_count()} processors, load average {' '.join(open('/proc/loadavg').read().split()[:3])}")
    try:
        ports = {"master": free_port(), "replica": free_port()}
        procs["master"] = redis(ports["master"], logs)
        procs["replica"] = redis(ports["replica"], logs, "--replicaof", "127.0.0.1", str(ports["master"]))
        sentinels = []
        for i in range(3):
            conf = os.path.join(logs, f"sentinel{i}.conf")
            with open(conf, "w") as out:
                out.write(f"sentinel monitor tarn 127.0.0.1 {ports['master']} 2\n"
                          "sentinel down-after-milliseconds tarn 1000\nsentinel failover-timeout tarn 5000\n")
            sentinels.append(free_port())
            procs[f"sentinel{i}"] = start([shutil.which("redis-sentinel"), conf, "--port", str(sentinels[-1]),
                                           "--bind", "127.0.0.1"], conf + ".log", "+monitor master")
        # Each sentinel knows the two others and the replica before the master may fail.
        wait_until(lambda: all(entries(p, "SENTINEL", "master", "tarn")[0].get("num-other-sentinels") == "2"
                               for p in sentinels), FAILOVER_WAIT)
        url = "redis+sentinel://" + ",".join(f"127.0.0.1:{p}" for p in sentinels) + "/tarn"
        fleet = ["--fleet-secret-file", secret, "--threads", "1", "--bind-rate", "0", "--relay-rate", "0",
                 "--shared-store", url, "--metrics", "127.0.0.1:0"]
        servers.append(Server(binary, fleet))
        shared = tuple(e.rsplit(":", 1)[1] for e in servers[0].endpoints[:2])
        servers.append(Server(binary, fleet + ["--addr1", "127.0.0.3", "--addr2", "127.0.0.4"], shared))
        wait_until(lambda: all(s.ready() for s in servers), FAILOVER_WAIT)
        probe = subprocess.Popen([os.path.join(build, "bench/server/tarn-failover-probe"), servers[0].endpoints[0],
                                  servers[1].endpoints[0], str(PLAYERS), "127.0.0.9"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if probe.stdout.readline().strip() != "ready":
            raise RuntimeError("tarn-failover-probe did not bind its players")
        time.sleep(2.5)  # each server has checked the fleet twice since the players bound

        first = failover(probe, servers, procs["master"], sentinels, ports["master"], 4.0)
        print("first promotion (master killed):", json.dumps(first))
        procs["master"] = redis(ports["master"], logs)
        # The sentinels promote it only once they see it linked to the new master.
        wait_until(lambda: any(e.get("port") == str(ports["master"]) and e.get("master-link-status") == "ok"
                               for e in entries(sentinels[1], "SENTINEL", "replicas", "tarn")), FAILOVER_WAIT)
        stop(procs.pop("sentinel0"), signal.SIGKILL)
        second = failover(probe, servers, procs["replica"], sentinels[1:], ports["replica"], 12.0)
        print("second promotion (old master back as a replica, one sentinel and the new master killed):",
              json.dumps(second))
    finally:
        if probe is not None:
            probe.stdin.close()
            probe.wait(timeout=10)
        for server in servers:
            server.stop()
        for proc in procs.values():
            stop(proc)

    # Throughput: one server, the store named directly or through the sentinels, rounds alternating.
    try:
        procs = {"master": redis(ports["master"], logs)}
        sentinels = []
        for i in range(3):
            conf = os.path.join(logs, f"again{i}.conf")
            with open(conf, "w") as out:
                out.write(f"sentinel monitor tarn 127.0.0.1 {ports['master']} 2\n")
            sentinels.append(free_port())
            procs[f"sentinel{i}"] = start([shutil.which("redis-sentinel"), conf, "--port", str(sentinels[-1]),
                                           "--bind", "127.0.0.1"], conf + ".log", "+monitor master")
        modes = {"redis://": f"redis://127.0.0.1:{ports['master']}",
                 "redis+sentinel://": "redis+sentinel://" + ",".join(f"127.0.0.1:{p}" for p in sentinels) + "/tarn"}
        results = {name: [] for name in modes}
        for round_number in range(1, args.rounds + 1):
            # Which mode goes first changes every round, so that neither always meets a warmer machine.
            for name, url in list(modes.items())[::1 if round_number % 2 else -1]:
                server = Server(binary, ["--fleet-secret-file", secret, "--threads", "1", "--bind-rate", "0",
                                         "--shared-store", url])
                try:
                    results[name].append(load(build, server, args.seconds))
                finally:
                    server.stop()
                print(f"round {round_number} {name}: {results[name][-1]['answersPerSecond']:.0f}/s")
    finally:
        for proc in procs.values():
            stop(proc)
        shutil.rmtree(logs, ignore_errors=True)
    print()
    print("| store named | binding answers/s (median) | of redis:// | CPU us per answer (median) | lost |")
    print("|---|---|---|---|---|")
    base = statistics.median(r["answersPerSecond"] for r in results["redis://"])
    for name in modes:
        rate = statistics.median(r["answersPerSecond"] for r in results[name])
        cpu = statistics.median(r["targetCpuMicrosPerAnswer"] for r in results[name])
        print(f"| {name} | {rate:.0f} | {rate / base:.2f} | {cpu:.2f} | {sum(r['lost'] for r in results[name])} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
