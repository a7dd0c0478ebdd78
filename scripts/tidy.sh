#!/usr/bin/env bash
# Holds the files below to the naming scheme of .clang-tidy (readability-identifier-naming), with
# clang-tidy and the compile commands of a normal build (scripts/build.sh exports them). A header
# is checked through a listed source of the same name, or on its own when there is none. Prints
# every finding, then "tidy: N passed, M failed" counting files; fails when any file has one.
#   scripts/tidy.sh [BUILD_DIR]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
cd "$root" || exit 1

# The files the scheme is enforced on, as globs from the repository root: the settings table; the
# clock and the waits and engines that take it; the server (its counters and their users) and the
# probe; the owner of the symmetric answers and its held pings; and every file renamed to fit the
# scheme. An entry that matches nothing fails the check as stale.
client=tarn_client/src/tarn/client/impl
checked=(
  "$client/service/configurator/*.[ch]*"
  "$client/util/*Clock*.[ch]*"
  "$client/util/SteppedWait.[ch]*"
  "$client/util/Messenger.[ch]*"
  "$client/service/connection/BindingQueries.[ch]*"
  "$client/service/connection/WaitRules.[ch]*"
  "$client/util/RttEstimator.[ch]*"
  "$client/service/connection/Discoveror.[ch]*"
  "$client/service/connection/P2PContext.[ch]*"
  "$client/service/connection/*Connector.[ch]*"
  "$client/service/connection/SymmetricAnswers.[ch]*"
  "$client/service/connection/HeldPings.[ch]*"
  "$client/service/portmap/Gateway.[ch]*"
  'server/src/main.cpp'
  'server/src/tarn/server/*.[ch]*'
  "$client/Log.h"
  "$client/AbstractInitializable.cpp"
  "$client/Network.cpp"
  "$client/ServiceRegistry.cpp"
  'tarn_client/src/tarn/lattice/LatticeReport.[ch]*'
  'tarn_client/src/tarn/lattice/CApi.cpp'
  'probe/src/*.[ch]*'
)

tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || {
  echo "tidy: clang-tidy is not installed (scripts/setup.sh installs it)"
  echo "tidy: 0 passed, 1 failed"
  exit 1
}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: no $build/compile_commands.json: build first (scripts/build.sh)"
  echo "tidy: 0 passed, 1 failed"
  exit 1
fi

files=()
stale=0
for entry in "${checked[@]}"; do
  # An unquoted glob on purpose: each entry may name several files.
  # shellcheck disable=SC2206
  matched=($entry)
  if [ ! -e "${matched[0]}" ]; then
    echo "tidy: nothing matches $entry"
    stale=$((stale + 1))
    continue
  fi
  files+=("${matched[@]}")
done

# Translation units: every listed source, and every listed header without a listed source of its
# name. Findings are reported only in listed files.
units=()
filter=""
for f in "${files[@]}"; do
  case "$f" in
    *.cpp) units+=("$f") ;;
    *)
      filter+="${f//./[.]}|"
      printf '%s\n' "${files[@]}" | grep -qx "${f%.*}.cpp" || units+=("$f")
      ;;
  esac
done
filter="(${filter%|})\$"
# Every listed file, as a pattern that matches the place of a diagnostic in any of them.
listed=$(IFS='|'; echo "${files[*]//./[.]}")

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# One unit per core. Each unit's output goes to a file of its own; the inner script's variables
# are its own, expanded there.
# shellcheck disable=SC2016
printf '%s\n' "${units[@]}" | xargs -P "$(nproc 2>/dev/null || echo 2)" -I{} sh -c \
  '"$1" -p "$2" --quiet --header-filter="$3" --warnings-as-errors="*" "$4" >"$5/$(echo "$4" | tr / _).log" 2>&1; echo $? >"$5/$(echo "$4" | tr / _).rc"' \
  _ "$tidy" "$build" "$filter" {} "$out"

passed=0
failed=$stale
for f in "${files[@]}"; do
  log="$out/$(echo "$f" | tr / _).log"
  rc_file="${log%.log}.rc"
  # A file fails on a finding reported in it, through whichever unit reported it.
  bad=$(grep -hE "^($root/)?$f:[0-9]+:[0-9]+: (warning|error):" "$out"/*.log | sort -u)
  # Its own unit failing with nothing to show in a listed file (it did not compile, or clang-tidy
  # broke) fails it too.
  if [ -z "$bad" ] && [ -f "$rc_file" ] && [ "$(cat "$rc_file")" != 0 ] &&
    ! grep -qE "^($root/)?($listed):[0-9]+:[0-9]+: " "$log"; then
    bad=$(grep -hE '(warning|error):' "$log")
    [ -n "$bad" ] || bad="$f: clang-tidy failed"
  fi
  if [ -n "$bad" ]; then
    printf '%s\n' "$bad"
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
echo "tidy: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
