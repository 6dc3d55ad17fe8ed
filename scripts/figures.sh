#!/usr/bin/env bash
# What a round and the library cost: the benchmarks (median of 5 repetitions;
# times, heap allocations per operation, the round as a ratio to its floor),
# callgrind's instructions per round for the plug-in's round and for the
# floor; and of vx40.so itself: the stripped size for x86-64, mipsel
# (hard-float) and mipsel soft-float, the dynamic relocations, the exported
# symbols, and the median time of dlopen + get_providers + dlclose over 1000
# loads on x86-64; the bench's own instructions per round with no output
# file (and the part of it spent within its calls into the plug-in), with
# --json and with --replay. Prints a table at the end.
#
#   scripts/figures.sh                 this tree
#   scripts/figures.sh --before REV    the same library figures for revision REV
#                                      beside this tree's (REV built in build-before/)
# VX40_CALLGRIND_ROUNDS (default 1000) rounds are counted for each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
rounds=${VX40_CALLGRIND_ROUNDS:-1000}
before=""
if [ "${1:-}" = "--before" ]; then
  before=${2:?--before needs a revision}
  git rev-parse --verify -q "$before^{commit}" > /dev/null || { echo "figures: $before: no such revision" >&2; exit 2; }
fi

scripts/mipsel-sysroot.sh build-mipsel-sysroot
runtime=$(scripts/softfloat-runtime.sh | tail -n 1)
# The library of one tree for the three architectures (with this tree's
# toolchain files, which are not part of the library): tree, build root.
build_libraries() {
  local src out
  src=$(realpath "$1") out=$2
  cmake -S "$src" -B "$out/x86-64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$out/x86-64" -j "$jobs" > /dev/null
  cmake -S "$src" -B "$out/mipsel" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" -DVX40_MIPSEL_SYSROOT="$PWD/build-mipsel-sysroot" \
    -DVX40_TESTS=OFF -DVX40_BENCH=OFF > /dev/null
  cmake --build "$out/mipsel" -j "$jobs" --target vx40 > /dev/null
  cmake -S "$src" -B "$out/mipsel-soft" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mips-sdk-softfloat.cmake" -DVX40_SDK_PREFIX="$runtime/bin/mipsel-linux-musl-" \
    -DVX40_SDK_SYSROOT="$runtime/sysroot" -DVX40_TESTS=OFF -DVX40_BENCH=OFF > /dev/null
  cmake --build "$out/mipsel-soft" -j "$jobs" --target vx40 > /dev/null
}

stripped_size() {  # library
  mipsel-linux-gnu-strip -o "$1.stripped" "$1" 2> /dev/null || strip -o "$1.stripped" "$1"
  stat -c %s "$1.stripped"
  rm -f "$1.stripped"
}
relocations() { readelf -rW "$1" | grep -cE '^[0-9a-f]{8,16} ' || true; }
exports() { readelf --dyn-syms -W "$1" | awk '$7 != "UND" && $5 != "LOCAL" && $1 ~ /^[0-9]+:$/' | wc -l; }
load_time() {  # library
  local out
  if out=$(VX40_PLUGIN=$1 build/benchmarks/vx40-load-time 1000 2>&1); then
    grep -o 'median [0-9.]* us' <<< "$out"
  else
    # A library that dlclose cannot unload (a GNU unique symbol pins it).
    echo "not measurable: ${out##*: }"
  fi
}
instructions() {  # library, --rounds|--floor-rounds, function
  VX40_PLUGIN=$1 valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$3" \
    build/benchmarks/vx40-benchmarks "$2" "$rounds" 2>&1 | grep -o 'Collected : [0-9]*' | grep -o '[0-9]*$'
}

# The bench's own cost of a round, in process against the emulated UPS:
# callgrind's instructions for 3000 rounds less those for 1000, per round.
# With "inside", only those within the bench's calls into the plug-in (the
# round's requests and replies and the nine values read, with the host's
# services those calls use).
bench_round() {  # how: plain | json | replay; [inside]
  local n ir=() tmp toggles=()
  [ "${2:-}" = inside ] && toggles=(--toggle-collect='*RefreshStatus*' --toggle-collect='PMBusProtocol::process(*'
                                    --toggle-collect='*process_error*' --toggle-collect='*Get_Value*')
  tmp=$(mktemp -d)
  for n in 1000 3000; do
    local cmd=(build/vx40-bench --quiet)
    case $1 in
      plain) cmd+=(--rounds "$n") ;;
      json) cmd+=(--rounds "$n" --json "$tmp/rounds.jsonl") ;;
      replay) build/vx40-bench --quiet --rounds "$n" --record "$tmp/run.jsonl" > /dev/null
              cmd+=(--replay "$tmp/run.jsonl") ;;
    esac
    ir+=("$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "${toggles[@]}" "${cmd[@]}" 2>&1 > /dev/null |
            grep -o 'Collected : [0-9]*' | grep -o '[0-9]*$')")
  done
  rm -rf "$tmp"
  echo $(( (ir[1] - ir[0]) / 2000 ))
}

