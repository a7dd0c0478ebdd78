"""A game player that keeps the earlier order of pings and answers, to play games against the real client.

Drop-in for `tarn-probe session --client-id N --game G --json --server A1,A2 --ports P1,P2`: prints its own
player line, reads the peer list from standard input, connects and prints the result line. Discovery is
cut down to one binding request for the public endpoint; the NAT type, behaviour and increment come from
the command line, since the lab knows each site's kind.

The earlier order (see docs/symmetric-port-schedule.md): behind a symmetric NAT every round sends one
relay request naming every unconnected peer with the same predicted ports, then the direct pings to the
peers that are not symmetric; every ping is answered the moment it comes, at whatever point of the pass.
"""

import argparse
import ipaddress
import json
import select
import socket
import struct
import sys
import time

# Message and attribute types of the wire schema.
BIND_REQ, BIND_RESP = 10, 11
PING_DIRECT, PING_RELAY, PING_RESP, PING_CONFIRM = 20, 21, 22, 23
XOR_MAPPED_ADDRESS, XOR_RESPONSE_TARGET, XOR_REFLECTED_FROM, GAME_ID, XOR_P2P_MAPPED_ADDRESS = 1, 4, 5, 6, 7
ADDRESS_XOR_MASK = bytes((0x21, 0x12, 0xA4, 0x42))
TYPE_NAMES = {BIND_REQ: "BIND_REQ", BIND_RESP: "BIND_RESP", PING_DIRECT: "PING_DIRECT",
              PING_RELAY: "PING_RELAY", PING_RESP: "PING_RESP", PING_CONFIRM: "PING_CONFIRM"}

NAT_TYPES = ["UNKNOWN", "NONE", "FULL CONE", "RESTRICTED CONE", "PORT RESTRICTED CONE", "SYMMETRIC"]
NAT_BEHAVIORS = ["UNKNOWN", "NOT SENSITIVE", "ADDRESS SENSITIVE", "PORT SENSITIVE"]
SYMMETRIC = "SYMMETRIC"
CONNECTIONS = {0: "NONE", 1: "DIRECT PRIVATE", 2: "DIRECT PUBLIC", 3: "RELAY", 4: "SELF"}
NONE, DIRECT_PRIVATE, DIRECT_PUBLIC, RELAY, SELF = range(5)

ROUND_S = 0.5
EXTRA_PUBLIC_ROUNDS = 2
CANDIDATES = 30
BIND_TIMEOUT_S = 1.0
BIND_ATTEMPTS = 5
MAX_DATAGRAM = 2048
UNDECODABLE = (ValueError, KeyError, IndexError, struct.error)


# --- Protocol Buffers, the few field kinds the schema uses.

def varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field_varint(number, value):
    return varint(number << 3) + varint(value)


def field_bytes(number, data):
    return varint(number << 3 | 2) + varint(len(data)) + data


def fields(data):
    """(number, value) of every field: ints for varints and fixed64, bytes for length-delimited ones."""
    i, out = 0, []

    def read_varint():
        nonlocal i
        value = shift = 0
        while True:
            byte = data[i]
            i += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return value

    while i < len(data):
        key = read_varint()
        number, wire = key >> 3, key & 7
        if wire == 0:
            out.append((number, read_varint()))
        elif wire == 1:
            out.append((number, struct.unpack_from("<Q", data, i)[0]))
            i += 8
        elif wire == 2:
            size = read_varint()
            if i + size > len(data):
                raise ValueError("truncated field")
            out.append((number, data[i:i + size]))
            i += size
        elif wire == 5:
            i += 4
        else:
            raise ValueError(f"wire type {wire}")
    if i != len(data):
        raise ValueError("truncated message")
    return out


def encode_address(endpoint):
    addr, port = endpoint
    masked = bytes(a ^ m for a, m in zip(socket.inet_aton(addr), ADDRESS_XOR_MASK))
    return field_varint(1, port) + field_bytes(2, masked)


def decode_address(data):
    f = dict(fields(data))
    return socket.inet_ntoa(bytes(a ^ m for a, m in zip(f[2][:4], ADDRESS_XOR_MASK))), f[1]


