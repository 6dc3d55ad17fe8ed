# Cross build for the controller's own SDK: 32-bit little-endian MIPS,
# soft-float. Give the SDK's compiler prefix and sysroot:
#   cmake -S . -B build-sdk -DCMAKE_TOOLCHAIN_FILE=cmake/mips-sdk-softfloat.cmake \
#         -DVX40_SDK_PREFIX=/opt/sdk/bin/mipsel-openwrt-linux- -DVX40_SDK_SYSROOT=/opt/sdk/sysroot \
#         -DVX40_TESTS=OFF -DVX40_BENCH=OFF
# The SDK's sysroot must hold the JsonCpp and Boost headers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(VX40_SDK_PREFIX "" CACHE STRING "compiler prefix, e.g. /opt/sdk/bin/mipsel-linux-")
set(VX40_SDK_SYSROOT "" CACHE PATH "the SDK's sysroot")
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
