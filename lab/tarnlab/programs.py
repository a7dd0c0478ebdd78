"""The programs the lab runs in its namespaces: tarn-rendezvous, tarn-probe and the stdlib mapped responder."""

import json
import os
import shlex
import stat
import sys
import time
from dataclasses import dataclass

from .netns import POLL_INTERVAL, CommandError, read_text

PROBE = "tarn-probe"
RENDEZVOUS = "tarn-rendezvous"
DEFAULT_PORTS = (13434, 13435)
DISCOVERY_TIMEOUT_S = 30.0
MAPPED_PROBE_TIMEOUT_S = 20.0
# hairpin_source(): the bound of the receiver's whole wait, and how long it still waits once the sender is
# done (a datagram crosses the lab's namespaces in well under a millisecond).
HAIRPIN_WAIT_S = 30.0
HAIRPIN_GRACE_S = 1.0
START_TIMEOUT_S = 10.0
MAPPED_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mapped.py")
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(os.path.dirname(_PACKAGE_DIR))
# Installed, the package lives in <prefix>/share/tarn-lab and the programs in <prefix>/bin.
INSTALLED = os.path.basename(os.path.dirname(_PACKAGE_DIR)) == "tarn-lab"

# The client's configuration keys that switch on its overlapped connect and discovery (tarn-probe --fast).
FAST_CONFIG = {"tarn.connect.overlap": "1", "tarn.discovery.overlap": "1"}
CONFIG_FILE = "tarn.cfg"

# tarn-probe's exit codes.
EXIT_VALID = 0
EXIT_DISCOVERY_FAILED = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3


def default_bin_dir():
    """<prefix>/bin for an installed lab, else the repository's staged build."""
    if INSTALLED:
        return os.path.normpath(os.path.join(_PACKAGE_DIR, os.pardir, os.pardir, os.pardir, "bin"))
    return os.path.join(REPO_ROOT, "build", "stage", "bin")


def missing_programs(bin_dir, names=(PROBE, RENDEZVOUS)):
    """None when every program is an executable in bin_dir, else a reason naming the missing ones."""
    missing = [n for n in names if not os.access(os.path.join(bin_dir, n), os.X_OK)]
    if missing:
        return f"{', '.join(missing)} not found in {bin_dir} (build with scripts/build.sh or pass --bin)"
    return None


def parse_setting(text):
    """(key, value) from KEY=VALUE, as a tarn.cfg line takes it; ValueError otherwise."""
    key, sep, value = text.partition("=")
    key, value = key.strip(), value.strip()
    if not sep or not key or any(c.isspace() for c in key) or "\n" in value:
        raise ValueError(f"a setting is KEY=VALUE, not {text!r}")
    return key, value


def write_config(folder, config):
    """Writes config ({key: value}) as folder's tarn.cfg, where tarn-probe run in folder reads it."""
    if config:
        with open(os.path.join(folder, CONFIG_FILE), "w", encoding="utf-8") as f:
            f.write("".join(f"{k} = {v}\n" for k, v in config.items()))


def earlier_order_folder(lab, site, script):
    """A program folder whose tarn-probe runs `script`, a player of the earlier order (tests/lab/docorder.py),
    told its site's NAT kind: that player does not discover it."""
    expected = site.kind.expected
    folder = lab.tempdir("docorder")
    path = os.path.join(folder, PROBE)
    kind = ["--nat-type", expected.nat_type, "--nat-behavior", expected.behavior,
            "--nat-increment", str(expected.increment)]
    with open(path, "w", encoding="ascii") as f:
        f.write(f'#!/bin/sh\nexec {shlex.join([sys.executable, script])} "$@" {shlex.join(kind)}\n')
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return folder


def server_endpoints(addrs, ports):
    """S1 to S4: each address with each port, first address first."""
    return [(a, p) for a in addrs for p in ports]


