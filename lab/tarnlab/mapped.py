#!/usr/bin/env python3
"""Mapped-address responder and prober: measures a NAT with nothing but the Python standard library.

The lab runs this file as a script inside namespaces, so it imports nothing from the package.

Wire format: one JSON object per datagram.
  request  {"id": n, "via": [[addr, port], ...], "to": [addr, port]}   ("via" and "to" optional)
  The responder sends {"id": n, "mapped": [src addr, src port], "via": [addr, port]} from each of its
  endpoints listed in "via" to "to" (default: the request's source), then {"id": n, "done": true,
  "mapped": [...]} from the endpoint the request came to, back to the request's source.

  serve --endpoints A:P,A:P,...   answer on every endpoint until SIGTERM
  probe --bind ADDR --server A1,A2 --ports P1,P2 --public ADDR
        prints one JSON object: the mapping towards all four server endpoints from one socket, which
        remote endpoints get through to a socket that contacted one server endpoint, and what an
        unsolicited datagram does to the public port of a socket that has sent nothing yet
  trace --bind ADDR --server A:P --max-ttl N
        prints one JSON list: for TTL 1 to N, the address whose ICMP time-exceeded error came back, or
        "arrived" once the server answered (the list ends there), or null when nothing came
  hold --bind ADDR --server A:P --wait S
        prints {"mapped": [addr, port]} as the server saw the socket, then {"from": [addr, port]} of the
        first other datagram to reach that socket within S seconds, or {"from": null}
  send --bind ADDR --to A:P     sends a few datagrams to A:P from one socket
  listen --bind ADDR --port P --wait S
        prints {"listening": [addr, port]} once bound, then {"from": [addr, port]} of the first datagram
        to arrive within S seconds, or {"from": null}
  rtt --bind ADDR --server A:P --count N --gap MS --wait S
        sends N requests from one socket, one every MS milliseconds (0: a burst), and prints
        {"rttMs": [...], "order": [...]}: each request's round trip, or null when no answer came within S
        seconds of the last; the requests' numbers (from 0) in the order their answers arrived
  pcp --gateway ADDR --wait S
        sends a PCP ANNOUNCE to the gateway's port 5351 and prints {"answer": {"version", "opcode",
        "result"}} of its answer, {"answer": null} without one within S seconds, or {"refused": true}
        when an ICMP error says nothing listens there
  mapper --lan-if IF --wan-if IF --table T --chain C --grant S [--delay-ms D] [--refuse-renewal] [--no-pcp]
        a NAT-PMP and PCP server on port 5351 of the router whose namespace it runs in, for routers whose
        quirks no daemon setting gives: each mapping is a DNAT rule in chain C of table T (as the daemon
        writes them), granted for S seconds; --delay-ms answers NAT-PMP that late, --refuse-renewal answers
        a PCP request for a nonce that holds a mapping with NO_RESOURCES, --no-pcp leaves PCP unanswered;
        until SIGTERM
  ssdp --bind ADDR --port P --location URL
        answers every SSDP search that reaches ADDR:P (a router redirects its LAN's searches there) from a
        fresh socket on an ephemeral port, as routers built on libupnp do, naming URL; until SIGTERM
"""

import argparse
import json
import select
import signal
import socket
import struct
import subprocess
import sys
import time

ATTEMPTS = 3
ATTEMPT_TIMEOUT_S = 1.0
# Datagrams for one request may still be in flight when its "done" arrives; they get this long.
GRACE_S = 0.2
MAX_DATAGRAM = 2048
# Linux's error queue (<linux/in.h>, <linux/errqueue.h>): the option, the ICMP origin and its type.
IP_RECVERR = 11
SO_EE_ORIGIN_ICMP = 2
ICMP_TIME_EXCEEDED = 11
# struct sock_extended_err: errno, origin, type, code, pad, info, data; then the offender's sockaddr_in.
EXTENDED_ERR = struct.Struct("=IBBBBII")
SEND_COUNT = 3
SEND_GAP_S = 0.05
PCP_PORT = 5351
PCP_VERSION = 2
PCP_ANNOUNCE = 0
# A PCP request header: version, opcode (R bit clear), reserved, lifetime, the client's address as
# IPv4-mapped IPv6; ANNOUNCE carries nothing more.
PCP_HEADER = struct.Struct("!BBHI16s")


