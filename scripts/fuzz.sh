#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for SECONDS on a fresh copy of its seed corpus, inside a network namespace of its own
# with only loopback, so that the answers a fuzzed datagram asks for reach no other program.
# Prints per target its executions and coverage; fails when any target finds a crash, leak,
# time-out or memory excess. The input that caused it stays in build-fuzz/fuzz/run/<target>/.
#   scripts/fuzz.sh SECONDS
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS" >&2
  exit 2
fi
targets=(MessageHelpersFuzz ConfiguratorImplFuzz RequestHandlerFuzz P2PListenerFuzz PortMapAnswerFuzz)
# One input may take this long and the process this much memory before libFuzzer calls it a finding.
input_timeout=10
rss_limit_mb=2048

"$root/scripts/setup.sh" || exit 1
build=$root/build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
mkdir -p "$build"
if ! { CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON \
    -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF "${launcher[@]}" &&
  cmake --build "$build" --target tarn_fuzz -j 2; } >"$build/fuzz-build.log" 2>&1; then
  tail -n 30 "$build/fuzz-build.log"
  echo "fuzz: the build failed (log: $build/fuzz-build.log)"
  exit 1
fi

# Root may make the namespace directly; anyone else maps themselves to root in a user namespace.
isolate=(unshare --net)
[ "$(id -u)" -ne 0 ] && isolate=(unshare --map-root-user --net)

passed=0
failed=0
for target in "${targets[@]}"; do
  run=$build/fuzz/run/$target
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/findings"
  cp "$build/fuzz/seeds/$target/"* "$run/corpus/"
  # -close_fd_mask=3 silences the code's own output; libFuzzer and the sanitizers still report.
  # The outer time-out is a bound for a run that would not end by itself. The run folder is the
  # working directory, so that whatever the code writes there stays with the run.
  (cd "$run" && timeout --kill-after=10 $((seconds + 60)) "${isolate[@]}" sh -c 'ip link set lo up && exec "$@"' sh \
    "$build/fuzz/$target" "$run/corpus" -max_total_time="$seconds" -timeout="$input_timeout" \
    -rss_limit_mb="$rss_limit_mb" -print_final_stats=1 -close_fd_mask=3 \
    -artifact_prefix="$run/findings/" >"$run/fuzz.log" 2>&1)
  rc=$?
  executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$run/fuzz.log" | tail -n 1)
  speed=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$run/fuzz.log" | tail -n 1)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$run/fuzz.log" | tail -n 1)
  if [ "$rc" -eq 0 ] && [ -z "$(ls -A "$run/findings")" ] && [ -n "$executions" ]; then
    passed=$((passed + 1))
    echo "fuzz: $target clean: ${executions} executions (${speed}/s), ${coverage}"
  else
    failed=$((failed + 1))
    echo "fuzz: $target FAILED (exit $rc): ${executions:-?} executions, ${coverage:-no coverage line}"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error:)' "$run/fuzz.log" | head -n 5
    ls "$run/findings" 2>/dev/null | sed 's/^/  finding: /'
    echo "  log: $run/fuzz.log"
  fi
done

echo "fuzz: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
