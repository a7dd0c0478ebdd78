"""A one-way delay on a site's way to the internet: tarn-delayline behind a TUN device, with policy routing.

In a site's ISP hop, whatever enters from either side (the site link or the public segment) is routed into
the TUN device; tarn-delayline holds each packet for the site's delay (plus its jitter draw, order kept)
and writes it back, and what comes out of the device is routed normally. So every crossing of the hop
costs the delay once: a player's round trip to the server is 2 x D, between two delayed players 4 x D.

The kernel forwards a packet twice on its way through the device (into it and out again), so the delay
line raises the TTL by one on the way out: the hop still takes one off in total, and a datagram sent with
TTL 2 from behind a single NAT still dies at the hop, before the delay (the hop answers it at once).

A site without NAT has no hop: its host delays its own traffic the same way. What it sends (iif lo) and
what reaches it from the segment (UDP, TCP and ICMP: ARP must still find its address local) go through the
device, the arrival rules ahead of the local table; its own traffic to itself and to loopback stays local.
It forwards its outgoing packets once out of the device, which the same TTL credit gives back, so its path
has no extra hop either.

The line's bound on what it queues (both directions of a hop together) is its own (DelayShape in
lab/delayline/DelaySchedule.h: 4096 packets, 8 MiB); beyond it packets are dropped and counted as
overflow. At the lab's rates (a pass sends a few hundred datagrams a second) a 300 ms delay holds a few
hundred at most.
"""

import json
import os
import signal
import time
from dataclasses import dataclass

from .netns import POLL_INTERVAL, CommandError, read_text

PROGRAM = "tarn-delayline"
DEVICE = "delay"
# The routing table that sends everything into the device; the rules that pick it come before the main table.
TABLE = 100
RULE_PREF = 100
# A site without NAT moves the local table behind its arrival rule, so arrivals are delayed too.
HOST_ARRIVAL_PREF = 1
HOST_LOCAL_PREF = 2
HOST_LEAVE_PREF = 3
# By protocol, so that ARP's look-up of the host's own address still finds it local and gets an answer.
HOST_ARRIVAL_PROTOCOLS = ("udp", "tcp", "icmp")
# "MS" or "MS:JITTER_MS", the delay of every site a lab test or bench builds.
ENV = "TARN_LAB_DELAY"
START_TIMEOUT_S = 10.0
# The lowest real-time priority: the line wakes on its deadlines even while builds take every core.
REALTIME_PRIORITY = 1


