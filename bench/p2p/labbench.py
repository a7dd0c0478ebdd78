"""What the lab benchmarks share: the lab package, named program folders, the lab they run in, tables.

A program folder is given as NAME=DIR or DIR (named after DIR's parent folder, e.g. `stage` for
build/stage/bin); each folder plays its own runs against its own tarn-rendezvous, one after the other, so
that versions are measured side by side in one run. One folder may be named twice with different player
settings (--set NAME:KEY=VALUE, --fast NAME), so that two modes are measured side by side too:

    --bin documented=build/stage/bin --bin fast=build/stage/bin --fast fast

Distance: every bench's sites take the delay of TARN_LAB_DELAY (MS or MS:JITTER_MS per crossing of a
site's ISP hop; tarn-delayline from the repository's build/stage/bin), e.g. TARN_LAB_DELAY=100:10.
"""

import contextlib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "lab"))

from tarnlab import delay, netns, programs, session, world  # noqa: E402

DIRECT = (session.DIRECT_PRIVATE, session.DIRECT_PUBLIC)
SHORT = {session.DIRECT_PRIVATE: "private", session.DIRECT_PUBLIC: "public", session.RELAY: "relay", None: "broken"}


def bin_arg(text):
    """(name, absolute folder) from NAME=DIR or DIR."""
    name, sep, folder = text.partition("=")
    if not sep:
        folder = name
        name = os.path.basename(os.path.dirname(os.path.abspath(folder))) or folder
    return name, os.path.abspath(folder)


def add_bin_option(parser):
    parser.add_argument("--bin", action="append", type=bin_arg, required=True, metavar="[NAME=]DIR",
                        help="folder with tarn-probe and tarn-rendezvous; repeat it to compare versions")


def add_config_options(parser):
    parser.add_argument("--set", action="append", default=[], metavar="[NAME:]KEY=VALUE",
                        help="a tarn.cfg line for the players of program folder NAME (of every folder without "
                        "NAME:); repeat it for more keys")
    parser.add_argument("--fast", action="append", nargs="?", const="", default=[], metavar="NAME",
                        help="overlapped connect and discovery (" + ", ".join(
                            f"{k}={v}" for k, v in programs.FAST_CONFIG.items())
                        + ") for the players of NAME (of every folder without NAME)")


def configs(args):
    """{program folder name: {key: value}} from --fast and --set; ends the run on a bad one."""
    found = {name: {} for name, _ in args.bin}

    def named(name):
        if name and name not in found:
            raise SystemExit(f"no program folder is named {name!r}; the names are {', '.join(found)}")
        return [name] if name else list(found)

    for name in args.fast:
        for n in named(name):
            found[n].update(programs.FAST_CONFIG)
    for text in args.set:
        head, sep, value = text.partition("=")
        name, colon, key = head.rpartition(":")
        try:
            setting = programs.parse_setting(key + sep + value)
        except ValueError as e:
            raise SystemExit(str(e)) from None
        for n in named(name if colon else ""):
            found[n][setting[0]] = setting[1]
    return found


def check_bins(bins):
    """Ends the run when the lab cannot run here or a folder lacks a program."""
    names = [name for name, _ in bins]
    if len(set(names)) != len(names):
        raise SystemExit(f"two program folders share a name: {', '.join(names)}; name them NAME=DIR")
    reason = netns.preflight()
    for _, folder in bins:
        reason = reason or programs.missing_programs(folder)
    if reason:
        raise SystemExit(reason)


@contextlib.contextmanager
def lab_world(loss=0, hairpin=False, distance=None):
    """A lab, its world of the given loss, hairpinning and delay (a delay.Delay; default: TARN_LAB_DELAY's),
    and the rendezvous host; everything is removed on the way out."""
    netns.install_signal_handlers()
    with netns.Lab() as lab:
        w = world.World(lab, loss, hairpin, delay=delay.from_environment() if distance is None else distance)
        if w.delay:
            print(f"  distance: {w.delay.label()} per crossing of each site's ISP hop", file=sys.stderr, flush=True)
        yield w, w.add_host("srv", world.SERVER_ADDRS)


@contextlib.contextmanager
def rendezvous(server, folder):
    r = programs.Rendezvous(server, folder).start()
    try:
        yield r
    finally:
        r.stop()


def views(game):
    """{(a, b): how player a saw player b} of a played session.Session; None when a reported no peer list."""
    found = {}
    for run in game.runs:
        for other in game.runs:
            if other.identifier != run.identifier:
                found[(run.identifier, other.identifier)] = run.connection_to(other.identifier)
    return found


def troubles(game):
    """Why players of a played session.Session ended without a clean exit, one text per such player."""
    found = []
    for run in game.runs:
        if run.problem or run.returncode != programs.EXIT_VALID:
            why = run.topology.get("error") or run.result.get("error") or run.problem
            found.append(f"exit {run.returncode}: {why}")
    return found


class Clock:
    """Wall time of the parts of a run, in the order they ran."""

    def __init__(self):
        self.parts = []

    @contextlib.contextmanager
    def part(self, label):
        start = time.monotonic()
        try:
            yield
        finally:
            self.parts.append((label, time.monotonic() - start))
            print(f"  {label}: {time.monotonic() - start:.0f} s", file=sys.stderr, flush=True)

    def print(self):
        print("Wall time:\n")
        print_table(["part", "time"], [[label, f"{seconds:.0f} s"] for label, seconds in self.parts])


def print_troubles(header, troubles):
    """Prints why players failed, if any did; troubles maps the labels of a row (header) to a Counter."""
    rows = [[*labels, text, n] for labels, counter in troubles.items() for text, n in sorted(counter.items())]
    if rows:
        print("Players that did not exit cleanly:\n")
        print_table(header + ["player", "times"], rows)


def print_table(header, rows, out=sys.stdout):
    """A Markdown table, ready to paste."""
    print("| " + " | ".join(header) + " |", file=out)
    print("|" + "---|" * len(header), file=out)
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |", file=out)
    print(file=out, flush=True)
