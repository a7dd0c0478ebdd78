"""Mapping routers: Debian's miniupnpd in a router's namespace, its nftables table, and the mappings it holds.

A kind with a +option suffix runs the daemon on its home router. The daemon writes each mapping as a DNAT
rule into the chain PREROUTING_CHAIN of TABLE; the router's own prerouting chain jumps there, except on a
lying router, whose mappings are granted and listed but never reached.

The lab's outside addresses are documentation-range ones, which the daemon takes for private and refuses to
forward to, unless a STUN check finds the router reachable there. So every mapping router asks a classic
STUN server (stund) on the lab's internet at start; the router leaves its own datagrams untranslated and
admits that server's answers (see nat.NatKind.ruleset).
"""

import ipaddress
import json
import os
import re
import sys
import time
import uuid
from dataclasses import dataclass

from . import programs
from .netns import CommandError

PMP = "pmp"
NATPMP = "natpmp"
UPNP = "upnp"
LYING = "lying"
# Router quirks, each an option of its own: the daemon as above with one kernel setting or responder more.
UPNP_SSDP_PORT = "upnp-ssdp-port"
UPNP_MUTE = "upnp-mute"
PMP_DROP_FIRST = "pmp-drop-first"
NATPMP_SLOW = "natpmp-slow"
PCP_REFUSE_RENEWAL = "pcp-refuse-renewal"

TABLE = "tarnlab-portmap"
FORWARD_CHAIN = "miniupnpd"
PREROUTING_CHAIN = "prerouting_miniupnpd"
POSTROUTING_CHAIN = "postrouting_miniupnpd"
DAEMON = "miniupnpd"
STUN_DAEMON = "stund"
# NAT-PMP and PCP share this port on the gateway.
PMP_PORT = 5351
# The daemon's description and control over HTTP; fixed so that readiness is a port to wait for.
HTTP_PORT = 2869
# The daemon's description, as its SSDP answers name it.
ROOT_DESC = "/rootDesc.xml"
SSDP_PORT = 1900
# Where a router with ssdp_other_port redirects the LAN's searches: its responder (mapped.py ssdp).
SSDP_RESPONDER_PORT = 1901
STUN_PORTS = (3478, 3479)
# Time for the STUN check (the daemon waits up to 3 s for answers) and the first listening sockets.
DAEMON_START_TIMEOUT_S = 15.0
STUN_START_TIMEOUT_S = 10.0
# Listing the mappings runs nft; a tenth of a second between looks keeps that cheap.
MAPPING_POLL_S = 0.1
# How long after a player exits its mappings may still stand on the router.
CLEANUP_WAIT_S = 3.0
# The mappings a client may ask for: its own address (secure mode) and unprivileged ports only.
ALLOWED_PORTS = "1024-65535"
# The public client tools: natpmpc retries for up to a few seconds, upnpc's discovery waits 2 s.
TOOL_TIMEOUT_S = 20.0
# inbound_source(): how long the receiver waits for the sender's datagrams, which cross the lab in well
# under a millisecond when the router forwards them.
INBOUND_WAIT_S = 2.0
# IP protocol numbers as the daemon's rules match them.
PROTOCOLS = {6: "TCP", 17: "UDP"}


