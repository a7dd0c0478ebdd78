#!/usr/bin/env python3
"""Counts the UDP datagrams a host sends, run inside its namespace: until SIGTERM, then one JSON line.

    sniff.py ADDR     ->  {"sent": N, "lowTtl": L, "most10ms": M}

sent: IPv4 UDP datagrams from ADDR; lowTtl: those with a time-to-live of 3 or less (primers and used-up
ports); most10ms: the most of them in any 10 ms. Times are taken as the kernel hands the copies over, so a
burst is if anything spread out, never bunched up.
"""

import json
import signal
import socket
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
WINDOW_S = 0.010


def main():
    source = socket.inet_aton(sys.argv[1])
    # Only a socket for every protocol gets copies of what the host sends.
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sock.settimeout(0.2)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    times, low = [], 0
    # Bounded by the SIGTERM of whoever started it (the bench stops it by its pid after each game).
    while not stop:
        try:
            data, address = sock.recvfrom(65535)
        except (socket.timeout, InterruptedError):
            continue
        if address[2] != PACKET_OUTGOING or address[1] != ETH_P_IP or len(data) < 20 or data[9] != socket.IPPROTO_UDP or data[12:16] != source:
            continue
        times.append(time.monotonic())
        low += data[8] <= 3
    most, first = 0, 0
    for last, at in enumerate(times):
        while at - times[first] >= WINDOW_S:
            first += 1
        most = max(most, last - first + 1)
    print(json.dumps({"sent": len(times), "lowTtl": low, "most10ms": most}), flush=True)


if __name__ == "__main__":
    main()
