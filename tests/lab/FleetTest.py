"""A game between players bound to different rendezvous servers of a fleet that share their allow-list
through redis-server: it connects exactly as it does on one server. A server outside the fleet refuses
the relay, as one server always did."""

import concurrent.futures
import shutil
import tempfile
import time

import labsupport
from tarnlab import programs, session

SECOND_ADDRS = ("198.51.100.3", "203.0.113.3")
LONE_ADDRS = ("198.51.100.4", "203.0.113.4")
# The store runs on the first server's host, on its first address.
STORE_PORT = 6379
START_WAIT_S = 10
CONFIG = {"tarn.loglevel": "DEBUG"}
# The store's password and the fleet's secret, both throwaway values.
STORE_PASSWORD = "fleet-test-password"
FLEET_SECRET = "fleet-test-secret-of-the-lab\n"


class _Server(programs.Rendezvous):
    """tarn-rendezvous with the shared store, or without one when store is None."""

    def __init__(self, host, bin_dir, store, secret_file=None):
        super().__init__(host, bin_dir)
        self.store = store
        self.secret_file = secret_file

    def _argv(self):
        # A loose wait for the store: a loaded machine must not turn its answers into time-outs.
        return super()._argv() + (["--shared-store", self.store, "--fleet-secret-file", self.secret_file,
                                   "--store-wait", "500"] if self.store else [])


def _wait_for(process, text):
    """Whether text appeared on the process's standard error within START_WAIT_S."""
    deadline = time.monotonic() + START_WAIT_S
    while text not in process.output()[1]:
        if time.monotonic() > deadline or not process.running():
            return False
        time.sleep(0.05)
    return True


class FleetTest(labsupport.LabTestCase):
    @classmethod
    def setUpClass(cls):
        w = labsupport.new_program_world(cls)
        if w is None:
            return
        redis = shutil.which("redis-server")
        if redis is None:
            cls.reason = "redis-server is missing (scripts/setup.sh installs it)"
            return
        first = cls.server
        second = w.add_host("srv2", SECOND_ADDRS)
        lone = w.add_host("srv3", LONE_ADDRS)
        store_addr = first.addrs[0]
        # With a password the store accepts connections from other hosts (no protected mode).
        store = first.ns.spawn([redis, "--bind", store_addr, "--port", str(STORE_PORT), "--save", "",
                                "--appendonly", "no", "--requirepass", STORE_PASSWORD], "redis")
        cls.secret = tempfile.NamedTemporaryFile("w", prefix="tarn-fleet-", suffix=".secret")
        cls.secret.write(FLEET_SECRET)
        cls.secret.flush()
        url = f"redis://:{STORE_PASSWORD}@{store_addr}:{STORE_PORT}"
        servers = [_Server(first, cls.bin, url, cls.secret.name).start(),
                   _Server(second, cls.bin, url, cls.secret.name).start(), _Server(lone, cls.bin, None).start()]
        # Players may bind only once both members of the fleet write to the store.
        shown = f"redis://:***@{store_addr}:{STORE_PORT}"  # the server's lines mask the password
        cls.connected = all(_wait_for(s.process, "shared store " + shown + " connected") for s in servers[:2])
        cls.servers = servers
        site = lambda kind, name: w.add_site(kind, name=name).clients[0]  # noqa: E731
        games = {
            "one server": ([site("symmetric:1", "osym"), site("port-restricted", "oprc")],
                           [first.addrs, first.addrs]),
            "two servers of the fleet": ([site("symmetric:1", "fsym"), site("port-restricted", "fprc")],
                                         [first.addrs, second.addrs]),
            "a server outside the fleet": ([site("symmetric:1", "lsym"), site("port-restricted", "lprc")],
                                           [lone.addrs, second.addrs]),
        }
        with concurrent.futures.ThreadPoolExecutor(len(games)) as pool:
            futures = {name: pool.submit(session.play, clients, cls.bin, addrs, game=name.replace(" ", "-"),
                                         config=CONFIG)
                       for name, (clients, addrs) in games.items()}
            cls.games = {name: f.result() for name, f in futures.items()}

    def servers_log(self):
        return "\n".join(s.process.output()[1] for s in self.servers)

    def testAGameAcrossTheFleetConnectsAsOnOneServer(self):
        self.assertTrue(self.connected, self.servers_log())
        one = self.games["one server"]
        fleet = self.games["two servers of the fleet"]
        for s in (one, fleet):
            self.assertEqual([r.returncode for r in s.runs], [programs.EXIT_VALID] * 2, s.describe())
        self.assertEqual(one.between(1, 2), (session.DIRECT_PUBLIC, session.DIRECT_PUBLIC), one.describe())
        self.assertEqual(fleet.between(1, 2), one.between(1, 2), fleet.describe() + self.servers_log())

    def testAServerOutsideTheFleetRefusesTheRelay(self):
        s = self.games["a server outside the fleet"]
        self.assertEqual(s.between(1, 2), (session.RELAY, session.RELAY), s.describe())
