#!/usr/bin/env bash
# The oldest runtime the glibc builds must load on, made from Debian's
# bullseye packages (glibc 2.31, libstdc++ and libgcc_s of GCC 10.2.1), with
# JsonCpp (the libjsoncpp source package of this machine's release) and GoogleTest (/usr/src/googletest)
# built against it for the stand-in host and the suite:
#
#   scripts/baseline-runtime.sh CPU ABI   CPU x86_64 or mipsel, ABI cxx11 or old
#                                         prints the runtime's folder on its last line
#
# The folder holds sysroot/ (for x86_64 a root filesystem: lib/, lib64/,
# usr/; for mipsel Debian's cross layout, usr/mipsel-linux-gnu/ being the
# root), and is what cmake/baseline.cmake builds against: Debian's GCC 12
# with its own C++ headers, bullseye's C library, libstdc++.so.6 and
# libgcc_s.so.1 at link time, so nothing newer than bullseye's symbol
# versions can be imported. Programs then run on it: bullseye's own loader
# natively, or under qemu-mipsel with it as the root.
#
# Kept outside the clone in VX40_CACHE_DIR (default ~/.cache/vx40) under a key
# made from this script, the toolchain file, the package versions and the
# compiler; built in a temporary folder and moved into place when complete.
# The machine's apt configuration is left alone: the packages come through an
# apt state folder of the script's own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian-mirror.sh"
cpu=${1:-}; abi=${2:-}
case "$cpu" in x86_64) cxx=g++ cc=gcc ;; mipsel) cxx=mipsel-linux-gnu-g++ cc=mipsel-linux-gnu-gcc ;;
  *) echo "usage: $0 x86_64|mipsel cxx11|old" >&2; exit 2 ;; esac
case "$abi" in cxx11) abi_flag=1 ;; old) abi_flag=0 ;;
  *) echo "usage: $0 x86_64|mipsel cxx11|old" >&2; exit 2 ;; esac
# The bullseye packages of each CPU's runtime; for mipsel Debian's
# all-architecture cross packages.
if [ "$cpu" = x86_64 ]; then
  pkgs=(libc6 libc6-dev libstdc++6 libgcc-s1 linux-libc-dev)
else
  pkgs=(libc6-mipsel-cross libc6-dev-mipsel-cross libstdc++6-mipsel-cross libgcc-s1-mipsel-cross
        linux-libc-dev-mipsel-cross)
fi
cache=${VX40_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vx40}
mkdir -p "$cache"

# The bullseye package lists, shared by every flavour and refreshed at most
# once a day (the key below names the versions they give).
apt_dir=$cache/bullseye-apt
exec 8> "$cache/bullseye-apt.lock"
flock 8
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
cat > "$apt_dir/parts/bullseye.sources" <<EOF
Types: deb deb-src
URIs: $(debian_mirror)
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $(debian_mirror)
Suites: $(debian_suite)
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
APTO=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts"
      -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o Dir::State::status=/dev/null
      -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
if [ -z "$(find "$apt_dir/lists" -name '*bullseye*Packages*' -mtime -1 2>/dev/null)" ] || [ ! -f "$apt_dir/lists/.two-suites" ]; then
  apt-get "${APTO[@]}" update -qq > "$cache/bullseye-apt.log" 2>&1 ||
    { cat "$cache/bullseye-apt.log" >&2; exit 1; }
  touch "$apt_dir/lists/.two-suites"
fi
flock -u 8
versions() {
  local p
  for p in "${pkgs[@]}"; do apt-cache "${APTO[@]}" show "$p" | sed -n "s/^Version: /$p /p" | head -n1; done
  apt-cache "${APTO[@]}" showsrc libjsoncpp | sed -n 's/^Version: /libjsoncpp /p' | head -n1
}
key_inputs() {
  sha256sum "$here/baseline-runtime.sh" "$here/../cmake/baseline.cmake" "$here/../cmake/baseline_compat.cpp" |
    cut -d' ' -f1
  echo "$cpu $abi"
  versions
  $cxx -dumpfullversion -dumpmachine
  dpkg-query -W -f='${Package} ${Version}\n' googletest 2>/dev/null || true
}
key=$(key_inputs | sha256sum | cut -c1-16)
name=baseline-$cpu-$abi-$key
ROOT=$cache/$name
if [ -f "$ROOT/.complete" ]; then
  echo "baseline runtime $cpu $abi: cached ($ROOT)" >&2
  echo "$ROOT"; exit 0
fi
exec 9> "$cache/$name.lock"
flock 9
if [ -f "$ROOT/.complete" ]; then echo "$ROOT"; exit 0; fi
WORK=$cache/$name.tmp
rm -rf "$WORK"; mkdir -p "$WORK/debs" "$WORK/logs"
LOG=$WORK/logs
trap 'echo "baseline runtime $cpu $abi: failed; logs in $LOG" >&2' ERR
t0=$SECONDS
stage() { echo "[$((SECONDS - t0)) s] baseline runtime $cpu $abi: $*" >&2; }

