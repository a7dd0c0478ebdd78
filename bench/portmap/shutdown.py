#!/usr/bin/env python3
"""Routers and exits: what a player leaves on its router and how long its exit takes, per program folder.

Each program folder (tarn-probe, tarn-rendezvous and libtarn_client.so.1) plays, against its own
tarn-rendezvous, a host (bench/capi/shutdown_host.c, built by the caller) behind each router: the host
discovers, holds, calls tarn_shutdown (from main; behind the first router also from `done` after starting
the next call) and keeps running for HOLD_AFTER_S seconds. Printed per run: the public endpoint discovery
reported, whether the router holds a mapping of it, how long tarn_shutdown took, the mappings the router
still held 3 s after it with the process alive, and how long the process took to exit. Then, per router,
`tarn-probe discover` (PROBE_RUNS runs): how long the whole process took (its exit and the mapping's
deletion included), the log's port-mapping line, and the mappings the router held after it exited.

    sudo bench/portmap/shutdown.py --host /tmp/shutdown_host --bin before=OLD_DIR --bin after=NEW_DIR
"""

import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "p2p"))

import labbench  # noqa: E402
from tarnlab import portmap, programs  # noqa: E402
from tarnlab.netns import CommandError  # noqa: E402

ROUTERS = ("port-restricted+pmp", "port-restricted+pmp-drop-first", "port-restricted+upnp-ssdp-port",
           "port-restricted+upnp-mute", "port-restricted+natpmp-slow", "port-restricted+pcp-refuse-renewal")
# The router is read this long after the shutdown, with the process still running.
AFTER_SHUTDOWN_S = 3.0
# Past the first renewal of a router that grants 4 s (pcp-refuse-renewal).
HOLD_BEFORE_S = 3.0
HOLD_AFTER_S = AFTER_SHUTDOWN_S + 1.0
# A host that hangs is stopped by its pid after this long, and counted as hung.
HOST_TIMEOUT_S = 20.0
PROBE_RUNS = 3
STEP = re.compile(r"^([0-9.]+) ms: (.*) (-?\d+)$")


def steps(text):
    """{step text: the number it printed} of the host's output."""
    return {m.group(2): int(m.group(3)) for m in map(STEP.match, text.splitlines()) if m}


def wait_for(process, piece, timeout):
    """Waits until the host printed piece (True) or timeout seconds passed or it ended (False)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.running():
        if piece in process.output()[0]:
            return True
        time.sleep(0.05)
    return piece in process.output()[0]


def play(site, server, name, folder, host_path, from_main):
    client = site.clients[0]
    config = {"tarn.addr.1": server.addrs[0], "tarn.addr.2": server.addrs[1],
              "tarn.port.1": programs.DEFAULT_PORTS[0], "tarn.port.2": programs.DEFAULT_PORTS[1],
              "tarn.logconsole": 0, "tarn.loglevel": "DEBUG"}
    argv = ["env", f"LD_LIBRARY_PATH={folder}", host_path, *(f"{k}={v}" for k, v in config.items()),
            f"hold_before={HOLD_BEFORE_S}", f"hold_after={HOLD_AFTER_S}", f"from_main={int(from_main)}"]
    process = client.ns.spawn(argv, f"host-{name}-{site.name}", cwd=client.ns.lab.tempdir("host"))
    row = {"router": site.kind.portmap, "version": name, "from": "main" if from_main else "done"}
    try:
        if wait_for(process, "public ", HOST_TIMEOUT_S):
            public = re.search(r"public ([0-9.]+):(\d+)", process.output()[0])
            row["public"] = f"{public.group(1)}:{public.group(2)}"
            # The advertised endpoint forwards when the router holds a mapping of that port to the host.
            held = [m.external_port for m in portmap.mappings(site.router) if m.internal[0] == client.addr]
            row["held"] = "yes" if int(public.group(2)) in held else f"no {held}"
        returned = f"tarn_shutdown from {row['from']} returned"
        if wait_for(process, returned, HOST_TIMEOUT_S):
            row["shutdown"] = steps(process.output()[0])[returned + ", microseconds:"]
            time.sleep(AFTER_SHUTDOWN_S)
            row["left"] = len(portmap.mappings(site.router))
        if wait_for(process, "exiting", HOST_TIMEOUT_S):
            exiting = time.monotonic()
            process.wait(HOST_TIMEOUT_S)
            row["exit"] = (time.monotonic() - exiting) * 1e3
    except CommandError:
        pass  # still running: counted as hung
    finally:
        process.stop()
    return row


def probe(site, server, folder):
    """One tarn-probe discover behind site's router: (seconds, the probe's port-mapping outcome, mappings left)."""
    found = programs.discover(site.clients[0], folder, server.addrs)
    line = next((x for x in found.log.splitlines() if "probe000" in x), "")
    return found.elapsed, line.partition(": ")[2].rpartition(" (")[0] or line.partition(": ")[2], \
        len(portmap.mappings_left(site.router))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    labbench.add_bin_option(parser)
    parser.add_argument("--host", required=True, help="the built bench/capi/shutdown_host")
    args = parser.parse_args()
    labbench.check_bins(args.bin)
    rows, probes = [], []
    with labbench.lab_world() as (w, server):
        sites = [w.add_site(kind, name=f"s{i}") for i, kind in enumerate(ROUTERS)]
        for name, folder in args.bin:
            with labbench.rendezvous(server, folder):
                # Shut down from done (the first router), then from main behind each router. A fresh daemon
                # for each: an earlier host that hung was stopped and may have left its mapping.
                for site, from_main in [(sites[0], False)] + [(s, True) for s in sites]:
                    w.restart_portmap(site)
                    rows.append(play(site, server, name, folder, os.path.abspath(args.host), from_main))
                for site in sites:
                    w.restart_portmap(site)
                    probes.append((site.kind.portmap, name, [probe(site, server, folder)
                                                             for _ in range(PROBE_RUNS)]))
    print(f"{'router':18} {'version':8} {'from':5} {'public endpoint':22} {'router holds it':16} {'shutdown':>10} "
          f"{'left 3 s later':>14} {'exit':>8}")
    for r in rows:
        shutdown = "hung" if r.get("shutdown") is None else f"{r['shutdown'] / 1e3:.2f} ms"
        exit_ms = "hung" if r.get("exit") is None else f"{r['exit']:.0f} ms"
        print(f"{r['router']:18} {r['version']:8} {r['from']:5} {r.get('public', '-'):22} {r.get('held', '-'):16} "
              f"{shutdown:>10} {str(r.get('left', '-')):>14} {exit_ms:>8}")
    print(f"\n{'router':18} {'version':8} {'tarn-probe discover, s':24} {'left':>4}  port mapping")
    for router, name, runs in probes:
        print(f"{router:18} {name:8} {' '.join(f'{r[0]:.2f}' for r in runs):24} {max(r[2] for r in runs):>4}  "
              f"{runs[-1][1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