class _Server:
    """A UDP server process on a Host, listening on both of its addresses and both ports."""

    label = "server"

    def __init__(self, host, ports=DEFAULT_PORTS):
        self.host = host
        self.ports = tuple(ports)
        self.process = None

    @property
    def addrs(self):
        return self.host.addrs

    def _argv(self):
        raise NotImplementedError

    def start(self):
        self.process = self.host.ns.spawn(self._argv(), self.label)
        self.host.ns.wait_listening(server_endpoints(self.addrs, self.ports), self.process, START_TIMEOUT_S)
        return self

    def stop(self):
        """Exit code of the server after SIGTERM."""
        return self.process.stop()


class MappedResponder(_Server):
    label = "mapped"

    def _argv(self):
        endpoints = ",".join(f"{a}:{p}" for a, p in server_endpoints(self.addrs, self.ports))
        return [sys.executable, MAPPED_SCRIPT, "serve", "--endpoints", endpoints]


class Rendezvous(_Server):
    label = "rendezvous"

    def __init__(self, host, bin_dir, ports=DEFAULT_PORTS):
        super().__init__(host, ports)
        self.bin_dir = bin_dir

    def _argv(self):
        return [os.path.join(self.bin_dir, RENDEZVOUS), "--addr1", self.addrs[0], "--addr2", self.addrs[1],
                "--port1", self.ports[0], "--port2", self.ports[1]]


def mapped_probe(client, addrs, ports=DEFAULT_PORTS, timeout=MAPPED_PROBE_TIMEOUT_S):
    """Runs the stdlib prober in the client's namespace; returns its JSON result as a dict."""
    done = client.ns.run([sys.executable, MAPPED_SCRIPT, "probe", "--bind", client.addr,
                          "--server", ",".join(addrs), "--ports", ",".join(str(p) for p in ports),
                          "--public", client.public_addr], timeout=timeout, check=False)
    if done.returncode != 0:
        raise CommandError(["mapped.py", "probe"], f"exit {done.returncode}: {done.stderr.strip()}")
    return json.loads(done.stdout)


def trace(client, server_addr, port=DEFAULT_PORTS[0], max_ttl=8, timeout=MAPPED_PROBE_TIMEOUT_S * 2):
    """The client's way out to a mapped responder: per TTL from 1, the address of the router that dropped
    the datagram, then "arrived" (None where nothing came back)."""
    done = client.ns.run([sys.executable, MAPPED_SCRIPT, "trace", "--bind", client.addr,
                          "--server", f"{server_addr}:{port}", "--max-ttl", max_ttl], timeout=timeout)
    return json.loads(done.stdout)


def round_trips(client, server_addr, count, gap_ms, wait, port=DEFAULT_PORTS[0]):
    """Round trips in milliseconds of count requests from the client to a mapped responder at server_addr,
    sent gap_ms apart (0: one burst), None for each left unanswered wait seconds after the last was sent;
    and the requests' numbers (from 0) in the order their answers arrived."""
    done = client.ns.run([sys.executable, MAPPED_SCRIPT, "rtt", "--bind", client.addr, "--server",
                          f"{server_addr}:{port}", "--count", count, "--gap", gap_ms, "--wait", wait],
                         timeout=wait + count * gap_ms / 1000 + START_TIMEOUT_S)
    found = json.loads(done.stdout)
    return found["rttMs"], found["order"]


def hairpin_source(sender, receiver, server_addr, port=DEFAULT_PORTS[0], wait=HAIRPIN_WAIT_S):
    """Where datagrams that sender sends to receiver's outside endpoint (as a mapped responder at
    server_addr sees it) reach receiver from: [addr, port], or None when none reaches it."""
    holder = receiver.ns.spawn([sys.executable, MAPPED_SCRIPT, "hold", "--bind", receiver.addr,
                                "--server", f"{server_addr}:{port}", "--wait", wait], "hold")
    try:
        deadline = time.monotonic() + START_TIMEOUT_S + MAPPED_PROBE_TIMEOUT_S
        lines = []
        while not lines:
            lines = read_text(holder.stdout_path).splitlines()
            if not lines and (not holder.running() or time.monotonic() >= deadline):
                raise CommandError(holder.argv, f"no mapping line: {holder.output()}")
            # The holder writes to a file, which gives no event to wait on.
            time.sleep(POLL_INTERVAL)
        mapped = json.loads(lines[0])["mapped"]
        sender.ns.run([sys.executable, MAPPED_SCRIPT, "send", "--bind", sender.addr, "--to",
                       f"{mapped[0]}:{mapped[1]}"])
        try:
            holder.wait(HAIRPIN_GRACE_S)
        except CommandError:
            return None  # still waiting: nothing reached it
        return json.loads(read_text(holder.stdout_path).splitlines()[1])["from"]
    finally:
        holder.stop()