stage "bullseye packages: ${pkgs[*]}"
( cd "$WORK/debs" && apt-get "${APTO[@]}" download "${pkgs[@]}" > "$LOG/apt.log" 2>&1 &&
  apt-get "${APTO[@]}" source --download-only libjsoncpp >> "$LOG/apt.log" 2>&1 )
SYS=$WORK/sysroot
for d in "$WORK"/debs/*.deb; do dpkg-deb -x "$d" "$SYS"; done
# Symbolic links are made to work inside the sysroot: an absolute target
# becomes relative to the sysroot.
find "$SYS" -type l | while read -r l; do
  t=$(readlink "$l")
  case "$t" in /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$l")" "$SYS$t")" "$l" ;; esac
done
if [ "$cpu" = x86_64 ]; then LIB=$SYS/usr/lib/x86_64-linux-gnu; else LIB=$SYS/usr/mipsel-linux-gnu/lib; fi
# The link-time names of the C++ run-time libraries, which the run-time
# packages leave out: they make the linker take bullseye's, not the compiler's.
ln -sf libstdc++.so.6 "$LIB/libstdc++.so"
if [ "$cpu" = x86_64 ]; then
  ln -sf ../../../lib/x86_64-linux-gnu/libgcc_s.so.1 "$LIB/libgcc_s.so"
else
  ln -sf libgcc_s.so.1 "$LIB/libgcc_s.so"
fi
ls "$WORK"/debs/*.deb | xargs -n1 basename > "$WORK/packages.txt"
# Boost's headers are the same for every runtime: the build machine's.
inc=$SYS/usr/include; [ "$cpu" = mipsel ] && inc=$SYS/usr/mipsel-linux-gnu/include
ln -sfn /usr/include/boost "$inc/boost"

# What GCC 12's headers need of libstdc++ beyond GCC 10's (cmake/baseline.cmake
# links it into everything but the plug-in).
$cxx -std=c++20 -O2 -fPIC -D_GLIBCXX_USE_CXX11_ABI=$abi_flag -c "$here/../cmake/baseline_compat.cpp" -o "$WORK/compat.o"
ar rcs "$LIB/libvx40_baseline_compat.a" "$WORK/compat.o" && rm "$WORK/compat.o"

stage "JsonCpp and GoogleTest, string ABI $abi"
tar xzf "$WORK"/debs/libjsoncpp_*.orig.tar.gz -C "$WORK"
JSRC=$(echo "$WORK"/jsoncpp-*)
prefix=$SYS/usr; [ "$cpu" = mipsel ] && prefix=$SYS/usr/mipsel-linux-gnu
# The string ABI goes in the build type's flags: the toolchain file's own
# flags stay as they are.
tc=(-DCMAKE_TOOLCHAIN_FILE="$here/../cmake/baseline.cmake" -DVX40_BASELINE_RUNTIME="$WORK" -DVX40_BASELINE_CPU="$cpu"
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -D_GLIBCXX_USE_CXX11_ABI=$abi_flag"
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib)
cmake -S "$JSRC" -B "$WORK/build-jsoncpp" -G Ninja "${tc[@]}" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF \
  -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=OFF > "$LOG/jsoncpp.log" 2>&1
cmake --build "$WORK/build-jsoncpp" >> "$LOG/jsoncpp.log" 2>&1
cmake --install "$WORK/build-jsoncpp" >> "$LOG/jsoncpp.log" 2>&1
cmake -S /usr/src/googletest -B "$WORK/build-gtest" -G Ninja "${tc[@]}" > "$LOG/gtest.log" 2>&1
cmake --build "$WORK/build-gtest" >> "$LOG/gtest.log" 2>&1
cmake --install "$WORK/build-gtest" >> "$LOG/gtest.log" 2>&1

# What was built here imports nothing newer than the runtime itself has.
readelf=readelf; [ "$cpu" = mipsel ] && readelf=mipsel-linux-gnu-readelf
for f in "$prefix"/lib/libjsoncpp.so.*.*; do
  newer=$($readelf -V "$f" | grep -oE 'Name: (GLIBC_2\.(3[2-9]|[4-9][0-9])|GLIBCXX_3\.4\.(29|[3-9][0-9]))' || true)
  [ -z "$newer" ] || { echo "$f imports ${newer//Name: /}, newer than the runtime" >&2; exit 1; }
done

rm -rf "$WORK/debs" "$JSRC" "$WORK/build-jsoncpp" "$WORK/build-gtest"
echo "$cpu $abi" > "$WORK/flavour"
rm -rf "$ROOT"; mv "$WORK" "$ROOT"
echo "$((SECONDS - t0))" > "$ROOT/build-seconds"
touch "$ROOT/.complete"
stage "done in $((SECONDS - t0)) s ($ROOT)"
echo "$ROOT"
