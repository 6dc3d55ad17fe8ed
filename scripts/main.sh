#!/usr/bin/env bash
# Main job: builds the plug-in and the bench host, then drives the built
# vx40.so through the built-in demo rounds against the emulated UPS.
# Extra arguments go to vx40-bench (see: build/vx40-bench --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)"
build/vx40-bench "$@"
