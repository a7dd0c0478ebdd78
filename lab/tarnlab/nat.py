"""The NAT kinds a site's router can show, the nftables ruleset for each, and what discovery should find.

Each kind is one row of ROWS (KindRow): how it picks a public port, how it filters, its layers, what
discovery must conclude and which checks of the kind test hold. The rulesets here, the sites of world.py,
the peer matrix and tests/lab/NatKindTest.py read the row, so a new kind is one row. A +option suffix
(portmap.OPTIONS) puts a mapping daemon on the kind's home router.

Every router forwards only datagrams from its own LAN prefix outwards (so an address of another interface
never leaks through the site's NAT) and everything inwards that its NAT rules let through.

Unsolicited datagrams: the kernel confirms a conntrack entry for every datagram that reaches the router
unsolicited, even one it then drops or answers with an ICMP error, and that entry claims the public port
for a later outbound mapping. The filtered kinds therefore drop, in prerouting after conntrack and before
NAT, every new datagram their NAT would not admit, so it leaves no entry behind; that is the textbook NAT
each kind names. The stateful kinds leave that filter out and show plain kernel behaviour.

A double NAT: a home router (port-restricted) behind a carrier-grade NAT (port-restricted too, as carriers
map endpoint-independently), so a client's datagrams pass two NATs before the internet; the pair behaves
as one port-restricted cone whose outside address is the carrier's. Each layer is a kind of its own, built
by the world one router after the other.

Hairpinning (optional): a datagram a client sends to the outside address of its own NAT comes back into
the LAN, translated as if it had crossed the internet: its destination becomes the client that holds the
mapping of that outside port, its source the sender's outside address. The NAT admits every LAN sender to
every mapping it holds, as common home routers do; inbound datagrams from the internet are unaffected.

A lossy link: loss_script() drops a percentage of the UDP datagrams crossing one interface, both ways, at
random. Routers drop in their forward hook, before source NAT, as a lost Wi-Fi frame would: the datagram
takes no mapping. A site without a router loses at its port of the public segment's bridge.
"""

import dataclasses
from dataclasses import dataclass

from . import portmap

LAN_IF = "lan"
WAN_IF = "wan"
# Priority between conntrack (-200) and destination NAT (-100).
WAN_FILTER_PRIORITY = -150
# Behind a mapping router the filter runs after destination NAT (-100), where a mapped datagram shows as
# translated, and still before conntrack confirms an entry for what it drops.
PORTMAP_FILTER_PRIORITY = -90
# After source NAT (100), where an outbound datagram already carries its public source.
TRACK_PRIORITY = 110
# The restricted cone admits a remote address for this long after the client last sent to it.
RESTRICTED_TIMEOUT_S = 120
# A hairpin mapping (outside port -> client endpoint) lives this long after the client last sent through it.
HAIRPIN_TIMEOUT_S = 120
# Sequential symmetric NAT: public ports SEQ_BASE_PORT + i * step for i counting new mappings modulo SEQ_SLOTS.
SEQ_BASE_PORT = 20000
SEQ_SLOTS = 1000
LOSS_TABLE = "tarnlab-loss"
# Ahead of the NAT ruleset's forward filter: a lost datagram never reaches source NAT, and its conntrack
# entry, not yet confirmed, goes with it.
LOSS_PRIORITY = "filter - 10"

NONE = "none"
FULL_CONE = "full-cone"
RESTRICTED_CONE = "restricted-cone"
PORT_RESTRICTED = "port-restricted"
SYMMETRIC = "symmetric"
SYMMETRIC_RANDOM = "symmetric-random"
DOUBLE_NAT = "double-nat"


# The standard terms as tarn-probe prints them.
EIM = EIF = "endpoint-independent"
ADF = "address-dependent"
APDM = APDF = "address-and-port-dependent"
# Behind a mapping that changes, discovery stops after the first change test: the filtering is not measured.
UNKNOWN = "unknown"

# How a kind picks a client's public port.
OWN = "own"  # no NAT: the client's own endpoint
KEPT = "kept"  # the outside address with the local port
SEQUENTIAL = "sequential"  # SEQ_BASE_PORT + i * step, i counting new mappings
RANDOM = "random"  # a port at random per new mapping

