#!/usr/bin/env python3
"""Games of three to eight players across the lab's textbook NATs: how many pairs end direct.

Every game below plays RUNS times for each program folder, on a clean network. A pair counts as direct
when both players saw each other DIRECT (private or public); one that saw the other DIRECT while the
other saw RELAY is asymmetric. Every pair of kinds also plays PAIR_RUNS games of two (the peer matrix),
so a pairing that fails in a bigger game can be told from one that fails on its own. With --mixed,
the games of two also pit the two program folders against each other, each on either side.

    bench/p2p/games.py --bin before=DIR --bin after=DIR --runs 10 --mixed
    bench/p2p/games.py --bin documented=DIR --bin fast=DIR --fast fast --runs 10
"""

import argparse
import collections
import concurrent.futures
import itertools
import sys

import labbench
from labbench import session
from tarnlab import matrix, nat

PARALLEL_GAMES = 3
SHORT_KIND = {"none": "none", "full-cone": "fc", "restricted-cone": "rc", "port-restricted": "prc",
              "symmetric:1": "sym1", "symmetric:2": "sym2"}
GAMES = (
    ("symmetric:1", "symmetric:1", "port-restricted"),
    ("symmetric:1", "symmetric:1", "full-cone", "port-restricted"),
    ("symmetric:2", "symmetric:2", "restricted-cone"),
    ("symmetric:1", "symmetric:2", "restricted-cone", "none"),
    ("symmetric:1", "symmetric:2", "port-restricted", "restricted-cone", "full-cone", "none"),
    ("symmetric:1", "symmetric:1", "symmetric:2", "port-restricted", "full-cone", "none"),
    ("symmetric:1", "symmetric:2", "symmetric:2", "port-restricted", "port-restricted", "restricted-cone",
     "full-cone", "none"),
    ("symmetric:1", "symmetric:1", "symmetric:1", "port-restricted", "restricted-cone", "restricted-cone",
     "full-cone", "none"),
)


def game_name(kinds):
    return ", ".join(SHORT_KIND[k] for k in kinds)


def player_name(kinds, i):
    """sym1#2: the kind of player i (from 1), numbered when the game has several of that kind."""
    kind = kinds[i - 1]
    short = SHORT_KIND[kind]
    if kinds.count(kind) == 1:
        return short
    return f"{short}#{kinds[:i].count(kind)}"


def play_runs(clients, folder, addrs, runs, tag, config):
    """([{(a, b): view}], [why a player failed]) of runs games of clients, one after the other."""
    views, troubles = [], []
    for r in range(runs):
        game = session.play(clients, folder, addrs, game=f"{tag}-{r}", config=config)
        views.append(labbench.views(game))
        troubles += labbench.troubles(game)
    return views, troubles


