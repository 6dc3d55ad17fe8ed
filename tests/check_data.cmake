# Fails if LIB defines writable data of its own: every symbol in .data or .bss
# must be one that the compiler, linker or standard library put there.
find_program(NM NAMES nm REQUIRED)
execute_process(COMMAND ${NM} -C --defined-only ${LIB} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${syms}")
# The compiler's own: virtual tables and type information (read-only once
# relocated), and what the linker and the start files bring. GCC's crtbeginS.o
# on a C library other than glibc registers unwind frames itself and brings
# its "object.N" buffer.
set(allowed "^(DW\\.ref\\..*|_DYNAMIC|_GLOBAL_OFFSET_TABLE_|_gp|std::__ioinit|__TMC_END__|.*_array_entry|__dso_handle|completed\\.[0-9]+|object\\.[0-9]+|(vtable|typeinfo|typeinfo name) for .*)$")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-f]+ [bBdDgGsS] (.*)$")
    set(name "${CMAKE_MATCH_1}")
    math(EXPR count "${count} + 1")
    if(NOT name MATCHES "${allowed}")
      message(FATAL_ERROR "${LIB} defines writable data: ${name}")
    endif()
  endif()
endforeach()
message(STATUS "${count} writable symbols, all the toolchain's own")
