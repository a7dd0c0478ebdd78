#!/usr/bin/env bash
# Builds game_loop.c against a staged install with pkg-config and runs it against that install's
# tarn-rendezvous on loopback, which it stops by its pid.
#   bench/capi/game_loop.sh [STAGE]   (default: build/stage)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stage=$(realpath "${1:-$here/../../build/stage}")
work=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export PKG_CONFIG_PATH="$stage/lib/pkgconfig"
cc -std=c99 -O2 "$here/game_loop.c" $(pkg-config --cflags --libs tarn_client) -pthread \
   -Wl,-rpath,"$(pkg-config --variable=libdir tarn_client)" -o "$work/game_loop"
coproc SERVER { exec "$stage/bin/tarn-rendezvous" --addr1 127.0.0.1 --addr2 127.0.0.2 --port1 0 --port2 0 \
    --stats-interval 0; }
server=$SERVER_PID
# Its first line names the ports it took.
read -t 10 -r started <&"${SERVER[0]}"
read -r p1 p2 < <(sed -E 's/.*listening on [^:]+:([0-9]+) [^:]+:([0-9]+).*/\1 \2/' <<<"$started")
cd "$work"
./game_loop tarn.addr.1=127.0.0.1 tarn.addr.2=127.0.0.2 tarn.port.1="$p1" tarn.port.2="$p2" \
    tarn.timeout.discovery=300 tarn.logconsole=0 | grep -E '^(blocking|async):'
