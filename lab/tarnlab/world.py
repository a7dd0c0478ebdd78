"""The lab's small internet: one public segment, rendezvous hosts on it, and sites behind routers.

Addresses: the public segment is one bridge carrying 198.51.100.0/24 and 203.0.113.0/24 (documentation
ranges) on-link for every attached host. A rendezvous host owns one address in each. Site n's LAN is
10.n.0.0/24 with its router at 10.n.0.1 and client m at 10.n.0.(10 + m); an isolated interface of a client
sits in 192.168.n.0/24 on a LAN of its own with nothing else on it.

The ISP hop: a site's outermost NAT reaches the public segment through a plain router of its own (no NAT,
no filter), as on real paths, so a datagram sent with TTL 2 leaves a site's single NAT and dies at the hop
before any other router. The NAT's outside addresses sit on a point-to-point link to the hop (whose end is
172.31.n.1); the hop routes them and answers ARP for them on the public segment, where it owns an address
of 203.0.113.0/24. A site without NAT is a host on the public segment, like the servers. A double NAT's
home router (its outside address 100.64.n.2) sits on a link of its own behind the carrier (100.64.n.1).

Noise: a neighbour host on a site's LAN (10.n.0.250) opens a number of new UDP flows per second to a sink
on the public segment, which swallows them, for as long as the site's noise is set (see noise.py); on a
symmetric NAT each flow takes the next public port, as other hosts behind a busy carrier NAT do.

Port mapping: a kind with a +option suffix runs a mapping daemon on its home router (see portmap.py); the
first such site brings up a STUN host on the public segment (198.51.100.4 and 203.0.113.4) that the
daemons ask whether their outside address is reachable.

Loss: a site loses a percentage of the UDP datagrams between it and the internet, both ways (see
nat.loss_script); the world's loss is every new site's default and set_loss() changes a live site's.

Distance: a site's delay (see delay.py) holds every packet that crosses its ISP hop for D ms each way, in a
delay line behind a TUN device; a site without NAT delays its own host's traffic the same way. The
world's delay is every new site's default; set_delay() changes a live site's.
"""

import ipaddress
import json
import os
import socket
import sys
from dataclasses import dataclass, field

from . import delay as delays
from . import nat, portmap, programs
from .netns import CommandError

SERVER_ADDRS = ("198.51.100.1", "203.0.113.1")
SILENT_ADDRS = ("198.51.100.2", "203.0.113.2")
SINK_ADDRS = ("198.51.100.3",)
STUN_ADDRS = ("198.51.100.4", "203.0.113.4")
NEIGHBOUR_HOST = 250
NOISE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "noise.py")
PUBLIC_POOL = ipaddress.ip_network("198.51.100.0/24")
# The ISP hops' own addresses, apart from the sites' outside ones.
HOP_POOL = ipaddress.ip_network("203.0.113.0/24")
FIRST_POOL_HOST = 10
HOP_UP_IF = "inet"
HOP_DOWN_IF = "site"
MAX_SITES = 250
MAX_CLIENTS = 200


@dataclass
class Host:
    """A namespace on the public segment."""

    ns: object
    addrs: tuple


@dataclass
class Client:
    """One client namespace of a site."""

    ns: object
    addr: str  # its address on the site's LAN (its own public address at a site without NAT)
    public_addr: str  # the outside address its NAT translates it to
    search_addrs: list = field(default_factory=list)  # what its host name resolves to, in this order


@dataclass
class Site:
    name: str
    kind: nat.NatKind
    router: object  # the router's namespace; None without NAT
    wan_addrs: list
    lan_prefix: str
    clients: list
    ports: list  # the site's ports on the public segment's bridge when it has no router, else empty
    loss: int = 0  # percentage of UDP datagrams lost between the site and the internet, each way
    hairpin: bool = False  # the site's NAT turns datagrams to its outside address back into the LAN
    isp: object = None  # the namespace of the ISP hop between the outermost NAT and the internet
    carrier: object = None  # a double NAT's carrier-grade NAT namespace, between the router and the hop
    # The addresses that send a client's ICMP time-exceeded errors, hop by hop on its way out (TTL 1, 2...).
    hops: list = field(default_factory=list)
    noise: int = 0  # new UDP flows per second that the site's neighbour opens to the sink
    neighbour: object = None  # the namespace of that neighbour, made when noise is first set
    noise_process: object = None  # the neighbour's running noise.py, if any
    gateway: str = ""  # the router's LAN address, the clients' default gateway; empty without a router
    portmap: object = None  # the running mapping daemon (a netns.Process) of a kind with a +option
    delay: object = delays.NONE  # the one-way delay (a delay.Delay) of each crossing of the site's hop
    # (namespace, running tarn-delayline) of each delayed hop: the ISP hop, or each host without NAT.
    delay_lines: list = field(default_factory=list)


