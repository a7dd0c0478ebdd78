#!/usr/bin/env python3
"""Discovery and connect at a distance: per one-way delay D of each crossing of a site's ISP hop (jitter a
tenth of D, order kept), in the documented order and in overlap mode.

A player's round trip to the rendezvous server is 2 x D, between two players 4 x D. For each D (in the
order given; the sites keep their routing and get a fresh delay line per D):
- discovery: RUNS discoveries per NAT kind and mode, all kinds at once; right when it shows what the kind
  should (the demo's check); its time is the probe's own discoveryMs;
- games: RUNS games of two per pair and mode, all pairs at once; a game counts as direct when both players
  reached the other directly, and the views agree when both are direct or both relayed; its time is the
  slower player's time inside connect();
- the relay decision: RUNS games per mode of a port-restricted player against one whose router lets
  nothing but the rendezvous server's datagrams through: the first player's time inside connect() until
  it settles on the relay.

    bench/p2p/distance.py --bin build/stage/bin --delays 0,30,100,300 --runs 3 --json grid.json
    tarn-lab plot grid.json grid.png
"""

import argparse
import collections
import concurrent.futures
import json
import statistics
import sys

import labbench
from labbench import delay, netns, programs, session
from tarnlab import nat
from tarnlab.commands import discovery_mismatches

KINDS = "full-cone,restricted-cone,port-restricted,symmetric:1,symmetric-random"
PAIRS = "full-cone/port-restricted,port-restricted/port-restricted,port-restricted/symmetric:1," \
        "symmetric:1/symmetric:1,full-cone/symmetric-random"
SHORT = {"none": "none", "full-cone": "fc", "restricted-cone": "rc", "port-restricted": "prc",
         "symmetric:1": "sym1", "symmetric:2": "sym2", "symmetric-random": "symr"}
MODES = (("documented", {"tarn.discovery.overlap": "0", "tarn.connect.overlap": "0"}),
         ("overlap", dict(programs.FAST_CONFIG)))
# Discoveries or games at once: the machine is shared; each one mostly waits on the delay.
PARALLEL = 5


def short(name):
    return SHORT.get(name, name)


def median_ms(values):
    values = [v for v in values if v is not None]
    return round(statistics.median(values)) if values else None


def discoveries(sites, folder, addrs, runs, config):
    """{kind name: [(right, discoveryMs or None, problems)]} of runs discoveries per kind site."""
    def one(site):
        found = []
        for _ in range(runs):
            try:
                d = programs.discover(site.clients[0], folder, addrs, config=config)
            except netns.CommandError as e:
                found.append((False, None, [e.problem]))
                continue
            problems = discovery_mismatches(site.kind, site.clients[0], d)
            found.append((not problems, d.discovery_ms, problems))
        return found

    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        return dict(zip([s.kind.name for s in sites], pool.map(one, sites)))


def games(pair_sites, folder, addrs, runs, config, label):
    """{pair name: [(both direct, views agree, slower side's ms or None, trouble)]}."""
    def one(item):
        name, (a, b) = item
        found = []
        for n in range(runs):
            s = session.play([a.clients[0], b.clients[0]], folder, addrs, game=f"{label}-{name}-{n}", config=config)
            trouble = labbench.troubles(s)
            ab, ba = s.between(1, 2)
            direct = ab in labbench.DIRECT and ba in labbench.DIRECT
            agree = (ab in labbench.DIRECT) == (ba in labbench.DIRECT) and None not in (ab, ba)
            times = [r.result.get("elapsedMs") for r in s.runs]
            slower = max(times) if not trouble and None not in times else None
            found.append((direct, agree, slower, trouble or ([] if agree else [f"views {ab} / {ba}"])))
        return found

    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        return dict(zip(pair_sites, pool.map(one, pair_sites.items())))


def mute(site, server_addrs):
    """Makes the site's router drop every UDP datagram that neither comes from nor goes to the server: a
    peer that never answers, though it registers and gets the peer list."""
    addrs = ", ".join(server_addrs)
    site.router.load_nft("table ip tarnlab-mute {\n  chain forward {\n    type filter hook forward priority -20;\n"
                         f"    meta l4proto udp ip saddr != {{ {addrs} }} ip daddr != {{ {addrs} }} drop\n"
                         "  }\n}\n")


