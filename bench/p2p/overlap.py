#!/usr/bin/env python3
"""Connect time and outcome of every pair of the lab's textbook NAT kinds, documented order and overlap.

Every pair of the seven kinds (a kind also meets itself across two routers) plays GAMES games of two with
tarn.connect.overlap = 0 and as many with 1, the two modes side by side on sites of their own, round by
round, so that both see the same load. Two players behind one hairpinning port-restricted router play as
many games per mode: each reaches the other's public endpoint too, and must still end DIRECT PRIVATE. A
game's connect time is the slower player's time inside `connect()` (the probe's elapsedMs; both players get
the peer list within a millisecond of each other).
With --loss PCT the same games are played again while every site loses PCT% of its UDP datagrams, and each
player's view of the other is compared with the view seen most often on the clean network in that mode.

With --mixed every ordered pair of kinds also plays games in which the first player runs in overlap mode and
the second in the documented order.

    bench/p2p/overlap.py --bin build/stage/bin --games 3 --loss 10 --mixed
"""

import argparse
import collections
import concurrent.futures
import itertools
import statistics
import sys

import labbench
from labbench import session

KINDS = ("none", "full-cone", "restricted-cone", "port-restricted", "symmetric:1", "symmetric:2",
         "symmetric-random")
SHORT = {"none": "none", "full-cone": "fc", "restricted-cone": "rc", "port-restricted": "prc",
         "symmetric:1": "sym1", "symmetric:2": "sym2", "symmetric-random": "rnd"}
MODES = (("documented order", {"tarn.connect.overlap": "0"}), ("overlap", {"tarn.connect.overlap": "1"}))
PARALLEL_GAMES = 4
# Today's figures of an ICE agent in the same lab, same pairs: the outside reference.
ICE = (
    ("kind pairs connected directly", "19 of 28"),
    ("a side without NAT", "data after 20-70 ms (aggressive nomination); completion about 2.06 s (regular)"),
    ("both sides behind cone NATs", "data after about 190 ms (aggressive); completion about 2.06 s (regular)"),
    ("a symmetric side against a cone side", "fails against port-restricted; about 2.08 s against cones"),
    ("both sides symmetric", "fails"),
    ("deciding that a peer needs the relay", "failure declared after about 7.1 s"),
)


HAIRPIN = "hairpin"
MIXED = "mixed"


def pairs():
    return list(itertools.combinations_with_replacement(range(len(KINDS)), 2))


def rounds_of(pair_list):
    """Rounds in which no site plays twice: kind i plays from its first site, kind j from its second."""
    left, rounds = list(pair_list), []
    while left:
        busy, this, rest = set(), [], []
        for i, j in left:
            if {(i, 0), (j, 1)} & busy:
                rest.append((i, j))
            else:
                busy |= {(i, 0), (j, 1)}
                this.append((i, j))
        rounds.append(this)
        left = rest
    return rounds


def symmetric_sides(i, j):
    return sum(KINDS[k].startswith("symmetric") for k in (i, j))


def play(w, site_of, server, folder, games, loss=0):
    """{(mode, i, j): [(how a saw b, how b saw a, connect ms or None)]} over games rounds of every pair;
    site_of maps (mode, kind index, 0 or 1) to a site."""
    for site in w.sites:
        w.set_loss(site, loss)
    sites = {m: [(site_of[(m, k, 0)], site_of[(m, k, 1)]) for k in range(len(KINDS))] for m, _ in MODES}
    config = dict(MODES)
    found = collections.defaultdict(list)

    def one(job):
        mode, i, j, n = job
        clients = (site_of[(mode, HAIRPIN)].clients if i == HAIRPIN
                   else [sites[mode][i][0].clients[0], sites[mode][j][1].clients[0]])
        s = session.play(clients, folder, server.addrs, game=f"ov-{loss}-{i}-{j}-{n}", config=config[mode])
        if any(r.problem or r.returncode != 0 or "elapsedMs" not in r.result for r in s.runs):
            return job, (None, None, None)
        ab, ba = s.between(1, 2)
        return job, (ab, ba, max(r.result["elapsedMs"] for r in s.runs))

    with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
        for n in range(games):
            for r, round_pairs in enumerate(rounds_of(pairs())):
                jobs = [(m, i, j, n) for i, j in round_pairs + ([(HAIRPIN, HAIRPIN)] if r == 0 else [])
                        for m, _ in MODES]
                for (mode, i, j, _), outcome in pool.map(one, jobs):
                    found[(mode, i, j)].append(outcome)
    return found


def play_mixed(site_of, server, folder, games):
    """{(i, j): [outcome]} of games in which kind i plays in overlap mode and kind j in the documented order."""
    overlap, documented = (config for _, config in MODES[::-1])
    found = collections.defaultdict(list)

    def one(job):
        i, j, n = job
        s = session.play([site_of[(MIXED, i, 0)].clients[0], site_of[(MIXED, j, 1)].clients[0]], folder,
                         server.addrs, game=f"mx-{i}-{j}-{n}", configs=[overlap, documented])
        if any(r.problem or r.returncode != 0 or "elapsedMs" not in r.result for r in s.runs):
            return job, (None, None, None)
        return job, (*s.between(1, 2), max(r.result["elapsedMs"] for r in s.runs))

    ordered = list(itertools.product(range(len(KINDS)), repeat=2))
    with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
        for n in range(games):
            for round_pairs in rounds_of(ordered):
                for (i, j, _), outcome in pool.map(one, [(i, j, n) for i, j in round_pairs]):
                    found[(i, j)].append(outcome)
    return found


