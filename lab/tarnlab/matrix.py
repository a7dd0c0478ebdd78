"""The peer matrix: every pair of site kinds plays a game of two, and how each side reached the other.

Each kind gets two sites, so that a kind also meets itself across routers. Games run in rounds in which no
site plays twice; a round's games run side by side. After each game, the mapping routers among its sites
are checked for mappings the players left behind (portmap.mappings_left).
"""

import concurrent.futures
from dataclasses import dataclass, field

from . import portmap, session

PARALLEL_GAMES = 4
# The texts in the matrix.
SHORT = {session.DIRECT_PRIVATE: "private", session.DIRECT_PUBLIC: "public", session.RELAY: "relay"}


@dataclass
class PairResult:
    """All games of one pair of kinds; each outcome is (how a saw b, how b saw a), or None for a broken game."""

    a: object  # NatKind
    b: object
    outcomes: list = field(default_factory=list)
    problems: list = field(default_factory=list)
    times: list = field(default_factory=list)  # per unbroken game, the slower player's ms inside connect()
    # portmap.Mapping of every mapping still on a site's router portmap.CLEANUP_WAIT_S after a game.
    left_behind: list = field(default_factory=list)

    def direct(self):
        """Games in which both sides reached the other directly."""
        return sum(1 for o in self.outcomes if o and all(c in (session.DIRECT_PRIVATE, session.DIRECT_PUBLIC)
                                                         for c in o))

    def summary(self):
        """The outcome (`public`, or `public/private` when the sides differ); over several games, how
        many ended with both sides direct, followed by the outcome when every game agreed."""
        seen = set(self.outcomes)
        agreed = ""
        if len(seen) == 1 and None not in seen:
            (ab, ba), = seen
            agreed = SHORT.get(ab, str(ab)) if ab == ba else f"{SHORT.get(ab, ab)}/{SHORT.get(ba, ba)}"
        if len(self.outcomes) == 1:
            return agreed or "broken"
        count = f"{self.direct()}/{len(self.outcomes)}"
        return f"{count} {agreed}" if agreed else count


def _pairs(kinds):
    return [(i, j) for i in range(len(kinds)) for j in range(i, len(kinds))]


def _rounds(pairs):
    """Greedy schedule: each round holds pairs whose sites are all different."""
    left = list(pairs)
    rounds = []
    while left:
        busy, this, rest = set(), [], []
        for i, j in left:
            # Kind i plays from its first site, kind j from its second: i == j is two different sites.
            sites = {(i, 0), (j, 1)}
            if busy & sites:
                rest.append((i, j))
            else:
                busy |= sites
                this.append((i, j))
        rounds.append(this)
        left = rest
    return rounds


def left_behind(sites):
    """The mappings still held, portmap.CLEANUP_WAIT_S from now, by the routers of sites that run a mapper."""
    return [m for s in sites if s.portmap for m in portmap.mappings_left(s.router)]


def record(result, game, sites=()):
    """Adds a played game of two (a session.Session) to result: its outcome, or None and why it broke, and
    what the players left on the mapping routers of sites."""
    result.left_behind += left_behind(sites)
    broken = [r for r in game.runs if r.problem or r.returncode != 0]
    if broken:
        result.outcomes.append(None)
        result.problems.append(broken[0].describe())
    else:
        result.outcomes.append(game.between(1, 2))
        result.times.append(max(r.result.get("elapsedMs", 0) for r in game.runs))


def play_all(world, server, kinds, bin_dir, repeat=1, config=None, progress=None, bins=None, configs=None):
    """Plays every pair of kinds `repeat` times; returns {(i, j): PairResult} for i <= j. bins, two program
    folders, runs the row's player (kind i) from the first and the column's (kind j) from the second;
    configs, two {key: value}, gives them their settings the same way (default: config for both)."""
    sites = [(world.add_site(k, name=f"m{n}a"), world.add_site(k, name=f"m{n}b")) for n, k in enumerate(kinds)]
    results = {(i, j): PairResult(kinds[i], kinds[j]) for i, j in _pairs(kinds)}
    games = 0

    def one(pair):
        i, j = pair
        s = session.play([sites[i][0].clients[0], sites[j][1].clients[0]], bin_dir, server.addrs,
                         game=f"matrix-{i}-{j}", config=config, bins=bins, configs=configs)
        return pair, s

    with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
        for _ in range(repeat):
            for round_pairs in _rounds(list(results)):
                for pair, s in pool.map(one, round_pairs):
                    record(results[pair], s, (sites[pair[0]][0], sites[pair[1]][1]))
                    games += 1
                    if progress:
                        progress(games)
    return results


def play_same_site(world, server, kinds, bin_dir, repeat=1, config=None):
    """Two players behind one router of each kind with a NAT, `repeat` games each (the world's hairpin
    setting decides whether each one's outside endpoint also reaches the other); returns [PairResult]."""
    routed = [k for k in kinds if k.layers]
    sites = [world.add_site(k, clients=2, name=f"m{n}s") for n, k in enumerate(routed)]
    results = [PairResult(k, k) for k in routed]

    def one(n):
        return n, session.play(sites[n].clients, bin_dir, server.addrs, game=f"site-{n}", config=config)

    with concurrent.futures.ThreadPoolExecutor(PARALLEL_GAMES) as pool:
        for _ in range(repeat):
            for n, s in pool.map(one, range(len(routed))):
                record(results[n], s, (sites[n],))
    return results


def table(kinds, results):
    """Rows for a printed matrix: the first column names the kind, each cell how that row met that column."""
    names = [k.name for k in kinds]
    rows = []
    for i, name in enumerate(names):
        row = [name]
        for j in range(len(kinds)):
            result = results[(min(i, j), max(i, j))]
            if i <= j:
                row.append(result.summary())
            else:
                # Seen from the other side: swap the two views.
                flipped = PairResult(result.b, result.a, [o and (o[1], o[0]) for o in result.outcomes])
                row.append(flipped.summary())
        rows.append(row)
    return ["site"] + names, rows
