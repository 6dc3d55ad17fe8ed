#!/usr/bin/env bash
# A soft-float C++ runtime for 32-bit little-endian MIPS (o32), built from
# Debian's own sources with Debian's cross compiler used with -msoft-float:
# libgcc (static, libgcc_eh, libgcc_s) and libstdc++ from gcc-12-source, the C
# library, JsonCpp from the libjsoncpp source package and GoogleTest from
# /usr/src/googletest. No compiler is built. The C library is
#   musl   Debian's musl (loader /lib/ld-musl-mipsel-sf.so.1), or
#   glibc  bullseye's glibc 2.31 (loader /lib/ld.so.1), the oldest runtime the
#          glibc builds must load on; sysroot/ has JsonCpp and GoogleTest
#          built with the C++11 string ABI, sysroot-oldabi/ with the old one.
#
#   scripts/softfloat-runtime.sh [musl | glibc]
#                                     prints the runtime's folder on its last line
#
# The runtime is kept outside the clone, in VX40_CACHE_DIR (default
# ~/.cache/vx40), under a key made from this script and the versions of its
# inputs; a second run with the same key reuses it. It is built in a
# temporary folder and moved into place only when complete and checked.
# The machine's apt sources and architectures are left as they are: the
# source packages come through an apt state folder of the script's own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian-mirror.sh"
jobs=$(nproc)
libc=${1:-musl}
case "$libc" in
  musl) triplet=mipsel-linux-musl wp=mipsel-linux-musl loader=ld-musl-mipsel-sf.so.1 name=softfloat ;;
  # The wrappers' prefix is not the real compiler's, which they call.
  glibc) triplet=mipsel-linux-gnu wp=mipsel-softfloat-linux-gnu loader=ld.so.1 name=softfloat-glibc ;;
  *) echo "usage: $0 [musl | glibc]" >&2; exit 2 ;;
esac

key_inputs() {
  sha256sum "$here/softfloat-runtime.sh" | cut -d' ' -f1
  mipsel-linux-gnu-gcc -dumpfullversion -dumpmachine
  dpkg-query -W -f='${Package} ${Version}\n' googletest libboost-dev gcc-12-mipsel-linux-gnu-base 2>/dev/null || true
}
key=$( (key_inputs; echo "$libc") | sha256sum | cut -c1-16)
cache=${VX40_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vx40}
ROOT=$cache/$name-$key
if [ -f "$ROOT/.complete" ]; then
  echo "soft-float runtime: cached ($ROOT)" >&2
  echo "$ROOT"
  exit 0
fi

mkdir -p "$cache"
# One build at a time per key; a second caller waits and then reuses it.
exec 9> "$cache/$name-$key.lock"
flock 9
if [ -f "$ROOT/.complete" ]; then
  echo "soft-float runtime: cached ($ROOT)" >&2
  echo "$ROOT"
  exit 0
fi
WORK=$cache/$name-$key.tmp
rm -rf "$WORK"
SYS=$WORK/sysroot; BIN=$WORK/bin; LOG=$WORK/logs
mkdir -p "$SYS/usr/include" "$SYS/usr/lib" "$SYS/lib" "$BIN" "$LOG"
export PATH=$BIN:$PATH
t0=$SECONDS
stage() { echo "[$((SECONDS - t0)) s] soft-float $libc runtime: $*" >&2; }
# On a failure, say which stage's log to read.
trap 'echo "soft-float runtime: failed; logs in $LOG" >&2' ERR
GCCINC=$(mipsel-linux-gnu-gcc -print-file-name=include)

stage "sources (gcc-12-source, the C library's and libjsoncpp's source packages, mpfr and mpc headers)"
DL=$WORK/dl
mkdir -p "$DL/apt/lists/partial" "$DL/apt/cache/archives/partial" "$DL/apt/parts"
# The machine's own Debian mirror and release, as its apt sources name them.
mirror=$(debian_mirror)
suite=$(debian_suite)
cat > "$DL/apt/parts/src.sources" <<EOF
Types: deb deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# glibc and the kernel's headers come from bullseye: the oldest runtime the
# glibc builds must load on.
[ "$libc" = musl ] || cat >> "$DL/apt/parts/src.sources" <<EOF

Types: deb deb-src
URIs: $mirror
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
APTO=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$DL/apt/parts"
      -o Dir::State::Lists="$DL/apt/lists" -o Dir::Cache="$DL/apt/cache")
