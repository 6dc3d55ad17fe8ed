# Cross build for the controller: 32-bit little-endian MIPS, soft-float.
# Give the compiler prefix and the sysroot, the controller SDK's own or the
# soft-float runtime that scripts/softfloat-runtime.sh builds from Debian's
# sources (its prefix is RUNTIME/bin/mipsel-linux-musl-, its sysroot
# RUNTIME/sysroot):
#   cmake -S . -B build-sdk -DCMAKE_TOOLCHAIN_FILE=cmake/mips-sdk-softfloat.cmake \
#         -DVX40_SDK_PREFIX=/opt/sdk/bin/mipsel-linux- -DVX40_SDK_SYSROOT=/opt/sdk/sysroot
# The sysroot must hold the JsonCpp and Boost headers (and GoogleTest for the
# tests). Programs built for the target run under qemu-mipsel on a 24Kc, a
# core without an FPU, so that any hard-float instruction traps.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(VX40_SDK_PREFIX "" CACHE STRING "compiler prefix, e.g. /opt/sdk/bin/mipsel-linux-")
set(VX40_SDK_SYSROOT "" CACHE PATH "the SDK's sysroot")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX40_SDK_PREFIX VX40_SDK_SYSROOT)
if(NOT VX40_SDK_PREFIX OR NOT VX40_SDK_SYSROOT)
  message(FATAL_ERROR "set VX40_SDK_PREFIX and VX40_SDK_SYSROOT")
endif()
set(CMAKE_C_COMPILER ${VX40_SDK_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${VX40_SDK_PREFIX}g++)
set(CMAKE_SYSROOT ${VX40_SDK_SYSROOT})
set(CMAKE_C_FLAGS_INIT "-EL -msoft-float")
set(CMAKE_CXX_FLAGS_INIT "-EL -msoft-float")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(VX40_QEMU_MIPSEL qemu-mipsel)
if(VX40_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VX40_QEMU_MIPSEL} -cpu 24Kc -L ${VX40_SDK_SYSROOT})
endif()
