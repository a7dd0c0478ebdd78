#!/usr/bin/env bash
# The whole test suite on a fresh machine: set-up, then the suite once in a normal build, the
# naming scheme of .clang-tidy on that build's compile commands, the suite once
# under AddressSanitizer+UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer,
# the NAT lab, and a short run of every fuzz target. Fails if any of them fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh" || exit 1

passed=0
failed=0
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Adds the counts of ctest's closing line ("N% tests passed, F tests failed out of T").
count_ctest() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    grep -q 'No tests were found' "$log" || failed=$((failed + 1))
    return
  fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
}

run_ctest() { # build dir, ctest arguments...
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j 2 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  count_ctest
  [ "$rc" -eq 0 ] || status=1
}

step() { printf '\n=== %s ===\n' "$*"; }

# Runs a step whose closing line reads "<name>: N passed, M failed" and adds its counts; a step
# that ends without that line counts as one failure.
run_counted() { # name, command...
  local name=$1
  shift
  "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E "^$name: [0-9]+ passed, [0-9]+ failed" "$log" | tail -n 1)
  if [ -n "$line" ]; then
    passed=$((passed + $(sed -E 's/^[a-z]+: ([0-9]+) passed.*/\1/' <<<"$line")))
    failed=$((failed + $(sed -E 's/^[a-z]+: [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$line")))
  else
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
}

step "normal build"
if "$root/scripts/build.sh" "$root/build"; then
  run_ctest "$root/build"
else
  status=1; failed=$((failed + 1))
fi

step "naming (clang-tidy)"
run_counted tidy "$root/scripts/tidy.sh" "$root/build"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if "$root/scripts/build.sh" --no-stage "$root/build-asan" -DTARN_SANITIZE=address,undefined -DTARN_BUILD_BENCH=OFF; then
  run_ctest "$root/build-asan" -LE stage
else
  status=1; failed=$((failed + 1))
fi

step "ThreadSanitizer (threaded tests)"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
if "$root/scripts/build.sh" --no-stage "$root/build-tsan" -DTARN_SANITIZE=thread -DTARN_BUILD_BENCH=OFF; then
  run_ctest "$root/build-tsan" -L 'listener|logging|server|capi'
else
  status=1; failed=$((failed + 1))
fi

step "NAT lab"
python3 "$root/lab/tarn-lab" test --bin "$root/build/stage/bin" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
line=$(grep -E '^lab: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
if [ -n "$line" ]; then
  passed=$((passed + $(sed -E 's/^lab: ([0-9]+) passed.*/\1/' <<<"$line")))
  failed=$((failed + $(sed -E 's/^lab: [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$line")))
fi
[ "$rc" -eq 0 ] || status=1

step "fuzzing (20 s per target)"
run_counted fuzz "$root/scripts/fuzz.sh" 20

echo
echo "${passed} passed, ${failed} failed"
exit $status