def encode(kind, attributes=(), game=None, uuid=None):
    """A Content; attributes are (type, endpoint) pairs, uuid the (client id, local address) of a peer."""
    out = field_varint(1, kind)
    if uuid:
        client_id, local_addr = uuid
        out += field_bytes(3, b"\x09" + struct.pack("<q", client_id) + b"\x11"
                           + struct.pack("<Q", int(ipaddress.IPv4Address(local_addr))))
    if game is not None:
        out += field_bytes(4, field_varint(1, GAME_ID) + field_bytes(4, game.encode()))
    for attribute_type, endpoint in attributes:
        out += field_bytes(4, field_varint(1, attribute_type) + field_bytes(2, encode_address(endpoint)))
    return out


def decode(data):
    """(type, game id or None, uuid as (client id, address text) or None, [(attribute type, endpoint)])."""
    kind, game, uuid, addresses = None, None, None, []
    for number, value in fields(data):
        if number == 1:
            kind = value
        elif number == 3:
            u = dict(fields(value))
            client_id = struct.unpack("<i", struct.pack("<Q", u[1])[:4])[0]
            uuid = (client_id, str(ipaddress.IPv4Address(u[2] & 0xFFFFFFFF)))
        elif number == 4:
            a = dict(fields(value))
            if a.get(4) is not None:
                game = a[4].decode()
            if a.get(2) is not None:
                addresses.append((a[1], decode_address(a[2])))
    if kind is None:
        raise ValueError("no type")
    return kind, game, uuid, addresses


# --- The player.