def parse_endpoint(text):
    addr, _, port = text.rpartition(":")
    return addr, int(port)


def serve(endpoints):
    sockets = {}
    for ep in endpoints:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(ep)
        sockets[ep] = s
    by_fd = {s.fileno(): (ep, s) for ep, s in sockets.items()}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        readable, _, _ = select.select(list(by_fd), [], [])
        for fd in readable:
            ep, s = by_fd[fd]
            data, src = s.recvfrom(MAX_DATAGRAM)
            try:
                request = json.loads(data)
                ident = request["id"]
                via = [(str(a), int(p)) for a, p in request.get("via", [])]
                to = tuple(request["to"]) if "to" in request else src
                to = (str(to[0]), int(to[1]))
            except (ValueError, KeyError, TypeError) as e:
                print(f"responder: ignoring bad request from {src[0]}:{src[1]}: {e}", file=sys.stderr, flush=True)
                continue
            mapped = list(src)
            for out in via:
                if out not in sockets:
                    print(f"responder: no endpoint {out[0]}:{out[1]}", file=sys.stderr, flush=True)
                    continue
                sockets[out].sendto(json.dumps({"id": ident, "mapped": mapped, "via": list(out)}).encode(), to)
            s.sendto(json.dumps({"id": ident, "done": True, "mapped": mapped}).encode(), src)


class Prober:
    def __init__(self):
        self._next_id = 1

    def ask(self, sock, server, via=(), to=None, listener=None):
        """Sends one request from sock to server and returns (mapped endpoint, via endpoints that reached
        listener, default sock), retrying a silent server."""
        listener = listener or sock
        ident = self._next_id
        self._next_id += 1
        request = {"id": ident, "via": [list(v) for v in via]}
        if to is not None:
            request["to"] = list(to)
        arrived = set()
        for _ in range(ATTEMPTS):
            sock.sendto(json.dumps(request).encode(), server)
            done = None
            deadline = time.monotonic() + ATTEMPT_TIMEOUT_S
            while True:
                now = time.monotonic()
                if now >= deadline:
                    break
                readable, _, _ = select.select({sock, listener}, [], [], deadline - now)
                for r in readable:
                    data, _ = r.recvfrom(MAX_DATAGRAM)
                    try:
                        answer = json.loads(data)
                    except ValueError:
                        continue
                    if answer.get("id") != ident:
                        continue
                    if answer.get("done") and r is sock and done is None:
                        done = tuple(answer["mapped"])
                        deadline = time.monotonic() + GRACE_S
                    elif "via" in answer and r is listener:
                        arrived.add(tuple(answer["via"]))
            if done is not None:
                return done, arrived
        raise TimeoutError(f"no answer from {server[0]}:{server[1]} after {ATTEMPTS} attempts")


def bound_socket(addr):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    return s


def probe(bind, servers, ports, public):
    s1, s2 = (servers[0], ports[0]), (servers[0], ports[1])
    s3, s4 = (servers[1], ports[0]), (servers[1], ports[1])
    prober = Prober()
    result = {}

    with bound_socket(bind) as sock:
        result["local"] = list(sock.getsockname())
        result["mapped"] = [list(prober.ask(sock, s)[0]) for s in (s1, s2, s3, s4)]

    with bound_socket(bind) as sock:
        _, arrived = prober.ask(sock, s1, via=(s1, s2, s3, s4))
        result["admitted"] = {
            "sameEndpoint": s1 in arrived,
            "otherPort": s2 in arrived,
            "otherAddress": s3 in arrived,
            "otherBoth": s4 in arrived,
        }

    with bound_socket(bind) as sock, bound_socket(bind) as control:
        port = sock.getsockname()[1]
        _, arrived = prober.ask(control, s1, via=(s4,), to=(public, port), listener=sock)
        mapped = prober.ask(sock, s4)[0]
        result["unsolicited"] = {"localPort": port, "arrived": s4 in arrived, "mappedPort": mapped[1]}
    return result


