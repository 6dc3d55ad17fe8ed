#!/usr/bin/env bash
# What a round costs: the benchmarks (median of 5 repetitions; times, heap
# allocations per operation, the round as a ratio to its floor), callgrind's
# instructions per round for the plug-in's round and for the floor, and the
# stripped size of vx40.so for x86-64 and for mipsel. Prints a table at the end.
#   scripts/figures.sh            VX40_CALLGRIND_ROUNDS (default 1000) rounds each
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
rounds=${VX40_CALLGRIND_ROUNDS:-1000}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$jobs"
scripts/mipsel-sysroot.sh build-mipsel-sysroot
cmake -S . -B build-mipsel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
  -DVX40_MIPSEL_SYSROOT="$PWD/build-mipsel-sysroot" > /dev/null
cmake --build build-mipsel -j "$jobs" --target vx40

echo "== benchmarks =="
build/benchmarks/vx40-benchmarks --benchmark_repetitions=5 --benchmark_report_aggregates_only=true | tee build/benchmarks.log

# Only the measured function is counted (--toggle-collect), after a warm-up round.
instructions() {  # --rounds|--floor-rounds, function
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$2" \
    build/benchmarks/vx40-benchmarks "$1" "$rounds" 2>&1 | grep -o 'Collected : [0-9]*' | grep -o '[0-9]*$'
}
round_ir=$(instructions --rounds vx40_measured_rounds)
floor_ir=$(instructions --floor-rounds vx40_measured_floor_rounds)

stripped() {  # strip program, library
  "$1" -o build/vx40.stripped.so "$2" && stat -c %s build/vx40.stripped.so && rm build/vx40.stripped.so
}
size_x86=$(stripped strip build/vx40.so)
size_mipsel=$(stripped mipsel-linux-gnu-strip build-mipsel/vx40.so)

echo "== figures =="
echo "| figure | value |"
echo "|---|---|"
echo "| instructions per round, plug-in (callgrind, $rounds rounds) | $((round_ir / rounds)) |"
echo "| instructions per round, floor (callgrind, $rounds rounds) | $((floor_ir / rounds)) |"
echo "| round / floor, time (benchmark medians) | $(grep -o 'round / floor: .*' build/benchmarks.log | cut -d' ' -f4) |"
# The allocs column of the latest header (data rows carry two more fields: the "ns" units).
awk '/^Benchmark/ { for (i = 1; i <= NF; i++) if ($i == "allocs") col = i + 2 }
     /_median/ { sub(/_median$/, "", $1); print "| heap allocations per operation, " $1 " | " $col " |" }' \
  build/benchmarks.log
echo "| stripped vx40.so, x86-64 | $size_x86 bytes |"
echo "| stripped vx40.so, mipsel | $size_mipsel bytes |"