@dataclass(frozen=True)
class Option:
    """What a mapping router answers, and whether a granted mapping forwards."""

    name: str
    natpmp: bool
    pcp: bool
    upnp: bool
    forwards: bool
    # SSDP answers come from a fresh socket on an ephemeral port, as routers built on libupnp send them: the
    # LAN's searches go to a small responder, and the daemon's own answers (from port 1900) are dropped.
    ssdp_other_port: bool = False
    # The description and control server accepts connections and never answers: its segments after the
    # handshake are dropped on the way out.
    mute_http: bool = False
    # The answer to each client's first PCP datagram is lost on the way out (the daemon did map).
    drop_first_pcp_answer: bool = False
    # Quirks no daemon setting gives: a small NAT-PMP/PCP server of our own (mapped.py mapper) runs instead of
    # the daemon, with these arguments.
    responder: tuple = ()

    def nft_table(self, lan_if):
        """nftables lines of the daemon's table: the chains it writes to, hooked in as the option says."""
        jump = [f"    jump {PREROUTING_CHAIN}"] if self.forwards else []
        if self.ssdp_other_port:
            jump.append(f'    iifname "{lan_if}" udp dport {SSDP_PORT} redirect to :{SSDP_RESPONDER_PORT}')
        dropped = []
        if self.ssdp_other_port:
            dropped.append(f'    oifname "{lan_if}" udp sport {SSDP_PORT} drop')
        if self.mute_http:
            dropped.append(f'    oifname "{lan_if}" tcp sport {HTTP_PORT} tcp flags & syn == 0 drop')
        if self.drop_first_pcp_answer:
            # Byte 0 of the payload is the version: 2 is PCP. The set remembers who lost an answer already.
            dropped.append(f'    oifname "{lan_if}" udp sport {PMP_PORT} @th,64,8 == 2 ip daddr != @pcp_answered '
                           "add @pcp_answered { ip daddr } drop")
        lines = [
            f"table inet {TABLE} {{",
            # Never hooked: the router's own forward chain already admits everything from the internet that
            # its NAT lets in, and a second forward hook with a drop policy would veto the LAN's traffic.
            f"  chain {FORWARD_CHAIN} {{",
            "  }",
            f"  chain {PREROUTING_CHAIN} {{",
            "  }",
            f"  chain {POSTROUTING_CHAIN} {{",
            "  }",
            "  chain prerouting {",
            "    type nat hook prerouting priority dstnat; policy accept;",
            *jump,
            "  }",
            "  chain postrouting {",
            "    type nat hook postrouting priority srcnat; policy accept;",
            f"    jump {POSTROUTING_CHAIN}",
            "  }",
        ]
        if self.drop_first_pcp_answer:
            lines += ["  set pcp_answered {", "    type ipv4_addr; flags dynamic;", "  }"]
        if dropped:
            lines += ["  chain output {", "    type filter hook output priority filter; policy accept;", *dropped,
                      "  }"]
        if self.natpmp and not self.pcp:
            # The daemon answers both versions on one port; version 0 (the first byte) is NAT-PMP. The
            # others go unanswered, as a daemon that speaks NAT-PMP alone ignores them.
            lines += [
                "  chain input {",
                "    type filter hook input priority filter; policy accept;",
                f'    iifname "{lan_if}" udp dport {PMP_PORT} @th,64,8 != 0 drop',
                "  }",
            ]
        return lines + ["}"]

    def config(self, lan_if, wan_if, lan_prefix, stun_addr, daemon_uuid):
        """The daemon's configuration file for a router whose LAN lan_prefix sits on lan_if."""
        def yes(flag):
            return "yes" if flag else "no"

        return "\n".join([
            f"ext_ifname={wan_if}",
            f"listening_ip={lan_if}",
            f"http_port={HTTP_PORT}",
            "ipv6_disable=yes",
            f"enable_natpmp={yes(self.natpmp or self.pcp)}",
            f"enable_upnp={yes(self.upnp)}",
            "ext_perform_stun=yes",
            f"ext_stun_host={stun_addr}",
            f"ext_stun_port={STUN_PORTS[0]}",
            f"uuid={daemon_uuid}",
            "secure_mode=yes",
            "system_uptime=no",
            f"upnp_table_name={TABLE}",
            f"upnp_nat_table_name={TABLE}",
            f"upnp_forward_chain={FORWARD_CHAIN}",
            f"upnp_nat_chain={PREROUTING_CHAIN}",
            f"upnp_nat_postrouting_chain={POSTROUTING_CHAIN}",
            f"allow {ALLOWED_PORTS} {lan_prefix} {ALLOWED_PORTS}",
            "deny 0-65535 0.0.0.0/0 0-65535",
        ]) + "\n"

    def ready_ports(self):
        """(protocol, port) of every socket the daemon listens on once it serves."""
        ports = set()
        if self.natpmp or self.pcp:
            ports.add(("udp", PMP_PORT))
        if self.upnp:
            ports.add(("tcp", HTTP_PORT))
        return ports


