#!/usr/bin/env bash
# Builds the project into a build directory: the library, the server, tarn-probe and the tests.
# Unless --no-stage is given, it then installs everything into <build>/stage, the way
# `cmake --install` does for a user (the consumer tests build hosts against that install).
#   scripts/build.sh [--no-stage] [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage_it=1
if [ "${1:-}" = "--no-stage" ]; then
  stage_it=0
  shift
fi
# Absolute, so that the tests find the staged install wherever they run.
build=$(realpath -m "${1:-$root/build}")
shift || true
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$jobs"
[ "$stage_it" -eq 1 ] || exit 0

cmake --install "$build" --prefix "$build/stage" >/dev/null
