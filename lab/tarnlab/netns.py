"""Network namespaces, bounded commands and background processes, all owned by one Lab.

A Lab gives every namespace of one run the prefix tarnlab-<pid>-<random>-, so two runs never collide and
`clean_stale()` can tell the leftovers of a killed run from the namespaces of a live one. Lab.close()
stops every process it started (by pid), deletes every namespace and removes its files; it runs from
`with`, from atexit and, through install_signal_handlers(), after SIGINT, SIGTERM and SIGHUP.
"""

import atexit
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_TIMEOUT = 10.0
NAME_PREFIX = "tarnlab"
# `ip netns exec NS` bind-mounts every file of HOSTS_ROOT/NS over the one of the same name in /etc.
HOSTS_ROOT = "/etc/netns"
STOP_GRACE = 3.0
POLL_INTERVAL = 0.02

_STALE_NAME = re.compile(r"^" + NAME_PREFIX + r"-(\d+)-[0-9a-f]+-")


class CommandError(RuntimeError):
    """A command that failed, timed out or could not be started."""

    def __init__(self, argv, problem):
        super().__init__(f"{' '.join(str(a) for a in argv)}: {problem}")
        self.argv = argv
        self.problem = problem


def run(argv, timeout=DEFAULT_TIMEOUT, check=True, input=None, cwd=None):
    """Runs argv to completion within timeout seconds; returns the CompletedProcess (text output)."""
    try:
        done = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=timeout, cwd=cwd,
                              stdin=None if input is not None else subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise CommandError(argv, f"timed out after {timeout:g} s") from None
    except OSError as e:
        raise CommandError(argv, str(e)) from None
    if check and done.returncode != 0:
        raise CommandError(argv, f"exit {done.returncode}: {done.stderr.strip() or done.stdout.strip()}")
    return done


class Process:
    """A background process; its output goes to files, stop() ends it by its pid."""

    def __init__(self, argv, label, logdir, cwd=None):
        self.argv = argv
        self.label = label
        self.stdout_path = os.path.join(logdir, f"{label}.out")
        self.stderr_path = os.path.join(logdir, f"{label}.err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            try:
                # A session of its own: a Ctrl-C at the terminal reaches the lab, which then stops it.
                self._popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, cwd=cwd,
                                               start_new_session=True)
            except OSError as e:
                raise CommandError(argv, str(e)) from None
        self.pid = self._popen.pid

    def running(self):
        return self._popen.poll() is None

    def wait(self, timeout):
        """Exit code, or CommandError when the process is still running after timeout seconds."""
        try:
            return self._popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise CommandError(self.argv, f"still running after {timeout:g} s") from None

    def stop(self, grace=STOP_GRACE):
        """Sends SIGTERM (SIGKILL after grace seconds) to the pid and returns the exit code."""
        if self._popen.poll() is None:
            # The child is not reaped before poll() says so, so the pid cannot belong to anyone else yet.
            self._popen.send_signal(signal.SIGTERM)
            try:
                return self._popen.wait(grace)
            except subprocess.TimeoutExpired:
                self._popen.kill()
                return self._popen.wait(grace)
        return self._popen.returncode

    def signal(self, signum):
        """Sends signum to the pid while the process runs (it is not reaped before poll() says so)."""
        if self._popen.poll() is None:
            self._popen.send_signal(signum)

    def output(self):
        """(stdout, stderr) written so far."""
        return read_text(self.stdout_path), read_text(self.stderr_path)


