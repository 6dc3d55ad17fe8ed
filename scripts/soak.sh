#!/usr/bin/env bash
# The soak on its own, with a round count of your choice (default one
# million): resident memory may grow by at most 64 KiB after warm-up. The
# test command runs it with one million rounds, and memcheck over the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)"
time build/vx40-soak "${1:-1000000}"
