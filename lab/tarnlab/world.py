"""The lab's small internet: one public segment, rendezvous hosts on it, and sites behind routers.

Addresses: the public segment is one bridge carrying 198.51.100.0/24 and 203.0.113.0/24 (documentation
ranges) on-link for every attached host. A rendezvous host owns one address in each. Site n's LAN is
10.n.0.0/24 with its router at 10.n.0.1 and client m at 10.n.0.(10 + m); an isolated interface of a client
sits in 192.168.n.0/24 on a LAN of its own with nothing else on it.

Loss: a site loses a percentage of the UDP datagrams between it and the internet, both ways (see
nat.loss_script); the world's loss is every new site's default and set_loss() changes a live site's.
"""

import ipaddress
import socket
from dataclasses import dataclass, field

from . import nat
from .netns import CommandError

SERVER_ADDRS = ("198.51.100.1", "203.0.113.1")
SILENT_ADDRS = ("198.51.100.2", "203.0.113.2")
PUBLIC_POOL = ipaddress.ip_network("198.51.100.0/24")
FIRST_POOL_HOST = 10
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


class Internet:
    """The public segment: a bridge in a namespace of its own."""

    def __init__(self, lab):
        self.lab = lab
        self.ns = lab.namespace("net")
        self.ns.ip("link", "add", "br0", "type", "bridge")
        self.ns.ip("link", "set", "br0", "up")
        self._ports = 0
        self._next_host = FIRST_POOL_HOST

    def allocate(self):
        """A fresh address of 198.51.100.0/24 for a router or a host without NAT."""
        if self._next_host >= PUBLIC_POOL.num_addresses - 1:
            raise CommandError(["allocate"], "public address pool exhausted")
        addr = str(PUBLIC_POOL.network_address + self._next_host)
        self._next_host += 1
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

    def __init__(self, lab, loss=0):
        self.lab = lab
        self.loss = nat.check_loss(loss)
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

    def add_site(self, kind, clients=1, name=None, isolated_first=False, loss=None):
        """A site of kind (a NatKind or its name) with `clients` client namespaces, losing `loss` percent
        of its UDP datagrams (default: the world's loss).

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
        if kind.base == nat.NONE and isolated_first:
            # A host on the segment answers ARP for all its addresses, so the isolated one would be reachable.
            raise ValueError("an isolated first interface needs a site with a router")
        if kind.base == nat.NONE:
            site = self._direct_site(name, kind, clients, index)
        else:
            site = self._nat_site(name, kind, clients, index, isolated_first)
        self.sites.append(site)
        if loss:
            self.set_loss(site, loss)
        return site

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

    def _nat_site(self, name, kind, clients, index, isolated_first):
        router = self.lab.namespace(f"{name}-r")
        lan_prefix = f"10.{index}.0.0/24"
        gateway = f"10.{index}.0.1"
        wan_addrs = [self.internet.allocate() for _ in range(clients if kind.one_to_one else 1)]
        self.internet.attach(router, nat.WAN_IF, wan_addrs)
        router.ip("link", "add", nat.LAN_IF, "type", "bridge")
        router.ip("addr", "add", f"{gateway}/24", "dev", nat.LAN_IF)
        router.ip("link", "set", nat.LAN_IF, "up")
        router.sysctl("net.ipv4.ip_forward", 1)
        members = []
        for m in range(clients):
            ns, isolated = self._client_ns(name, index, m, isolated_first)
            addr = f"10.{index}.0.{10 + m}"
            port = f"c{m}"
            ns.ip("link", "add", "eth0", "type", "veth", "peer", "name", port, "netns", router.name)
            router.ip("link", "set", port, "master", nat.LAN_IF)
            router.ip("link", "set", port, "up")
            ns.ip("addr", "add", f"{addr}/24", "dev", "eth0")
            ns.ip("link", "set", "eth0", "up")
            ns.ip("route", "add", "default", "via", gateway)
            public = wan_addrs[m] if kind.one_to_one else wan_addrs[0]
            members.append(self._client(ns, addr, public, isolated))
        pairs = [(c.addr, c.public_addr) for c in members] if kind.one_to_one else [(lan_prefix, wan_addrs[0])]
        router.load_nft(kind.ruleset(lan_prefix, pairs))
        return Site(name, kind, router, wan_addrs, lan_prefix, members, [])

    def _client(self, ns, addr, public, isolated):
        search = isolated + [addr]
        ns.set_hosts(self.hostname, search)
        return Client(ns, addr, public, search)