apt-get "${APTO[@]}" update -qq > "$LOG/apt.log" 2>&1
if [ "$libc" = musl ]; then
  ( cd "$DL" && apt-get "${APTO[@]}" source --download-only musl libjsoncpp >> "$LOG/apt.log" 2>&1 )
else
  ( cd "$DL" && apt-get "${APTO[@]}" source --download-only glibc/bullseye libjsoncpp/"$suite" >> "$LOG/apt.log" 2>&1 &&
    apt-get "${APTO[@]}" download linux-libc-dev-mipsel-cross/bullseye >> "$LOG/apt.log" 2>&1 )
fi
# gcc-12-source is a binary package carrying GCC's source tarball.
( cd "$DL" && apt-get "${APTO[@]}" download gcc-12-source libmpfr-dev libmpc-dev >> "$LOG/apt.log" 2>&1 )
cd "$DL"
for d in gcc-12-source_*.deb libmpfr-dev_*.deb libmpc-dev_*.deb; do dpkg-deb -x "$d" x; done
ln -sf /usr/lib/x86_64-linux-gnu/libmpfr.so.6 x/usr/lib/x86_64-linux-gnu/libmpfr.so
ln -sf /usr/lib/x86_64-linux-gnu/libmpc.so.3 x/usr/lib/x86_64-linux-gnu/libmpc.so
tar xf x/usr/src/gcc-12/gcc-*-dfsg.tar.xz -C "$WORK" --exclude='gcc-*/gcc/testsuite' --exclude='gcc-*/libgo' \
  --exclude='gcc-*/libphobos' --exclude='gcc-*/gcc/ada' --exclude='gcc-*/libgfortran' --exclude='gcc-*/gcc/d' \
  --exclude='gcc-*/gcc/go' --exclude='gcc-*/gcc/fortran' --exclude='gcc-*/libada' --exclude='gcc-*/gnattools'
if [ "$libc" = musl ]; then
  tar xzf musl_*.orig.tar.gz -C "$WORK"; MSRC=$(echo "$WORK"/musl-*)
else
  tar xJf glibc_*.orig.tar.xz -C "$WORK"; LSRC=$(echo "$WORK"/glibc-2.*)
  # Debian's tarball has no manual (its licence is not free): the build
  # leaves its folder out, and the list of error texts made from it is the
  # one shipped (older than the manual's file, so not made again).
  sed -i 's/ wctype manual / wctype /' "$LSRC/Makeconfig"
  grep -q ' wctype shadow ' "$LSRC/Makeconfig"
  mkdir -p "$LSRC/manual" && touch -d 2000-01-01 "$LSRC/manual/errno.texi"
  dpkg-deb -x linux-libc-dev-mipsel-cross_*.deb kh
  KH=$DL/kh/usr/mipsel-linux-gnu/include
fi
tar xzf libjsoncpp_*.orig.tar.gz -C "$WORK"
GSRC=$(echo "$WORK"/gcc-12.*); JSRC=$(echo "$WORK"/jsoncpp-*)
DEV=$DL/x/usr
{
  echo "gcc: $(basename "$(echo "$DL"/gcc-12-source_*.deb)")"
  echo "$libc: $(cd "$DL" && ls ./*.dsc | grep -v jsoncpp | xargs -n1 basename)"
  echo "jsoncpp: $(basename "$(echo "$DL"/libjsoncpp_*.dsc)")"
  echo "googletest: $(dpkg-query -W -f='${Version}' googletest)"
  echo "compiler: $(mipsel-linux-gnu-g++ --version | head -n1) -msoft-float"
} > "$WORK/sources.txt"

stage "compiler wrappers: Debian's driver with -msoft-float, the C library's headers and this sysroot only"
for t in ar as ld nm objcopy objdump ranlib readelf strip; do
  ln -sf "/usr/bin/mipsel-linux-gnu-$t" "$BIN/$wp-$t"
done
# GCC's driver is told where the start files, libraries and loader are by a
# file of its own, given on its command line (the linker's sysroot too:
# glibc's libc.so names its files from the root). With glibc the unwinder
# finds each object's frames through its PT_GNU_EH_FRAME header, which the
# linker makes when asked; musl's start files register them instead. The runtime's folder is
# found from the wrapper's own place, so the cache can be moved as a whole.
cat > "$WORK/sf.driver.in" <<'EOF'
*link_libgcc:
-L@SYS@/usr/lib -L@SYS@/lib

