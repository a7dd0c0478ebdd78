#!/usr/bin/env python3
"""What attacks on a fleet get from tarn-rendezvous, for two binaries side by side in one run.

Two servers of a fleet (A on 127.0.0.1/.2, B on 127.0.0.3/.4, the same ports) share a
redis-server on loopback. Against each binary in turn:
- forged store records, written as anyone who reaches the store could, for an endpoint that never
  bound: one naming a host outside the fleet, one naming A's own endpoint; then a relay to it;
- a stranger on B's address (another port, nothing sealed) and a player's address each flood A
  with single-target relays for 1.5 s;
- relays with 32 unknown targets each: the GETs the store receives per request;
- a look-up flood (32 unknown targets per request from 200 addresses) while the store is stalled
  (SIGSTOP) for 5 s: the GETs the store received per admitted request, A's memory, and whether
  relays between players of A are still answered meanwhile;
- one forward from A to B, captured on loopback and sent again REPLAYS times from A's own address
  and port (a raw socket): the pings B sent its player because of the copies, and what B counted.
A binary that knows --fleet-secret-file gets one. Every process is started here and stopped by its
pid; everything is sent to loopback only.

    bench/server/fleet_attacks.py --before OLD_BINARY --after NEW_BINARY
"""

import argparse
import os
import struct
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "lab"))
from docorder import BIND_REQ, PING_RELAY, PING_DIRECT, XOR_RESPONSE_TARGET, decode, encode  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from store import READY_WAIT, Redis, free_port  # noqa: E402

FLOOD_S = 1.5
REPLAYS = 1000
STALL_S = 5.0
SOURCES = 200
TARGETS = 32
SETTLE_S = 0.5


def udp(addr, port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, port))
    s.setblocking(False)
    return s


def endpoint(text):
    addr, port = text.rsplit(":", 1)
    return addr, int(port)


def relay(targets):
    return encode(PING_RELAY, [(XOR_RESPONSE_TARGET, t) for t in targets], game="game-7", uuid=(7, "127.0.0.9"))


def drain(s):
    """Datagrams waiting on s, as decoded messages (None for bytes that do not decode)."""
    got = []
    while True:
        try:
            data, _ = s.recvfrom(4096)
        except BlockingIOError:
            return got
        try:
            got.append(decode(data))
        except Exception:  # noqa: BLE001 - any bytes count, decodable or not
            got.append(None)


def bind(player, server):
    player.sendto(encode(BIND_REQ), server)
    deadline = time.monotonic() + 2
    while not drain(player):
        if time.monotonic() > deadline:
            raise RuntimeError("no binding answer")
        time.sleep(0.005)


def redis_command(port, *words):
    """One command to database 1, the servers'; the raw replies."""
    request = b"*2\r\n$6\r\nSELECT\r\n$1\r\n1\r\n"
    request += b"*%d\r\n" % len(words) + b"".join(b"$%d\r\n%s\r\n" % (len(w), w) for w in (x.encode() for x in words))
    with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
        c.sendall(request + b"*1\r\n$4\r\nQUIT\r\n")
        reply = b""
        while chunk := c.recv(65536):
            reply += chunk
    return reply.decode(errors="replace")


def get_calls(port):
    """GET commands the store has answered since it started."""
    stats = redis_command(port, "INFO", "commandstats")
    return int(stats.split("cmdstat_get:calls=")[1].split(",")[0]) if "cmdstat_get:" in stats else 0