class Internet:
    """The public segment: a bridge in a namespace of its own."""

    def __init__(self, lab):
        self.lab = lab
        self.ns = lab.namespace("net")
        self.ns.ip("link", "add", "br0", "type", "bridge")
        self.ns.ip("link", "set", "br0", "up")
        self._ports = 0
        self._next_host = {PUBLIC_POOL: FIRST_POOL_HOST, HOP_POOL: FIRST_POOL_HOST}

    def allocate(self, pool=PUBLIC_POOL):
        """A fresh address of pool: by default 198.51.100.0/24, for a NAT or a host without NAT."""
        if self._next_host[pool] >= pool.num_addresses - 1:
            raise CommandError(["allocate"], f"address pool {pool} exhausted")
        addr = str(pool.network_address + self._next_host[pool])
        self._next_host[pool] += 1
        return addr

    def attach(self, ns, ifname, addrs):
        """Plugs ns into the segment through interface ifname carrying addrs, with an on-link default route;
        returns the name of its port on the bridge."""
        self._ports += 1
        port = f"p{self._ports}"
        ns.ip("link", "add", ifname, "type", "veth", "peer", "name", port, "netns", self.ns.name)
        self.ns.ip("link", "set", port, "master", "br0")
        self.ns.ip("link", "set", port, "up")
        for addr in addrs:
            ns.ip("addr", "add", f"{addr}/24", "dev", ifname)
        ns.ip("link", "set", ifname, "up")
        ns.ip("route", "add", "default", "dev", ifname)
        return port