*startfile:
%{!shared: @SYS@/usr/lib/Scrt1.o} @SYS@/usr/lib/crti.o @SYS@/usr/lib/crtbeginS.o

*endfile:
@SYS@/usr/lib/crtendS.o @SYS@/usr/lib/crtn.o

*link:
-dynamic-linker /lib/@LOADER@ --sysroot=@SYS@ @EH_FRAME_HDR@ -nostdlib %{shared:-shared} %{static:-static} %{rdynamic:-export-dynamic} -EL

EOF
cat > "$BIN/$wp-gcc" <<EOF
#!/bin/sh
rt=\$(cd "\$(dirname "\$0")/.." && pwd)
exec /usr/bin/mipsel-linux-gnu-gcc -msoft-float -nostdinc -isystem "\$rt/sysroot/usr/include" -isystem $GCCINC \\
  --sysroot "\$rt/sysroot" -specs "\$rt/sf.driver" "\$@"
EOF
cat > "$BIN/$wp-g++" <<EOF
#!/bin/sh
rt=\$(cd "\$(dirname "\$0")/.." && pwd)
exec /usr/bin/mipsel-linux-gnu-g++ -msoft-float -nostdinc -nostdinc++ -isystem "\$rt/sysroot/usr/include/c++/12" \\
  -isystem "\$rt/sysroot/usr/include/c++/12/$triplet" -isystem "\$rt/sysroot/usr/include" \\
  -isystem $GCCINC --sysroot "\$rt/sysroot" -specs "\$rt/sf.driver" "\$@"
EOF
chmod +x "$BIN"/$wp-g*
eh_frame_hdr=""; [ "$libc" = glibc ] && eh_frame_hdr="%{!static:--eh-frame-hdr}"
driver_file() {
  sed "s|@SYS@|$1/sysroot|g; s|@LOADER@|$loader|g; s|@EH_FRAME_HDR@|$eh_frame_hdr|" "$1/sf.driver.in" > "$1/sf.driver"
}
driver_file "$WORK"

if [ "$libc" = musl ]; then
  stage "musl headers"
  cd "$MSRC"
  ./configure --target=$triplet CC="mipsel-linux-gnu-gcc -msoft-float" CROSS_COMPILE=mipsel-linux-gnu- \
    LIBCC="$SYS/usr/lib/libgcc.a" --prefix="$SYS/usr" --syslibdir="$SYS/lib" > "$LOG/musl-configure.log" 2>&1
  grep -q '^SUBARCH = el-sf' config.mak
  make install-headers > /dev/null
else
  stage "glibc configured, its headers and the kernel's installed"
  cp -a "$KH"/. "$SYS/usr/include/"
  mkdir -p "$WORK/glibc-build" && cd "$WORK/glibc-build"
  # -B: the soft-float libgcc built below, not the compiler's hard-float one.
  # No strict aliasing: glibc 2.31 reads a scanf field width through a
  # pointer of another type (vfscanf's read_int), which GCC 12 then drops,
  # and every width ("%4d") fails.
  "$LSRC/configure" --host=mipsel-linux-gnu --build=x86_64-pc-linux-gnu --prefix=/usr --with-headers="$KH" \
    --enable-kernel=3.2 --disable-werror --disable-profile --disable-nscd --without-selinux --disable-timezone-tools \
    libc_cv_forced_unwind=yes libc_cv_c_cleanup=yes CFLAGS="-g -O2 -fno-strict-aliasing" \
    CC="/usr/bin/mipsel-linux-gnu-gcc -msoft-float -B$SYS/usr/lib/" CXX="/usr/bin/mipsel-linux-gnu-g++ -msoft-float" \
    AR=mipsel-linux-gnu-ar RANLIB=mipsel-linux-gnu-ranlib > "$LOG/glibc-configure.log" 2>&1
  grep -q 'mips/nofpu' config.make
  make install-bootstrap-headers=yes install-headers install_root="$SYS" > "$LOG/glibc-headers.log" 2>&1
  touch "$SYS/usr/include/gnu/stubs.h"
fi

