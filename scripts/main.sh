#!/usr/bin/env bash
# Main job: builds the plug-in and the bench host, nothing else, then drives
# the built vx40.so through the built-in demo rounds against the emulated UPS.
# Extra arguments go to vx40-bench (see: build/vx40-bench --help). Package and
# build output go to build/main.log, one line per step on the screen.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
log=build/main.log
: > "$log"
step() {  # description, command...
  local what=$1; shift
  echo "main: $what"
  "$@" >> "$log" 2>&1 || { tail -n 30 "$log"; echo "main: $what failed (all of it in $log)"; exit 1; }
}
step "Debian packages the bench needs (cmake, ninja, g++, JsonCpp, Boost headers, CLI11)" scripts/deps.sh --bench
step "configure build/" cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_TESTS=OFF
step "build vx40.so, vx40-bench and vx40-ups" cmake --build build --target vx40 vx40-bench vx40-ups
exec build/vx40-bench "$@"
