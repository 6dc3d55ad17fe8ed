#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer, with ThreadSanitizer, then the suite built for
# 32-bit little-endian MIPS and run under qemu-mipsel, then the fuzzers for a
# bounded time (VX40_FUZZ_SECONDS each, default 60). Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

run_suite() {  # name, build dir, cmake options...
  local name=$1 dir=$2; shift 2
  echo "== $name =="
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
  cmake --build "$dir" -j "$jobs"
  local start=$SECONDS
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" | tee "$dir/ctest.log" | tail -n 3
  echo "$name: $((SECONDS - start)) s of tests" >> "$dir/ctest.log"
}

run_suite native build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite sanitizers build-asan -DVX40_SANITIZE=ON

TSAN_OPTIONS=halt_on_error=1 run_suite threads build-tsan -DVX40_SANITIZE_THREAD=ON

scripts/mipsel-sysroot.sh build-mipsel-sysroot
run_suite mipsel-qemu build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
  -DVX40_MIPSEL_SYSROOT="$PWD/build-mipsel-sysroot"

# Fuzzers (clang, libFuzzer, ASan and UBSan), each for a bounded time from
# its seed corpus; any finding fails the run.
echo "== fuzzers =="
fuzz_seconds=${VX40_FUZZ_SECONDS:-60}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_FUZZ=ON \
  -DVX40_TESTS=OFF -DVX40_BENCH=OFF > /dev/null
cmake --build build-fuzz -j "$jobs"
: > build-fuzz/fuzz.log
for f in device settings frames; do
  work=build-fuzz/corpus-$f
  rm -rf "$work" && cp -r "fuzz/corpus/$f" "$work"
  if ! build-fuzz/fuzz/fuzz_$f -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/ "$work" > "build-fuzz/fuzz-$f.log" 2>&1; then
    tail -n 40 "build-fuzz/fuzz-$f.log"
    echo "fuzzer $f: FINDING (see build-fuzz/fuzz-$f.log)"
    exit 1
  fi
  runs=$(grep -o 'number_of_executed_units: [0-9]*' "build-fuzz/fuzz-$f.log" | grep -o '[0-9]*$')
  cov=$(grep -o 'DONE *cov: [0-9]*' "build-fuzz/fuzz-$f.log" | grep -o '[0-9]*$')
  echo "fuzzer $f: $runs runs, coverage $cov edges, no finding" | tee -a build-fuzz/fuzz.log
done

echo "== summary =="
for d in build build-asan build-tsan build-mipsel; do
  printf '%-12s %s\n' "$d" "$(grep -E 'tests passed|tests failed' "$d/ctest.log")"
done
cat build-fuzz/fuzz.log