stage "gcc tree configured; only the headers libgcc needs are generated"
mkdir -p "$WORK/gcc-build" && cd "$WORK/gcc-build"
glibc_version=(); [ "$libc" = glibc ] && glibc_version=(--with-glibc-version=2.31)
"$GSRC/configure" --target=$triplet --prefix="$WORK/unused" --with-sysroot="$SYS" --with-float=soft "${glibc_version[@]}" \
  --with-arch=mips32r2 --enable-languages=c,c++ --disable-multilib --disable-bootstrap --disable-nls \
  --disable-libsanitizer --disable-libgomp --disable-libquadmath --disable-libssp --disable-libitm --disable-libvtv \
  --with-mpfr-include="$DEV/include" --with-mpfr-lib="$DEV/lib/x86_64-linux-gnu" \
  --with-mpc-include="$DEV/include" --with-mpc-lib="$DEV/lib/x86_64-linux-gnu" > "$LOG/gcc-configure.log" 2>&1
make configure-gcc > "$LOG/configure-gcc.log" 2>&1
make -j"$jobs" all-build-libiberty > "$LOG/build-libiberty.log" 2>&1
make -C gcc -j"$jobs" -o xgcc -o specs libgcc.mvars config.h bconfig.h tconfig.h tm.h options.h insn-constants.h \
  insn-modes.h insn-flags.h > "$LOG/gcc-headers.log" 2>&1
mkdir -p gcc/include

stage "libgcc (static parts)"
mkdir -p $triplet/libgcc && cd $triplet/libgcc
CC=$wp-gcc CFLAGS="-O2 -g" AR=$wp-ar RANLIB=$wp-ranlib \
  "$GSRC/libgcc/configure" --srcdir="$GSRC/libgcc" --host=$triplet --build=x86_64-pc-linux-gnu \
  --target=$triplet --prefix="$WORK/unused" --disable-multilib --enable-shared > "$LOG/libgcc-configure.log" 2>&1
grep -q 't-softfp-sfdf' Makefile
make -j"$jobs" libgcc.a libgcc_eh.a crtbegin.o crtbeginS.o crtbeginT.o crtend.o crtendS.o > "$LOG/libgcc-static.log" 2>&1
cp libgcc.a libgcc_eh.a crtbegin.o crtbeginS.o crtbeginT.o crtend.o crtendS.o "$SYS/usr/lib/"

if [ "$libc" = musl ]; then
  stage "musl"
  cd "$MSRC" && make -j"$jobs" > "$LOG/musl-build.log" 2>&1 && make install > /dev/null
  ln -sf ../usr/lib/libc.so "$SYS/lib/ld-musl-mipsel-sf.so.1"
else
  stage "glibc"
  cd "$WORK/glibc-build" && make -j"$jobs" > "$LOG/glibc-build.log" 2>&1
  make install install_root="$SYS" > "$LOG/glibc-install.log" 2>&1
fi

stage "libgcc_s"
cd "$WORK/gcc-build/$triplet/libgcc" && make -j"$jobs" > "$LOG/libgcc-shared.log" 2>&1
cp libgcc_s.so.1 "$SYS/lib/" && ln -sf ../../lib/libgcc_s.so.1 "$SYS/usr/lib/libgcc_s.so"

stage "libstdc++ (shared only)"
mkdir -p "$WORK/dummy" && rm -f "$WORK/dummy/libstdc++.a" && mipsel-linux-gnu-ar rc "$WORK/dummy/libstdc++.a"
mkdir -p "$WORK/gcc-build/$triplet/libstdc++-v3" && cd "$WORK/gcc-build/$triplet/libstdc++-v3"
CC=$wp-gcc CXX="$wp-g++ -L$WORK/dummy" CFLAGS="-O2 -g" CXXFLAGS="-O2 -g" \
  AR=$wp-ar RANLIB=$wp-ranlib NM=$wp-nm \
  "$GSRC/libstdc++-v3/configure" --srcdir="$GSRC/libstdc++-v3" --host=$triplet --build=x86_64-pc-linux-gnu \
  --target=$triplet --prefix="$SYS/usr" --with-gxx-include-dir="$SYS/usr/include/c++/12" \
  --disable-multilib --enable-shared --disable-static --disable-libstdcxx-pch --disable-nls > "$LOG/libstdcxx-configure.log" 2>&1
grep -q 'define _GLIBCXX_ATOMIC_BUILTINS 1' config.h
make -j"$jobs" > "$LOG/libstdcxx-build.log" 2>&1 && make install > "$LOG/libstdcxx-install.log" 2>&1

