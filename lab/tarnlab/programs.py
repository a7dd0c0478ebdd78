"""The programs the lab runs in its namespaces: tarn-rendezvous, tarn-probe and the stdlib mapped responder."""

import json
import os
import sys
import time
from dataclasses import dataclass

from .netns import CommandError, read_text

PROBE = "tarn-probe"
RENDEZVOUS = "tarn-rendezvous"
DEFAULT_PORTS = (13434, 13435)
DISCOVERY_TIMEOUT_S = 30.0
MAPPED_PROBE_TIMEOUT_S = 20.0
START_TIMEOUT_S = 10.0
MAPPED_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mapped.py")
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(os.path.dirname(_PACKAGE_DIR))
# Installed, the package lives in <prefix>/share/tarn-lab and the programs in <prefix>/bin.
INSTALLED = os.path.basename(os.path.dirname(_PACKAGE_DIR)) == "tarn-lab"

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
        self.host.ns.wait_udp_listening(server_endpoints(self.addrs, self.ports), self.process, START_TIMEOUT_S)
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


def discover(client, bin_dir, addrs, ports=DEFAULT_PORTS, timeout=DISCOVERY_TIMEOUT_S, extra=()):
    """Runs `tarn-probe discover --json` in the client's namespace, in a fresh folder for its tarn.log;
    extra: more arguments, e.g. ["--fast"]."""
    cwd = client.ns.lab.tempdir("probe")
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