class Player:
    def __init__(self, args):
        self.args = args
        self.servers = [(a, p) for a in args.server.split(",") for p in map(int, args.ports.split(","))]
        self.s1 = self.servers[0]
        self.log_file = open("tarn.log", "w", encoding="ascii")
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.connect(self.s1)  # only to learn which local address routes to the server
        self.local_addr = probe.getsockname()[0]
        probe.close()
        self.sock = self.fresh_socket()
        self.local = self.sock.getsockname()
        self.public = self.binding(self.sock)
        self.peers = []

    def log(self, text):
        self.log_file.write(f"{time.monotonic():.3f} {text}\n")
        self.log_file.flush()

    def fresh_socket(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((self.local_addr, 0))
        return s

    def binding(self, s):
        """The public endpoint the first server sees s at, or None when it never answers."""
        for _ in range(BIND_ATTEMPTS):
            s.sendto(encode(BIND_REQ), self.s1)
            deadline = time.monotonic() + BIND_TIMEOUT_S
            while (left := deadline - time.monotonic()) > 0 and select.select([s], [], [], left)[0]:
                data, sender = s.recvfrom(MAX_DATAGRAM)
                try:
                    kind, _, _, addresses = decode(data)
                except UNDECODABLE:
                    continue
                mapped = [e for t, e in addresses if t == XOR_MAPPED_ADDRESS]
                if kind == BIND_RESP and mapped:
                    return mapped[-1]
        return None

    def topology(self):
        a = self.args
        return {"valid": True, "natType": a.nat_type, "natTypeCode": NAT_TYPES.index(a.nat_type),
                "natBehavior": a.nat_behavior, "natBehaviorCode": NAT_BEHAVIORS.index(a.nat_behavior),
                "natIncrement": a.nat_increment, "localAddr": self.local[0], "localPort": self.local[1],
                "publicAddr": self.public[0], "publicPort": self.public[1]}

    # Peers: dicts of the peer list's topology plus "connection".

    def unconnected(self):
        return [p for p in self.peers if p["connection"] == NONE]

    def send(self, kind, dests, attributes=()):
        data = encode(kind, attributes, self.args.game, (self.args.client_id, self.local[0]))
        for d in dests:
            self.sock.sendto(data, d)
        self.log(f"sent {TYPE_NAMES[kind]} to {dests} with {list(attributes)}")

    def wait(self, seconds):
        """Answers and records what comes, until every peer is connected or the time is up."""
        deadline = time.monotonic() + seconds
        while self.unconnected() and (left := deadline - time.monotonic()) > 0:
            if select.select([self.sock], [], [], left)[0]:
                data, sender = self.sock.recvfrom(MAX_DATAGRAM)
                try:
                    self.process(decode(data), sender)
                except UNDECODABLE as e:
                    self.log(f"dropped a datagram from {sender}: {e!r}")

    def process(self, message, sender):
        kind, game, uuid, addresses = message
        self.log(f"got {TYPE_NAMES.get(kind, kind)} from {sender}")
        if kind not in (PING_DIRECT, PING_RESP, PING_CONFIRM) or game != self.args.game or uuid is None:
            return
        peer = next((p for p in self.peers if (p["localAddr"], p["identifier"]) == (uuid[1], uuid[0])), None)
        if peer is None:
            return
        if kind == PING_DIRECT:
            targets = [e for t, e in addresses if t == XOR_RESPONSE_TARGET]
            extra = []
            if sender not in targets and sender not in self.servers:
                targets.append(sender)
                extra = [(XOR_P2P_MAPPED_ADDRESS, sender)]
            self.send(PING_RESP, targets, extra)
            return
        if peer["connection"] == NONE:
            private = sender == (peer["localAddr"], peer["localPort"])
            peer["connection"] = DIRECT_PRIVATE if private else DIRECT_PUBLIC
            if not private:
                peer["publicAddr"], peer["publicPort"] = sender
        if kind == PING_RESP:
            self.send(PING_CONFIRM, [sender])

    def public_dests(self, own_type):
        """Who the non-symmetric side pings at the public endpoint: by its own and the peer's NAT type."""
        if own_type in ("NONE", "FULL CONE", "RESTRICTED CONE"):
            return self.unconnected()
        if own_type == "PORT RESTRICTED CONE":
            return [p for p in self.unconnected() if p["natType"] != SYMMETRIC]
        return []

    def connect(self, peer_list):
        for entry in peer_list:
            peer = dict(entry["topology"], identifier=entry["identifier"], connection=NONE)
            if (peer["localAddr"], peer["localPort"]) == self.local:
                peer["connection"] = SELF
            self.peers.append(peer)
        # Private round: at the peers' local endpoints, answers at ours.
        if self.unconnected():
            self.send(PING_DIRECT, [(p["localAddr"], p["localPort"]) for p in self.unconnected()],
                      [(XOR_RESPONSE_TARGET, self.local)])
            self.wait(ROUND_S)
        if self.unconnected() and self.args.nat_type == SYMMETRIC:
            probe = self.fresh_socket()
            latest = self.binding(probe)
            probe.close()
            self.log(f"latest public port {latest}")
            step = self.args.nat_increment
            predicted = []
            port = latest[1] if latest else self.public[1]
            for _ in range(CANDIDATES):
                port += step
                if port > 65535:
                    port = step + 1024
                predicted.append((self.public[0], port))
        for _ in range(1 + EXTRA_PUBLIC_ROUNDS):
            peers = self.unconnected()
            if not peers:
                break
            if self.args.nat_type == SYMMETRIC:
                relay = [(XOR_RESPONSE_TARGET, (p["publicAddr"], p["publicPort"])) for p in peers]
                self.send(PING_RELAY, [self.s1], relay + [(XOR_REFLECTED_FROM, e) for e in predicted])
                dests = [(p["publicAddr"], p["publicPort"]) for p in peers
                         if p["natType"] not in (SYMMETRIC, "UNKNOWN")]
                targets = predicted
            else:
                dests = [(p["publicAddr"], p["publicPort"]) for p in self.public_dests(self.args.nat_type)]
                targets = [self.public]
            if dests:
                self.send(PING_DIRECT, dests, [(XOR_RESPONSE_TARGET, t) for t in targets])
            self.wait(ROUND_S)
        for peer in self.peers:
            if peer["identifier"] == self.args.client_id:
                peer["connection"] = SELF
            elif peer["connection"] == NONE:
                peer["connection"] = RELAY

    def result(self):
        return {"identifier": self.args.client_id, "game": self.args.game,
                "peers": [{"identifier": p["identifier"], "connection": CONNECTIONS[p["connection"]],
                           "connectionCode": p["connection"], "publicAddr": p["publicAddr"],
                           "publicPort": p["publicPort"]} for p in self.peers],
                "topology": self.topology(), "exitCode": 0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["session"])
    parser.add_argument("--client-id", type=int, required=True)
    parser.add_argument("--game", required=True)
    parser.add_argument("--json", action="store_true", help="accepted; the result is always JSON")
    parser.add_argument("--server", required=True)
    parser.add_argument("--ports", default="13434,13435")
    parser.add_argument("--nat-type", choices=NAT_TYPES[1:], required=True)
    parser.add_argument("--nat-behavior", choices=NAT_BEHAVIORS[1:], required=True)
    parser.add_argument("--nat-increment", type=int, default=0)
    player = Player(parser.parse_args())
    if player.public is None:
        print(json.dumps({"identifier": player.args.client_id, "exitCode": 3,
                          "error": "the rendezvous service did not answer"}), flush=True)
        return 3
    print(json.dumps({"identifier": player.args.client_id, "topology": player.topology()}), flush=True)
    player.connect(json.loads(sys.stdin.readline()))
    print(json.dumps(player.result()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
