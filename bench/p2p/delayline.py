#!/usr/bin/env python3
"""Precision of the lab's delay line: how late it lets packets go, and the round trips it makes.

One port-restricted site sends BURSTS bursts of COUNT requests (GAP ms apart, 0: all at once) to a mapped
responder on the server, first with no delay line, then through a line of each one-way delay D (no jitter).
Two figures per row:
- the line's own lateness: when it wrote a packet back, minus that packet's deadline (tarn-delayline's
  counters; buckets, so percentiles are bucket bounds);
- the round trip's excess: each round trip minus 2 x D minus the median round trip without a line (the
  Python prober and responder's own time is in the baseline, and its spread stays in the excess).

    bench/p2p/delayline.py --bin build/stage/bin --delays 30,100,300 --count 200 --gap 0
"""

import argparse
import statistics

import labbench
from labbench import delay, programs

WAIT_S = 5.0


def percentile(values, share):
    values = sorted(values)
    return values[int(share * (len(values) - 1))]


def bucket_percentile(counters, share):
    """The bound of the lateness bucket that holds the share-th packet, as its key."""
    total = sum(counters["lateUs"].values())
    seen = 0
    for bound, n in counters["lateUs"].items():
        seen += n
        if total and seen >= share * total:
            return bound
    return "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", type=labbench.bin_arg, required=True, metavar="[NAME=]DIR",
                        help="folder with tarn-delayline")
    parser.add_argument("--delays", default="30,100,300", help="one-way delays D in ms")
    parser.add_argument("--count", type=int, default=200, help="requests per burst")
    parser.add_argument("--gap", type=float, default=0, help="ms between the requests of a burst (0: at once)")
    parser.add_argument("--bursts", type=int, default=3)
    args = parser.parse_args()
    _, folder = args.bin
    reason = labbench.netns.preflight() or programs.missing_programs(folder, (delay.PROGRAM,))
    if reason:
        raise SystemExit(reason)
    rows = []
    with labbench.lab_world(distance=delay.NONE) as (w, server):
        w.bin_dir = folder
        site = w.add_site("port-restricted", name="prec")
        responder = programs.MappedResponder(server).start()
        baseline = []
        for _ in range(args.bursts):
            baseline += [r for r in programs.round_trips(site.clients[0], server.addrs[0], args.count, args.gap,
                                                         WAIT_S)[0] if r is not None]
        base = statistics.median(baseline)
        rows.append(["none", f"{len(baseline)}/{args.count * args.bursts}", "-", "-", "-",
                     f"{base:.2f} ms median round trip", f"{percentile(baseline, 0.99) - base:.2f}", "-"])
        for d in (float(x) for x in args.delays.split(",") if x.strip()):
            w.set_delay(site, delay.Delay(d))
            got = []
            for _ in range(args.bursts):
                got += [r for r in programs.round_trips(site.clients[0], server.addrs[0], args.count, args.gap,
                                                        d * 2 / 1000 + WAIT_S)[0] if r is not None]
            counters, = w.delay_counters(site)
            excess = [r - 2 * d - base for r in got]
            rows.append([f"{d:g}", f"{len(got)}/{args.count * args.bursts}", f"{counters['lateMeanUs']} us",
                         bucket_percentile(counters, 0.99) + " us", f"{counters['lateMaxUs']} us",
                         f"{statistics.median(excess):.2f}", f"{percentile(excess, 0.99):.2f}",
                         f"{min(excess):.2f} / {max(excess):.2f}"])
        responder.stop()
    print(f"Bursts of {args.count} requests, {args.gap:g} ms apart, {args.bursts} per row, "
          "through one hop both ways:\n")
    labbench.print_table(["D (ms)", "answered", "late mean", "late p99", "late max", "excess median (ms)",
                          "excess p99", "excess min / max"], rows)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