def pair_outcomes(kinds, runs):
    """{(a, b) with a < b: Counter of 'direct', 'asymmetric', 'relay', 'broken'}."""
    found = {}
    for a, b in itertools.combinations(range(1, len(kinds) + 1), 2):
        counter = collections.Counter()
        for views in runs:
            ab, ba = views[(a, b)], views[(b, a)]
            if ab is None or ba is None:
                counter["broken"] += 1
            elif ab in labbench.DIRECT and ba in labbench.DIRECT:
                counter["direct"] += 1
            elif ab in labbench.DIRECT or ba in labbench.DIRECT:
                counter["asymmetric"] += 1
            else:
                counter["relay"] += 1
        found[(a, b)] = counter
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    labbench.add_bin_option(parser)
    labbench.add_config_options(parser)
    parser.add_argument("--runs", type=int, default=10, help="runs of every game")
    parser.add_argument("--pair-runs", type=int, default=2, help="games of two per pair of kinds (0: none)")
    parser.add_argument("--mixed", action="store_true",
                        help="games of two between the two folders too: old client against new, both ways")
    args = parser.parse_args()
    if args.mixed and (len(args.bin) != 2 or not args.pair_runs):
        parser.error("--mixed takes two --bin folders and games of two")
    labbench.check_bins(args.bin)
    configs = labbench.configs(args)
    clock = labbench.Clock()
    results, pairs, troubles = {}, {}, {}
    kinds = sorted({k for g in GAMES for k in g}, key=list(SHORT_KIND).index)
    # Each folder plays at sites of its own: a symmetric site hands out its 1000 ports in turn, and a game
    # of eight with three symmetric players takes about 80 of them per run.
    for name, folder in args.bin if args.runs else ():
        with labbench.lab_world() as (w, server), labbench.rendezvous(server, folder):
            with clock.part(f"{args.runs} runs of {len(GAMES)} games, {name}"):
                clients = [[w.add_site(k, name=f"g{n}p{p}").clients[0] for p, k in enumerate(g)]
                           for n, g in enumerate(GAMES)]
                with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
                    runs = pool.map(lambda n: play_runs(clients[n], folder, server.addrs, args.runs, f"g{n}",
                                                        configs[name]), range(len(GAMES)))
                    for g, (views, failed) in zip(GAMES, runs):
                        results[(g, name)] = pair_outcomes(g, views)
                        troubles[(g, name)] = failed
    matches = [(name, folder, None, [configs[name]] * 2) for name, folder in args.bin] if args.pair_runs else []
    if args.mixed:
        # Against the first folder's rendezvous: the wire is the same for both.
        (a, first), (b, second) = args.bin
        matches += [(f"{a} with {b}", first, [first, second], [configs[a], configs[b]]),
                    (f"{b} with {a}", first, [second, first], [configs[b], configs[a]])]
    for name, folder, bins, settings in matches:
        # The peer matrix builds sites of fixed names, so each gets a lab of its own.
        with labbench.lab_world() as (w, server), labbench.rendezvous(server, folder):
            with clock.part(f"{args.pair_runs} games of two per pair of kinds, {name}"):
                pairs[name] = matrix.play_all(w, server, [nat.parse_kind(k) for k in kinds], folder, args.pair_runs,
                                              bins=bins, configs=settings)
    report(args, kinds, results, pairs, troubles, clock)
    return 0


def two_player(pairs, name, kinds, a, b):
    """'2/2' games of two of the pair's kinds that ended direct on both sides, or '' without them."""
    if name not in pairs:
        return ""
    i, j = sorted((kinds.index(a), kinds.index(b)))
    result = pairs[name][(i, j)]
    return f"{result.direct()}/{len(result.outcomes)}"


def report(args, kinds, results, pairs, troubles, clock):
    names = [name for name, _ in args.bin]
    if results:
        report_games(args, names, kinds, results, pairs, troubles)
    if pairs:
        print(f"Games of two, direct on both sides out of {args.pair_runs}"
              + (" (X with Y: above the diagonal the row's player runs X, below it Y)" if args.mixed else "")
              + ":\n")
        for name in pairs:
            header, table = matrix.table([nat.parse_kind(k) for k in kinds], pairs[name])
            labbench.print_table([f"{name}: " + header[0]] + header[1:], table)
    clock.print()


def report_games(args, names, kinds, results, pairs, troubles):
    print(f"Pairs direct on both sides, {args.runs} runs per game:\n")
    rows = []
    for g in GAMES:
        for name in names:
            outcomes = results[(g, name)]
            total = sum(outcomes.values(), collections.Counter())
            pairings = len(outcomes)
            always = sum(1 for c in outcomes.values() if c["direct"] == args.runs)
            rows.append([len(g), game_name(g), name, f"{total['direct']}/{pairings * args.runs}",
                         f"{always}/{pairings}", total["asymmetric"], total["broken"]])
    labbench.print_table(["players", "game", "programs", "pairs direct", "pairings always direct",
                          "asymmetric", "broken"], rows)
    print("Pairings not direct in every run (direct / asymmetric / relay / broken; games of two of the same "
          "kinds that ended direct):\n")
    rows = []
    for g in GAMES:
        for name in names:
            for (a, b), c in results[(g, name)].items():
                if c["direct"] != args.runs:
                    rows.append([game_name(g), name, f"{player_name(g, a)} - {player_name(g, b)}",
                                 f"{c['direct']} / {c['asymmetric']} / {c['relay']} / {c['broken']}",
                                 two_player(pairs, name, kinds, g[a - 1], g[b - 1])])
    labbench.print_table(["game", "programs", "pairing", "runs", "games of two"], rows)
    labbench.print_troubles(["game", "programs"], {(game_name(g), name): collections.Counter(troubles[(g, name)])
                                                   for g in GAMES for name in names})


if __name__ == "__main__":
    sys.exit(main())
