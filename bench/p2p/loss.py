#!/usr/bin/env python3
"""Discovery and games across the lab's kernel NATs while every site loses a share of its UDP datagrams.

For each loss level (the clean network always comes first) and each program folder:
- discoveries: `tarn-probe discover` behind every NAT kind below, each compared with what the kind should
  show (the demo's check); SITES_PER_KIND sites of each kind discover side by side;
- games: the lab's session games, ROUNDS rounds; a player's view of another is right when it equals the
  view most often seen in the same game on the clean network with the same programs.

    bench/p2p/loss.py --bin before=DIR --bin after=DIR --loss 1,5,10 --discoveries 50 --rounds 5
    bench/p2p/loss.py --bin documented=DIR --bin fast=DIR --fast fast --loss 10
"""

import argparse
import collections
import concurrent.futures
import statistics
import sys

import labbench
from labbench import netns, programs, session
from tarnlab.commands import discovery_mismatches

KINDS = ("none", "full-cone", "restricted-cone", "port-restricted", "symmetric:1")
SITES_PER_KIND = 3
PARALLEL_GAMES = 4
# The games of the lab's session tests: (name, the players' site kinds, whether they share one site).
GAMES = (
    ("same router", ("port-restricted", "port-restricted"), True),
    ("two port-restricted", ("port-restricted", "port-restricted"), False),
    ("symmetric and full cone", ("symmetric:1", "full-cone"), False),
    ("symmetric and port-restricted", ("symmetric:1", "port-restricted"), False),
    ("two symmetric", ("symmetric:1", "symmetric:1"), False),
    ("random ports and port-restricted", ("symmetric-random", "port-restricted"), False),
    ("four sites", ("full-cone", "port-restricted", "symmetric:1", "symmetric-random"), False),
    ("two symmetric and port-restricted", ("symmetric:1", "symmetric:1", "port-restricted"), False),
)


def build(w):
    """({kind: [discovery sites]}, {game name: [client per player]})."""
    discovery = {k: [w.add_site(k, name=f"d{i}x{j}") for j in range(SITES_PER_KIND)] for i, k in enumerate(KINDS)}
    games = {}
    for n, (name, kinds, shared) in enumerate(GAMES):
        if shared:
            games[name] = w.add_site(kinds[0], clients=len(kinds), name=f"g{n}").clients
        else:
            games[name] = [w.add_site(k, name=f"g{n}p{p}").clients[0] for p, k in enumerate(kinds)]
    return discovery, games


def discover_at(site, folder, addrs, count, config):
    """count discoveries at site, one after the other: [(problems, seconds)]."""
    client = site.clients[0]
    out = []
    for _ in range(count):
        try:
            d = programs.discover(client, folder, addrs, config=config)
        except netns.CommandError as e:
            out.append(([e.problem], None))
            continue
        out.append((discovery_mismatches(site.kind, client, d), d.elapsed))
    return out


