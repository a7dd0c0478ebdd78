#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages. Safe to run again:
# packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-system-dev libboost-thread-dev libboost-program-options-dev
  libboost-filesystem-dev libboost-date-time-dev
  libprotobuf-dev protobuf-compiler
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev
  # the rendezvous server's shared allow-list: the Redis client library, and the store and its
  # sentinels for tests
  libhiredis-dev redis-server redis-sentinel
  # the fleet's HMAC-SHA256 over store records and forwarded relays
  libssl-dev
  # the client's port mapping: NAT-PMP and UPnP-IGD client libraries
  libnatpmp-dev libminiupnpc-dev
  iproute2 nftables procps python3 jq clang-format
  # scripts/tidy.sh: the naming scheme of .clang-tidy
  clang-tidy-14
  tshark python3-matplotlib
  # the lab's mapping routers (+pmp, +natpmp, +upnp, +lying), their STUN server, and the client tools the
  # lab tests ask them with
  miniupnpd-nftables stun-server natpmpc miniupnpc
  # scripts/fuzz.sh: clang with libFuzzer and the sanitizer runtimes; unshare for a private network
  clang-14 libclang-rt-14-dev util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