build_libraries . build-figures
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_TESTS=ON > /dev/null
cmake --build build -j "$jobs" > /dev/null
lib=$PWD/build/vx40.so

echo "== benchmarks =="
build/benchmarks/vx40-benchmarks --benchmark_repetitions=5 --benchmark_report_aggregates_only=true | tee build/benchmarks.log
round_ir=$(instructions "$lib" --rounds vx40_measured_rounds)
floor_ir=$(instructions "$lib" --floor-rounds vx40_measured_floor_rounds)

# Library figures of one build root: the rows' values, separated by "|".
library_figures() {  # build root
  local r=$1
  printf '%s|' "$(stripped_size "$r/x86-64/vx40.so")" "$(stripped_size "$r/mipsel/vx40.so")" \
    "$(stripped_size "$r/mipsel-soft/vx40.so")" "$(relocations "$r/x86-64/vx40.so")" \
    "$(relocations "$r/mipsel/vx40.so")" "$(exports "$r/x86-64/vx40.so")" "$(load_time "$PWD/$r/x86-64/vx40.so")" \
    "$(( $(instructions "$PWD/$r/x86-64/vx40.so" --rounds vx40_measured_rounds) / rounds ))"
}
now=$(library_figures build-figures)
if [ -n "$before" ]; then
  rm -rf build-before && mkdir -p build-before
  git worktree remove --force build-before/src 2> /dev/null || true
  git worktree add --detach build-before/src "$before" > /dev/null
  build_libraries build-before/src build-before
  then=$(library_figures build-before)
  git worktree remove --force build-before/src
fi

echo "== figures =="
echo "| figure | value |"
echo "|---|---|"
echo "| instructions per round, plug-in (callgrind, $rounds rounds) | $((round_ir / rounds)) |"
echo "| instructions per round, floor (callgrind, $rounds rounds) | $((floor_ir / rounds)) |"
for how in plain json replay; do
  bench_ir=$(bench_round "$how")
  case $how in
    plain) label="no output file" ;; json) label="--json" ;; replay) label="--replay" ;;
  esac
  echo "| instructions per round, vx40-bench --quiet, $label (callgrind, 3000 less 1000 rounds) | $bench_ir ($(awk -v b="$bench_ir" -v p="$((round_ir / rounds))" 'BEGIN { printf "%.1f", b / p }') times the plug-in's round) |"
  if [ "$how" = plain ]; then
    inside=$(bench_round plain inside)
    echo "| of which within its calls into the plug-in (the round, the nine values; host services included) | $inside; the bench's own $((bench_ir - inside)) ($(awk -v b="$((bench_ir - inside))" -v p="$((round_ir / rounds))" 'BEGIN { printf "%.1f", b / p }') times the plug-in's round) |"
  fi
done
echo "| round / floor, time (benchmark medians) | $(grep -o 'round / floor: .*' build/benchmarks.log | cut -d' ' -f4) |"
# The allocs column of the latest header (data rows carry two more fields: the "ns" units).
awk '/^Benchmark/ { for (i = 1; i <= NF; i++) if ($i == "allocs") col = i + 2 }
     /_median/ { sub(/_median$/, "", $1); print "| heap allocations per operation, " $1 " | " $col " |" }' \
  build/benchmarks.log

echo
echo "== the library =="
names=("stripped vx40.so, x86-64 (bytes)" "stripped vx40.so, mipsel (bytes)" "stripped vx40.so, mipsel soft-float (bytes)"
       "dynamic relocations, x86-64" "dynamic relocations, mipsel" "exported symbols" \
       "dlopen + get_providers + dlclose, 1000 loads, x86-64" "instructions per round (callgrind)")
IFS='|' read -r -a a <<< "$now"
if [ -n "$before" ]; then
  IFS='|' read -r -a b <<< "$then"
  echo "| figure | $(git rev-parse --short "$before") | this tree |"
  echo "|---|---|---|"
  for i in "${!names[@]}"; do echo "| ${names[$i]} | ${b[$i]} | ${a[$i]} |"; done
else
  echo "| figure | value |"
  echo "|---|---|"
  for i in "${!names[@]}"; do echo "| ${names[$i]} | ${a[$i]} |"; done
fi
