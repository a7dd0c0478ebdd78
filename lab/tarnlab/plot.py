#!/usr/bin/env python3
"""The peer matrix as a heat map: the direct-connection rate of every pair of NAT kinds, drawn with matplotlib;
and the distance grid of bench/p2p/distance.py (data with "plot": "distance"): per delay, the share of right
discoveries and direct games and the median times, per NAT kind or pair and mode.

Debian's python3-matplotlib serves Debian's python3. When the interpreter running the lab cannot import
matplotlib (another python3 first on PATH), the picture is drawn by running this file with /usr/bin/python3,
the data going in as JSON on standard input:  plot.py FILE.png < matrix.json
"""

import json
import os
import subprocess
import sys

SYSTEM_PYTHON = "/usr/bin/python3"
DRAW_TIMEOUT_S = 120


def _own_matplotlib():
    try:
        import matplotlib  # noqa: F401
        return True
    except ImportError:
        return False


def _system_matplotlib():
    if not os.access(SYSTEM_PYTHON, os.X_OK) or os.path.realpath(SYSTEM_PYTHON) == os.path.realpath(sys.executable):
        return False
    done = subprocess.run([SYSTEM_PYTHON, "-c", "import matplotlib"], capture_output=True, timeout=DRAW_TIMEOUT_S)
    return done.returncode == 0


def unavailable():
    """None when a picture can be drawn, else why not."""
    if _own_matplotlib() or _system_matplotlib():
        return None
    return "--plot needs matplotlib: apt-get install python3-matplotlib"


def matrix_data(kinds, results, title=""):
    """The picture's content from matrix.play_all's results: kind names, and for every cell the share of
    games in which both sides reached each other directly (None: no game finished) and its text."""
    from . import matrix  # only here, so that this file also runs as a script without the package

    names = [k.name for k in kinds]
    _, rows = matrix.table(kinds, results)
    rates, texts = [], []
    for i in range(len(kinds)):
        rate_row, text_row = [], []
        for j in range(len(kinds)):
            result = results[(min(i, j), max(i, j))]
            played = [o for o in result.outcomes if o is not None]
            rate_row.append(result.direct() / len(result.outcomes) if played else None)
            text_row.append(rows[i][j + 1])
        rates.append(rate_row)
        texts.append(text_row)
    games = max((len(r.outcomes) for r in results.values()), default=0)
    return {"kinds": names, "rates": rates, "texts": texts, "games": games, "title": title}


def draw(path, data):
    """Writes the heat map of data (see matrix_data) to path as PNG."""
    if _own_matplotlib():
        render(path, data)
        return
    if not _system_matplotlib():
        raise RuntimeError(unavailable())
    done = subprocess.run([SYSTEM_PYTHON, os.path.abspath(__file__), path], input=json.dumps(data), text=True,
                          capture_output=True, timeout=DRAW_TIMEOUT_S)
    if done.returncode != 0:
        raise RuntimeError(f"drawing {path} failed: {done.stderr.strip()}")


def render(path, data):
    """Draws data with the matplotlib of this interpreter: the distance grid or the heat map."""
    if data.get("plot") == "distance":
        render_distance(path, data)
        return
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LinearSegmentedColormap

    names = data["kinds"]
    n = len(names)
    rates = [[float("nan") if r is None else r for r in row] for row in data["rates"]]
    # Red for relay, through amber, to green for always direct; grey where no game finished.
    colours = LinearSegmentedColormap.from_list("direct", ["#c0392b", "#f1c40f", "#27ae60"])
    colours.set_bad("#bdbdbd")

    size = max(5.0, 1.1 * n + 2.5)
    fig, ax = plt.subplots(figsize=(size + 1.2, size))
    image = ax.imshow(rates, cmap=colours, vmin=0.0, vmax=1.0)
    ax.set_xticks(range(n))
    ax.set_yticks(range(n))
    ax.set_xticklabels(names, rotation=40, ha="right")
    ax.set_yticklabels(names)
    ax.set_xlabel("NAT kind of the other player")
    ax.set_ylabel("NAT kind of the player")
    ax.set_xticks([x - 0.5 for x in range(1, n)], minor=True)
    ax.set_yticks([y - 0.5 for y in range(1, n)], minor=True)
    ax.grid(which="minor", color="white", linewidth=2)
    ax.tick_params(which="minor", length=0)
    for i in range(n):
        for j in range(n):
            rate = data["rates"][i][j]
            label = "no game" if rate is None else f"{rate:.0%}"
            detail = data["texts"][i][j]
            text = f"{label}\n{detail}" if detail and detail != label else label
            dark = rate is not None and (rate < 0.25 or rate > 0.8)
            ax.text(j, i, text, ha="center", va="center", fontsize=8, color="white" if dark else "black")
    games = data.get("games", 1)
    per_pair = f"{games} game{'s' if games != 1 else ''} per pair"
    ax.set_title(data.get("title") or f"tarn peer matrix: direct connections ({per_pair})", pad=12)
    bar = fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04)
    bar.set_label("share of games in which both players connected directly")
    bar.ax.yaxis.set_major_formatter(matplotlib.ticker.PercentFormatter(xmax=1.0))
    fig.text(0.01, 0.01, "cell text: how the row's player reached the column's (private/public = direct, "
             "relay = through the server)", fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def render_distance(path, data):
    """Four panels over the one-way delay D per hop: discoveries right and their median time per kind, games
    with both players direct and the slower side's median connect time per pair (and the relay decision
    against a silent peer); a line per mode."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    delays = data["delays"]
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    panels = (
        (axes[0][0], "discovery", "right", "discoveries right"),
        (axes[0][1], "discovery", "medianMs", "median discovery time (ms)"),
        (axes[1][0], "games", "direct", "games with both players direct"),
        (axes[1][1], "games", "medianMs", "median connect time, slower side; relay decision (ms)"),
    )
    styles = {mode: style for mode, style in zip(data["modes"], ("-", "--", ":", "-."))}
    for ax, part, key, label in panels:
        # The time to settle on the relay against a silent peer shares the panel of the connect times.
        rows = data[part] + (data.get("relay", []) if key == "medianMs" and part == "games" else [])
        for row in rows:
            xs, ys = [], []
            for d in delays:
                cell = row["cells"].get(f"{d:g}")
                if not cell:
                    continue
                value = cell[key] / cell["total"] if key != "medianMs" and cell["total"] else cell.get(key)
                if value is not None:
                    xs.append(d)
                    ys.append(value)
            ax.plot(xs, ys, styles.get(row["mode"], "-"), marker="o", label=f"{row['name']} ({row['mode']})")
        ax.set_xlabel("one-way delay D per hop crossing (ms); server RTT 2D, player RTT 4D")
        ax.set_ylabel(label)
        ax.set_xticks(delays)
        if key != "medianMs":
            ax.set_ylim(-0.05, 1.05)
            ax.yaxis.set_major_formatter(matplotlib.ticker.PercentFormatter(xmax=1.0))
        ax.grid(alpha=0.3)
    axes[0][0].legend(fontsize=7, ncol=2)
    axes[1][0].legend(fontsize=7, ncol=2)
    axes[1][1].legend(fontsize=6, ncol=2)
    fig.suptitle(data.get("title") or "tarn at a distance")
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: plot.py FILE.png < matrix.json", file=sys.stderr)
        sys.exit(2)
    render(sys.argv[1], json.load(sys.stdin))