def relay_decisions(player, silent, folder, addrs, runs, config, label):
    """[(the player's ms inside connect(), how it saw the silent peer)] of runs games."""
    found = []
    for n in range(runs):
        s = session.play([player.clients[0], silent.clients[0]], folder, addrs, game=f"{label}-silent-{n}",
                         config=config)
        run = next(r for r in s.runs if r.identifier == 1)
        found.append((run.result.get("elapsedMs"), run.connection_to(2)))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", type=labbench.bin_arg, required=True, metavar="[NAME=]DIR",
                        help="folder with tarn-probe, tarn-rendezvous and tarn-delayline")
    parser.add_argument("--delays", default="0,30,100,300", help="one-way delays D in ms, in this order")
    parser.add_argument("--runs", type=int, default=3, help="discoveries per kind and games per pair, per D and mode")
    parser.add_argument("--kinds", default=KINDS, help="comma-separated NAT kinds for the discoveries")
    parser.add_argument("--pairs", default=PAIRS, help="comma-separated KIND/KIND pairs for the games")
    parser.add_argument("--modes", default=",".join(m for m, _ in MODES), help="documented, overlap or both")
    parser.add_argument("--json", metavar="FILE", help="also write the grid for `tarn-lab plot`")
    args = parser.parse_args()
    name, folder = args.bin
    labbench.check_bins([args.bin])
    reason = programs.missing_programs(folder, (delay.PROGRAM,))
    if reason:
        raise SystemExit(reason)
    distances = [float(d) for d in args.delays.split(",") if d.strip()]
    kinds = [nat.parse_kind(k) for k in args.kinds.split(",") if k.strip()]
    pairs = [tuple(nat.parse_kind(k) for k in p.split("/")) for p in args.pairs.split(",") if p.strip()]
    modes = [(m, c) for m, c in MODES if m in args.modes.split(",")]
    clock = labbench.Clock()
    found_d, found_g, found_r = {}, {}, {}
    with labbench.lab_world(distance=delay.NONE) as (w, server):
        w.bin_dir = folder
        with clock.part("building the sites"):
            kind_sites = [w.add_site(k, name=f"k{i}") for i, k in enumerate(kinds)]
            player, silent = w.add_site("port-restricted", name="r0"), w.add_site("port-restricted", name="r1")
            mute(silent, server.addrs)
            pair_sites = {f"{short(a.name)}-{short(b.name)}": (w.add_site(a, name=f"p{i}a"),
                                                               w.add_site(b, name=f"p{i}b"))
                          for i, (a, b) in enumerate(pairs)}
        for d in distances:
            shape = delay.ten_percent_jitter(d)
            for site in w.sites:
                w.set_delay(site, shape)
            with labbench.rendezvous(server, folder):
                for mode, config in modes:
                    with clock.part(f"D={d:g}: {args.runs} discoveries per kind, {mode}"):
                        found_d[(d, mode)] = discoveries(kind_sites, folder, server.addrs, args.runs, config)
                    with clock.part(f"D={d:g}: {args.runs} games per pair, {mode}"):
                        found_g[(d, mode)] = games(pair_sites, folder, server.addrs, args.runs, config,
                                                   f"D{d:g}{mode[0]}")
                    with clock.part(f"D={d:g}: {args.runs} games against a silent peer, {mode}"):
                        found_r[(d, mode)] = relay_decisions(player, silent, folder, server.addrs, args.runs,
                                                             config, f"D{d:g}{mode[0]}")
            overflow = sum(c["overflow"] + c["malformed"] for s in w.sites for c in w.delay_counters(s))
            if overflow:
                print(f"D={d:g}: the delay lines dropped {overflow} packets (overflow or malformed)", file=sys.stderr)
    grid = {"plot": "distance", "title": f"tarn at a distance ({name}, {args.runs} runs per cell, jitter D/10)",
            "delays": distances, "modes": [m for m, _ in modes], "discovery": [], "games": []}
    rows, wrong = [], collections.Counter()
    for k in kinds:
        for mode, _ in modes:
            cells = {}
            for d in distances:
                runs = found_d[(d, mode)][k.name]
                cells[f"{d:g}"] = {"right": sum(r for r, _, _ in runs), "total": len(runs),
                                   "medianMs": median_ms([t for _, t, _ in runs])}
                wrong.update((f"{d:g}", mode, short(k.name), "; ".join(p)) for _, _, p in runs if p)
            grid["discovery"].append({"name": short(k.name), "mode": mode, "cells": cells})
            rows.append([short(k.name), mode] + [f"{c['right']}/{c['total']}, {c['medianMs']} ms"
                                                 for c in cells.values()])
    print(f"Discoveries right and median discoveryMs, per one-way delay D ({name}):\n")
    labbench.print_table(["kind", "mode"] + [f"D={d:g}" for d in distances], rows)
    rows = []
    for pair in pair_sites:
        for mode, _ in modes:
            cells = {}
            for d in distances:
                runs = found_g[(d, mode)][pair]
                cells[f"{d:g}"] = {"direct": sum(g for g, _, _, _ in runs), "agree": sum(a for _, a, _, _ in runs),
                                   "total": len(runs), "medianMs": median_ms([t for _, _, t, _ in runs])}
                wrong.update((f"{d:g}", mode, pair, "; ".join(p)) for _, _, _, p in runs if p)
            grid["games"].append({"name": pair, "mode": mode, "cells": cells})
            rows.append([pair, mode] + [f"{c['direct']}/{c['total']}, {c['agree']}/{c['total']}, {c['medianMs']} ms"
                                        for c in cells.values()])
    print("Games with both players direct, games whose players agree, median connect time of the slower side:\n")
    labbench.print_table(["pair", "mode"] + [f"D={d:g}" for d in distances], rows)
    rows = []
    for mode, _ in modes:
        cells = {}
        for d in distances:
            runs = found_r[(d, mode)]
            relayed = sum(view == session.RELAY for _, view in runs)
            cells[f"{d:g}"] = {"relayed": relayed, "total": len(runs), "medianMs": median_ms([t for t, _ in runs])}
        grid.setdefault("relay", []).append({"name": "silent peer", "mode": mode, "cells": cells})
        rows.append([mode] + [f"{c['relayed']}/{c['total']}, {c['medianMs']} ms" for c in cells.values()])
    print("A peer that never answers: games that ended on the relay, median time to decide:\n")
    labbench.print_table(["mode"] + [f"D={d:g}" for d in distances], rows)
    if wrong:
        print("What went wrong:\n")
        labbench.print_table(["D", "mode", "kind or pair", "what", "times"], [list(k) + [n] for k, n in wrong.items()])
    clock.print()
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(grid, f, indent=1)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