def _time_exceeded_from(sock):
    """The offender address of an ICMP time-exceeded error queued on sock, or None for another error."""
    _, ancillary, _, _ = sock.recvmsg(MAX_DATAGRAM, 512, socket.MSG_ERRQUEUE)
    for level, kind, data in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_RECVERR and len(data) >= EXTENDED_ERR.size + 8:
            _, origin, icmp_type, _, _, _, _ = EXTENDED_ERR.unpack_from(data)
            if origin == SO_EE_ORIGIN_ICMP and icmp_type == ICMP_TIME_EXCEEDED:
                # sockaddr_in: family, port, then the address.
                return socket.inet_ntoa(data[EXTENDED_ERR.size + 4:EXTENDED_ERR.size + 8])
    return None


def trace(bind, server, max_ttl):
    """Per TTL from 1: the router that dropped the request, "arrived", or None; stops at the first arrival."""
    path = []
    with bound_socket(bind) as sock:
        sock.setsockopt(socket.IPPROTO_IP, IP_RECVERR, 1)
        for ttl in range(1, max_ttl + 1):
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, ttl)
            found = None
            for _ in range(ATTEMPTS):
                sock.sendto(json.dumps({"id": ttl}).encode(), server)
                deadline = time.monotonic() + ATTEMPT_TIMEOUT_S
                while found is None and time.monotonic() < deadline:
                    # An error queued on the socket wakes poll with POLLERR and no read event.
                    poller = select.poll()
                    poller.register(sock, select.POLLIN | select.POLLERR)
                    events = poller.poll(max(0.0, deadline - time.monotonic()) * 1000)
                    if not events:
                        break
                    if events[0][1] & select.POLLERR:
                        found = _time_exceeded_from(sock)
                        continue
                    data, _ = sock.recvfrom(MAX_DATAGRAM)
                    try:
                        if json.loads(data).get("id") == ttl:
                            found = "arrived"
                    except ValueError:
                        pass
                if found is not None:
                    break
            path.append(found)
            if found == "arrived":
                break
    return path


def hold(bind, server, wait):
    """Prints the socket's mapping as server sees it, then who else reached the socket within wait seconds."""
    with bound_socket(bind) as sock:
        mapped, _ = Prober().ask(sock, server)
        print(json.dumps({"mapped": list(mapped)}), flush=True)
        deadline = time.monotonic() + wait
        source = None
        while source is None and time.monotonic() < deadline:
            readable, _, _ = select.select([sock], [], [], deadline - time.monotonic())
            if readable:
                _, src = sock.recvfrom(MAX_DATAGRAM)
                source = list(src) if src != server else None
        print(json.dumps({"from": source}), flush=True)


def send(bind, to):
    with bound_socket(bind) as sock:
        for _ in range(SEND_COUNT):
            sock.sendto(b"hello", to)
            time.sleep(SEND_GAP_S)


