#!/usr/bin/env python3
"""Counts the UDP datagrams a host sends, run inside its namespace: until SIGTERM, then one JSON line.

    sniff.py ADDR     ->  {"sent": N, "lowTtl": L, "most10ms": M}

sent: IPv4 UDP datagrams from ADDR to unicast addresses; lowTtl: those with a time-to-live of 3 or less
(primers and used-up ports; the port mapper's multicast searches, which also leave with a low time-to-live
and stay on the local network, are not counted); most10ms: the most of them in any 10 ms, by the kernel's time stamp of each datagram on its way out
(not the moment this program reads it, which could bunch a late-read burst up with the next).
"""

import json
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
WINDOW_S = 0.010
SO_TIMESTAMPNS = 35


def main():
    source = socket.inet_aton(sys.argv[1])
    # Only a socket for every protocol gets copies of what the host sends.
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.settimeout(0.2)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    times, low = [], 0
    # Bounded by the SIGTERM of whoever started it (the bench stops it by its pid after each game).
    while not stop:
        try:
            data, ancillary, _, address = sock.recvmsg(65535, socket.CMSG_SPACE(16))
        except (socket.timeout, InterruptedError):
            continue
        outgoing_ip = address[2] == PACKET_OUTGOING and address[1] == ETH_P_IP and len(data) >= 20
        if not outgoing_ip or data[9] != socket.IPPROTO_UDP or data[12:16] != source or data[16] >> 4 == 0xE:
            continue
        stamp = [struct.unpack("qq", d[:16]) for level, kind, d in ancillary
                 if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS]
        times.append(stamp[0][0] + stamp[0][1] / 1e9 if stamp else time.time())
        low += data[8] <= 3
    times.sort()
    most, first = 0, 0
    for last, at in enumerate(times):
        while at - times[first] >= WINDOW_S:
            first += 1
        most = max(most, last - first + 1)
    print(json.dumps({"sent": len(times), "lowTtl": low, "most10ms": most}), flush=True)


if __name__ == "__main__":
    main()