def read_text(path):
    """The file's text; empty when it cannot be read."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Namespace:
    """One network namespace of a Lab."""

    def __init__(self, lab, name):
        self.lab = lab
        self.name = name

    def __repr__(self):
        return f"Namespace({self.name})"

    def ip(self, *args, timeout=DEFAULT_TIMEOUT):
        """Runs `ip -n <namespace> args`."""
        return run(["ip", "-n", self.name, *[str(a) for a in args]], timeout=timeout)

    def exec_argv(self, argv):
        return ["ip", "netns", "exec", self.name, *[str(a) for a in argv]]

    def run(self, argv, timeout=DEFAULT_TIMEOUT, check=True, input=None, cwd=None):
        """Runs argv inside the namespace to completion within timeout seconds."""
        return run(self.exec_argv(argv), timeout=timeout, check=check, input=input, cwd=cwd)

    def spawn(self, argv, label, cwd=None):
        """Starts argv inside the namespace in the background; the Lab stops it on close at the latest."""
        # `ip netns exec` execs the command in place, so the pid is the command's own.
        return self.lab.track(Process(self.exec_argv(argv), f"{self.name}-{label}", self.lab.workdir, cwd))

    def sysctl(self, key, value):
        self.run(["sysctl", "-q", "-w", f"{key}={value}"])

    def load_nft(self, ruleset):
        """Loads an nftables ruleset atomically; a rejected ruleset raises CommandError with nft's reason."""
        self.run(["nft", "-f", "-"], input=ruleset)

    def set_hosts(self, hostname, addrs):
        """Makes hostname resolve to addrs, in this order, for programs run inside the namespace."""
        folder = os.path.join(HOSTS_ROOT, self.name)
        self.lab.own_hosts_folder(folder)
        lines = ["127.0.0.1 localhost"] + [f"{a} {hostname}" for a in addrs]
        with open(os.path.join(folder, "hosts"), "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")

    def listening(self, protocol="udp"):
        """Set of (address, port) with a listening socket of protocol ("udp" or "tcp") in the namespace."""
        found = set()
        for line in self.run(["ss", "-H", "--" + protocol, "-l", "-n"]).stdout.splitlines():
            fields = line.split()
            if len(fields) >= 4 and ":" in fields[3]:
                addr, _, port = fields[3].rpartition(":")
                if port.isdigit():
                    found.add((addr, int(port)))
        return found

    def wait_listening(self, endpoints, process=None, timeout=DEFAULT_TIMEOUT, protocol="udp"):
        """Waits until every (address, port) has a listening socket of protocol, an address of None meaning
        any; CommandError on timeout or if process ends first."""
        wanted = set(endpoints)
        deadline = time.monotonic() + timeout
        while True:
            found = self.listening(protocol)
            ports = {port for _, port in found}
            missing = {(a, p) for a, p in wanted if ((a, p) not in found if a is not None else p not in ports)}
            if not missing:
                return
            if process is not None and not process.running():
                out, err = process.output()
                raise CommandError(process.argv, f"exited with {process.wait(0)} before listening: {err or out}")
            if time.monotonic() >= deadline:
                raise CommandError(["wait", protocol], f"nothing listens on {sorted(missing, key=str)} after "
                                   f"{timeout:g} s")
            # Binding raises no event another process can wait on; a short poll with a deadline it is.
            time.sleep(POLL_INTERVAL)


class Lab:
    """Owner of every namespace, process and file of one run."""

    def __init__(self, keep_files=False):
        self.prefix = f"{NAME_PREFIX}-{os.getpid()}-{secrets.token_hex(3)}"
        self.workdir = tempfile.mkdtemp(prefix=self.prefix + "-")
        self.keep_files = keep_files
        self._lock = threading.Lock()
        self._namespaces = []
        self._processes = []
        self._hosts_folders = []
        self._created_hosts_root = False
        self._closed = False
        _open_labs.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def namespace(self, role):
        """Creates the namespace <prefix>-<role> with its loopback up."""
        ns = Namespace(self, f"{self.prefix}-{role}")
        run(["ip", "netns", "add", ns.name])
        with self._lock:
            self._namespaces.append(ns)
        ns.ip("link", "set", "lo", "up")
        return ns

    def track(self, process):
        with self._lock:
            self._processes.append(process)
        return process

    def tempdir(self, label):
        """A fresh folder inside the run's work folder (removed on close)."""
        return tempfile.mkdtemp(prefix=label + "-", dir=self.workdir)

    def own_hosts_folder(self, folder):
        with self._lock:
            if not os.path.isdir(HOSTS_ROOT):
                os.makedirs(HOSTS_ROOT, exist_ok=True)
                self._created_hosts_root = True
            os.makedirs(folder, exist_ok=True)
            self._hosts_folders.append(folder)

    def close(self):
        """Stops processes, deletes namespaces, removes files; safe to call twice. Returns the problems met."""
        with _signals_deferred():
            with self._lock:
                if self._closed:
                    return []
                self._closed = True
                processes, self._processes = self._processes, []
                namespaces, self._namespaces = self._namespaces, []
            problems = []
            for p in reversed(processes):
                try:
                    p.stop()
                except (OSError, CommandError) as e:
                    problems.append(f"stopping {p.label}: {e}")
            for ns in reversed(namespaces):
                try:
                    run(["ip", "netns", "del", ns.name])
                except CommandError as e:
                    problems.append(str(e))
            for folder in self._hosts_folders:
                shutil.rmtree(folder, ignore_errors=True)
            if self._created_hosts_root:
                _remove_if_empty(HOSTS_ROOT)
            if not self.keep_files:
                shutil.rmtree(self.workdir, ignore_errors=True)
            _open_labs.discard(self)
            for problem in problems:
                print(f"tarn-lab: cleanup: {problem}", file=sys.stderr)
            return problems


