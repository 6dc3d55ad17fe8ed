#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer, with ThreadSanitizer, then the suite built for
# 32-bit little-endian MIPS and run under qemu-mipsel. Warnings are errors.
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

echo "== summary =="
for d in build build-asan build-tsan build-mipsel; do
  printf '%-11s %s\n' "$d" "$(grep -E 'tests passed|tests failed' "$d/ctest.log")"
done