OPTIONS = {o.name: o for o in (
    Option(PMP, natpmp=True, pcp=True, upnp=False, forwards=True),
    Option(NATPMP, natpmp=True, pcp=False, upnp=False, forwards=True),
    Option(UPNP, natpmp=False, pcp=False, upnp=True, forwards=True),
    # Grants through every protocol, so whichever the client prefers meets the lie.
    Option(LYING, natpmp=True, pcp=True, upnp=True, forwards=False),
    Option(UPNP_SSDP_PORT, natpmp=False, pcp=False, upnp=True, forwards=True, ssdp_other_port=True),
    Option(UPNP_MUTE, natpmp=False, pcp=False, upnp=True, forwards=True, mute_http=True),
    Option(PMP_DROP_FIRST, natpmp=True, pcp=True, upnp=False, forwards=True, drop_first_pcp_answer=True),
    # NAT-PMP alone, answering 70 ms late: past the client's 60 ms resend step, so every request is answered
    # twice. Two-hour grants, as the client asks.
    Option(NATPMP_SLOW, natpmp=True, pcp=False, upnp=False, forwards=True,
           responder=("--grant", 7200, "--delay-ms", 70, "--no-pcp")),
    # PCP that refuses to renew a nonce's mapping; 4 s grants, so that renewal comes 2 s in.
    Option(PCP_REFUSE_RENEWAL, natpmp=True, pcp=True, upnp=False, forwards=True,
           responder=("--grant", 4, "--refuse-renewal")),
)}


@dataclass(frozen=True)
class Mapping:
    """One mapping a router's daemon holds: datagrams to its external port go to internal."""

    protocol: str  # "UDP" or "TCP"
    external_port: int
    internal: tuple  # (address, port)


def start_stun(host):
    """Runs a classic STUN server on the host's two addresses (a Host of the world); returns its Process."""
    a1, a2 = host.addrs[:2]
    process = host.ns.spawn([STUN_DAEMON, "-h", a1, "-a", a2], "stund")
    host.ns.wait_listening([(a, p) for a in (a1, a2) for p in STUN_PORTS], process, STUN_START_TIMEOUT_S)
    return process


def start_daemon(router, option, lan_if, wan_if, lan_prefix, stun_addr):
    """Starts the daemon in the router's namespace with a configuration, pid file and uuid of its own and
    waits until it serves; returns its Process (stopped by its pid with the lab)."""
    if option.responder:
        process = router.spawn([sys.executable, programs.MAPPED_SCRIPT, "mapper", "--lan-if", lan_if, "--wan-if",
                                wan_if, "--table", TABLE, "--chain", PREROUTING_CHAIN, *option.responder], "mapper")
        router.wait_listening([(None, PMP_PORT)], process, DAEMON_START_TIMEOUT_S, "udp")
        return process
    folder = router.lab.tempdir(f"{router.name}-{DAEMON}")
    conf = os.path.join(folder, f"{DAEMON}.conf")
    with open(conf, "w", encoding="ascii") as f:
        f.write(option.config(lan_if, wan_if, lan_prefix, stun_addr, uuid.uuid4()))
    # -d keeps it in the foreground, so the pid the lab holds is the daemon's and its log goes to stderr.
    process = router.spawn([DAEMON, "-d", "-f", conf, "-P", os.path.join(folder, f"{DAEMON}.pid")], DAEMON)
    for protocol, port in sorted(option.ready_ports()):
        router.wait_listening([(None, port)], process, DAEMON_START_TIMEOUT_S, protocol)
    if option.ssdp_other_port:
        # The router's LAN address is its LAN's first (world.py numbers it so).
        gateway = str(next(ipaddress.ip_network(lan_prefix, strict=False).hosts()))
        responder = router.spawn([sys.executable, programs.MAPPED_SCRIPT, "ssdp", "--bind", gateway, "--port",
                                  SSDP_RESPONDER_PORT, "--location", f"http://{gateway}:{HTTP_PORT}{ROOT_DESC}"],
                                 "ssdp")
        router.wait_listening([(None, SSDP_RESPONDER_PORT)], responder, DAEMON_START_TIMEOUT_S, "udp")
    return process


