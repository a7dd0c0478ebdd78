#!/usr/bin/env python3
"""Games of two for chosen pairs of NAT kinds: how many ended direct on both sides, per program folder.

Every pair has two sites of its own and plays GAMES games one after the other; different pairs play side
by side. A game counts as direct when both players saw each other DIRECT (private or public). With
--noise, a neighbour on every symmetric site opens that many new UDP flows per second for the whole level
(`quiet`: none), and every level is a column. --pairs takes a preset or A/B,C/D,...:

    stateful    every pair of the stateful peer matrix with a stateful side
    targets     the stateful pairs whose priming targets are set, and double-nat (textbook and stateful)
                against port-restricted
    double-nat  double-nat against each textbook kind
    noise       symmetric:1 against symmetric:1 and port-restricted, symmetric:2 against full-cone
    portmap     the random-port symmetric kind behind each mapping router against the pairs it needs the
                mapping for
    lying       a lying mapping router against pairs that connect without a mapping

    bench/p2p/pairs.py --bin before=DIR --bin after=DIR --pairs targets --games 20
    bench/p2p/pairs.py --bin DIR --pairs double-nat,symmetric:1/double-nat:stateful --games 5 --fast

--times adds the median connect time of the games direct on both sides (the slower player's time inside
connect()).
"""

import argparse
import collections
import concurrent.futures
import itertools
import statistics
import sys

import labbench
from labbench import session
from tarnlab import matrix, nat, portmap

PARALLEL_PAIRS = 3
QUIET = "quiet"
_MATRIX = ("full-cone", "port-restricted", "symmetric:1", "port-restricted:stateful", "symmetric:1:stateful",
           "symmetric-random:stateful")
PRESETS = {
    "stateful": [(a, b) for a, b in itertools.combinations_with_replacement(_MATRIX, 2)
                 if nat.parse_kind(a).stateful or nat.parse_kind(b).stateful],
    "targets": [("port-restricted:stateful", "port-restricted:stateful"),
                ("port-restricted", "port-restricted:stateful"),
                ("full-cone", "symmetric:1:stateful"),
                ("port-restricted", "symmetric:1:stateful"),
                ("symmetric:1:stateful", "symmetric:1:stateful"),
                ("double-nat", "port-restricted"),
                ("double-nat:stateful", "port-restricted")],
    "double-nat": [("double-nat", k.name) for k in nat.STANDARD_KINDS],
    "noise": [("symmetric:1", "symmetric:1"), ("symmetric:1", "port-restricted"), ("symmetric:2", "full-cone")],
    "portmap": [("symmetric-random+pmp", "port-restricted"), ("symmetric-random+pmp", "symmetric:1"),
                ("symmetric-random+pmp", "symmetric-random+upnp"), ("symmetric-random+upnp", "port-restricted"),
                ("symmetric-random+natpmp", "port-restricted")],
    "lying": [("symmetric-random+lying", "full-cone"), ("port-restricted+lying", "port-restricted"),
              ("symmetric:1+lying", "symmetric:1")],
}


def parse_pairs(text):
    """[(kind name, kind name)] from presets and A/B items, each pair once, in the order given."""
    pairs = []
    for item in (t.strip() for t in text.split(",") if t.strip()):
        if item in PRESETS:
            found = PRESETS[item]
        else:
            a, sep, b = item.partition("/")
            if not sep:
                raise SystemExit(f"a pair is KIND/KIND or one of {', '.join(PRESETS)}, not {item!r}")
            found = [(nat.parse_kind(a).name, nat.parse_kind(b).name)]
        pairs += [p for p in found if p not in pairs]
    return pairs


def parse_levels(text):
    """Noise levels in flows per second, 0 for quiet, in the order given."""
    levels = []
    for item in (t.strip() for t in text.split(",") if t.strip()):
        rate = 0 if item == QUIET else int(item)
        if rate < 0 or rate in levels:
            raise SystemExit(f"noise levels are `{QUIET}` or flows per second, each once: {text!r}")
        levels.append(rate)
    return levels


def level_name(rate):
    return f"{rate}/s" if rate else QUIET


def play_pair(sites, folder, addrs, games, tag, config):
    """games games of two between the pair's sites: a matrix.PairResult."""
    a, b = sites
    result = matrix.PairResult(a.kind, b.kind)
    for g in range(games):
        matrix.record(result, session.play([a.clients[0], b.clients[0]], folder, addrs, game=f"{tag}-{g}",
                                           config=config), sites)
    return result