# What the stdlib prober sees get through to a socket that contacted one of the four server endpoints
# (its keys are the prober's), by how the NAT filters.
ADMITTED = {
    EIF: {"sameEndpoint": True, "otherPort": True, "otherAddress": True, "otherBoth": True},
    ADF: {"sameEndpoint": True, "otherPort": True, "otherAddress": False, "otherBoth": False},
    APDF: {"sameEndpoint": True, "otherPort": False, "otherAddress": False, "otherBoth": False},
}

# The checks of the kind test (tests/lab/NatKindTest.py) a row can ask for.
PROBE_MAPPING = "mapping"  # the public endpoint towards four server endpoints follows `ports`
PROBE_FILTERING = "filtering"  # what gets in after the client contacted one endpoint follows `filtering`
# An unsolicited datagram arrives exactly when the kind filters by nothing, and leaves the port alone.
PROBE_UNSOLICITED = "unsolicited"
ALL_PROBES = frozenset((PROBE_MAPPING, PROBE_FILTERING, PROBE_UNSOLICITED))
# Where the mapping changes per destination, an unsolicited datagram's effect on the port is not a rule.
MAPPING_PROBES = frozenset((PROBE_MAPPING, PROBE_FILTERING))

# Stands for the kind's port step in a row's increment.
STEP = "step"


@dataclass(frozen=True)
class Expected:
    """What `tarn-probe discover` should report behind a NAT kind."""

    nat_type: str
    behavior: str
    increment: object  # an exact int, or None for "any value of at least 0"
    port_preserved: bool  # the public port equals the local one
    # The same NAT in today's standard terms (RFC 4787): how it maps and how it filters.
    mapping: str = EIM
    filtering: str = EIF


@dataclass(frozen=True)
class KindRow:
    """One NAT kind, declared once: its router's rules, its site, what discovery and the kind test expect."""

    base: str
    ports: str  # how a client's public port is chosen: OWN, KEPT, SEQUENTIAL or RANDOM
    filtering: str  # who gets in once a client has sent to one endpoint: EIF, ADF or APDF
    discovery: Expected  # what discovery must conclude; an increment of STEP is the kind's port step
    probes: frozenset  # the kind test's checks that hold for this kind (the stateful variant drops UNSOLICITED)
    one_to_one: bool = False  # each client owns an outside address, translated statically both ways
    stepped: bool = False  # takes a port step: base:step
    stateful_capable: bool = False  # has a variant without the unsolicited-datagram filter: base:stateful
    layers: tuple = None  # bases of the NATs a datagram crosses, nearest first; None: this kind alone


ROWS = {r.base: r for r in (
    KindRow(NONE, OWN, EIF, Expected("NONE", "NOT SENSITIVE", 0, True), ALL_PROBES, layers=()),
    KindRow(FULL_CONE, KEPT, EIF, Expected("FULL CONE", "NOT SENSITIVE", 0, True), ALL_PROBES, one_to_one=True),
    KindRow(RESTRICTED_CONE, KEPT, ADF, Expected("RESTRICTED CONE", "ADDRESS SENSITIVE", 0, True, EIM, ADF),
            ALL_PROBES, one_to_one=True),
    KindRow(PORT_RESTRICTED, KEPT, APDF, Expected("PORT RESTRICTED CONE", "PORT SENSITIVE", 0, True, EIM, APDF),
            ALL_PROBES, stateful_capable=True),
    KindRow(SYMMETRIC, SEQUENTIAL, APDF, Expected("SYMMETRIC", "PORT SENSITIVE", STEP, False, APDM, UNKNOWN),
            MAPPING_PROBES, stepped=True, stateful_capable=True),
    KindRow(SYMMETRIC_RANDOM, RANDOM, APDF, Expected("SYMMETRIC", "PORT SENSITIVE", None, False, APDM, UNKNOWN),
            MAPPING_PROBES, stateful_capable=True),
    # A home router behind a carrier's NAT: both keep the port and filter by endpoint, so together they act
    # as one port-restricted cone whose outside address is the carrier's.
    KindRow(DOUBLE_NAT, KEPT, APDF, Expected("PORT RESTRICTED CONE", "PORT SENSITIVE", 0, True, EIM, APDF),
            ALL_PROBES, stateful_capable=True, layers=(PORT_RESTRICTED, PORT_RESTRICTED)),
)}
BASES = tuple(ROWS)


