#!/usr/bin/env bash
# Builds the project into a build directory. Unless --no-stage is given, it then installs it into
# <build>/stage and builds the probe against that installed package, the way a game consumes the
# library, into the same prefix.
#   scripts/build.sh [--no-stage] [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage_it=1
if [ "${1:-}" = "--no-stage" ]; then
  stage_it=0
  shift
fi
# Absolute, so that the probe finds the staged package from its own build directory.
build=$(realpath -m "${1:-$root/build}")
shift || true
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$jobs"
[ "$stage_it" -eq 1 ] || exit 0

stage=$build/stage
cmake --install "$build" --prefix "$stage" >/dev/null
cmake -S "$root/probe" -B "$build/probe" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$stage" >/dev/null
cmake --build "$build/probe" -j "$jobs"
cmake --install "$build/probe" --prefix "$stage" >/dev/null