def _rule_mapping(line):
    """The Mapping a DNAT rule of the daemon's chain stands for, or None for another line."""
    to = re.search(r"dnat ip to ([0-9.]+):(\d+)", line)
    port = re.search(r"\bdport (\d+)", line)
    proto = re.search(r"@nh,72,8 (0x[0-9a-f]+|\d+)", line)
    if not (to and port):
        return None
    number = int(proto.group(1), 0) if proto else 0
    name = PROTOCOLS.get(number) or ("UDP" if " udp " in f" {line} " else "TCP" if " tcp " in f" {line} " else "?")
    return Mapping(name, int(port.group(1)), (to.group(1), int(to.group(2))))


def mappings(router):
    """Every mapping the daemon on the router (its namespace) holds, as its nftables rules show them; a
    lying router's are listed too, though nothing reaches them."""
    argv = ["nft", "list", "chain", "inet", TABLE, PREROUTING_CHAIN]
    rules = [line.strip() for line in router.run(argv).stdout.splitlines() if "dnat" in line]
    found = [_rule_mapping(line) for line in rules]
    unread = [line for line, m in zip(rules, found) if m is None]
    if unread:
        # A rule the check cannot read must not pass for no mapping at all.
        raise CommandError(argv, f"unreadable mapping rule: {unread[0]}")
    return found


def mappings_left(router, within_s=CLEANUP_WAIT_S):
    """The mappings still on the router within_s seconds from now; returns [] as soon as there are none."""
    deadline = time.monotonic() + within_s
    while True:
        left = mappings(router)
        if not left or time.monotonic() >= deadline:
            return left
        # The daemon signals nothing when a rule goes: look again shortly.
        time.sleep(MAPPING_POLL_S)



def natpmpc_map(client, gateway, port, lifetime):
    """Asks the gateway through NAT-PMP (Debian's natpmpc in the client's namespace) to map UDP port to the
    client's same port for lifetime seconds (0 deletes); returns the granted public port, or None."""
    done = client.ns.run(["natpmpc", "-g", gateway, "-a", port, port, "udp", lifetime], timeout=TOOL_TIMEOUT_S,
                         check=False)
    granted = re.search(r"Mapped public port (\d+) protocol UDP to local port \d+", done.stdout)
    return int(granted.group(1)) if granted else None


def upnpc(client, *args):
    """Runs Debian's upnpc in the client's namespace with args; returns its standard output. The IGD check
    is skipped (-i): miniupnpc calls an IGD with a documentation-range address "not connected"."""
    # -p: a MiniSSDPd socket of the lab's own, so the tool asks nothing outside the namespace.
    socket_path = os.path.join(client.ns.lab.workdir, "no-minissdpd.sock")
    return client.ns.run(["upnpc", "-i", "-m", client.addr, "-p", socket_path, *args], timeout=TOOL_TIMEOUT_S,
                         check=False).stdout


def upnpc_map(client, port, lifetime):
    """Asks for a UPnP-IGD mapping of UDP port to the client's same port; returns the public port, or None."""
    out = upnpc(client, "-a", client.addr, port, port, "UDP", lifetime)
    granted = re.search(r"external [0-9.]+:(\d+) UDP is redirected to internal", out)
    return int(granted.group(1)) if granted else None


def pcp_answer(client, gateway, wait=INBOUND_WAIT_S):
    """What the gateway answers a PCP ANNOUNCE from the client with (see mapped.py pcp)."""
    done = client.ns.run([sys.executable, programs.MAPPED_SCRIPT, "pcp", "--gateway", gateway, "--wait", wait],
                         timeout=TOOL_TIMEOUT_S)
    return json.loads(done.stdout)


def inbound_source(client, port, sender, to, wait=INBOUND_WAIT_S):
    """Where datagrams that sender (a Host) sends to the endpoint `to` reach the client's port from:
    [addr, port], or None when none arrives within wait seconds."""
    listener = client.ns.spawn([sys.executable, programs.MAPPED_SCRIPT, "listen", "--bind", client.addr,
                                "--port", port, "--wait", wait], "listen")
    try:
        client.ns.wait_listening([(client.addr, port)], listener)
        sender.ns.run([sys.executable, programs.MAPPED_SCRIPT, "send", "--bind", sender.addrs[0], "--to",
                       f"{to[0]}:{to[1]}"])
        listener.wait(wait + programs.START_TIMEOUT_S)
        return json.loads(listener.output()[0].splitlines()[-1])["from"]
    finally:
        listener.stop()