@dataclass(frozen=True)
class NatKind:
    """One NAT behaviour: base is one of BASES; step is the port step of SYMMETRIC; portmap names the
    mapping daemon of the home router (one of portmap.OPTIONS), or is empty."""

    base: str
    step: int = 0
    stateful: bool = False
    portmap: str = ""

    def __post_init__(self):
        if self.base not in ROWS:
            raise ValueError(f"unknown NAT kind {self.base!r}; known: {', '.join(BASES)}")
        row = ROWS[self.base]
        if row.stepped and not 1 <= self.step <= (65535 - SEQ_BASE_PORT) // (SEQ_SLOTS - 1):
            raise ValueError(f"symmetric port step {self.step} out of range")
        if not row.stepped and self.step:
            raise ValueError(f"{self.base} takes no port step")
        if self.stateful and not row.stateful_capable:
            raise ValueError(f"{self.base} has no stateful variant")
        if self.portmap and self.portmap not in portmap.OPTIONS:
            raise ValueError(f"unknown port mapping +{self.portmap}; known: "
                             + ", ".join("+" + o for o in portmap.OPTIONS))
        if self.portmap and (row.one_to_one or row.layers == ()):
            # A one-to-one NAT gives each client an outside address of its own: nothing to map.
            raise ValueError(f"{self.base} takes no port mapping: only a NAT that shares its outside address does")

    @property
    def row(self):
        return ROWS[self.base]

    @property
    def name(self):
        text = f"{self.base}:{self.step}" if self.row.stepped else self.base
        text = text + ":stateful" if self.stateful else text
        return text + "+" + self.portmap if self.portmap else text

    @property
    def layers(self):
        """The NATs a client's datagrams cross on their way out, nearest first; each has a single router.
        The mapping daemon, if any, runs on the first."""
        if self.row.layers is None:
            return (self,)
        return tuple(NatKind(b, stateful=self.stateful, portmap=self.portmap if i == 0 else "")
                     for i, b in enumerate(self.row.layers))

    @property
    def symmetric(self):
        """A new public port per destination: the kinds whose ports other hosts of the site can take."""
        return any(layer.row.ports in (SEQUENTIAL, RANDOM) for layer in self.layers)

    @property
    def one_to_one(self):
        """Each client owns one outside address, translated statically in both directions."""
        return self.row.one_to_one

    @property
    def expected(self):
        """What discovery measures behind this kind (a mapping router changes nothing it measures)."""
        e = self.row.discovery
        return dataclasses.replace(e, increment=self.step) if e.increment == STEP else e

    @property
    def advertised(self):
        """What discovery reports behind this kind when the client asks the router for a mapping: the mapped
        endpoint, which anyone may reach, wherever the router grants one (a lying router grants too); else
        what it measures. Behind a second NAT the daemon finds itself unreachable and grants nothing."""
        if self.portmap and len(self.layers) == 1:
            return Expected("FULL CONE", "NOT SENSITIVE", 0, False)
        return self.expected

    @property
    def probes(self):
        """The kind test's checks that hold for this kind."""
        return self.row.probes - {PROBE_UNSOLICITED} if self.stateful else self.row.probes

    def mapping_ports(self):
        """The public ports a sequential symmetric NAT hands out, in order; None for other kinds."""
        if self.row.ports != SEQUENTIAL:
            return None
        return [SEQ_BASE_PORT + i * self.step for i in range(SEQ_SLOTS)]

    def ruleset(self, lan_prefix, pairs, hairpin=False, stun_addrs=()):
        """nftables text for a router whose LAN is lan_prefix; pairs lists (client address, outside address)
        for one-to-one kinds, else one pair whose outside address is the router's. hairpin: datagrams from
        the LAN to an outside address come back in through the NAT. A mapping router also gets its
        daemon's table, and admits what stun_addrs (its STUN server) sends to the router itself."""
        if not self.layers:
            raise ValueError("a site without NAT has no router")
        if self.layers != (self,):
            raise ValueError(f"{self.name} is more than one router: each of its layers has a ruleset")
        if self.portmap and not stun_addrs:
            raise ValueError(f"{self.name}: a mapping router needs the addresses of its STUN server")
        lines = ["table ip tarnlab {"]
        lines += self._sets()
        if hairpin and not self.one_to_one:
            lines += self._hairpin_map()
        lines += [
            "  chain forward {",
            "    type filter hook forward priority filter; policy drop;",
            f'    iifname "{LAN_IF}" oifname "{WAN_IF}" ip saddr {lan_prefix} accept',
            f'    iifname "{WAN_IF}" oifname "{LAN_IF}" accept',
            # Clients of one site talk across the LAN bridge, which br_netfilter also passes through here.
            f'    iifname "{LAN_IF}" oifname "{LAN_IF}" accept',
            "  }",
        ]
        lines += self._wan_filter(pairs, stun_addrs)
        lines += self._nat(lan_prefix, pairs, hairpin)
        lines.append("}")
        if self.portmap:
            lines += portmap.OPTIONS[self.portmap].nft_table(LAN_IF)
        return "\n".join(lines) + "\n"

    def _sets(self):
        if self.row.filtering != ADF:
            return []
        return [
            "  set contacted {",
            "    typeof ip saddr . udp sport . ip daddr",
            "    flags dynamic,timeout",
            f"    timeout {RESTRICTED_TIMEOUT_S}s",
            "  }",
            "  chain track {",
            f"    type filter hook postrouting priority {TRACK_PRIORITY}; policy accept;",
            f'    oifname "{WAN_IF}" meta l4proto udp update @contacted {{ ip saddr . udp sport . ip daddr }}',
            "  }",
        ]

    def _hairpin_map(self):
        # After source NAT the datagram carries its outside port, and conntrack still knows the client's.
        return [
            "  map hairpin {",
            "    typeof udp sport : ip saddr . udp sport",
            "    flags dynamic,timeout",
            f"    timeout {HAIRPIN_TIMEOUT_S}s",
            "  }",
            "  chain hairpintrack {",
            f"    type filter hook postrouting priority {TRACK_PRIORITY}; policy accept;",
            f'    oifname "{WAN_IF}" meta l4proto udp update @hairpin '
            "{ udp sport : ct original ip saddr . ct original proto-src }",
            "  }",
        ]

    def _wan_filter(self, pairs, stun_addrs):
        if self.stateful:
            return []
        priority = PORTMAP_FILTER_PRIORITY if self.portmap else WAN_FILTER_PRIORITY
        head = [
            "  chain wanfilter {",
            f"    type filter hook prerouting priority {priority}; policy accept;",
        ]
        if self.portmap:
            head += [
                # A datagram to a mapped port has been translated by the daemon's rule by now.
                f'    iifname "{WAN_IF}" ct status dnat accept',
                # The daemon's STUN check asks for answers from the server's other address and port.
                f'    iifname "{WAN_IF}" ip saddr {{ {", ".join(stun_addrs)} }} accept',
            ]
        if self.row.filtering == EIF:
            outside = ", ".join(o for _, o in pairs)
            body = [f'    iifname "{WAN_IF}" ct state new ip daddr != {{ {outside} }} drop']
        elif self.row.filtering == ADF:
            body = [
                # Keyed by the outside address and port the client sent from and the remote address it sent to.
                f'    iifname "{WAN_IF}" meta l4proto udp ip daddr . udp dport . ip saddr @contacted accept',
                f'    iifname "{WAN_IF}" meta l4proto udp drop',
                f'    iifname "{WAN_IF}" ct state new drop',
            ]
        else:
            body = [f'    iifname "{WAN_IF}" ct state new drop']
        return head + body + ["  }"]

    def _nat(self, lan_prefix, pairs, hairpin):
        # A hairpinned datagram was translated on its way in (ct status dnat) and goes back out to the LAN
        # from a LAN address (postrouting knows no input interface).
        turned = f'oifname "{LAN_IF}" ct status dnat'
        if self.one_to_one:
            pre = [f'    iifname "{WAN_IF}" ip daddr {o} dnat ip to {c}' for c, o in pairs]
            post = [f'    oifname "{WAN_IF}" ip saddr {c} snat ip to {o}' for c, o in pairs]
            if hairpin:
                pre += [f'    iifname "{LAN_IF}" ip daddr {o} dnat ip to {c}' for c, o in pairs]
                post += [f"    {turned} ip saddr {c} snat ip to {o}" for c, o in pairs]
            return self._nat_chains(pre, post)
        outside = pairs[0][1]
        # A mapping router's own datagrams (its STUN check) keep their source: only the LAN's are translated.
        out = f'oifname "{WAN_IF}" ip saddr {lan_prefix}' if self.portmap else f'oifname "{WAN_IF}"'
        if self.row.ports == KEPT:
            post, source = [f"    {out} masquerade"], f"snat ip to {outside}"
        elif self.row.ports == RANDOM:
            post, source = [f"    {out} masquerade random"], f"snat ip to {outside} random"
        else:
            # A bare numgen lands byte-swapped in the port on this nftables version; a map yields port values.
            slots = ", ".join(f"{i} : {p}" for i, p in enumerate(self.mapping_ports()))
            source = f"snat ip to {outside} : numgen inc mod {SEQ_SLOTS} map {{ {slots} }}"
            post = [f"    {out} meta l4proto udp {source}", f"    {out} masquerade"]
        pre = []
        if hairpin:
            pre = [f'    iifname "{LAN_IF}" ip daddr {outside} meta l4proto udp dnat ip to udp dport map @hairpin']
            post += [f"    {turned} ip saddr {lan_prefix} meta l4proto udp {source}"]
        return self._nat_chains(pre, post)

    @staticmethod
    def _nat_chains(pre, post):
        chains = []
        if pre:
            chains += ["  chain dstnat {", "    type nat hook prerouting priority dstnat; policy accept;"]
            chains += pre + ["  }"]
        chains += ["  chain srcnat {", "    type nat hook postrouting priority srcnat; policy accept;"]
        return chains + post + ["  }"]