def _remove_if_empty(folder):
    try:
        os.rmdir(folder)
    except OSError:
        pass  # another run still keeps files there


def live_namespaces():
    """Names of every namespace on the machine."""
    return {line.split()[0] for line in run(["ip", "netns", "list"]).stdout.splitlines() if line.strip()}


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def clean_stale():
    """Removes namespaces, hosts folders and work folders of lab runs whose process is gone; returns their names."""
    removed = []
    for name in sorted(live_namespaces()):
        m = _STALE_NAME.match(name)
        if not m or _pid_alive(int(m.group(1))):
            continue
        for pid in run(["ip", "netns", "pids", name], check=False).stdout.split():
            # Processes left in a dead run's namespace were started by that run.
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        run(["ip", "netns", "del", name], check=False)
        shutil.rmtree(os.path.join(HOSTS_ROOT, name), ignore_errors=True)
        removed.append(name)
    tmp = tempfile.gettempdir()
    for entry in os.listdir(tmp):
        m = _STALE_NAME.match(entry)
        if m and not _pid_alive(int(m.group(1))):
            shutil.rmtree(os.path.join(tmp, entry), ignore_errors=True)
    if os.path.isdir(HOSTS_ROOT) and not os.listdir(HOSTS_ROOT):
        _remove_if_empty(HOSTS_ROOT)
    return removed


def preflight():
    """None when this machine can run the lab, else the reason it cannot."""
    if os.geteuid() != 0:
        return "not root: network namespaces and nftables need root"
    for tool in ("ip", "nft", "ss", "sysctl"):
        if shutil.which(tool) is None:
            return f"{tool} not found (install iproute2, nftables and procps)"
    try:
        with Lab() as lab:
            ns = lab.namespace("preflight")
            ns.ip("link", "add", "v0", "type", "veth", "peer", "name", "v1")
            ns.ip("link", "add", "b0", "type", "bridge")
            ns.load_nft("table ip t {\n chain c {\n  type nat hook postrouting priority srcnat; masquerade\n }\n}\n")
    except CommandError as e:
        return f"cannot build namespaces here: {e}"
    return None


_open_labs = set()
_signal_state = {"deferring": 0, "pending": None}
_signal_lock = threading.Lock()


class _signals_deferred:
    """Holds back the exception of a signal handled by install_signal_handlers() until cleanup is done."""

    def __enter__(self):
        with _signal_lock:
            _signal_state["deferring"] += 1

    def __exit__(self, *exc):
        with _signal_lock:
            _signal_state["deferring"] -= 1
            pending = _signal_state["pending"] if _signal_state["deferring"] == 0 else None
            if pending is not None:
                _signal_state["pending"] = None
        if pending is not None and exc[0] is None:
            _raise_for(pending)
        return False


def _raise_for(signum):
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise SystemExit(128 + signum)


def _on_signal(signum, frame):
    if _signal_state["deferring"]:
        _signal_state["pending"] = signum
        return
    _raise_for(signum)


def install_signal_handlers():
    """Turns SIGINT, SIGTERM and SIGHUP into exceptions, so `with Lab()` and finally blocks clean up."""
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _on_signal)


@atexit.register
def _close_open_labs():
    for lab in list(_open_labs):
        lab.close()
