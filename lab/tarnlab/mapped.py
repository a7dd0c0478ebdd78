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
"""

import argparse
import json
import select
import signal
import socket
import sys
import time

ATTEMPTS = 3
ATTEMPT_TIMEOUT_S = 1.0
# Datagrams for one request may still be in flight when its "done" arrives; they get this long.
GRACE_S = 0.2
MAX_DATAGRAM = 2048


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
    args = parser.parse_args()
    if args.command == "serve":
        serve([parse_endpoint(e) for e in args.endpoints.split(",")])
        return 0
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
