#!/usr/bin/env python3
"""Discovery behind every standard NAT kind (or --kinds), per program folder and player settings, side by side.

Each kind gets SITES_PER_KIND sites; for each loss level (the clean network first) and each program folder,
every site runs its share of the discoveries one after the other, all sites at once. A discovery is right
when it shows what its kind should (the demo's check); its time is the probe's own discoveryMs: the binding
search, the NAT tests and the report. Both discovery orders side by side:

    bench/p2p/discovery.py --bin documented=DIR --bin overlapped=DIR --fast overlapped --discoveries 100 --loss 10

With and without a mapping router: --kinds port-restricted,port-restricted+pmp,port-restricted+upnp (behind a
mapping router, what a held mapping advertises counts as right too).
"""

import argparse
import collections
import concurrent.futures
import os
import shutil

import labbench
from labbench import netns, programs
from tarnlab import nat
from tarnlab.commands import discovery_mismatches

SITES_PER_KIND = 3


def discover(site, folder, addrs, config, keep):
    """One discovery: (problems, discoveryMs or None); the log of a wrong one is copied into keep."""
    client = site.clients[0]
    try:
        d = programs.discover(client, folder, addrs, config=config)
    except netns.CommandError as e:
        return [e.problem], None
    problems = discovery_mismatches(site.kind, client, d)
    if problems and keep:
        os.makedirs(keep, exist_ok=True)
        with open(os.path.join(keep, f"{site.name}-{len(os.listdir(keep))}.log"), "w") as f:
            f.write("; ".join(problems) + "\n" + d.log)
    return problems, d.discovery_ms


def run_folder(sites, folder, addrs, count, config, keep):
    """{kind name: [(problems, ms)]}: count per kind spread over its sites, every site at once."""
    jobs = [(k, s, count // len(ss) + (j < count % len(ss))) for k, ss in sites.items() for j, s in enumerate(ss)]
    found = collections.defaultdict(list)

    def one(job):
        _, site, n = job
        return [discover(site, folder, addrs, config, keep) for _ in range(n)]

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
    labbench.add_config_options(parser)
    parser.add_argument("--loss", default="", help="loss levels in percent after the clean network, e.g. 10")
    parser.add_argument("--discoveries", type=int, default=100, help="discoveries per kind, folder and level")
    parser.add_argument("--keep-wrong", metavar="DIR", help="copy the tarn.log of every wrong discovery here")
    parser.add_argument("--kinds", help="comma-separated NAT kinds (default: the standard ones)")
    args = parser.parse_args()
    levels = [0] + sorted({int(x) for x in args.loss.split(",") if x.strip()} - {0})
    labbench.check_bins(args.bin)
    settings = labbench.configs(args)
    if args.keep_wrong:
        shutil.rmtree(args.keep_wrong, ignore_errors=True)
    chosen = [nat.parse_kind(k) for k in args.kinds.split(",") if k.strip()] if args.kinds else nat.STANDARD_KINDS
    kinds = [k.name for k in chosen]
    clock = labbench.Clock()
    results = {}
    with labbench.lab_world() as (w, server):
        with clock.part("building the sites"):
            sites = {k.name: [w.add_site(k, name=f"d{i}x{j}") for j in range(SITES_PER_KIND)]
                     for i, k in enumerate(chosen)}
        for level in levels:
            for site in w.sites:
                w.set_loss(site, level)
            for name, folder in args.bin:
                keep = args.keep_wrong and os.path.join(args.keep_wrong, f"{name}-{level}")
                with labbench.rendezvous(server, folder):
                    with clock.part(f"{args.discoveries} discoveries per kind, {name}, loss {level}%"):
                        results[(level, name)] = run_folder(sites, folder, server.addrs, args.discoveries,
                                                            settings[name], keep)
    rows, wrong = [], collections.Counter()
    for kind in kinds:
        for level in levels:
            for name, _ in args.bin:
                runs = results[(level, name)][kind]
                times = [t for _, t in runs]
                rows.append([kind, f"{level}%", name, f"{sum(not p for p, _ in runs)}/{len(runs)}",
                             ms(times, 0.5), ms(times, 0.9), ms(times, 1.0)])
                wrong.update((f"{level}%", name, kind, "; ".join(p)) for p, _ in runs if p)
    print("Discoveries right, and discoveryMs median / 90th percentile / max:\n")
    labbench.print_table(["kind", "loss", "programs", "right", "median", "p90", "max"], rows)
    if wrong:
        print("Wrong discoveries:\n")
        labbench.print_table(["loss", "programs", "kind", "what differed", "times"],
                             [list(k) + [n] for k, n in wrong.items()])
    clock.print()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
