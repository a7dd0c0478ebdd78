"""A game across the lab: `tarn-probe session` in several client namespaces at once.

Each player discovers its topology and prints it as one JSON line; once every player has, each one gets
the list of all those lines on its standard input, connects, and prints how it reached every other player.
"""

import json
import os
import selectors
import subprocess
import time
from dataclasses import dataclass, field

from . import programs
from .netns import CommandError, read_text

SESSION_TIMEOUT_S = 60.0
DEFAULT_GAME = "lab-game"

DIRECT_PRIVATE = "DIRECT PRIVATE"
DIRECT_PUBLIC = "DIRECT PUBLIC"
RELAY = "RELAY"


class _Player:
    """One `tarn-probe session` process in a client namespace, its standard input and output on pipes."""

    def __init__(self, client, identifier, bin_dir, addrs, ports, game, config):
        self.client = client
        self.identifier = identifier
        self.label = f"{client.ns.name}-session"
        self.cwd = client.ns.lab.tempdir("session")
        programs.write_config(self.cwd, config)
        argv = client.ns.exec_argv([os.path.join(bin_dir, programs.PROBE), "session", "--client-id", identifier,
                                    "--game", game, "--json", "--server", ",".join(addrs),
                                    "--ports", ",".join(str(p) for p in ports)])
        self.argv = argv
        self.stderr_path = os.path.join(self.cwd, "stderr.txt")
        with open(self.stderr_path, "wb") as err:
            try:
                self._popen = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                               cwd=self.cwd, start_new_session=True)
            except OSError as e:
                raise CommandError(argv, str(e)) from None
        self.pid = self._popen.pid
        client.ns.lab.track(self)
        self._pending = b""

    def read_json(self, deadline):
        """The next line of standard output as a JSON object; None at its end or at the deadline."""
        with selectors.DefaultSelector() as selector:
            selector.register(self._popen.stdout, selectors.EVENT_READ)
            while b"\n" not in self._pending:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    return None
                chunk = os.read(self._popen.stdout.fileno(), 65536)
                if not chunk:
                    return None
                self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        try:
            value = json.loads(line)
        except ValueError:
            return None
        return value if isinstance(value, dict) else None

    def send(self, text):
        try:
            self._popen.stdin.write(text.encode() + b"\n")
            self._popen.stdin.close()
        except OSError:
            pass

    def wait(self, deadline):
        """Exit code, or None when the process outlives the deadline (it is then stopped)."""
        try:
            return self._popen.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.stop()
            return None

    def stop(self):
        """Ends the process by its pid (SIGKILL: it holds no state worth a clean exit)."""
        if self._popen.poll() is None:
            self._popen.kill()
        returncode = self._popen.wait()
        for stream in (self._popen.stdin, self._popen.stdout):
            if stream and not stream.closed:
                try:
                    stream.close()
                except OSError:
                    pass
        return returncode

    def stderr(self):
        return read_text(self.stderr_path)

    def log(self):
        return read_text(os.path.join(self.cwd, "tarn.log"))


@dataclass
class SessionRun:
    """What one player of a session reported."""

    client: object
    identifier: int
    returncode: object  # int, or None when it had to be stopped
    topology: dict  # the player's own line, as the others received it
    result: dict  # its final JSON line; empty when none came
    stderr: str = ""
    log: str = ""
    problem: str = ""

    @property
    def connections(self):
        """identifier -> connection text of every entry of the player's peer list."""
        return {p["identifier"]: p["connection"] for p in self.result.get("peers", [])}

    def connection_to(self, identifier):
        return self.connections.get(identifier)

    @property
    def failures(self):
        """The report's failure count; None without a report."""
        report = self.result.get("report") or {}
        value = (report.get("parameters") or {}).get("failures")
        return None if value is None else int(value)

    def describe(self):
        """Everything needed to understand a failed player."""
        return (f"player {self.identifier} in {self.client.ns.name}: exit {self.returncode} {self.problem}\n"
                f"--- own line\n{json.dumps(self.topology)}\n--- result\n{json.dumps(self.result)}\n"
                "--- stderr (tail)\n" + "\n".join(self.stderr.splitlines()[-15:])
                + "\n--- tarn.log (tail)\n" + "\n".join(self.log.splitlines()[-80:]))


@dataclass
class Session:
    runs: list = field(default_factory=list)

    def describe(self):
        return "\n\n".join(r.describe() for r in self.runs)

    def between(self, a, b):
        """(how a saw b, how b saw a) for two players' identifiers."""
        ra = next(r for r in self.runs if r.identifier == a)
        rb = next(r for r in self.runs if r.identifier == b)
        return ra.connection_to(b), rb.connection_to(a)


def play(clients, bin_dir, addrs, ports=programs.DEFAULT_PORTS, game=DEFAULT_GAME, config=None,
         timeout=SESSION_TIMEOUT_S, bins=None, configs=None):
    """Runs one game between clients (players 1, 2, ...); returns a Session.

    Every player gets the same peer list, made of every player's own line, once all of them have printed
    theirs; a player that printed nothing valid is left out of the list and stopped. bins, one folder per
    player, lets players of different versions meet; without it every player runs bin_dir's tarn-probe.
    configs, one {key: value} per player, gives each player its own tarn.cfg; without it each gets config.
    addrs is the rendezvous server's two addresses, or a list of them per player (a fleet of servers).
    """
    bins = bins or [bin_dir] * len(clients)
    configs = configs or [config] * len(clients)
    per_player = list(addrs) if isinstance(addrs[0], (list, tuple)) else [addrs] * len(clients)
    if len(bins) != len(clients) or len(configs) != len(clients) or len(per_player) != len(clients):
        raise ValueError(f"{len(bins)} program folders, {len(configs)} settings and {len(per_player)} server "
                         f"pairs for {len(clients)} players")
    deadline = time.monotonic() + timeout
    players = [_Player(c, i + 1, b, a, ports, game, cfg)
               for i, (c, b, a, cfg) in enumerate(zip(clients, bins, per_player, configs))]
    lines = [p.read_json(deadline) for p in players]
    listed = [line for line in lines if line and "exitCode" not in line]
    peer_list = json.dumps(listed, separators=(",", ":"))
    for player, line in zip(players, lines):
        if line and "exitCode" not in line:
            player.send(peer_list)
    session = Session()
    for player, line in zip(players, lines):
        problem = ""
        result = {}
        if not line:
            problem = "(no topology line)"
        elif "exitCode" in line:
            problem = f"(discovery failed: {line.get('error', '')})"
        else:
            result = player.read_json(deadline) or {}
            if not result:
                problem = "(no result line)"
        returncode = player.wait(deadline)
        session.runs.append(SessionRun(player.client, player.identifier, returncode, line or {}, result,
                                       player.stderr(), player.log(), problem))
    return session
