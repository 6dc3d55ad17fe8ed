#!/usr/bin/env bash
# Builds vx40.so with GCC and with clang at -O0, -O2 and -Os and checks, each
# time, that it exports exactly the host's contract (tests/check_exports.cmake):
# the exports are stated in the code, not left to one compiler's optimiser.
#   scripts/exports-matrix.sh [BUILD_ROOT]      (default build-exports)
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-build-exports}
mkdir -p "$root"
pass=0 fail=0
for cxx in g++ clang++; do
  for level in -O0 -O2 -Os; do
    dir=$root/$cxx$level
    CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$level" \
      -DVX40_TESTS=OFF -DVX40_BENCH=OFF > "$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    cmake --build "$dir" --target vx40 >> "$dir.log" 2>&1 || { tail -n 30 "$dir.log"; exit 1; }
    if cmake -DLIB="$dir/vx40.so" -P tests/check_exports.cmake >> "$dir.log" 2>&1; then
      echo "exports $cxx $level: exactly the contract"
      pass=$((pass + 1))
    else
      tail -n 5 "$dir.log"
      echo "exports $cxx $level: WRONG"
      fail=$((fail + 1))
    fi
  done
done
echo "exports: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