def direct(outcome):
    return outcome[0] in labbench.DIRECT and outcome[1] in labbench.DIRECT


def median(values):
    values = [v for v in values if v is not None]
    return f"{statistics.median(values):g}" if values else "-"


def report_mixed(mixed, games):
    print(f"Overlap mode (row) against the documented order (column), {games} games each: games direct on both "
          "sides, median ms:\n")
    rows = [[KINDS[i]] + [f"{sum(direct(o) for o in mixed[(i, j)])}/{len(mixed[(i, j)])}, "
                          f"{median(o[2] for o in mixed[(i, j)])}" for j in range(len(KINDS))]
            for i in range(len(KINDS))]
    labbench.print_table(["overlap \\ documented"] + [SHORT[k] for k in KINDS], rows)


def report(clean, lossy, mixed, games, loss, clock):
    names = [m for m, _ in MODES]
    print(f"Every pair of kinds, {games} games each; direct = both sides DIRECT; ms = median connect time:\n")
    rows = []
    for i, j in pairs() + [(HAIRPIN, HAIRPIN)]:
        row = ["two behind one hairpinning port-restricted router" if i == HAIRPIN else f"{KINDS[i]} - {KINDS[j]}"]
        for m in names:
            runs = clean[(m, i, j)]
            row += [f"{sum(direct(o) for o in runs)}/{len(runs)}", median(o[2] for o in runs)]
        rows.append(row)
    labbench.print_table(["pair"] + [f"{m}: {c}" for m in names for c in ("direct", "ms")], rows)

    print("By kind of pair (median over all games of the pairs; relay = games of pairs never direct):\n")
    groups = (("no symmetric side", 0), ("one symmetric side", 1), ("both sides symmetric", 2))
    rows = []
    for label, sym in groups:
        row = [label]
        for m in names:
            chosen = [(i, j) for i, j in pairs() if symmetric_sides(i, j) == sym]
            always = sum(all(direct(o) for o in clean[(m, i, j)]) for i, j in chosen)
            times = [o[2] for i, j in chosen for o in clean[(m, i, j)] if direct(o)]
            row += [f"{always}/{len(chosen)}", median(times)]
        rows.append(row)
    row = ["all pairs"]
    for m in names:
        always = sum(all(direct(o) for o in clean[(m, i, j)]) for i, j in pairs())
        relay = [o[2] for i, j in pairs() for o in clean[(m, i, j)] if o[0] == o[1] == session.RELAY]
        row += [f"{always}/{len(pairs())}", f"relay decided after {median(relay)}"]
    rows.append(row)
    labbench.print_table(["pairs"] + [f"{m}: {c}" for m in names for c in ("always direct", "ms")], rows)

    if lossy:
        print(f"At {loss}% loss, player views equal to the view seen most often on the clean network:\n")
        rows = []
        for m in names:
            right = total = 0
            for i, j in pairs() + [(HAIRPIN, HAIRPIN)]:
                views = collections.Counter(v for o in clean[(m, i, j)] for v in ((0, o[0]), (1, o[1])))
                for side in (0, 1):
                    want = max((v for v in views if v[0] == side), key=views.get)[1]
                    for o in lossy[(m, i, j)]:
                        total += 1
                        right += o[side] == want
            rows.append([m, f"{right}/{total}", f"{100.0 * right / total:.1f}%"])
        labbench.print_table(["mode", "views as clean", "share"], rows)

    if mixed:
        report_mixed(mixed, games)
    print("Outside reference, a standard ICE agent (full agent, STUN only) in the same lab:\n")
    labbench.print_table(["", "ICE"], [list(r) for r in ICE])
    clock.print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", type=labbench.bin_arg, required=True, metavar="[NAME=]DIR",
                        help="folder with tarn-probe and tarn-rendezvous")
    parser.add_argument("--games", type=int, default=3, help="games per pair of kinds and mode")
    parser.add_argument("--loss", type=int, default=0, metavar="PCT", help="then play again at this loss")
    parser.add_argument("--mixed", action="store_true", help="then overlap against the documented order")
    args = parser.parse_args()
    labbench.check_bins([args.bin])
    folder = args.bin[1]
    clock = labbench.Clock()
    lossy = mixed = None
    with labbench.lab_world() as (w, server), labbench.rendezvous(server, folder):
        site_of = {(m, k, s): w.add_site(kind, name=f"{'do'[n]}{k}{'ab'[s]}")
                   for n, (m, _) in enumerate(MODES) for k, kind in enumerate(KINDS) for s in (0, 1)}
        site_of.update({(m, HAIRPIN): w.add_site("port-restricted", clients=2, name=f"{'do'[n]}hp", hairpin=True)
                        for n, (m, _) in enumerate(MODES)})
        with clock.part(f"{args.games} clean games per pair and mode"):
            clean = play(w, site_of, server, folder, args.games)
        if args.loss:
            with clock.part(f"{args.games} games per pair and mode at {args.loss}% loss"):
                lossy = play(w, site_of, server, folder, args.games, args.loss)
        if args.mixed:
            for site in w.sites:
                w.set_loss(site, 0)
            site_of.update({(MIXED, k, s): w.add_site(kind, name=f"x{k}{'ab'[s]}")
                            for k, kind in enumerate(KINDS) for s in (0, 1)})
            with clock.part(f"{args.games} games per ordered pair, overlap against the documented order"):
                mixed = play_mixed(site_of, server, folder, args.games)
    report(clean, lossy, mixed, args.games, args.loss, clock)
    return 0


if __name__ == "__main__":
    sys.exit(main())
