#!/usr/bin/env bash
# Builds and runs every test: the native suite; the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer, and with ThreadSanitizer;
# the suite built for 32-bit little-endian MIPS (hard-float, Debian's runtime)
# under qemu-mipsel; the suite built soft-float against runtimes made from
# Debian's sources (scripts/softfloat-runtime.sh: musl, and bullseye's glibc;
# cached) under qemu-mipsel on a core without an FPU; each glibc flavour built against bullseye's runtime
# (both CPUs, both string ABIs) with its suite run on bullseye's own loader,
# and every flavour loaded on every runtime beside vx40-preflight's verdict;
# the exported symbols with GCC and clang at three
# optimisation levels; two clean builds compared byte for byte; the release
# tarballs; the report page in headless Chromium; the mutation run; then the fuzzers for a bounded time
# (VX40_FUZZ_SECONDS each, default 60). Warnings are errors. Ends with a
# summary of every part and the time it took.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
summary=()
part_start=$SECONDS
part() {  # name: starts a part, closing the one before in the summary
  echo "== $1 =="
  part_start=$SECONDS
}
done_part() {  # summary line of the part just run
  summary+=("$(printf '%-13s %-78s %5d s' "$1" "$2" $((SECONDS - part_start)))")
}

run_suite() {  # name, build dir, cmake options...
  local name=$1 dir=$2; shift 2
  part "$name"
  # A toolchain file is read when a build folder is made, and only then.
  if [ -f "$dir/CMakeCache.txt" ]; then
    local keep=() a
    for a in "$@"; do [[ $a == -DCMAKE_TOOLCHAIN_FILE=* ]] || keep+=("$a"); done
    set -- "${keep[@]}"
  fi
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_TESTS=ON "$@" > /dev/null
  cmake --build "$dir" -j "$jobs"
  # A test that hangs fails after ten minutes instead of holding the run.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 > "$dir/ctest.log" 2>&1 ||
    { tail -n 60 "$dir/ctest.log"; echo "$name: FAILED"; exit 1; }
  tail -n 3 "$dir/ctest.log"
  done_part "$name" "$(grep -E 'tests passed|tests failed' "$dir/ctest.log")"
}

run_suite native build -DVX40_PREFLIGHT=ON
part stream-memory
python3 benchmarks/stream_memory.py build | tee build/stream-memory.log
done_part stream-memory "$(tail -n 1 build/stream-memory.log | sed 's/^stream-memory: //')"
part ups-latency
python3 benchmarks/ups_latency.py build | tee build/ups-latency.log
done_part ups-latency "$(tail -n 1 build/ups-latency.log | sed 's/^ups-latency: //')"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite sanitizers build-asan -DVX40_SANITIZE=ON
TSAN_OPTIONS=halt_on_error=1 run_suite threads build-tsan -DVX40_SANITIZE_THREAD=ON

scripts/mipsel-sysroot.sh build-mipsel-sysroot
run_suite mipsel-hard build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
  -DVX40_MIPSEL_SYSROOT="$PWD/build-mipsel-sysroot"

# Soft-float: the runtime is built once per machine and kept outside the clone.
part softfloat-runtime
runtime=$(scripts/softfloat-runtime.sh | tail -n 1)
done_part softfloat-runtime "$(cat "$runtime/build-seconds") s to build; $(cut -d: -f1 "$runtime/fpu-check.txt" | paste -sd, -): 0 FPU instructions"
run_suite mipsel-soft build-softfloat -DCMAKE_TOOLCHAIN_FILE=cmake/mips-sdk-softfloat.cmake \
  -DVX40_SDK_PREFIX="$runtime/bin/mipsel-linux-musl-" -DVX40_SDK_SYSROOT="$runtime/sysroot"
# Nothing built soft-float may hold an FPU instruction: on the 24Kc any would
# have trapped only if reached, so every file is read as well.
scripts/fpu-count.sh build-softfloat/vx40.so build-softfloat/tests/vx40_tests \
  build-softfloat/tests/vx40_heap_tests build-softfloat/vx40-bench > build-softfloat/fpu.log ||
  { cat build-softfloat/fpu.log; exit 1; }
