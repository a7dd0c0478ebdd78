"""The tarn-lab subcommands: demo, up, test and clean."""

import argparse
import concurrent.futures
import json
import os
import signal
import sys

from . import delay as delays
from . import matrix, nat, netns, plot, portmap, programs, runner, world

REPO_ROOT = programs.REPO_ROOT
TEST_DIR = os.path.join(REPO_ROOT, "tests", "lab")
# Parallel discoveries in the demo; the machine may be shared with builds.
DEMO_WORKERS = 4
EXIT_UNAVAILABLE = 2
# The project's version (CMakeLists.txt); a CTest compares the two.
VERSION = "1.2.0"


def _kinds(text):
    if not text:
        return list(nat.STANDARD_KINDS + nat.LAYERED_KINDS + nat.STATEFUL_KINDS)
    return [nat.parse_kind(k) for k in text.split(",") if k.strip()]


def player_config(args):
    """The players' tarn.cfg keys from --fast and --set KEY=VALUE (a later --set wins)."""
    config = dict(programs.FAST_CONFIG) if args.fast else {}
    config.update(args.set)
    return config


def _setting(text):
    try:
        return programs.parse_setting(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _delay(args):
    return delays.Delay(args.delay, args.jitter)


def _site_delay(text):
    """(kind name, Delay) from KIND=MS[:JITTER_MS]."""
    name, sep, value = text.partition("=")
    try:
        if not sep or not name.strip():
            raise ValueError("a site's delay is KIND=MS[:JITTER_MS]")
        return nat.parse_kind(name).name, delays.parse(value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _build(lab, kinds, args, clients=1):
    """The world of the options in args (loss, hairpin, noise, delays) with a site of each kind."""
    w = world.World(lab, args.loss, args.hairpin, args.noise, _delay(args), args.bin)
    server = w.add_host("srv", world.SERVER_ADDRS)
    own = dict(args.site_delay)
    unknown = set(own) - {k.name for k in kinds}
    if unknown:
        raise ValueError(f"--site-delay names kinds without a site: {', '.join(sorted(unknown))}")
    sites = [w.add_site(k, clients=clients, name=k.name.replace(":", "-"), delay=own.get(k.name)) for k in kinds]
    return w, server, sites


def delay_text(w, sites):
    """The delay of the world's sites, as the tables and plots show it."""
    labels = {s.delay.label() for s in sites}
    if len(labels) == 1:
        return f"{labels.pop()} per hop crossing"
    return "per hop crossing: " + ", ".join(f"{s.kind.name} {s.delay.label()}" for s in sites)


# The standard terms in the demo's table.
_SHORT_TERMS = {nat.EIM: "EI", nat.ADF: "AD", nat.APDM: "APD", "unknown": "?", "": "-"}


def _fmt_topology(t):
    if t is None:
        return "-"
    return (f"{t.nat_type} / {t.behavior} / {t.increment}"
            f" ({_SHORT_TERMS.get(t.mapping, t.mapping)}M {_SHORT_TERMS.get(t.filtering, t.filtering)}F)")


def _fmt_expected(e):
    inc = ">=0" if e.increment is None else e.increment
    return (f"{e.nat_type} / {e.behavior} / {inc}"
            f" ({_SHORT_TERMS[e.mapping]}M {_SHORT_TERMS[e.filtering]}F)")


def discovery_mismatches(kind, client, discovery):
    """What in a discovery result contradicts the site's NAT kind (empty when it matches). Behind a mapping
    router, what a held mapping advertises is right too: whether the client asks depends on its settings."""
    t = discovery.topology
    if discovery.returncode != programs.EXIT_VALID or t is None:
        return [f"exit {discovery.returncode} {discovery.problem}".strip()]
    problems = _topology_mismatches(kind.expected, client, t)
    if problems and kind.portmap and not _topology_mismatches(kind.advertised, client, t):
        return []
    return problems


def _topology_mismatches(e, client, t):
    problems = []
    if (t.nat_type, t.behavior) != (e.nat_type, e.behavior):
        problems.append(f"type/behaviour {t.nat_type} / {t.behavior}")
    if (e.increment is None and t.increment < 0) or (e.increment is not None and t.increment != e.increment):
        problems.append(f"increment {t.increment}")
    if (t.mapping, t.filtering) != (e.mapping, e.filtering):
        problems.append(f"mapping/filtering {t.mapping} / {t.filtering}")
    if t.local_addr != client.addr:
        problems.append(f"local address {t.local_addr}")
    if t.public_addr != client.public_addr:
        problems.append(f"public address {t.public_addr}")
    if e.port_preserved and t.public_port != t.local_port:
        problems.append(f"public port {t.public_port} != local {t.local_port}")
    return problems


def _print_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


def _demo_discovery(server, sites, bin_dir, config):
    rendezvous = programs.Rendezvous(server, bin_dir).start()

    def one(site):
        try:
            return programs.discover(site.clients[0], bin_dir, server.addrs, config=config)
        except netns.CommandError as e:
            return programs.Discovery(-1, None, 0.0, "", "", "", str(e))

    with concurrent.futures.ThreadPoolExecutor(DEMO_WORKERS) as pool:
        runs = list(pool.map(one, sites))
    rendezvous.stop()
    rows, failed = [], 0
    for site, d in zip(sites, runs):
        problems = discovery_mismatches(site.kind, site.clients[0], d)
        if site.kind.stateful or site.noise:
            # Plain kernel state, or ports taken by the neighbour between the tests: shown, not judged.
            verdict = "measured"
        else:
            verdict = "ok" if not problems else "MISMATCH: " + "; ".join(problems)
            failed += bool(problems)
        t = d.topology
        public = "-" if t is None else f"{t.public_addr}:{t.public_port}"
        local = "-" if t is None else f"{t.local_addr}:{t.local_port}"
        rows.append([site.kind.name, _fmt_expected(site.kind.expected), _fmt_topology(t), local, public, verdict])
    _print_table(["site", "configured", "detected (type / behaviour / increment (mapping, filtering))", "local",
                  "public", "result"], rows)
    print("mapping and filtering: EI endpoint-independent, AD address-dependent, APD address-and-port-dependent")
    return 1 if failed else 0


def _demo_mapped(server, sites):
    responder = programs.MappedResponder(server).start()
    with concurrent.futures.ThreadPoolExecutor(DEMO_WORKERS) as pool:
        results = list(pool.map(lambda s: programs.mapped_probe(s.clients[0], server.addrs), sites))
        paths = list(pool.map(lambda s: programs.trace(s.clients[0], server.addrs[0]), sites))
    responder.stop()
    rows = []
    for site, r, path in zip(sites, results, paths):
        local = r["local"][1]
        ports = ",".join(str(p) for _, p in r["mapped"])
        admitted = [k for k, v in r["admitted"].items() if v]
        u = r["unsolicited"]
        kept = "kept" if u["mappedPort"] == u["localPort"] else f"moved to {u['mappedPort']}"
        rows.append([site.kind.name, site.clients[0].public_addr, f"{local} -> {ports}", " ".join(admitted),
                     f"{'arrived' if u['arrived'] else 'dropped'}, port {kept}",
                     " > ".join(str(hop or "?") for hop in path)])
    _print_table(["site", "outside", "local port -> ports seen by S1..S4", "admitted after contacting S1",
                  "unsolicited datagram first", "way out, TTL 1, 2, ..."], rows)
    return 0


def _demo_peers(w, server, sites, bin_dir, repeat, config, plot_path=None):
    """Every pair of kinds plays a game of two, and two players behind one router of each kind too; prints
    how each side reached the other, and draws the matrix to plot_path when given."""
    kinds = [s.kind for s in sites]
    rendezvous = programs.Rendezvous(server, bin_dir).start()
    results = matrix.play_all(w, server, kinds, bin_dir, repeat, config)
    same_site = matrix.play_same_site(w, server, kinds, bin_dir, repeat, config)
    rendezvous.stop()
    header, rows = matrix.table(kinds, results)
    games = f", {repeat} games per pair" if repeat > 1 else ""
    distance = delay_text(w, sites)
    print(f"\npeer matrix: how the row's site reached the column's site (tarn-probe session{games}; {distance})")
    _print_table(header, rows)
    print(f"\ntwo players behind one router (hairpinning {'on' if w.hairpin else 'off'})")
    _print_table(["site", "outcome"], [[r.a.name, r.summary()] for r in same_site])
    if any(k.portmap for k in kinds):
        left = [(r.a.name, r.b.name, m) for r in list(results.values()) + same_site for m in r.left_behind]
        print(f"\nmappings left on the routers {portmap.CLEANUP_WAIT_S:g} s after the games: {len(left) or 'none'}")
        for a, b, m in left:
            print(f"  {a} / {b}: {m.protocol} {m.external_port} -> {m.internal[0]}:{m.internal[1]}")
    broken = [p for r in list(results.values()) + same_site for p in r.problems]
    for problem in broken[:3]:
        print(f"\nbroken game:\n{problem}", file=sys.stderr)
    if plot_path:
        title = f"tarn peer matrix: direct connections ({repeat} game{'s' if repeat != 1 else ''} per pair, {distance})"
        plot.draw(plot_path, plot.matrix_data(kinds, results, title))
        print(f"\npeer matrix drawn to {plot_path}")
    return 1 if broken else 0


def cmd_demo(args):
    if args.repeat < 1:
        print("tarn-lab: --repeat needs at least 1 game per pair", file=sys.stderr)
        return EXIT_UNAVAILABLE
    reason = netns.preflight()
    if reason:
        print(f"tarn-lab: {reason}", file=sys.stderr)
        return EXIT_UNAVAILABLE
    if args.plot and (args.mapped or args.no_peers):
        print("tarn-lab: --plot draws the peer matrix, which --mapped and --no-peers leave out", file=sys.stderr)
        return EXIT_UNAVAILABLE
    if args.plot:
        reason = plot.unavailable()
        if reason:
            print(f"tarn-lab: {reason}", file=sys.stderr)
            return EXIT_UNAVAILABLE
    if not args.mapped:
        reason = programs.missing_programs(args.bin)
        if reason:
            print(f"tarn-lab: {reason}; `tarn-lab demo --mapped` needs no build", file=sys.stderr)
            return EXIT_UNAVAILABLE
    config = player_config(args)
    with netns.Lab(keep_files=args.keep) as lab:
        w, server, sites = _build(lab, _kinds(args.kinds), args)
        print(f"distance: {delay_text(w, sites)}")
        status = _demo_mapped(server, sites) if args.mapped else _demo_discovery(server, sites, args.bin, config)
        if not args.mapped and not args.no_peers:
            status |= _demo_peers(w, server, sites, args.bin, args.repeat, config, args.plot)
        if args.keep:
            print(f"files kept in {lab.workdir}")
        return status


def cmd_up(args):
    reason = netns.preflight()
    if not reason and args.server == "rendezvous":
        reason = programs.missing_programs(args.bin, (programs.RENDEZVOUS,))
    if reason:
        print(f"tarn-lab: {reason}", file=sys.stderr)
        return EXIT_UNAVAILABLE
    with netns.Lab() as lab:
        _, server, sites = _build(lab, _kinds(args.kinds), args, args.clients)
        if args.server == "rendezvous":
            programs.Rendezvous(server, args.bin).start()
        elif args.server == "mapped":
            programs.MappedResponder(server).start()
        print(f"server {args.server}: {','.join(server.addrs)} ports "
              f"{','.join(str(p) for p in programs.DEFAULT_PORTS)} in {server.ns.name}")
        for site in sites:
            router = site.router.name if site.router else "(no router)"
            outer = f", carrier NAT {site.carrier.name}" if site.carrier else ""
            hop = f", ISP hop {site.isp.name}" if site.isp else ""
            noise = f", {site.noise} new flows/s from {site.neighbour.name}" if site.noise else ""
            mapper = f", {portmap.DAEMON} at {site.gateway} (pid {site.portmap.pid})" if site.portmap else ""
            mapper += f", {site.delay.label()} per hop crossing" if site.delay else ""
            print(f"site {site.kind.name}: router {router}{outer}{hop}, {site.loss}% of UDP lost each way"
                  + (", hairpinning" if site.hairpin else "") + noise + mapper)
            for c in site.clients:
                print(f"  client {c.ns.name} {' '.join(c.search_addrs)} -> {c.public_addr}")
        print("run a command inside with: ip netns exec NAMESPACE COMMAND")
        print(f"lab {lab.prefix} ready; Ctrl-C or SIGTERM tears it down", flush=True)
        while True:
            signal.pause()


def cmd_test(args):
    if not os.path.isdir(TEST_DIR):
        print("tarn-lab: the lab tests are not installed; run them from the repository's lab/tarn-lab",
              file=sys.stderr)
        return EXIT_UNAVAILABLE
    if _delay(args):
        # Read by every lab test's world (tests/lab/labsupport.py) as its sites' default delay.
        os.environ[delays.ENV] = f"{args.delay:g}:{args.jitter:g}"
    return runner.run_tests(TEST_DIR, args.bin, args.k, verbosity=1 if args.quiet else 2)


def cmd_plot(args):
    reason = plot.unavailable()
    if reason:
        print(f"tarn-lab: {reason}", file=sys.stderr)
        return EXIT_UNAVAILABLE
    try:
        with open(args.data, encoding="utf-8") as f:
            data = json.load(f)
        plot.draw(args.out, data)
    except (OSError, ValueError, KeyError, TypeError, RuntimeError) as e:
        print(f"tarn-lab: cannot draw {args.data}: {e!r}", file=sys.stderr)
        return 1
    print(f"drawn to {args.out}")
    return 0


def cmd_clean(args):
    for name in netns.clean_stale():
        print(f"removed {name}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tarn-lab", description="NAT lab: discovery across Linux kernel NATs "
                                     "in network namespaces (needs root).")
    parser.add_argument("--version", action="version", version="tarn-lab " + VERSION)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--bin", default=programs.default_bin_dir(),
                        help="folder with tarn-probe and tarn-rendezvous (default: build/stage/bin of the "
                        "repo, or the folder of an installed tarn-lab)")
    lossy = argparse.ArgumentParser(add_help=False)
    lossy.add_argument("--loss", type=int, default=0, metavar="PCT",
                       help="every site drops PCT%% of the UDP datagrams between it and the internet, each way, "
                       "at random (default 0)")
    lossy.add_argument("--noise", type=int, default=0, metavar="RATE",
                       help="a neighbour on every symmetric site opens RATE new UDP flows per second to a sink "
                       "on the internet, for the whole run (default 0)")
    lossy.add_argument("--hairpin", action="store_true",
                       help="every NAT turns a datagram from its LAN to its own outside address back in")
    distant = argparse.ArgumentParser(add_help=False)
    distant.add_argument("--delay", type=float, default=0, metavar="MS",
                         help="one-way delay of every crossing of a site's ISP hop (a round trip to the server "
                         "takes 2 x MS, between two players 4 x MS; default 0: no delay line)")
    distant.add_argument("--jitter", type=float, default=0, metavar="MS",
                         help="each packet's delay is drawn from MS +- this, order kept (default 0)")
    lossy.add_argument("--site-delay", action="append", default=[], type=_site_delay, metavar="KIND=MS[:JITTER]",
                       help="the delay of the site of one kind instead of --delay; repeat it for more sites")
    sub = parser.add_subparsers(dest="command", required=True)
    kinds_help = ("comma-separated NAT kinds: base[:step][:stateful][+mapper] with base one of "
                  + ", ".join(nat.BASES) + " and mapper one of " + ", ".join(portmap.OPTIONS)
                  + " (default: every textbook kind, double-nat and the stateful kinds)")
    p = sub.add_parser("demo", parents=[common, lossy, distant],
                       help="build every site, run discovery in each, print configured against detected")
    p.add_argument("--kinds", help=kinds_help)
    p.add_argument("--mapped", action="store_true", help="measure with the stdlib prober instead of tarn-probe")
    p.add_argument("--keep", action="store_true", help="keep the run's logs (tarn.log of every probe)")
    p.add_argument("--no-peers", action="store_true", help="skip the peer matrix")
    p.add_argument("--repeat", type=int, default=1, metavar="N",
                   help="games per pair of kinds in the peer matrix (default 1)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the peer matrix as a heat map of the direct-connection rate (matplotlib)")
    p.add_argument("--set", action="append", default=[], type=_setting, metavar="KEY=VALUE",
                   help="a tarn.cfg line for every tarn-probe the demo runs; repeat it for more keys")
    p.add_argument("--fast", action="store_true",
                   help="overlapped connect and discovery: " + ", ".join(f"{k}={v}"
                                                                         for k, v in programs.FAST_CONFIG.items()))
    p.set_defaults(func=cmd_demo)
    p = sub.add_parser("up", parents=[common, lossy, distant], help="build sites and keep them until interrupted")
    p.add_argument("--kinds", help=kinds_help)
    p.add_argument("--clients", type=int, default=1, help="clients per site")
    p.add_argument("--server", choices=("rendezvous", "mapped", "none"), default="mapped")
    p.set_defaults(func=cmd_up)
    p = sub.add_parser("test", parents=[common, distant], help="run the lab tests (tests/lab)")
    p.add_argument("-k", metavar="PATTERN", help="only tests whose name contains PATTERN")
    p.add_argument("-q", "--quiet", action="store_true")
    p.set_defaults(func=cmd_test)
    p = sub.add_parser("plot", help="draw a bench's JSON results (e.g. bench/p2p/distance.py --json)")
    p.add_argument("data", metavar="DATA.json")
    p.add_argument("out", metavar="FILE.png")
    p.set_defaults(func=cmd_plot)
    p = sub.add_parser("clean", help="remove what killed lab runs left behind")
    p.set_defaults(func=cmd_clean)
    args = parser.parse_args(argv)
    if hasattr(args, "bin"):
        args.bin = os.path.abspath(args.bin)
    netns.install_signal_handlers()
    try:
        return args.func(args)
    except (netns.CommandError, ValueError) as e:
        print(f"tarn-lab: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
