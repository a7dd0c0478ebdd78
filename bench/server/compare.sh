#!/usr/bin/env bash
# Measures tarn-rendezvous against the raw UDP echo baseline, side by side in one run on loopback:
# rounds alternate between the two targets under the same closed-loop load, then an open-loop run
# at 70% of the echo's rate checks that the server loses no answer at that load.
#   bench/server/compare.sh [BUILD_DIR] [ROUNDS] [SECONDS]
# Environment: SERVER_THREADS (workers of both targets, 0 = one per processor), LOAD_THREADS,
# SOCKETS, WINDOW (the load generator's), BATCH (datagrams per system call in both targets),
# TARGET_CPUS and LOAD_CPUS (taskset CPU lists that pin the targets and the load generator).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-3}
seconds=${3:-5}
server_threads=${SERVER_THREADS:-0}
load_threads=${LOAD_THREADS:-1}
sockets=${SOCKETS:-64}
window=${WINDOW:-8}
batch=${BATCH:-64}
target_pin=()
load_pin=()
[ -n "${TARGET_CPUS:-}" ] && target_pin=(taskset -c "$TARGET_CPUS")
[ -n "${LOAD_CPUS:-}" ] && load_pin=(taskset -c "$LOAD_CPUS")

server_bin=$build/server/tarn-rendezvous
echo_bin=$build/bench/server/tarn-udp-echo
load_bin=$build/bench/server/tarn-rendezvous-load
for bin in "$server_bin" "$echo_bin" "$load_bin"; do
  [ -x "$bin" ] || { echo "compare.sh: $bin is missing; build the targets first" >&2; exit 2; }
done

work=$(mktemp -d)
target_pid=""
target_out=""
cleanup() {
  if [ -n "$target_pid" ]; then
    kill -TERM "$target_pid" 2>/dev/null || true
    wait "$target_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a target on ports the system picks and waits (at most 5 s) for its start-up line, the first
# on its standard output, read through a pipe; its log goes to a file, shown if the line does not come.
start_target() { # name
  local name=$1 fifo=$work/$1.fifo log=$work/$1.log line
  mkfifo "$fifo"
  if [ "$name" = echo ]; then
    "${target_pin[@]}" "$echo_bin" --port1 0 --port2 0 --threads "$server_threads" --batch "$batch" >"$fifo" 2>"$log" &
  else
    # The limit stays in the path but cannot bind: every request comes from 127.0.0.1.
    "${target_pin[@]}" "$server_bin" --port1 0 --port2 0 --threads "$server_threads" --batch "$batch" --stats-interval 0 \
      --bind-rate 1e12 --bind-burst 1e12 >"$fifo" 2>"$log" &
  fi
  target_pid=$!
  # Opening the read end waits until the target's shell opens the write end, its first step.
  exec {target_out}<"$fifo"
  rm -f "$fifo"
  if ! read -r -t 5 -u "$target_out" line || [[ $line != *' listening on '* ]]; then
    echo "compare.sh: $name did not start: ${line:-no start-up line}" >&2
    cat "$log" >&2
    exit 1
  fi
  read -r _ _ _ e1 e2 e3 e4 _ <<<"$line"
  endpoints="$e1 $e2 $e3 $e4"
}

stop_target() {
  kill -TERM "$target_pid"
  wait "$target_pid" || true
  target_pid=""
  # Closed only now: the target writes its final counters to the pipe as it ends.
  exec {target_out}<&-
}

run_load() { # name, extra load options...
  local name=$1
  shift
  local mode=()
  [ "$name" = echo ] && mode=(--echo)
  # shellcheck disable=SC2086
  "${load_pin[@]}" "$load_bin" "${mode[@]}" --server $endpoints --sockets "$sockets" --threads "$load_threads" \
    --window "$window" --duration "$seconds" --warmup 1 --pid "$target_pid" --json "$@"
}

echo "machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "load: $sockets sockets, $load_threads thread(s), window $window, CPUs ${LOAD_CPUS:-any}; targets: $server_threads worker(s) (0 = per processor), batch $batch, CPUs ${TARGET_CPUS:-any}"
for round in $(seq "$rounds"); do
  for name in echo server; do
    start_target "$name"
    line=$(run_load "$name")
    stop_target
    echo "round $round $name $line" | tee -a "$work/results"
  done
done

echo_median=$(python3 - "$work/results" <<'PY'
import json, sys, statistics
rates = [json.loads(l.split(' ', 3)[3])['answersPerSecond'] for l in open(sys.argv[1]) if l.split()[2] == 'echo']
print(int(statistics.median(rates)))
PY
)
open_rate=$((echo_median * 7 / 10))
start_target server
open_line=$(run_load server --rate "$open_rate")
stop_target
echo "open loop server $open_line" | tee -a "$work/results"

python3 - "$work/results" <<'PY'
import json, sys, statistics
closed = {'echo': [], 'server': []}
open_run = None
for line in open(sys.argv[1]):
    words = line.split(' ', 3)
    if words[0] == 'round':
        closed[words[2]].append(json.loads(words[3]))
    else:
        open_run = json.loads(line.split(' ', 3)[3])
def median(name, key):
    return statistics.median(r[key] for r in closed[name])
print()
print('| target | answers/s (median) | CPU us per answer (median) | lost | invalid |')
print('|---|---|---|---|---|')
for name in ('echo', 'server'):
    print('| %s | %.0f | %.2f | %d | %d |' % (name, median(name, 'answersPerSecond'),
          median(name, 'targetCpuMicrosPerAnswer'), sum(r['lost'] for r in closed[name]),
          sum(r['invalid'] for r in closed[name])))
ratio = median('server', 'answersPerSecond') / median('echo', 'answersPerSecond')
print()
print('server / echo rate: %.0f%%' % (ratio * 100))
print('open loop at %.0f/s (70%% of echo; %.0f/s offered, %.0f/s answered while measured): '
      'server answered %d of %d, lost %d, invalid %d' % (
    open_run['rate'], open_run['sentPerSecond'], open_run['answersPerSecond'], open_run['answered'],
    open_run['sent'], open_run['lost'], open_run['invalid']))
PY