def check_loss(percent):
    """percent as an int of 0 to 100; ValueError otherwise."""
    if isinstance(percent, bool) or not isinstance(percent, int) or not 0 <= percent <= 100:
        raise ValueError(f"loss is a whole percentage of 0 to 100, not {percent!r}")
    return percent


def loss_script(family, chain, interface, percent):
    """nft commands that make the base chain `chain` of LOSS_TABLE drop percent% of the UDP datagrams that
    enter or leave through interface; they replace what an earlier script set, and 0 leaves nothing."""
    check_loss(percent)
    hook = f"{{ type filter hook forward priority {LOSS_PRIORITY}; policy accept; }}"
    lines = [
        f"add table {family} {LOSS_TABLE}",
        # Declared first so the delete finds it: together they clear an earlier percentage.
        f"add chain {family} {LOSS_TABLE} {chain} {hook}",
        f"delete chain {family} {LOSS_TABLE} {chain}",
    ]
    if percent:
        # numgen yields 0 to 99 and refuses a bound of 100, so a total loss needs no draw.
        draw = f" numgen random mod 100 < {percent}" if percent < 100 else ""
        lines.append(f"add chain {family} {LOSS_TABLE} {chain} {hook}")
        for direction in ("iifname", "oifname"):
            lines.append(f'add rule {family} {LOSS_TABLE} {chain} {direction} "{interface}" ip protocol udp'
                         f"{draw} drop")
    return "\n".join(lines) + "\n"


