# The release artifact of vx40.so for the architecture being built:
#   release/lib/vx40.so                          stripped
#   release/lib/debug/.build-id/NN/REST.debug    its debug information, found by build-id
#   release/share/vx40/manifest.json             version, revision, flavour, compiler, flags,
#                                                float ABI, C library and loader, string ABI,
#                                                sha256, size, NEEDED, exports, the newest
#                                                symbol version imported of each library
# `cmake --install` lays these out under the prefix; `cpack` makes a tarball
# of them (vx40-VERSION-FLAVOUR.tar.gz).
#
# Reproducible: source and build paths are mapped away from everything the
# compiler writes, and nothing carries a time stamp, so two clean builds of
# one revision give the same bytes (scripts/reproducible.sh checks it).
target_compile_options(vx40 PRIVATE -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
target_link_options(vx40 PRIVATE -Wl,--build-id=sha1)

find_package(Git QUIET)
# The flavour: CPU, float ABI, C library and string ABI, as the tarball's name
# gives them (vx40-VERSION-FLAVOUR.tar.gz): x86_64-glibc, mipsel-glibc,
# mipsel-softfloat-musl, mipsel-softfloat-glibc, each glibc one also -oldabi.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <features.h>\n#ifndef __GLIBC__\n#error not glibc\n#endif\nint main() {}"
                          VX40_LIBC_IS_GLIBC)
if(VX40_LIBC_IS_GLIBC)
  set(VX40_RELEASE_LIBC glibc)
else()
  set(VX40_RELEASE_LIBC musl)
endif()
set(VX40_RELEASE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
if(CMAKE_CXX_FLAGS MATCHES "-msoft-float")
  set(VX40_RELEASE_ARCH ${CMAKE_SYSTEM_PROCESSOR}-softfloat)
endif()
set(VX40_RELEASE_ARCH ${VX40_RELEASE_ARCH}-${VX40_RELEASE_LIBC})
set(VX40_RELEASE_STRING_ABI cxx11)
if(NOT VX40_CXX11_ABI)
  set(VX40_RELEASE_ARCH ${VX40_RELEASE_ARCH}-oldabi)
  set(VX40_RELEASE_STRING_ABI old)
endif()
# The loader a host of that flavour names.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(VX40_RELEASE_LOADER /lib64/ld-linux-x86-64.so.2)
elseif(VX40_RELEASE_LIBC STREQUAL "musl")
  set(VX40_RELEASE_LOADER /lib/ld-musl-mipsel-sf.so.1)
else()
  set(VX40_RELEASE_LOADER /lib/ld.so.1)
endif()
string(TOUPPER "${CMAKE_BUILD_TYPE}" _type)
set(VX40_RELEASE_FLAGS "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_type}}")
string(STRIP "${VX40_RELEASE_FLAGS}" VX40_RELEASE_FLAGS)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/release/share/vx40/manifest.json
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:vx40> -DOUT=${PROJECT_BINARY_DIR}/release
          -DOBJCOPY=${CMAKE_OBJCOPY} -DSTRIP=${CMAKE_STRIP} -DREADELF=${CMAKE_READELF}
          -DVERSION=${PROJECT_VERSION} -DSOURCE=${PROJECT_SOURCE_DIR} -DGIT=${GIT_EXECUTABLE}
          "-DCOMPILER=${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}"
          "-DFLAGS=${VX40_RELEASE_FLAGS} -fvisibility=hidden -fvisibility-inlines-hidden $<JOIN:$<TARGET_PROPERTY:vx40,COMPILE_OPTIONS>, >"
          "-DLINK_FLAGS=$<JOIN:$<TARGET_PROPERTY:vx40,LINK_OPTIONS>, >" -DARCH=${VX40_RELEASE_ARCH}
          -DLIBC=${VX40_RELEASE_LIBC} -DLOADER=${VX40_RELEASE_LOADER} -DSTRING_ABI=${VX40_RELEASE_STRING_ABI}
          -P ${PROJECT_SOURCE_DIR}/cmake/release_stage.cmake
  DEPENDS vx40 ${PROJECT_SOURCE_DIR}/cmake/release_stage.cmake
  COMMENT "Release files of vx40.so" VERBATIM)
add_custom_target(vx40_release ALL DEPENDS ${PROJECT_BINARY_DIR}/release/share/vx40/manifest.json)

install(DIRECTORY ${PROJECT_BINARY_DIR}/release/ DESTINATION . USE_SOURCE_PERMISSIONS)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME vx40)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vx40-${PROJECT_VERSION}-${VX40_RELEASE_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
