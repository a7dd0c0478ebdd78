#!/usr/bin/env bash
# The main job: set up a fresh machine, build, and run the probe the way a game uses the library.
# Without a configured rendezvous service the probe starts the project's own server on
# 127.0.0.1 and 127.0.0.2 for the run. Arguments go to the probe (default: discover).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
workdir=$root/build/run
mkdir -p "$workdir"
cd "$workdir"
if [ $# -eq 0 ]; then
  set -- discover
fi
exec "$root/build/stage/bin/tarn-probe" "$@"
