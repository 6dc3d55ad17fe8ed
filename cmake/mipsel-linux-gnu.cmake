# Cross build for 32-bit little-endian MIPS (o32) with Debian's
# g++-mipsel-linux-gnu. JsonCpp and GoogleTest for mipsel come from a
# build-local sysroot (VX40_MIPSEL_SYSROOT, made by scripts/mipsel-sysroot.sh);
# programs run under qemu-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(VX40_MIPSEL_SYSROOT "" CACHE PATH "Folder with the mipsel packages unpacked")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX40_MIPSEL_SYSROOT)
if(NOT VX40_MIPSEL_SYSROOT)
  message(FATAL_ERROR "set VX40_MIPSEL_SYSROOT (see scripts/mipsel-sysroot.sh)")
endif()
set(_lib ${VX40_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu)

set(CMAKE_FIND_ROOT_PATH ${VX40_MIPSEL_SYSROOT} /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Boost's headers are the same for every architecture.
set(BOOST_INCLUDE_DIR /usr/include CACHE PATH "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_lib}")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH=${_lib})