def listen(bind, port, wait):
    """Prints that the socket is bound, then who reached it first within wait seconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind((bind, port))
        print(json.dumps({"listening": list(sock.getsockname())}), flush=True)
        readable, _, _ = select.select([sock], [], [], wait)
        source = list(sock.recvfrom(MAX_DATAGRAM)[1]) if readable else None
        print(json.dumps({"from": source}), flush=True)


def rtt(bind, server, count, gap_ms, wait):
    """Round trips of count requests sent gap_ms apart, in milliseconds (None for a request left unanswered),
    and the requests' numbers in the order their answers arrived."""
    sent, got = {}, {}
    with bound_socket(bind) as sock:
        start = time.monotonic()
        deadline = None
        while len(got) < count:
            now = time.monotonic()
            due = start + len(sent) * gap_ms / 1000
            if len(sent) < count and now >= due:
                sent[len(sent)] = time.monotonic()
                sock.sendto(json.dumps({"id": len(sent) - 1}).encode(), server)
                continue
            if len(sent) == count and deadline is None:
                deadline = now + wait
            until = due if len(sent) < count else deadline
            if now >= until and len(sent) == count:
                break
            readable, _, _ = select.select([sock], [], [], max(0.0, until - now))
            if readable:
                data = sock.recv(MAX_DATAGRAM)
                arrived = time.monotonic()
                try:
                    ident = json.loads(data)["id"]
                except (ValueError, KeyError, TypeError):
                    continue
                if ident in sent and ident not in got:
                    got[ident] = (arrived - sent[ident]) * 1000
    return [got.get(i) for i in range(count)], list(got)