class World:
    """An internet with rendezvous hosts and sites; everything belongs to one Lab."""

    def __init__(self, lab, loss=0, hairpin=False, noise=0, delay=delays.NONE, bin_dir=None):
        """bin_dir: the folder of tarn-delayline, needed once a site is delayed (default: the lab's)."""
        self.lab = lab
        self.loss = nat.check_loss(loss)
        self.delay = delay
        self.bin_dir = bin_dir or programs.default_bin_dir()
        self.hairpin = hairpin
        self.noise = check_noise(noise)
        self.sink = None
        self.stun = None
        self.internet = Internet(lab)
        self.sites = []
        self.hostname = socket.gethostname()

    def add_host(self, role, addrs):
        """A namespace on the public segment owning addrs (e.g. SERVER_ADDRS for a rendezvous server)."""
        ns = self.lab.namespace(role)
        self.internet.attach(ns, "eth0", addrs)
        return Host(ns, tuple(addrs))

    def add_silent_host(self, role="silent", addrs=SILENT_ADDRS):
        """A host that swallows every UDP datagram: a rendezvous server that never answers."""
        host = self.add_host(role, addrs)
        host.ns.load_nft("table ip tarnlab {\n  chain input {\n    type filter hook input priority filter;\n"
                         "    meta l4proto udp drop\n  }\n}\n")
        return host

    def add_site(self, kind, clients=1, name=None, isolated_first=False, loss=None, hairpin=None, noise=None,
                 delay=None):
        """A site of kind (a NatKind or its name) with `clients` client namespaces, losing `loss` percent
        of its UDP datagrams (default: the world's loss); hairpin (default: the world's) makes its NAT
        turn datagrams to its own outside address back into the LAN; noise (default: the world's, at
        symmetric sites only) is the new flows per second its neighbour opens; delay (a delay.Delay,
        default: the world's) is added to each crossing of its hop.

        isolated_first gives every client a first interface on a LAN of its own, listed before the site's
        address when the client looks up its host name, so only its second address reaches the internet.
        """
        if isinstance(kind, str):
            kind = nat.parse_kind(kind)
        if not 1 <= clients <= MAX_CLIENTS:
            raise ValueError(f"a site has 1 to {MAX_CLIENTS} clients, not {clients}")
        loss = nat.check_loss(self.loss if loss is None else loss)
        index = len(self.sites) + 1
        if index > MAX_SITES:
            raise ValueError(f"at most {MAX_SITES} sites")
        name = name or f"s{index}"
        if not kind.layers and isolated_first:
            # A host on the segment answers ARP for all its addresses, so the isolated one would be reachable.
            raise ValueError("an isolated first interface needs a site with a router")
        if not kind.layers:
            site = self._direct_site(name, kind, clients, index)
        else:
            site = self._nat_site(name, kind, clients, index, isolated_first,
                                  self.hairpin if hairpin is None else hairpin)
        self.sites.append(site)
        if loss:
            self.set_loss(site, loss)
        noise = (self.noise if kind.symmetric else 0) if noise is None else noise
        if noise:
            self.set_noise(site, noise)
        delay = self.delay if delay is None else delay
        if delay:
            self.set_delay(site, delay)
        return site

    def set_delay(self, site, delay):
        """Makes each crossing of the site's hop take delay (a delay.Delay) from now on; what the previous
        delay line still held is lost with it."""
        if not site.delay_lines and not delay:
            site.delay = delay
            return
        reason = programs.missing_programs(self.bin_dir, (delays.PROGRAM,))
        if reason:
            raise CommandError([delays.PROGRAM], reason)
        if site.delay_lines:
            # The routing stays; a line of delay 0 passes packets on at once.
            for _, line in site.delay_lines:
                line.stop()
            site.delay_lines = [(ns, delays.start(ns, delay, self.bin_dir)) for ns, _ in site.delay_lines]
        elif site.isp:
            site.delay_lines = [(site.isp, delays.through_hop(site.isp, (HOP_DOWN_IF, HOP_UP_IF), delay,
                                                              self.bin_dir))]
        else:
            site.delay_lines = [(c.ns, delays.at_host(c.ns, "eth0", delay, self.bin_dir)) for c in site.clients]
        site.delay = delay

    @staticmethod
    def delay_counters(site):
        """The counters of each of the site's delay lines now (see tarn-delayline), [] without a delay."""
        return [delays.counters(line) for _, line in site.delay_lines]

    def set_noise(self, site, rate):
        """Makes the site's neighbour open rate new UDP flows per second to the sink from now on (0: none);
        the previous noise process, if any, is stopped by its pid first."""
        check_noise(rate)
        if rate and (site.router is None or site.kind.one_to_one):
            raise ValueError(f"noise needs a site whose NAT shares its outside address, not {site.kind.name}")
        if site.noise_process:
            site.noise_process.stop()
            site.noise_process = None
        site.noise = rate
        if not rate:
            return
        if self.sink is None:
            self.sink = self.add_silent_host("sink", SINK_ADDRS)
        if site.neighbour is None:
            site.neighbour = self._lan_host(site, f"{site.name}-nb", NEIGHBOUR_HOST)
        site.noise_process = site.neighbour.spawn([sys.executable, NOISE_SCRIPT, "--sink", self.sink.addrs[0],
                                                   "--rate", rate], "noise")

    def set_loss(self, site, percent):
        """Makes site lose percent% of the UDP datagrams between it and the internet, each way, from now on."""
        nat.check_loss(percent)
        if site.router:
            site.router.load_nft(nat.loss_script("ip", "forward", nat.WAN_IF, percent))
        else:
            self.internet.ns.load_nft("".join(nat.loss_script("bridge", p, p, percent) for p in site.ports))
        site.loss = percent

    def _client_ns(self, site_name, index, m, isolated_first):
        ns = self.lab.namespace(f"{site_name}-c{m}")
        isolated = []
        if isolated_first:
            # Created before the site interface, so it also comes first in the interface list.
            stub = self.lab.namespace(f"{site_name}-c{m}-x")
            addr = f"192.168.{index}.{10 + m}"
            ns.ip("link", "add", "iso0", "type", "veth", "peer", "name", "eth0", "netns", stub.name)
            ns.ip("addr", "add", f"{addr}/24", "dev", "iso0")
            ns.ip("link", "set", "iso0", "up")
            stub.ip("addr", "add", f"192.168.{index}.1/24", "dev", "eth0")
            stub.ip("link", "set", "eth0", "up")
            isolated.append(addr)
        return ns, isolated

    def _direct_site(self, name, kind, clients, index):
        members, ports = [], []
        for m in range(clients):
            ns, isolated = self._client_ns(name, index, m, False)
            addr = self.internet.allocate()
            ports.append(self.internet.attach(ns, "eth0", [addr]))
            members.append(self._client(ns, addr, addr, isolated))
        return Site(name, kind, None, [c.addr for c in members], "", members, ports)

    def _nat_site(self, name, kind, clients, index, isolated_first, hairpin):
        home, *outer = kind.layers
        router = self.lab.namespace(f"{name}-r")
        lan_prefix = f"10.{index}.0.0/24"
        gateway = f"10.{index}.0.1"
        wan_addrs = [self.internet.allocate() for _ in range(clients if kind.one_to_one else 1)]
        carrier = None
        hops = [gateway]
        if outer:
            carrier = self.lab.namespace(f"{name}-cgn")
            transit, carrier_addr, home_addr = f"100.64.{index}.0/24", f"100.64.{index}.1", f"100.64.{index}.2"
            router.ip("link", "add", nat.WAN_IF, "type", "veth", "peer", "name", nat.LAN_IF, "netns", carrier.name)
            router.ip("addr", "add", f"{home_addr}/24", "dev", nat.WAN_IF)
            router.ip("link", "set", nat.WAN_IF, "up")
            router.ip("route", "add", "default", "via", carrier_addr)
            carrier.ip("addr", "add", f"{carrier_addr}/24", "dev", nat.LAN_IF)
            carrier.ip("link", "set", nat.LAN_IF, "up")
            carrier.sysctl("net.ipv4.ip_forward", 1)
            isp, hop_addr = self._isp_hop(name, index, carrier, wan_addrs)
            # A carrier hairpins, but the home router behind it still filters what comes back in.
            carrier.load_nft(outer[0].ruleset(transit, [(transit, wan_addrs[0])], hairpin))
            hops.append(carrier_addr)
            home_pairs = [(lan_prefix, home_addr)]
        else:
            isp, hop_addr = self._isp_hop(name, index, router, wan_addrs)
            home_pairs = None
        hops.append(hop_addr)
        router.ip("link", "add", nat.LAN_IF, "type", "bridge")
        router.ip("addr", "add", f"{gateway}/24", "dev", nat.LAN_IF)
        router.ip("link", "set", nat.LAN_IF, "up")
        router.sysctl("net.ipv4.ip_forward", 1)
        members = []
        for m in range(clients):
            ns, isolated = self._client_ns(name, index, m, isolated_first)
            addr = self._plug(router, ns, index, 10 + m)
            public = wan_addrs[m] if kind.one_to_one else wan_addrs[0]
            members.append(self._client(ns, addr, public, isolated))
        pairs = [(c.addr, c.public_addr) for c in members] if kind.one_to_one else [(lan_prefix, wan_addrs[0])]
        if hairpin:
            # A hairpinned datagram leaves by the interface it came in on, which is no reason for a redirect.
            for conf in ("all", nat.LAN_IF):
                router.sysctl(f"net.ipv4.conf.{conf}.send_redirects", 0)
        if home.portmap:
            self._stun_host()
            router.load_nft(home.ruleset(lan_prefix, home_pairs or pairs, hairpin, STUN_ADDRS))
        else:
            router.load_nft(home.ruleset(lan_prefix, home_pairs or pairs, hairpin))
        site = Site(name, kind, router, wan_addrs, lan_prefix, members, [], hairpin=hairpin, isp=isp,
                    carrier=carrier, hops=hops, gateway=gateway)
        if home.portmap:
            self._start_portmap(site)
        return site

    @staticmethod
    def _start_portmap(site):
        site.portmap = portmap.start_daemon(site.router, portmap.OPTIONS[site.kind.portmap], nat.LAN_IF,
                                            nat.WAN_IF, site.lan_prefix, STUN_ADDRS[0])

    def restart_portmap(self, site):
        """Reboots the site's mapping daemon: stops it by its pid, drops every mapping it held and starts a
        fresh one, whose NAT-PMP/PCP epoch starts again from 0. The router's conntrack entries stay."""
        if site.portmap is None:
            raise ValueError(f"site {site.name} ({site.kind.name}) runs no mapping daemon")
        site.portmap.stop()
        # The daemon leaves its rules behind when it stops; a rebooted router has none.
        for chain in (portmap.FORWARD_CHAIN, portmap.PREROUTING_CHAIN, portmap.POSTROUTING_CHAIN):
            site.router.run(["nft", "flush", "chain", "inet", portmap.TABLE, chain])
        self._start_portmap(site)

    def _stun_host(self):
        """The STUN host the mapping daemons ask, started with the first of them."""
        if self.stun is None:
            self.stun = self.add_host("stun", STUN_ADDRS)
            portmap.start_stun(self.stun)
        return self.stun

    @staticmethod
    def noise_report(site):
        """The last count the site's noise process printed ({"flows": N, "failed": F, "seconds": S} since it
        started), or None before any."""
        if site.noise_process is None:
            return None
        lines = site.noise_process.output()[0].splitlines()
        return json.loads(lines[-1]) if lines else None

    @staticmethod
    def _plug(router, ns, index, host):
        """Connects ns to the LAN bridge of site index's router as 10.index.0.host; returns that address."""
        addr = f"10.{index}.0.{host}"
        port = f"c{host}"
        ns.ip("link", "add", "eth0", "type", "veth", "peer", "name", port, "netns", router.name)
        router.ip("link", "set", port, "master", nat.LAN_IF)
        router.ip("link", "set", port, "up")
        ns.ip("addr", "add", f"{addr}/24", "dev", "eth0")
        ns.ip("link", "set", "eth0", "up")
        ns.ip("route", "add", "default", "via", f"10.{index}.0.1")
        return addr

    def _lan_host(self, site, role, host):
        """A namespace on the site's LAN that is none of its clients."""
        ns = self.lab.namespace(role)
        self._plug(site.router, ns, self.sites.index(site) + 1, host)
        return ns

    def _isp_hop(self, name, index, ns, addrs):
        """Links the NAT namespace ns (its WAN_IF) to the public segment through a plain router, ns owning
        the outside addresses addrs; returns the hop's namespace and its address on the link."""
        isp = self.lab.namespace(f"{name}-isp")
        link_addr = f"172.31.{index}.1"
        ns.ip("link", "add", nat.WAN_IF, "type", "veth", "peer", "name", HOP_DOWN_IF, "netns", isp.name)
        for addr in addrs:
            ns.ip("addr", "add", f"{addr}/32", "dev", nat.WAN_IF)
        ns.ip("link", "set", nat.WAN_IF, "up")
        ns.ip("route", "add", "default", "via", link_addr, "dev", nat.WAN_IF, "onlink")
        isp.ip("addr", "add", f"{link_addr}/32", "dev", HOP_DOWN_IF)
        isp.ip("link", "set", HOP_DOWN_IF, "up")
        self.internet.attach(isp, HOP_UP_IF, [self.internet.allocate(HOP_POOL)])
        isp.sysctl("net.ipv4.ip_forward", 1)
        # The default proxy delay holds each answer back up to 0.8 s; a real ISP's router owns the route.
        isp.sysctl(f"net.ipv4.neigh.{HOP_UP_IF}.proxy_delay", 0)
        for addr in addrs:
            isp.ip("route", "add", f"{addr}/32", "dev", HOP_DOWN_IF)
            isp.ip("neigh", "add", "proxy", addr, "dev", HOP_UP_IF)
        return isp, link_addr

    def _client(self, ns, addr, public, isolated):
        search = isolated + [addr]
        ns.set_hosts(self.hostname, search)
        return Client(ns, addr, public, search)


def check_noise(rate):
    """rate as a whole number of flows per second of 0 or more; ValueError otherwise."""
    if isinstance(rate, bool) or not isinstance(rate, int) or rate < 0:
        raise ValueError(f"noise is a whole number of new flows per second, not {rate!r}")
    return rate