@dataclass(frozen=True)
class Delay:
    """One-way delay per crossing of a site's hop, in milliseconds; jitter draws each packet's delay
    uniformly from delay +- jitter while keeping the packets' order. The line can also lose loss_pct% of
    the packets and take reorder_pct% out of order (held a few ms longer, so later ones overtake them);
    the lab's own loss is the routers' (World.set_loss)."""

    ms: float = 0
    jitter_ms: float = 0
    loss_pct: float = 0
    reorder_pct: float = 0

    def __post_init__(self):
        for name, value, high in (("delay", self.ms, 60000), ("jitter", self.jitter_ms, 60000),
                                  ("loss", self.loss_pct, 100), ("reordering", self.reorder_pct, 100)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= high:
                raise ValueError(f"{name} is a number from 0 to {high}, not {value!r}")
        if self.jitter_ms > self.ms:
            raise ValueError(f"jitter {self.jitter_ms:g} ms is larger than the delay {self.ms:g} ms")

    def __bool__(self):
        return any((self.ms, self.jitter_ms, self.loss_pct, self.reorder_pct))

    def label(self):
        """D=30 ms, D=30+-3 ms, or D=0 for none."""
        if not self:
            return "D=0"
        text = f"D={self.ms:g}" + (f"+-{self.jitter_ms:g}" if self.jitter_ms else "") + " ms"
        text += f", {self.loss_pct:g}% lost" if self.loss_pct else ""
        return text + (f", {self.reorder_pct:g}% reordered" if self.reorder_pct else "")


NONE = Delay()


def parse(text):
    """Delay from "MS" or "MS:JITTER_MS" (empty: none); ValueError otherwise."""
    if not text or not text.strip():
        return NONE
    ms, _, jitter = text.partition(":")
    try:
        return Delay(float(ms), float(jitter) if jitter else 0.0)
    except ValueError as e:
        raise ValueError(f"a delay is MS or MS:JITTER_MS, not {text!r} ({e})") from None


def from_environment():
    """The delay ENV asks for, NONE without it."""
    return parse(os.environ.get(ENV, ""))


def ten_percent_jitter(ms):
    """The lab's usual shape: jitter a tenth of the delay."""
    return Delay(ms, ms / 10)


def _device(ns):
    ns.ip("tuntap", "add", "dev", DEVICE, "mode", "tun")
    # The kernel's own IPv6 chatter on a new link would only be dropped as foreign by the line.
    ns.sysctl(f"net.ipv6.conf.{DEVICE}.disable_ipv6", 1)
    # Packets come back out of the device with sources routed elsewhere (and, at a host, its own).
    for conf in ("all", DEVICE):
        ns.sysctl(f"net.ipv4.conf.{conf}.rp_filter", 0)
    ns.sysctl(f"net.ipv4.conf.{DEVICE}.accept_local", 1)
    ns.ip("link", "set", DEVICE, "up")
    ns.ip("route", "add", "default", "dev", DEVICE, "table", TABLE)


def through_hop(isp, interfaces, delay, bin_dir):
    """Delays everything that enters the hop namespace isp by one of interfaces; returns the running line."""
    _device(isp)
    for i, interface in enumerate(interfaces):
        isp.ip("rule", "add", "pref", RULE_PREF + i, "iif", interface, "lookup", TABLE)
    return start(isp, delay, bin_dir)


def at_host(ns, interface, delay, bin_dir):
    """Delays what the host namespace ns sends and what reaches it by interface; returns the running line."""
    _device(ns)
    ns.sysctl("net.ipv4.ip_forward", 1)
    for protocol in HOST_ARRIVAL_PROTOCOLS:
        ns.ip("rule", "add", "pref", HOST_ARRIVAL_PREF, "iif", interface, "ipproto", protocol, "lookup", TABLE)
    ns.ip("rule", "add", "pref", HOST_LOCAL_PREF, "lookup", "local")
    ns.ip("rule", "del", "pref", 0)
    ns.ip("rule", "add", "pref", HOST_LEAVE_PREF, "iif", "lo", "lookup", TABLE)
    return start(ns, delay, bin_dir)


def start(ns, delay, bin_dir, seed=1):
    """Runs tarn-delayline on the namespace's device and waits for its "ready"."""
    argv = [os.path.join(bin_dir, PROGRAM), "--dev", DEVICE, "--delay", f"{delay.ms:g}",
            "--jitter", f"{delay.jitter_ms:g}", "--loss", f"{delay.loss_pct:g}", "--reorder",
            f"{delay.reorder_pct:g}", "--seed", seed, "--realtime", REALTIME_PRIORITY]
    process = ns.spawn(argv, "delayline")
    deadline = time.monotonic() + START_TIMEOUT_S
    while not read_text(process.stdout_path).startswith("ready"):
        if not process.running() or time.monotonic() >= deadline:
            process.stop()
            raise CommandError(argv, f"no ready line: {process.output()}")
        # The line writes to a file, which gives no event to wait on.
        time.sleep(POLL_INTERVAL)
    return process


def counters(process, timeout=START_TIMEOUT_S):
    """The running line's counters now (it prints them on SIGUSR1), as a dict."""
    before = len(read_text(process.stdout_path).splitlines())
    process.signal(signal.SIGUSR1)
    deadline = time.monotonic() + timeout
    while len(read_text(process.stdout_path).splitlines()) <= before:
        if not process.running() or time.monotonic() >= deadline:
            raise CommandError(process.argv, f"no counters after SIGUSR1: {process.output()}")
        time.sleep(POLL_INTERVAL)
    return report(process)


def report(process):
    """The counters of a stopped (or last signalled) delay line as a dict; None when it printed none."""
    for line in reversed(read_text(process.stdout_path).splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    return None