stage "Boost headers, JsonCpp, GoogleTest"
ln -sfn /usr/include/boost "$SYS/usr/include/boost"
# A bootstrap toolchain file for the two libraries; the project itself builds
# with cmake/mips-sdk-softfloat.cmake.
cat > "$WORK/bootstrap.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER $BIN/$wp-gcc)
set(CMAKE_CXX_COMPILER $BIN/$wp-g++)
set(CMAKE_FIND_ROOT_PATH \${VX40_BOOT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
third_party() {  # sysroot, _GLIBCXX_USE_CXX11_ABI, log tag
  local tc=(-DCMAKE_TOOLCHAIN_FILE="$WORK/bootstrap.cmake" -DVX40_BOOT_SYSROOT="$1" -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -D_GLIBCXX_USE_CXX11_ABI=$2" -DCMAKE_INSTALL_PREFIX="$1/usr"
            -DCMAKE_INSTALL_LIBDIR=lib)
  rm -rf "$WORK/build-jsoncpp" "$WORK/build-gtest"
  cmake -S "$JSRC" -B "$WORK/build-jsoncpp" -G Ninja "${tc[@]}" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF \
    -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF > "$LOG/jsoncpp$3.log" 2>&1
  cmake --build "$WORK/build-jsoncpp" -j"$jobs" >> "$LOG/jsoncpp$3.log" 2>&1
  cmake --install "$WORK/build-jsoncpp" >> "$LOG/jsoncpp$3.log" 2>&1
  cmake -S /usr/src/googletest -B "$WORK/build-gtest" -G Ninja "${tc[@]}" > "$LOG/gtest$3.log" 2>&1
  cmake --build "$WORK/build-gtest" -j"$jobs" >> "$LOG/gtest$3.log" 2>&1
  cmake --install "$WORK/build-gtest" >> "$LOG/gtest$3.log" 2>&1
}
if [ "$libc" = glibc ]; then
  # The old string ABI's sysroot: the same runtime, its own JsonCpp and GoogleTest.
  cp -a "$SYS" "$WORK/sysroot-oldabi"
  third_party "$WORK/sysroot-oldabi" 0 -oldabi
fi
third_party "$SYS" 1 ""

stage "check: a C++ program built on it scans, formats, throws and catches on a core without an FPU"
cat > "$WORK/smoke.cpp" <<'EOF'
#include <cstdio>
#include <stdexcept>
#include <string>
int main()
{
    int year = 0, month = 0;
    if (std::sscanf("2026-12", "%4d-%2d", &year, &month) != 2 || year != 2026 || month != 12) return 1;
    char text[16];
    std::snprintf(text, sizeof text, "%.3f", 2.5);
    if (std::string(text) != "2.500") return 2;
    try {
        throw std::runtime_error("thrown");
    } catch (const std::exception& e) {
        return std::string(e.what()) == "thrown" ? 0 : 3;
    }
}
EOF
"$BIN/$wp-g++" -O2 "$WORK/smoke.cpp" -o "$WORK/smoke"
qemu-mipsel -cpu 24Kc -L "$SYS" "$WORK/smoke" || { echo "the runtime's smoke test failed: $?" >&2; exit 1; }
rm -f "$WORK/smoke" "$WORK/smoke.cpp"

stage "check: no FPU instruction in any runtime library"
if [ "$libc" = musl ]; then libs=("$SYS/usr/lib/libc.so"); else libs=("$SYS"/lib/{ld.so.1,libc.so.6,libm.so.6}); fi
"$here/fpu-count.sh" "${libs[@]}" "$SYS/lib/libgcc_s.so.1" "$SYS/usr/lib/libstdc++.so.6" \
  "$SYS/usr/lib/libjsoncpp.so" "$SYS/usr/lib/libgtest.a" | tee "$WORK/fpu-check.txt" >&2

# Sources and builds are not needed any more; the cache keeps the runtime only.
rm -rf "$WORK/dl" "$GSRC" "${MSRC:-}" "${LSRC:-}" "$JSRC" "$WORK/gcc-build" "$WORK/glibc-build" \
  "$WORK/build-jsoncpp" "$WORK/build-gtest" "$WORK/dummy" "$WORK/unused"
rm -rf "$ROOT"
mv "$WORK" "$ROOT"
driver_file "$ROOT"
echo "$((SECONDS - t0))" > "$ROOT/build-seconds"
touch "$ROOT/.complete"
stage "done in $((SECONDS - t0)) s ($ROOT)"
echo "$ROOT"
