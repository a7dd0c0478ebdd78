#!/usr/bin/env bash
# Captures one `tarn-probe discover` against tarn-rendezvous on loopback with dumpcap, then decodes
# the capture with the tshark command of the README, run as written in the repository's root (only
# the capture's file and this run's ports swapped in), and checks the message and field names it
# shows. Exit 77: skipped (no tshark, or no capture rights).
#   decode_capture.sh BIN_DIR REPO_ROOT
set -uo pipefail
bin=$1 repo=$2
readme=$repo/README.md
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
command -v tshark >/dev/null || skip "tshark is not installed"
command -v dumpcap >/dev/null || skip "dumpcap is not installed"
[ -x "$bin/tarn-probe" ] && [ -x "$bin/tarn-rendezvous" ] || fail "no staged programs in $bin"

work=$(mktemp -d)
server_pid="" capture_pid=""
cleanup() {
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The README's command, with its ports: one line between the markers.
command_line=$(sed -n '/<!-- tshark-decode -->/,/<!-- \/tshark-decode -->/p' "$readme" | grep '^tshark ')
[ -n "$command_line" ] || fail "no tshark command between <!-- tshark-decode --> markers in $readme"

"$bin/tarn-rendezvous" --port1 0 --port2 0 --stats-interval 0 > server.out 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q 'listening on' server.out && break; sleep 0.1; done
read -r port1 port2 < <(sed -nE 's/^tarn-rendezvous listening on 127\.0\.0\.1:([0-9]+) 127\.0\.0\.1:([0-9]+) .*/\1 \2/p' server.out)
[ -n "${port2:-}" ] || fail "the server did not start: $(cat server.out)"

dumpcap -i lo -q -w "$work/discovery.pcapng" -f "udp port $port1 or udp port $port2" > capture.out 2>&1 &
capture_pid=$!
for _ in $(seq 50); do grep -q "^File:" capture.out && break; kill -0 "$capture_pid" 2>/dev/null || break; sleep 0.1; done
grep -q "^File:" capture.out || skip "cannot capture on lo: $(cat capture.out)"
sleep 0.5

"$bin/tarn-probe" discover --server 127.0.0.1,127.0.0.2 --ports "$port1,$port2" > probe.out 2>&1 ||
  fail "tarn-probe discover failed: $(cat probe.out)"
sleep 0.5
kill "$capture_pid"; wait "$capture_pid" 2>/dev/null; capture_pid=""

# The README's command on this capture, in the repository's root: its file and this run's ports.
run_line=${command_line//discovery.pcapng/$work/discovery.pcapng}
run_line=${run_line//13434,13435/$port1,$port2}
echo "decoding in $repo with: $run_line"
(cd "$repo" && eval "$run_line") > decoded.txt 2> decode.err || fail "tshark failed: $(cat decode.err)"

status=0
for expected in "Message: tarn.generated.Content" "Field(1): type = BIND_REQ(10)" "type = BIND_RESP(11)" \
                "attributes  (message)" "Message: tarn.generated.Attribute" "type = XOR_MAPPED_ADDRESS(1)" \
                "Message: tarn.generated.IPv4" "port = " "address  (bytes)"; do
  if ! grep -qF "$expected" decoded.txt; then
    echo "FAILED: the decoded capture lacks '$expected'"
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  head -60 decoded.txt
  exit 1
fi
echo "decoded $(grep -c 'Message: tarn.generated.Content' decoded.txt) tarn messages"