summary+=("$(printf '%-13s %s' "" "soak, memcheck and benchmarks: native only (valgrind runs no MIPS code; the soak measures the host's memory)")")
summary+=("$(printf '%-13s %s' "" "$(mipsel-linux-gnu-readelf -A build-softfloat/vx40.so | grep -o 'FP ABI: .*'); no FPU instruction in vx40.so, the suites or the bench")")

# Soft-float with glibc: bullseye's glibc 2.31 built soft-float, cached the same
# way; its suite (the old string ABI's without the tools) on a 24Kc.
part softfloat-glibc-runtime
glibc_runtime=$(scripts/softfloat-runtime.sh glibc | tail -n 1)
done_part softfloat-glibc-runtime "$(cat "$glibc_runtime/build-seconds") s to build; $(cut -d: -f1 "$glibc_runtime/fpu-check.txt" | paste -sd, -): 0 FPU instructions"
sf_glibc=(-DCMAKE_TOOLCHAIN_FILE=cmake/mips-sdk-softfloat.cmake -DVX40_SDK_PREFIX="$glibc_runtime/bin/mipsel-softfloat-linux-gnu-")
run_suite mipsel-soft-glibc build-softfloat-glibc "${sf_glibc[@]}" -DVX40_SDK_SYSROOT="$glibc_runtime/sysroot"
run_suite mipsel-soft-glibc-old build-softfloat-glibc-oldabi "${sf_glibc[@]}" \
  -DVX40_SDK_SYSROOT="$glibc_runtime/sysroot-oldabi" -DVX40_CXX11_ABI=OFF -DVX40_BENCH=OFF
scripts/fpu-count.sh build-softfloat-glibc/vx40.so build-softfloat-glibc/tests/vx40_tests \
  build-softfloat-glibc/vx40-bench build-softfloat-glibc-oldabi/vx40.so > build-softfloat-glibc/fpu.log ||
  { cat build-softfloat-glibc/fpu.log; exit 1; }

# The glibc flavours, each built against the oldest runtime it must load on
# (bullseye's, scripts/baseline-runtime.sh, cached), with the old string ABI
# too; the plug-in's suite runs on that runtime's own loader (the tools need a
# newer libstdc++ than bullseye's and are not built there).
flavour_dirs=()
glibc_flavour() {  # build dir: its vx40.so imports nothing newer than bullseye has
  local newer
  newer=$(readelf -V "$1/vx40.so" | grep -oE 'Name: (GLIBC_2\.(3[2-9]|[4-9][0-9])|GLIBCXX_3\.4\.(29|[3-9][0-9]))' || true)
  [ -z "$newer" ] || { echo "$1/vx40.so imports ${newer//Name: /}, newer than bullseye's"; exit 1; }
  flavour_dirs+=("$1")
}
for flavour in x86_64:cxx11 x86_64:old mipsel:cxx11 mipsel:old; do
  cpu=${flavour%:*} abi=${flavour#*:}
  dir=build-bullseye-$cpu; [ "$abi" = old ] && dir=$dir-oldabi
  rt=$(scripts/baseline-runtime.sh "$cpu" "$abi" | tail -n 1)
  abi_on=ON; [ "$abi" = old ] && abi_on=OFF
  run_suite "$cpu-$abi" "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/baseline.cmake -DVX40_BASELINE_CPU="$cpu" \
    -DVX40_BASELINE_RUNTIME="$rt" -DVX40_CXX11_ABI=$abi_on -DVX40_BENCH=OFF
  glibc_flavour "$dir"
done
glibc_flavour build-softfloat-glibc
glibc_flavour build-softfloat-glibc-oldabi
summary+=("$(printf '%-13s %s' "" "glibc flavours: no import newer than GLIBC_2.31 / GLIBCXX_3.4.28; suites run on bullseye's glibc")")

part preflight
for d in build "${flavour_dirs[@]}" build-softfloat; do cmake --build "$d" --target vx40_release > /dev/null; done
bullseye() { scripts/baseline-runtime.sh "$1" "$2" | tail -n 1; }
python3 scripts/preflight_matrix.py build build "${flavour_dirs[@]}" build-softfloat \
  bookworm-x86_64=/ bullseye-x86_64="$(bullseye x86_64 cxx11)/sysroot" \
  bullseye-x86_64-oldabi="$(bullseye x86_64 old)/sysroot" bookworm-mipsel=/usr/mipsel-linux-gnu \
  bullseye-mipsel="$(bullseye mipsel cxx11)/sysroot/usr/mipsel-linux-gnu" \
  bullseye-mipsel-oldabi="$(bullseye mipsel old)/sysroot/usr/mipsel-linux-gnu" \
  musl-softfloat="$runtime/sysroot" softfloat-glibc="$glibc_runtime/sysroot" \
  softfloat-glibc-oldabi="$glibc_runtime/sysroot-oldabi" | tee build/preflight-matrix.log
done_part preflight "$(tail -n 1 build/preflight-matrix.log | sed 's/^preflight-matrix: //') (runtime's own loader vs vx40-preflight)"

part exports
scripts/exports-matrix.sh build-exports | tee build/exports.log
done_part exports "$(tail -n 1 build/exports.log | cut -d: -f2-) (GCC and clang at -O0, -O2, -Os)"

part reproducible
scripts/reproducible.sh | tee build/repro.log
done_part reproducible "two clean builds: vx40.so, the stripped file and its debug file identical"

part release
# A tarball per flavour: the glibc ones built against bullseye, the musl one.
tarballs="" sizes=""
for d in "${flavour_dirs[@]}" build-softfloat; do
  cmake --build "$d" --target vx40_release > /dev/null
  (cd "$d" && rm -rf package && cpack > /dev/null)
  tarballs+="$(basename "$d"/package/*.tar.gz) "
  sizes+="$(sed -n 's/.*"flavour": "\(.*\)",/\1/p' "$d/release/share/vx40/manifest.json") $(stat -c %s "$d/release/lib/vx40.so"), "
done
echo "$tarballs"
done_part release "$tarballs; stripped: ${sizes%, } bytes"

# The report page in headless Chromium: what it draws against the bench's
# JSON, for the demo and for a long run; the README's screenshot is remade.
part browser
status=0
python3 tests/report_browser_test.py build build/report-demo.png | tee build/browser.log || status=$?
if [ "$status" -eq 77 ]; then
  done_part browser "SKIPPED: $(grep -o 'skipped: .*' build/browser.log)"
elif [ "$status" -ne 0 ]; then
  echo "browser: FAILED"; exit 1
else
  done_part browser "$(grep -E '^(demo|long run):' build/browser.log | paste -sd';' -)"
fi

part mutants
python3 scripts/mutants.py --build build --report build/mutants.md | tee build/mutants.log
done_part mutants "$(tail -n 1 build/mutants.log | sed 's/^mutants: //')"
summary+=("$(printf '%-13s %s' "" "$(grep '^mutants by shape: ' build/mutants.log | sed 's/^mutants //')")")

# Fuzzers (clang, libFuzzer, ASan and UBSan), each for a bounded time from
# its seed corpus; any finding fails the run. ups: the simulator's request handling.
part fuzzers
fuzz_seconds=${VX40_FUZZ_SECONDS:-60}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_FUZZ=ON \
  -DVX40_TESTS=OFF -DVX40_BENCH=OFF > /dev/null
cmake --build build-fuzz -j "$jobs"
: > build-fuzz/fuzz.log
for f in device settings frames ups; do
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
done_part fuzzers "$(sed 's/^fuzzer //' build-fuzz/fuzz.log | paste -sd';' -)"

echo "== summary =="
printf '%s\n' "${summary[@]}"
