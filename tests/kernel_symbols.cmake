# Fails when an object file of a target's kernels defines a shared (weak) function that is
# not that target's own. Such a function, an inline one from a header, is compiled there with
# the target's instructions, and the linker may keep that copy for every caller in the
# program, which would then fault on processors without them. Only data the compiler shares
# for exception handling (DW.ref.*) is allowed.
# Usage: cmake -DNM=nm -DTARGET=avx2 -DOBJECTS="a.o;b.o" -P kernel_symbols.cmake
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND "${NM}" --defined-only --demangle "${object}"
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* [WwVvu] (.*)$")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "simd::${TARGET}::" AND NOT name MATCHES "^DW\\.ref\\.")
        message(SEND_ERROR "${object} shares a function compiled for ${TARGET}: ${name}")
      endif()
    endif()
  endforeach()
endforeach()
