#!/usr/bin/env bash
# Installs the Debian packages that are missing, and nothing more:
#   scripts/deps.sh           everything the tests need
#   scripts/deps.sh --bench   only what the plug-in and the bench need
# Recommended packages are not installed: every package used is named here.
# No sudo when running as root.
set -euo pipefail
pkgs=(cmake ninja-build g++ libjsoncpp-dev libboost-dev libcli11-dev)
if [ "${1:-}" != "--bench" ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev googletest  # the suite and the benchmarks
         binutils g++-mipsel-linux-gnu qemu-user                 # the suite on 32-bit MIPS
         libgmp-dev xz-utils make                                # the soft-float runtimes (GCC's configure, its sources)
         gawk bison                                              # the soft-float glibc runtime (glibc's build)
         clang libclang-rt-14-dev                                # the export matrix, the fuzzers
         valgrind                                                # memcheck, the heap tests' counts
         libelf-dev libarchive-dev                               # vx40-preflight
         chromium fonts-wqy-microhei)  # the report page in a real browser, its CJK texts drawn
  # The mutation run and the browser test are Python scripts: any python3 on the PATH will do.
  command -v python3 > /dev/null || pkgs+=(python3)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
