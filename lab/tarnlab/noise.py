#!/usr/bin/env python3
"""Noise: a host that opens RATE new UDP flows per second to a sink, until SIGTERM.

The lab runs this file as a script in a site's neighbour namespace, so it imports nothing from the package.
Each flow is one datagram from a fresh socket (a new source port) to the next port of the sink, so each
one is a new conntrack entry and takes a new mapping, on a symmetric NAT a new public port. Flows are
paced by the clock, in small batches; after a stall the loop catches up at most MAX_BEHIND_S worth of
flows and drops the rest from its schedule, so the rate stays what was asked for.

  noise.py --sink ADDR --rate R
        prints {"flows": N, "failed": F, "seconds": S} once a second and when it ends
"""

import argparse
import json
import signal
import socket
import sys
import time

# The loop wakes at most this often; the flows due since the last wake go out together.
BATCH_INTERVAL_S = 0.01
MAX_BEHIND_S = 1.0
REPORT_INTERVAL_S = 1.0
# Destination ports cycle through this range: with the source port they make every flow a new one.
FIRST_SINK_PORT = 1024
SINK_PORTS = 65535 - FIRST_SINK_PORT + 1
PAYLOAD = b"noise"


def _report(flows, failed, start):
    print(json.dumps({"flows": flows, "failed": failed, "seconds": round(time.monotonic() - start, 3)}), flush=True)


def run(sink, rate):
    start = time.monotonic()
    scheduled = flows = failed = 0
    next_report = start + REPORT_INTERVAL_S
    try:
        while True:
            now = time.monotonic()
            due = int((now - start) * rate)
            scheduled = max(scheduled, due - int(rate * MAX_BEHIND_S))
            while scheduled < due:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                    s.setblocking(False)
                    try:
                        s.sendto(PAYLOAD, (sink, FIRST_SINK_PORT + scheduled % SINK_PORTS))
                        flows += 1
                    except OSError:
                        failed += 1
                scheduled += 1
            if now >= next_report:
                _report(flows, failed, start)
                next_report += REPORT_INTERVAL_S
            time.sleep(max(BATCH_INTERVAL_S, start + (scheduled + 1) / rate - time.monotonic()))
    finally:
        _report(flows, failed, start)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--rate", type=float, required=True)
    args = parser.parse_args()
    if args.rate <= 0:
        parser.error("--rate takes a positive number of flows per second")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    run(args.sink, args.rate)
    return 0


if __name__ == "__main__":
    sys.exit(main())
