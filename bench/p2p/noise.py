#!/usr/bin/env python3
"""Games of two while other hosts take ports of the symmetric NATs: how many ended direct on both sides.

A neighbour on every symmetric site opens the level's number of new UDP flows per second to a sink on the
internet (each a new source port, on a symmetric NAT a new public port) for as long as the level lasts;
`quiet` is none. This is bench/p2p/pairs.py with the `noise` pairs and the levels below as defaults, and
takes all of its options.

    bench/p2p/noise.py --bin before=DIR --bin after=DIR --games 5
    bench/p2p/noise.py --bin DIR --pairs symmetric:1/symmetric:1 --noise 5,20,50,100 --games 20
"""

import sys

import pairs

LEVELS = "quiet,5,20,50,100,300,1000"
GAMES = 5

if __name__ == "__main__":
    sys.exit(pairs.main(__doc__, pairs="noise", noise=LEVELS, games=GAMES))
