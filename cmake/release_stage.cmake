# Stages the release files of LIB into OUT (see cmake/release.cmake).
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/lib ${OUT}/share/vx40)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Build-id: the debug file's name under .build-id/.
run(${READELF} -n ${LIB})
if(NOT out MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${LIB} has no build-id")
endif()
set(debug_dir ${OUT}/lib/debug/.build-id/${CMAKE_MATCH_1})
set(debug_file ${debug_dir}/${CMAKE_MATCH_2}.debug)
file(MAKE_DIRECTORY ${debug_dir})
run(${OBJCOPY} --only-keep-debug ${LIB} ${debug_file})
run(${STRIP} --strip-all -R .comment -o ${OUT}/lib/vx40.so ${LIB})

# Facts of the shipped file.
file(SHA256 ${OUT}/lib/vx40.so sha256)
file(SIZE ${OUT}/lib/vx40.so size)
run(${READELF} -d ${OUT}/lib/vx40.so)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed_raw "${out}")
set(needed "")
foreach(n IN LISTS needed_raw)
  string(REGEX REPLACE "Shared library: \\[([^]]+)\\]" "\"\\1\"" n "${n}")
  list(APPEND needed "${n}")
endforeach()
list(JOIN needed ", " needed)
run(${READELF} --dyn-syms -W ${OUT}/lib/vx40.so)
string(REPLACE "\n" ";" lines "${out}")
set(exports "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +[A-Z_]+ +(GLOBAL|WEAK) +[A-Z_]+ +([0-9]+) +([^ @]+)")
    list(APPEND exports "\"${CMAKE_MATCH_3}\"")
  endif()
endforeach()
list(SORT exports)
list(JOIN exports ", " exports)
run(${READELF} -h -A ${OUT}/lib/vx40.so)
if(out MATCHES "FP ABI: ([^\n]+)")
  set(float_abi "${CMAKE_MATCH_1}")
elseif(out MATCHES "Flags: +[^\n]*soft-float")
  set(float_abi "soft-float")
else()
  set(float_abi "hardware (the architecture's own)")
endif()
set(revision "unknown")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE} rev-parse HEAD OUTPUT_VARIABLE revision
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(revision "unknown")
  endif()
endif()
# The newest symbol version imported from each run-time library: what the
# runtime must have at least.
run(${READELF} -V ${OUT}/lib/vx40.so)
string(REGEX MATCHALL "Name: [A-Z_]+_[0-9.]+" versions_raw "${out}")
set(newest "")
foreach(family GLIBC GLIBCXX CXXABI GCC)
  set(best "")
  foreach(v IN LISTS versions_raw)
    if(v MATCHES "^Name: ${family}_([0-9.]+)$")
      if(best STREQUAL "" OR CMAKE_MATCH_1 VERSION_GREATER best)
        set(best ${CMAKE_MATCH_1})
      endif()
    endif()
  endforeach()
  if(NOT best STREQUAL "")
    list(APPEND newest "\"${family}\": \"${family}_${best}\"")
  endif()
endforeach()
list(JOIN newest ", " newest)
string(REPLACE "\"" "\\\"" flags "${FLAGS}")
string(REPLACE "\"" "\\\"" link_flags "${LINK_FLAGS}")
file(WRITE ${OUT}/share/vx40/manifest.json "{
  \"name\": \"vx40.so\",
  \"version\": \"${VERSION}\",
  \"revision\": \"${revision}\",
  \"architecture\": \"${ARCH}\",
  \"flavour\": \"${ARCH}\",
  \"libc\": \"${LIBC}\",
  \"loader\": \"${LOADER}\",
  \"string_abi\": \"${STRING_ABI}\",
  \"compiler\": \"${COMPILER}\",
  \"flags\": \"${flags}\",
  \"link_flags\": \"${link_flags}\",
  \"float_abi\": \"${float_abi}\",
  \"sha256\": \"${sha256}\",
  \"size\": ${size},
  \"needed\": [${needed}],
  \"exports\": [${exports}],
  \"newest_imports\": {${newest}}
}
")