def discoveries(sites, folder, addrs, count, config):
    """{kind: [(problems, seconds)]}, count per kind spread over the kind's sites, every site at once."""
    jobs = [(k, s, count // len(ss) + (j < count % len(ss))) for k, ss in sites.items() for j, s in enumerate(ss)]
    found = collections.defaultdict(list)
    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        for (kind, _, _), runs in zip(jobs, pool.map(lambda j: discover_at(j[1], folder, addrs, j[2], config), jobs)):
            found[kind] += runs
    return found


def play_round(games, folder, addrs, troubles, config):
    """{game name: {(a, b): view}} of one round of every game; adds why players failed to troubles."""
    def one(item):
        name, clients = item
        return name, session.play(clients, folder, addrs, game=name.replace(" ", "-"), config=config)

    found = {}
    with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
        for name, game in pool.map(one, games.items()):
            found[name] = labbench.views(game)
            troubles.update(f"{name}: {t}" for t in labbench.troubles(game))
    return found


def reference(rounds):
    """{(game, a, b): the view seen most often} over clean rounds."""
    seen = collections.defaultdict(collections.Counter)
    for r in rounds:
        for game, views in r.items():
            for pair, view in views.items():
                seen[(game, *pair)][view] += 1
    return {key: counter.most_common(1)[0][0] for key, counter in seen.items()}


def difference(view, clean):
    """How a view differs from the clean network's: a column of the report."""
    if view is None:
        return "no peer list"
    if view in labbench.DIRECT and clean not in labbench.DIRECT:
        return "direct, clean relay"
    if view not in labbench.DIRECT and clean in labbench.DIRECT:
        return "relay, clean direct"
    return "other"


DIFFERENCES = ("no peer list", "relay, clean direct", "direct, clean relay", "other")


def compare(rounds, expected):
    """Counter of 'right', 'total', each of DIFFERENCES, and (game, 'right') and (game, 'total')."""
    found = collections.Counter()
    for r in rounds:
        for game, views in r.items():
            for (a, b), view in views.items():
                want = expected[(game, a, b)]
                outcome = "right" if view == want else difference(view, want)
                found.update([outcome, "total", (game, "total")] + ([(game, "right")] if view == want else []))
    return found


def seconds(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return "-"
    return (f"{statistics.median(values):.2f} / {values[int(0.9 * (len(values) - 1))]:.2f} / "
            f"{values[-1]:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    labbench.add_bin_option(parser)
    labbench.add_config_options(parser)
    parser.add_argument("--loss", default="1,5,10", help="loss levels in percent after the clean network")
    parser.add_argument("--discoveries", type=int, default=50, help="discoveries per kind and level")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of every game per level")
    parser.add_argument("--hairpin", action="store_true",
                        help="every NAT hairpins (the same-router game then also reaches the outside endpoints)")
    args = parser.parse_args()
    levels = [0] + sorted({int(x) for x in args.loss.split(",") if x.strip()} - {0})
    labbench.check_bins(args.bin)
    configs = labbench.configs(args)
    clock = labbench.Clock()
    disc, played, troubles = {}, {}, collections.defaultdict(collections.Counter)
    with labbench.lab_world(hairpin=args.hairpin) as (w, server):
        with clock.part("building the sites"):
            disc_sites, game_clients = build(w)
        for level in levels:
            for site in w.sites:
                w.set_loss(site, level)
            for name, folder in args.bin:
                with labbench.rendezvous(server, folder):
                    if args.discoveries:
                        with clock.part(f"{args.discoveries} discoveries per kind, {name}, loss {level}%"):
                            disc[(level, name)] = discoveries(disc_sites, folder, server.addrs, args.discoveries,
                                                              configs[name])
                    if args.rounds:
                        with clock.part(f"{args.rounds} rounds of games, {name}, loss {level}%"):
                            played[(level, name)] = [play_round(game_clients, folder, server.addrs,
                                                                troubles[(level, name)], configs[name])
                                                     for _ in range(args.rounds)]
    report(args, levels, disc, played, troubles, clock)
    return 0


def report(args, levels, disc, played, troubles, clock):
    names = [name for name, _ in args.bin]
    if disc:
        print(f"Discoveries right, per kind ({args.discoveries} per kind and level):\n")
        rows, wrong = [], []
        for level in levels:
            for name in names:
                runs = disc[(level, name)]
                cells = [f"{sum(not p for p, _ in runs[k])}/{len(runs[k])}" for k in KINDS]
                right = sum(not p for k in KINDS for p, _ in runs[k])
                rows.append([f"{level}%", name] + cells + [f"{right}/{sum(len(runs[k]) for k in KINDS)}"])
                for k in KINDS:
                    for problem, n in collections.Counter("; ".join(p) for p, _ in runs[k] if p).items():
                        wrong.append([f"{level}%", name, k, problem, n])
        labbench.print_table(["loss", "programs"] + list(KINDS) + ["all"], rows)
        print("Discovery seconds, median / 90th percentile / max (wall time of tarn-probe):\n")
        labbench.print_table(["loss", "programs"] + list(KINDS),
                             [[f"{level}%", name] + [seconds(t for _, t in disc[(level, name)][k]) for k in KINDS]
                              for level in levels for name in names])
        if wrong:
            print("Wrong discoveries:\n")
            labbench.print_table(["loss", "programs", "kind", "what differed", "times"], wrong)
    if played:
        print(f"Player views as on the clean network ({args.rounds} rounds of {len(GAMES)} games):\n")
        expected = {name: reference(played[(0, name)]) for name in names}
        counts = {(level, name): compare(played[(level, name)], expected[name]) for level in levels for name in names}
        rows = [[f"{level}%", name, f"{c['right']}/{c['total']}", f"{100 * c['right'] / c['total']:.1f}%"]
                + [c[d] for d in DIFFERENCES] for (level, name), c in counts.items()]
        labbench.print_table(["loss", "programs", "views as clean", "share"] + list(DIFFERENCES), rows)
        print("Views as clean, per game:\n")
        columns = [(level, name) for level in levels for name in names]
        labbench.print_table(["game"] + [f"{level}% {name}" for level, name in columns],
                             [[game] + [f"{counts[k][(game, 'right')]}/{counts[k][(game, 'total')]}"
                                        for k in columns] for game, _, _ in GAMES])
        labbench.print_troubles(["loss", "programs"], {(f"{level}%", name): troubles[(level, name)]
                                                       for level in levels for name in names})
    clock.print()


if __name__ == "__main__":
    sys.exit(main())
