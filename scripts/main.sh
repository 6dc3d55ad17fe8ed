#!/usr/bin/env bash
# Main job: builds the plug-in and the stand-in host, then drives the built
# vx40.so through the stand-in host's suite and shows what the host saw.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)"
readelf -d build/vx40.so | grep NEEDED
build/tests/vx40_tests "$@"
