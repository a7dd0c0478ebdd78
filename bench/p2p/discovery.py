#!/usr/bin/env python3
"""Discovery behind every standard NAT kind in both orders, documented and overlapped, side by side.

The overlapped order is `tarn-probe discover --fast`. Each kind gets SITES_PER_KIND sites; for each loss
level (the clean network first) and each order, every site runs its share of the discoveries one after
the other, all sites at once. A discovery is right when it shows what its kind should (the demo's check);
its time is the probe's own discoveryMs: the binding search, the NAT tests and the report.

    bench/p2p/discovery.py --bin DIR --discoveries 100 --loss 10
"""

import argparse
import collections
import concurrent.futures

import labbench
from labbench import netns, programs
from tarnlab import nat
from tarnlab.commands import discovery_mismatches

SITES_PER_KIND = 3
ORDERS = (("documented", []), ("overlapped", ["--fast"]))


def discover(site, folder, addrs, extra):
    """One `tarn-probe discover --json` with extra arguments: (problems, discoveryMs or None)."""
    client = site.clients[0]
    try:
        d = programs.discover(client, folder, addrs, extra=extra)
    except netns.CommandError as e:
        return [e.problem], None
    return discovery_mismatches(site.kind, client, d), d.discovery_ms


def run_order(sites, folder, addrs, count, extra):
    """{kind name: [(problems, ms)]}: count per kind spread over its sites, every site at once."""
    jobs = [(k, s, count // len(ss) + (j < count % len(ss))) for k, ss in sites.items() for j, s in enumerate(ss)]
    found = collections.defaultdict(list)

    def one(job):
        _, site, n = job
        return [discover(site, folder, addrs, extra) for _ in range(n)]

    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        for (kind, _, _), runs in zip(jobs, pool.map(one, jobs)):
            found[kind] += runs
    return found


def ms(values, share):
    values = sorted(v for v in values if v is not None)
    return f"{values[int(share * (len(values) - 1))]:.0f}" if values else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    labbench.add_bin_option(parser)
    parser.add_argument("--loss", default="", help="loss levels in percent after the clean network, e.g. 10")
    parser.add_argument("--discoveries", type=int, default=100, help="discoveries per kind, order and level")
    args = parser.parse_args()
    levels = [0] + sorted({int(x) for x in args.loss.split(",") if x.strip()} - {0})
    labbench.check_bins(args.bin)
    clock = labbench.Clock()
    results = {}
    with labbench.lab_world() as (w, server):
        with clock.part("building the sites"):
            sites = {k.name: [w.add_site(k, name=f"d{i}x{j}") for j in range(SITES_PER_KIND)]
                     for i, k in enumerate(nat.STANDARD_KINDS)}
        for level in levels:
            for site in w.sites:
                w.set_loss(site, level)
            for name, folder in args.bin:
                with labbench.rendezvous(server, folder):
                    for order, extra in ORDERS:
                        with clock.part(f"{args.discoveries} discoveries per kind, {name}, {order}, loss {level}%"):
                            results[(level, name, order)] = run_order(sites, folder, server.addrs,
                                                                      args.discoveries, extra)
    rows, wrong = [], collections.Counter()
    for (level, name, order), found in results.items():
        for kind, runs in found.items():
            times = [t for _, t in runs]
            right = sum(not p for p, _ in runs)
            rows.append([f"{level}%", name, kind, order, f"{right}/{len(runs)}", ms(times, 0.5), ms(times, 0.9),
                         ms(times, 1.0)])
            wrong.update((f"{level}%", name, kind, order, "; ".join(p)) for p, _ in runs if p)
    rows.sort(key=lambda r: (r[0], r[1], [k.name for k in nat.STANDARD_KINDS].index(r[2]), r[3]))
    print("Discoveries right, and discoveryMs median / 90th percentile / max:\n")
    labbench.print_table(["loss", "programs", "kind", "order", "right", "median", "p90", "max"], rows)
    if wrong:
        print("Wrong discoveries:\n")
        labbench.print_table(["loss", "programs", "kind", "order", "what differed", "times"],
                             [list(k) + [n] for k, n in wrong.items()])
    clock.print()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