def pcp(gateway, wait):
    """What the gateway answers to a PCP ANNOUNCE: {"answer": {...}}, {"answer": None} or {"refused": True}."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        # Connected, so an ICMP port-unreachable comes back as an error on this socket.
        sock.connect((gateway, PCP_PORT))
        client = b"\0" * 10 + b"\xff\xff" + socket.inet_aton(sock.getsockname()[0])
        sock.send(PCP_HEADER.pack(PCP_VERSION, PCP_ANNOUNCE, 0, 0, client))
        readable, _, _ = select.select([sock], [], [], wait)
        if not readable:
            return {"answer": None}
        try:
            data = sock.recv(MAX_DATAGRAM)
        except ConnectionRefusedError:
            return {"refused": True}
        if len(data) < 4:
            return {"answer": {"short": len(data)}}
        # Answer: version, R bit and opcode, reserved, result code.
        return {"answer": {"version": data[0], "opcode": data[1] & 0x7F, "result": data[3]}}


NATPMP_ADDRESS = 0
NATPMP_MAP_UDP = 1
PCP_MAP = 1
PCP_NO_RESOURCES = 8
UDP = 17
# A PCP MAP request: the header, then nonce, protocol, reserved, internal port, suggested external port
# and address.
PCP_MAP_BODY = struct.Struct("!12sB3sHH16s")
# Where the DNAT rules start: their ports are the suggested ones unless taken.
FIRST_FREE_PORT = 1024


def interface_addr(name):
    """The IPv4 address of interface name in this namespace."""
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", name], capture_output=True, text=True,
                         check=True).stdout
    return out.split()[3].split("/")[0]


class Mapper:
    """The mappings of one mapper: {key: (external port, internal address, internal port, nonce)}, each a
    DNAT rule named by a comment, so that it can be found again to be deleted."""

    def __init__(self, args):
        self.args = args
        self.held = {}
        self.started = time.monotonic()
        self.external = socket.inet_aton(interface_addr(args.wan_if))

    def epoch(self):
        return int(time.monotonic() - self.started)

    def nft(self, *argv):
        return subprocess.run(["nft", *argv], capture_output=True, text=True, check=True).stdout

    def map(self, key, client, internal, suggested, nonce):
        """Maps (or keeps) key; the external port."""
        if key in self.held:
            return self.held[key][0]
        taken = {m[0] for m in self.held.values()}
        port = suggested if suggested >= FIRST_FREE_PORT and suggested not in taken else \
            next(p for p in range(FIRST_FREE_PORT, 65536) if p not in taken)
        self.nft("add", "rule", "inet", self.args.table, self.args.chain, "iifname", self.args.wan_if, "udp",
                 "dport", str(port), "dnat", "ip", "to", f"{client}:{internal}", "comment", f'"m{port}"')
        self.held[key] = (port, client, internal, nonce)
        return port

    def unmap(self, key):
        if key not in self.held:
            return
        port = self.held.pop(key)[0]
        listing = self.nft("-a", "list", "chain", "inet", self.args.table, self.args.chain)
        for line in listing.splitlines():
            if f'comment "m{port}"' in line:
                self.nft("delete", "rule", "inet", self.args.table, self.args.chain, "handle",
                         line.rsplit("handle", 1)[1].strip())

    def answer(self, data, client):
        """The answer to one request, and how many seconds it waits; None for a request it ignores."""
        epoch = struct.pack("!I", self.epoch())
        if data[:2] == bytes([0, NATPMP_ADDRESS]):
            return bytes([0, 128 + NATPMP_ADDRESS, 0, 0]) + epoch + self.external, self.args.delay_ms / 1e3
        if data[:2] == bytes([0, NATPMP_MAP_UDP]) and len(data) >= 12:
            internal, suggested, lifetime = struct.unpack("!HHI", data[4:12])
            key = ("natpmp", client, internal)
            port = suggested
            if lifetime:
                port, lifetime = self.map(key, client, internal, suggested, None), self.args.grant
            else:
                self.unmap(key)
            return (bytes([0, 128 + NATPMP_MAP_UDP, 0, 0]) + epoch + struct.pack("!HHI", internal, port, lifetime),
                    self.args.delay_ms / 1e3)
        if data[:2] == bytes([PCP_VERSION, PCP_MAP]) and len(data) >= PCP_HEADER.size + PCP_MAP_BODY.size \
                and not self.args.no_pcp:
            lifetime = struct.unpack("!I", data[4:8])[0]
            nonce, _, _, internal, suggested, _ = PCP_MAP_BODY.unpack_from(data, PCP_HEADER.size)
            key = ("pcp", client, internal)
            result, port = 0, 0
            held = self.held.get(key)
            if lifetime and held and held[3] == nonce and self.args.refuse_renewal:
                result, lifetime = PCP_NO_RESOURCES, 0
            elif lifetime:
                if held and held[3] != nonce:
                    # The port belongs to the other nonce's mapping: this one gets another.
                    key = ("pcp", client, internal, nonce)
                port, lifetime = self.map(key, client, internal, suggested, nonce), self.args.grant
            else:
                self.unmap(next((k for k, m in self.held.items() if m[3] == nonce), key))
            body = PCP_MAP_BODY.pack(nonce, UDP, bytes(3), internal, port, bytes(10) + b"\xff\xff" + self.external)
            return bytes([PCP_VERSION, 128 + PCP_MAP, 0, result]) + struct.pack("!I", lifetime) + epoch + \
                bytes(12) + body, 0.0
        return None


def mapper(args):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((interface_addr(args.lan_if), PCP_PORT))
    state = Mapper(args)
    due = []  # (when, answer, to): answers held back by --delay-ms
    while True:
        timeout = max(0.0, min(d[0] for d in due) - time.monotonic()) if due else None
        if select.select([sock], [], [], timeout)[0]:
            data, source = sock.recvfrom(MAX_DATAGRAM)
            reply = state.answer(data, source[0])
            if reply:
                due.append((time.monotonic() + reply[1], reply[0], source))
        now = time.monotonic()
        for item in [d for d in due if d[0] <= now]:
            sock.sendto(item[1], item[2])
            due.remove(item)


SSDP_ANSWER = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
               "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
               "USN: uuid:tarnlab::urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
               "EXT:\r\nSERVER: tarnlab/1 UPnP/1.0\r\nLOCATION: {location}\r\n\r\n")


def ssdp(bind, port, location):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind((bind, port))
    answer = SSDP_ANSWER.format(location=location).encode("ascii")
    while True:
        data, source = listener.recvfrom(MAX_DATAGRAM)
        if not data.startswith(b"M-SEARCH"):
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as fresh:
            fresh.bind((bind, 0))
            fresh.sendto(answer, source)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p_serve = sub.add_parser("serve")
    p_serve.add_argument("--endpoints", required=True)
    p_probe = sub.add_parser("probe")
    p_probe.add_argument("--bind", required=True)
    p_probe.add_argument("--server", required=True)
    p_probe.add_argument("--ports", required=True)
    p_probe.add_argument("--public", required=True)
    p_trace = sub.add_parser("trace")
    p_trace.add_argument("--bind", required=True)
    p_trace.add_argument("--server", required=True, type=parse_endpoint)
    p_trace.add_argument("--max-ttl", type=int, default=8)
    p_hold = sub.add_parser("hold")
    p_hold.add_argument("--bind", required=True)
    p_hold.add_argument("--server", required=True, type=parse_endpoint)
    p_hold.add_argument("--wait", type=float, required=True)
    p_send = sub.add_parser("send")
    p_send.add_argument("--bind", required=True)
    p_send.add_argument("--to", required=True, type=parse_endpoint)
    p_listen = sub.add_parser("listen")
    p_listen.add_argument("--bind", required=True)
    p_listen.add_argument("--port", type=int, required=True)
    p_listen.add_argument("--wait", type=float, required=True)
    p_rtt = sub.add_parser("rtt")
    p_rtt.add_argument("--bind", required=True)
    p_rtt.add_argument("--server", required=True, type=parse_endpoint)
    p_rtt.add_argument("--count", type=int, required=True)
    p_rtt.add_argument("--gap", type=float, required=True)
    p_rtt.add_argument("--wait", type=float, required=True)
    p_pcp = sub.add_parser("pcp")
    p_pcp.add_argument("--gateway", required=True)
    p_pcp.add_argument("--wait", type=float, required=True)
    p_mapper = sub.add_parser("mapper")
    for name in ("--lan-if", "--wan-if", "--table", "--chain"):
        p_mapper.add_argument(name, required=True)
    p_mapper.add_argument("--grant", type=int, required=True)
    p_mapper.add_argument("--delay-ms", type=int, default=0)
    p_mapper.add_argument("--refuse-renewal", action="store_true")
    p_mapper.add_argument("--no-pcp", action="store_true")
    p_ssdp = sub.add_parser("ssdp")
    p_ssdp.add_argument("--bind", required=True)
    p_ssdp.add_argument("--port", type=int, required=True)
    p_ssdp.add_argument("--location", required=True)
    args = parser.parse_args()
    if args.command == "mapper":
        mapper(args)
        return 0
    if args.command == "ssdp":
        ssdp(args.bind, args.port, args.location)
        return 0
    if args.command == "serve":
        serve([parse_endpoint(e) for e in args.endpoints.split(",")])
        return 0
    try:
        if args.command == "trace":
            print(json.dumps(trace(args.bind, args.server, args.max_ttl)))
            return 0
        if args.command == "hold":
            hold(args.bind, args.server, args.wait)
            return 0
        if args.command == "send":
            send(args.bind, args.to)
            return 0
        if args.command == "listen":
            listen(args.bind, args.port, args.wait)
            return 0
        if args.command == "rtt":
            trips, order = rtt(args.bind, args.server, args.count, args.gap, args.wait)
            print(json.dumps({"rttMs": trips, "order": order}))
            return 0
        if args.command == "pcp":
            print(json.dumps(pcp(args.gateway, args.wait)))
            return 0
    except TimeoutError as e:
        print(f"prober: {e}", file=sys.stderr)
        return 3
    servers = args.server.split(",")
    ports = [int(p) for p in args.ports.split(",")]
    if len(servers) != 2 or len(ports) != 2:
        parser.error("--server and --ports take two values each")
    try:
        print(json.dumps(probe(args.bind, servers, ports, args.public)))
    except TimeoutError as e:
        print(f"prober: {e}", file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