class Fleet:
    """A and B with one store; A serves metrics."""

    def __init__(self, binary, sealed, logs):
        self.redis = Redis(free_port(), logs)
        self.servers = []
        extra = ["--threads", "1", "--stats-interval", "0", "--shared-store", f"redis://127.0.0.1:{self.redis.port}/1"]
        if sealed:
            secret = os.path.join(logs, "fleet.secret")
            with open(secret, "w") as out:
                out.write("the bench's fleet secret\n")
            extra += ["--fleet-secret-file", secret]
        self.a = self._start(binary, ["--port1", "0", "--port2", "0", "--metrics", "127.0.0.1:0"] + extra)
        port1, port2 = (endpoint(e)[1] for e in self.a["endpoints"][:2])
        self.b = self._start(binary, ["--addr1", "127.0.0.3", "--addr2", "127.0.0.4", "--port1", str(port1),
                                      "--port2", str(port2), "--metrics", "127.0.0.3:0"] + extra)
        self.port1 = port1
        time.sleep(1.5)  # each has renewed its place in the fleet and read the other's

    def _start(self, binary, args):
        proc = subprocess.Popen([binary] + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        server = {"proc": proc}
        self.servers.append(server)
        line = proc.stdout.readline()
        if " listening on " not in line:
            raise RuntimeError("tarn-rendezvous did not start: " + line)
        server["endpoints"] = line.split(" listening on ")[1].split(" with ")[0].split()
        if "--metrics" in args:
            server["metrics"] = proc.stdout.readline().split(" at ")[1].strip()
        return server

    def a_endpoint(self):
        return endpoint(self.a["endpoints"][0])

    def metric(self, wanted, server=None):
        with urllib.request.urlopen((server or self.a)["metrics"], timeout=5) as answer:
            for line in answer.read().decode().splitlines():
                if line.startswith(wanted + " "):
                    return float(line.split()[1])
        return 0.0

    def stop(self):
        for server in self.servers:
            server["proc"].terminate()
            server["proc"].wait(timeout=10)
        self.redis.stop()


def forged_records(fleet):
    """Datagrams the outsider and the victim got from forged records naming them."""
    outsider = udp("127.0.0.77", fleet.port1)
    requester = udp("127.0.0.10")
    result = {}
    for name, server in (("a host outside the fleet", f"127.0.0.77:{fleet.port1}"),
                         ("A's own endpoint", f"127.0.0.1:{fleet.port1}")):
        victim = udp("127.0.0.9")
        key = "tarn:allow:%s:%d" % victim.getsockname()
        redis_command(fleet.redis.port, "SET", key, server)
        requester.sendto(relay([victim.getsockname()]), fleet.a_endpoint())
        time.sleep(SETTLE_S)
        result[name] = len(drain(outsider)) + len(drain(victim))
        victim.close()
    result["forged records counted"] = fleet.metric('tarn_rendezvous_store_lookups_total{result="forged"}')
    outsider.close()
    requester.close()
    return result


def forged_source(fleet):
    """Pings A relays in FLOOD_S for a stranger on B's address, and for another address."""
    player = udp("127.0.0.9")
    bind(player, fleet.a_endpoint())
    result = {}
    for name, addr in (("a stranger on B's address", "127.0.0.3"), ("any other address", "127.0.0.11")):
        stranger = udp(addr)
        request = relay([player.getsockname()])
        got = 0
        end = time.monotonic() + FLOOD_S
        while time.monotonic() < end:
            for _ in range(50):
                try:
                    stranger.sendto(request, fleet.a_endpoint())
                except BlockingIOError:
                    pass
            got += sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
        time.sleep(SETTLE_S)
        result[name] = got + sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
        stranger.close()
    player.close()
    return result


def admitted_relays(fleet):
    return (fleet.metric('tarn_rendezvous_requests_total{type="relay"}')
            - fleet.metric('tarn_rendezvous_dropped_total{reason="relayRateLimited"}'))


def lookup_bound(fleet):
    """The GETs the store received per admitted request with 32 unknown targets, the store up."""
    sources = [udp(f"127.0.2.{i + 1}") for i in range(20)]
    unknown = relay([("127.0.0.9", 20000 + i) for i in range(TARGETS)])
    gets, admitted = get_calls(fleet.redis.port), admitted_relays(fleet)
    end = time.monotonic() + FLOOD_S
    while time.monotonic() < end:
        for s in sources:
            s.sendto(unknown, fleet.a_endpoint())
        time.sleep(0.001)
    time.sleep(SETTLE_S)
    admitted = admitted_relays(fleet) - admitted
    for s in sources:
        s.close()
    return {"store GETs per admitted request, store up": (get_calls(fleet.redis.port) - gets) / max(admitted, 1)}


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def lookup_flood(fleet):
    """The look-up flood against a stalled store."""
    pid = fleet.a["proc"].pid
    player = udp("127.0.0.9")
    bind(player, fleet.a_endpoint())
    local = udp("127.0.0.12")
    sources = [udp(f"127.0.1.{i + 1}") for i in range(SOURCES)]
    unknown = relay([("127.0.0.9", 20000 + i) for i in range(TARGETS)])
    gets_before = get_calls(fleet.redis.port)
    admitted_before = admitted_relays(fleet)
    start_rss = peak = rss_mb(pid)
    stop = threading.Event()

    def sample():
        nonlocal peak
        while not stop.is_set():
            peak = max(peak, rss_mb(pid))
            stop.wait(0.05)
    sampler = threading.Thread(target=sample)
    sampler.start()
    fleet.redis.proc.send_signal(signal.SIGSTOP)
    answered = asked = 0
    end = time.monotonic() + STALL_S
    next_local = time.monotonic()
    try:
        while time.monotonic() < end:
            for s in sources:
                try:
                    s.sendto(unknown, fleet.a_endpoint())
                except BlockingIOError:
                    pass
            if time.monotonic() >= next_local:
                local.sendto(relay([player.getsockname()]), fleet.a_endpoint())
                asked += 1
                next_local += 0.1
            answered += sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
    finally:
        fleet.redis.proc.send_signal(signal.SIGCONT)
    deadline = time.monotonic() + READY_WAIT
    while time.monotonic() < deadline and fleet.metric("tarn_rendezvous_store_connected") != 1:
        time.sleep(0.05)
    time.sleep(1.0)  # what A still had queued reaches the store
    stop.set()
    sampler.join()
    answered += sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
    gets = get_calls(fleet.redis.port)
    admitted = admitted_relays(fleet) - admitted_before
    for s in sources + [local, player]:
        s.close()
    return {"admitted flood requests": admitted,
            "store GETs per admitted request, during the stall and 1 s after": (gets - gets_before) / max(admitted, 1),
            "memory growth (MB, peak RSS minus start)": peak - start_rss,
            "relays between players of A answered": f"{answered} of {asked}"}


def capture_forward(capture, source, destination):
    """The first IPv4 packet on lo from source to destination (both (addr, port)), whole, or None."""
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        try:
            frame = capture.recv(65536)
        except BlockingIOError:
            time.sleep(0.001)
            continue
        packet = frame[14:]  # after lo's Ethernet header
        if len(packet) < 28 or packet[9] != socket.IPPROTO_UDP:
            continue
        header = (packet[0] & 15) * 4
        ends = ((socket.inet_ntoa(packet[12:16]), struct.unpack("!H", packet[header:header + 2])[0]),
                (socket.inet_ntoa(packet[16:20]), struct.unpack("!H", packet[header + 2:header + 4])[0]))
        if ends == (source, destination):
            # Loopback leaves the UDP checksum to be filled in; a copy goes without one (0, as
            # IPv4 allows), the rest of it byte for byte.
            return packet[:header + 6] + b"\0\0" + packet[header + 8:]
    return None


def replayed_forward(fleet):
    """Pings B's player got from copies of one captured forward A sent it, and B's count of them."""
    player = udp("127.0.0.9")
    b_endpoint = endpoint(fleet.b["endpoints"][0])
    bind(player, b_endpoint)
    time.sleep(SETTLE_S)  # B's record of the player reaches the store
    capture = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
    capture.bind(("lo", 0))
    capture.setblocking(False)
    requester = udp("127.0.0.10")
    requester.sendto(relay([player.getsockname()]), fleet.a_endpoint())
    packet = capture_forward(capture, fleet.a_endpoint(), b_endpoint)
    capture.close()
    requester.close()
    if packet is None:
        raise RuntimeError("no forward from A to B seen on lo")
    time.sleep(SETTLE_S)
    first = sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
    # B's own count: the player's receive buffer would cap what it can see.
    relayed = 'tarn_rendezvous_sent_messages_total{message="relayedPings"}'
    sent_before = fleet.metric(relayed, fleet.b)
    sender = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    for sent in range(REPLAYS):
        sender.sendto(packet, (b_endpoint[0], 0))
        if sent % 50 == 49:
            time.sleep(0.002)  # B's receive buffer is not what is measured
    sender.close()
    time.sleep(SETTLE_S)
    more = sum(1 for m in drain(player) if m and m[0] == PING_DIRECT)
    player.close()
    counted = fleet.metric('tarn_rendezvous_dropped_total{reason="fleetReplayed"}', fleet.b)
    return {"pings from the forward itself": first,
            f"more pings B sent its player for {REPLAYS} copies": int(fleet.metric(relayed, fleet.b) - sent_before),
            "of them the player received": more, "copies counted fleetReplayed at B": int(counted)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", required=True)
    parser.add_argument("--after", required=True)
    args = parser.parse_args()
    print(f"machine: {os.cpu_count()} processors, load average {' '.join(open('/proc/loadavg').read().split()[:3])}")
    results = {}
    for label, binary in (("before", args.before), ("after", args.after)):
        sealed = "--fleet-secret-file" in subprocess.run([binary, "--help"], capture_output=True, text=True).stdout
        logs = tempfile.mkdtemp(prefix="tarn-fleet-bench-")
        fleet = Fleet(os.path.abspath(binary), sealed, logs)
        try:
            results[label] = {}
            for attack in (replayed_forward, forged_records, forged_source, lookup_bound, lookup_flood):
                for name, value in attack(fleet).items():
                    results[label][f"{attack.__name__.replace('_', ' ')}: {name}"] = value
        finally:
            fleet.stop()
            shutil.rmtree(logs, ignore_errors=True)
    print()
    print("| attack | before | after |")
    print("|---|---|---|")
    for name in results["before"]:
        cells = [results[label][name] for label in ("before", "after")]
        print(f"| {name} | " + " | ".join(f"{c:.2f}" if isinstance(c, float) else str(c) for c in cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