def median_ms(result):
    times = [t for o, t in zip((o for o in result.outcomes if o), result.times)
             if all(c in labbench.DIRECT for c in o)]
    return f"{statistics.median(times):.0f}" if times else "-"


def main(doc=__doc__, **defaults):
    """Runs the bench from the command line; defaults replace the options' own (as bench/p2p/noise.py does)."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0], epilog="\n".join(doc.splitlines()[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    labbench.add_bin_option(parser)
    labbench.add_config_options(parser)
    parser.add_argument("--pairs", default="targets", help="presets and KIND/KIND pairs, comma-separated")
    parser.add_argument("--games", type=int, default=20, help="games per pair, folder and level")
    parser.add_argument("--noise", default=QUIET, metavar="LEVELS",
                        help=f"noise levels, e.g. {QUIET},5,20 (new flows per second at each symmetric site)")
    parser.add_argument("--hairpin", action="store_true", help="every NAT hairpins")
    parser.add_argument("--times", action="store_true", help="also the median connect time of the direct games")
    parser.set_defaults(**defaults)
    args = parser.parse_args()
    run(args, parse_pairs(args.pairs), parse_levels(args.noise))
    return 0


def run(args, pairs, levels):
    labbench.check_bins(args.bin)
    configs = labbench.configs(args)
    clock = labbench.Clock()
    results, achieved = {}, {}
    with labbench.lab_world(hairpin=args.hairpin) as (w, server):
        with clock.part("building the sites"):
            sites = [(w.add_site(a, name=f"p{n}a"), w.add_site(b, name=f"p{n}b")) for n, (a, b) in enumerate(pairs)]
        noisy = [site for site in w.sites if site.kind.symmetric]
        for rate in levels:
            for site in noisy:
                w.set_noise(site, rate)
            for name, folder in args.bin:
                with labbench.rendezvous(server, folder), \
                        clock.part(f"{args.games} games per pair, {name}, {level_name(rate)}"):
                    with concurrent.futures.ThreadPoolExecutor(PARALLEL_PAIRS) as pool:
                        played = pool.map(lambda n: play_pair(sites[n], folder, server.addrs, args.games,
                                                              f"p{n}", configs[name]), range(len(pairs)))
                        for pair, result in zip(pairs, played):
                            results[(pair, rate, name)] = result
            if rate and noisy:
                reports = [w.noise_report(site) for site in noisy]
                achieved[rate] = min(r["flows"] / r["seconds"] for r in reports)
    report(args, pairs, levels, results, achieved, clock)


def report(args, pairs, levels, results, achieved, clock):
    names = [name for name, _ in args.bin]
    columns = [(rate, name) for rate in levels for name in names]
    quiet_only = levels == [0]
    print(f"Games direct on both sides, out of {args.games} per pair"
          + ("" if quiet_only else ", noise in new flows per second at each symmetric site") + ":\n")
    labbench.print_table(["pair"] + [name if quiet_only else f"{level_name(rate)} {name}" for rate, name in columns],
                         [[f"{a} – {b}"] + [f"{results[((a, b), rate, name)].direct()}/{args.games}"
                                            for rate, name in columns] for a, b in pairs])
    if args.times:
        print("Median connect ms of the games direct on both sides:\n")
        labbench.print_table(["pair"] + [name if quiet_only else f"{level_name(rate)} {name}" for rate, name in columns],
                             [[f"{a} – {b}"] + [median_ms(results[((a, b), rate, name)]) for rate, name in columns]
                              for a, b in pairs])
    broken = collections.Counter()
    for (pair, rate, name), result in results.items():
        broken[(f"{pair[0]} – {pair[1]}", level_name(rate), name)] += len(result.problems)
    if achieved:
        print("Noise reached, new flows per second at the slowest symmetric site (its last count):\n")
        labbench.print_table(["level", "reached"], [[level_name(r), f"{v:.0f}"] for r, v in achieved.items()])
    left = [(f"{pair[0]} – {pair[1]}", name, len(r.left_behind)) for (pair, _, name), r in results.items()
            if r.a.portmap or r.b.portmap]
    if left:
        print(f"Mappings left on the mapping routers {portmap.CLEANUP_WAIT_S:g} s after the games, in all:\n")
        labbench.print_table(["pair", "programs", "left"], [list(row) for row in left])
    rows = [[*key, n] for key, n in broken.items() if n]
    if rows:
        print("Games in which a player did not exit cleanly (counted as not direct):\n")
        labbench.print_table(["pair", "noise", "programs", "games"], rows)
    clock.print()


if __name__ == "__main__":
    sys.exit(main())
