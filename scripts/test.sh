#!/usr/bin/env bash
# Builds and runs every test: the native suite, then the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

run_suite() {  # name, build dir, cmake options...
  local name=$1 dir=$2; shift 2
  echo "== $name =="
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" | tee "$dir/ctest.log" | tail -n 3
}

run_suite native build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite sanitizers build-asan -DVX40_SANITIZE=ON

echo "== summary =="
for d in build build-asan; do
  printf '%-11s %s\n' "$d" "$(grep -E 'tests passed|tests failed' "$d/ctest.log")"
done
