#!/usr/bin/env python3
"""What one symmetric player sends in a pass, and how a symmetric player in overlap mode meets the earlier order.

1. Low-TTL datagrams: two symmetric:1 players with tarn.candidate_addrs = 4 (and 64). A neighbour at each site
   opens BUSY new flows per second while the players discover, so that discovery measures a high foreign port
   rate, and stops before the peer list goes out. A sniffer in each player's namespace (sniff.py) counts the
   datagrams the player sends with a time-to-live of 3 or less (primers and used-up ports) and the most in any
   10 ms; the table gives the median and the highest per player and game, and the games direct on both sides.
2. Against the earlier order: a symmetric:1 player keeping the earlier order (tests/lab/docorder.py) and a
   symmetric:1 player in overlap mode play GAMES games; how many end direct on both sides.

    bench/p2p/sends.py --bin before=DIR --bin after=DIR --games 10
"""

import argparse
import json
import os
import statistics
import sys
import time

import labbench
from labbench import programs, session

BUSY = 400
HERE = os.path.dirname(os.path.abspath(__file__))
SNIFF = os.path.join(HERE, "sniff.py")
DOCORDER = os.path.join(HERE, os.pardir, os.pardir, "tests", "lab", "docorder.py")
GAME_TIMEOUT_S = 60.0
# The lab's sequential NAT counts round 1000 ports, not round the whole range as real NATs do: a
# game against the earlier order takes about a hundred, so a pair of sites serves a few games before
# its counters wrap in the middle of one.
GAMES_PER_SITE = 5


def busy_game(w, sites, folder, addrs, game, config):
    """One game whose discovery runs while the sites are busy: (views, [sniffer counts per player])."""
    clients = [s.clients[0] for s in sites]
    for site in sites:
        w.set_noise(site, BUSY)
    sniffers = [c.ns.spawn([sys.executable, SNIFF, c.addr], f"sniff-{game}") for c in clients]
    deadline = time.monotonic() + GAME_TIMEOUT_S
    players = [session._Player(c, i + 1, folder, addrs, programs.DEFAULT_PORTS, game, config)
               for i, c in enumerate(clients)]
    lines = [p.read_json(deadline) for p in players]
    for site in sites:
        w.set_noise(site, 0)
    listed = [line for line in lines if line and "exitCode" not in line]
    for p in players:
        p.send(json.dumps(listed, separators=(",", ":")))
    results = [p.read_json(deadline) or {} for p in players]
    for p in players:
        p.wait(deadline)
    counts = []
    for s in sniffers:
        s.stop()
        out = s.output()[0].strip().splitlines()
        counts.append(json.loads(out[-1]) if out else {})
    views = [{q["identifier"]: q["connection"] for q in r.get("peers", [])} for r in results]
    direct = len(views) == 2 and views[0].get(2) in labbench.DIRECT and views[1].get(1) in labbench.DIRECT
    return direct, counts


def summary(values):
    return f"{statistics.median(values):.0f} / {max(values)}" if values else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog="\n".join(__doc__.splitlines()[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    labbench.add_bin_option(parser)
    parser.add_argument("--games", type=int, default=10, help="games per folder and setting")
    parser.add_argument("--candidates", default="4,64", help="tarn.candidate_addrs values of the send counts")
    args = parser.parse_args()
    labbench.check_bins(args.bin)
    candidates = [int(c) for c in args.candidates.split(",") if c]
    clock = labbench.Clock()
    rows, compat = [], []
    pairs = 0
    with labbench.lab_world() as (w, server):
        with clock.part("building the sites"):
            busy = [w.add_site("symmetric:1", name=f"snd{n}") for n in range(2)]
        for name, folder in args.bin:
            with labbench.rendezvous(server, folder):
                for cand in candidates:
                    for mode in ("0", "1"):
                        config = {"tarn.candidate_addrs": str(cand), "tarn.connect.overlap": mode,
                                  "tarn.loglevel": "DEBUG"}
                        direct, low, most = 0, [], []
                        with clock.part(f"{name}, candidates {cand}, overlap {mode}"):
                            for g in range(args.games):
                                ok, counts = busy_game(w, busy, folder, server.addrs, f"snd-{cand}-{mode}-{g}",
                                                       config)
                                direct += ok
                                low += [c["lowTtl"] for c in counts if c]
                                most += [c["most10ms"] for c in counts if c]
                        rows.append([name, str(cand), "overlap" if mode == "1" else "documented",
                                     f"{direct}/{args.games}", summary(low), summary(most)])
                for private in ("500", "1000"):
                    config = {"tarn.connect.overlap": "1", "tarn.loglevel": "DEBUG", "tarn.timeout.private": private}
                    played = []
                    with clock.part(f"{name}, against the earlier order, private round {private} ms"):
                        for g in range(args.games):
                            if g % GAMES_PER_SITE == 0:
                                pairs += 1
                                doc_site = w.add_site("symmetric:1", name=f"sd{pairs}")
                                real_site = w.add_site("symmetric:1", name=f"sr{pairs}")
                            played.append(session.play([doc_site.clients[0], real_site.clients[0]], folder,
                                                       server.addrs, game=f"sdoc-{g}", config=config,
                                                       bins=[programs.earlier_order_folder(w.lab, doc_site, DOCORDER), folder]))
                    direct = sum(s.between(1, 2) == (session.DIRECT_PUBLIC,) * 2 for s in played)
                    compat.append([name, private, f"{direct}/{args.games}"])
    print(f"\nTwo symmetric:1 players, discovery while each NAT's neighbour opens {BUSY} new flows/s, quiet "
          f"during the connect; per player and game, median / highest:\n")
    labbench.print_table(["programs", "candidate_addrs", "order", "direct", "low-TTL datagrams",
                          "most datagrams in 10 ms"], rows)
    print("\nA symmetric:1 player in overlap mode against a symmetric:1 player of the earlier order "
          "(tests/lab/docorder.py), games direct on both sides:\n")
    labbench.print_table(["programs", "tarn.timeout.private", "direct"], compat)
    print()
    clock.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