def parse_kind(text):
    """NatKind from its name: base[:step][:stateful][+portmap], e.g. symmetric:2, port-restricted:stateful
    or symmetric-random+pmp."""
    text, plus, mapper = text.strip().partition("+")
    if plus and not mapper:
        raise ValueError(f"bad NAT kind {text + plus!r}: a port mapping follows the + sign")
    parts = text.split(":")
    stateful = parts[-1] == "stateful"
    if stateful:
        parts = parts[:-1]
    if not parts or len(parts) > 2:
        raise ValueError(f"bad NAT kind {text!r}")
    step = 0
    if len(parts) == 2:
        if not parts[1].isdigit():
            raise ValueError(f"bad port step in {text!r}")
        step = int(parts[1])
    return NatKind(parts[0], step, stateful, mapper)


# The kinds whose discovery result the tests assert.
STANDARD_KINDS = (
    NatKind(NONE),
    NatKind(FULL_CONE),
    NatKind(RESTRICTED_CONE),
    NatKind(PORT_RESTRICTED),
    NatKind(SYMMETRIC, 1),
    NatKind(SYMMETRIC, 2),
    NatKind(SYMMETRIC_RANDOM),
)
# NATs in layers: the textbook kinds' rules, one router after another.
LAYERED_KINDS = (NatKind(DOUBLE_NAT),)
# Plain kernel behaviour, measured and shown, never asserted.
STATEFUL_KINDS = (
    NatKind(PORT_RESTRICTED, stateful=True),
    NatKind(SYMMETRIC, 1, stateful=True),
    NatKind(SYMMETRIC_RANDOM, stateful=True),
    NatKind(DOUBLE_NAT, stateful=True),
)
# Mapping routers: the NAT they put in front is measured like the kind without the daemon.
PORTMAP_KINDS = (
    NatKind(PORT_RESTRICTED, portmap=portmap.PMP),
    NatKind(SYMMETRIC_RANDOM, portmap=portmap.UPNP),
)