@dataclass
class Topology:
    nat_type: str
    behavior: str
    increment: int
    local_addr: str
    local_port: int
    public_addr: str
    public_port: int
    # RFC 4787 terms; empty where the JSON has none (a session's peer list).
    mapping: str = ""
    filtering: str = ""


def topology_from_probe(obj):
    """The one place that knows tarn-probe's JSON key names."""
    return Topology(
        nat_type=obj["natType"],
        behavior=obj["natBehavior"],
        increment=int(obj["natIncrement"]),
        local_addr=obj["localAddr"],
        local_port=int(obj["localPort"]),
        public_addr=obj["publicAddr"],
        public_port=int(obj["publicPort"]),
        mapping=obj.get("natMapping", ""),
        filtering=obj.get("natFiltering", ""),
    )


@dataclass
class Discovery:
    """One run of `tarn-probe discover --json`."""

    returncode: int
    topology: object  # Topology, or None when no JSON object came out
    elapsed: float
    stdout: str
    stderr: str
    log: str  # the tarn.log it wrote
    problem: str = ""  # why the output could not be read, if it could not
    discovery_ms: object = None  # the probe's own discoveryMs, None without a JSON object

    def describe(self):
        """Everything needed to understand a failed run."""
        return (f"exit {self.returncode} after {self.elapsed:.1f} s {self.problem}\n"
                f"--- stdout\n{self.stdout}\n--- stderr (tail)\n" + "\n".join(self.stderr.splitlines()[-20:])
                + "\n--- tarn.log (tail)\n" + "\n".join(self.log.splitlines()[-60:]))


def _last_json_object(text):
    """The last JSON object in text that starts at the beginning of a line (one line or pretty-printed)."""
    decoder = json.JSONDecoder()
    found = None
    offset = 0
    for line in text.splitlines(keepends=True):
        if line.startswith("{"):
            try:
                value, _ = decoder.raw_decode(text, offset)
            except ValueError:
                value = None
            if isinstance(value, dict):
                found = value
        offset += len(line)
    return found


def discover(client, bin_dir, addrs, ports=DEFAULT_PORTS, timeout=DISCOVERY_TIMEOUT_S, config=None, extra=()):
    """Runs `tarn-probe discover --json` in the client's namespace, in a fresh folder for its tarn.log and
    the tarn.cfg that config ({key: value}) gives; extra: more arguments, e.g. ["--fast"]."""
    cwd = client.ns.lab.tempdir("probe")
    write_config(cwd, config)
    argv = [os.path.join(bin_dir, PROBE), "discover", "--json", "--server", ",".join(addrs),
            "--ports", ",".join(str(p) for p in ports), *extra]
    start = time.monotonic()
    done = client.ns.run(argv, timeout=timeout, check=False, cwd=cwd)
    elapsed = time.monotonic() - start
    log = read_text(os.path.join(cwd, "tarn.log"))
    topology, problem = None, ""
    obj = _last_json_object(done.stdout)
    if obj is None:
        problem = "(no JSON object on stdout)"
    else:
        try:
            topology = topology_from_probe(obj)
        except (KeyError, TypeError, ValueError) as e:
            problem = f"(unexpected JSON {obj}: {e!r})"
    return Discovery(done.returncode, topology, elapsed, done.stdout, done.stderr, log, problem,
                     (obj or {}).get("discoveryMs"))
