# Builds against the oldest runtime the glibc builds must load on:
# bullseye's (glibc 2.31, libstdc++ and libgcc_s of GCC 10.2.1), made by
# scripts/baseline-runtime.sh CPU ABI. Debian's GCC 12 compiles with its own
# C++ headers and bullseye's C headers, and links bullseye's libc, libm,
# libstdc++.so.6 and libgcc_s.so.1, so a symbol version newer than
# bullseye's cannot be imported; programs built here run on that runtime,
# with bullseye's own loader (x86_64) or under qemu-mipsel with it as root.
#   cmake -S . -B build-bullseye-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/baseline.cmake \
#         -DVX40_BASELINE_CPU=x86_64 -DVX40_BASELINE_RUNTIME=$(scripts/baseline-runtime.sh x86_64 cxx11 | tail -n1)
set(VX40_BASELINE_RUNTIME "" CACHE PATH "the runtime's folder (scripts/baseline-runtime.sh)")
set(VX40_BASELINE_CPU "" CACHE STRING "x86_64 or mipsel")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX40_BASELINE_RUNTIME VX40_BASELINE_CPU)
if(NOT VX40_BASELINE_RUNTIME OR NOT VX40_BASELINE_CPU MATCHES "^(x86_64|mipsel)$")
  message(FATAL_ERROR "set VX40_BASELINE_RUNTIME and VX40_BASELINE_CPU (x86_64 or mipsel)")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VX40_BASELINE_CPU})
set(CMAKE_SYSROOT ${VX40_BASELINE_RUNTIME}/sysroot)
set(VX40_LIBC glibc)
if(VX40_BASELINE_CPU STREQUAL "x86_64")
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
  # The target's root is the sysroot itself.
  set(VX40_TARGET_ROOT ${CMAKE_SYSROOT})
  set(_lib ${CMAKE_SYSROOT}/usr/lib/x86_64-linux-gnu)
  set(VX40_LOADER /lib64/ld-linux-x86-64.so.2)
  # Bullseye's loader, told every folder of the runtime (JsonCpp and
  # GoogleTest are in usr/lib) and not to read the build machine's cache.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SYSROOT}/lib64/ld-linux-x86-64.so.2 --inhibit-cache --library-path
      ${CMAKE_SYSROOT}/lib/x86_64-linux-gnu:${_lib}:${CMAKE_SYSROOT}/usr/lib)
else()
  set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
  set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
  # Debian's cross layout: the target's root is usr/mipsel-linux-gnu. The
  # cross compiler finds its C headers beside itself, not in a sysroot, so
  # every header folder is named.
  set(VX40_TARGET_ROOT ${CMAKE_SYSROOT}/usr/mipsel-linux-gnu)
  set(_lib ${VX40_TARGET_ROOT}/lib)
  set(VX40_LOADER /lib/ld.so.1)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include OUTPUT_VARIABLE _gccinc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion OUTPUT_VARIABLE _gccver
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_cxxinc /usr/mipsel-linux-gnu/include/c++/${_gccver})
  set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${_gccinc} -isystem ${VX40_TARGET_ROOT}/include")
  set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${_cxxinc} -isystem ${_cxxinc}/mipsel-linux-gnu \
-isystem ${_cxxinc}/backward -isystem ${_gccinc} -isystem ${VX40_TARGET_ROOT}/include")
  set(CMAKE_FIND_ROOT_PATH ${VX40_TARGET_ROOT})
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${VX40_TARGET_ROOT})
endif()
# The runtime's own folder first, for start files and libraries alike. What
# GCC 12's headers call beyond GCC 10's libstdc++ comes from a static archive
# of the runtime's (cmake/baseline_compat.cpp), taken only where it is called
# and never exported.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT
      "-B${_lib}/ -Wl,-rpath-link,${_lib} -Wl,--exclude-libs,libvx40_baseline_compat.a")
endforeach()
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT ${_lib}/libvx40_baseline_compat.a)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
