# Fails when an object compiled for a wider instruction set (a source named *_avx2.cpp,
# *_avx512.cpp or *_neon.cpp) defines a weak symbol: the linker may keep that copy of an inline
# function or template for callers on every CPU, which then stop with an illegal instruction.
# Run as: cmake -DNM=<nm> -DOBJECTS=<objects separated by |> -P check_isa_symbols.cmake
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object IN LISTS objects)
  if(NOT object MATCHES "_(avx2|avx512|neon)\\.cpp\\.o(bj)?$")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND "${NM}" --defined-only "${object}" OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    # W, V: weak; u: unique global; i: indirect function. DW.ref.* only points at the
    # exception-handling personality routine, which is no code of ours.
    if(line MATCHES " [WVui] " AND NOT line MATCHES " DW\\.ref\\.")
      message(SEND_ERROR "${object} defines a weak symbol: ${line}")
    endif()
  endforeach()
endforeach()
message(STATUS "checked ${checked} instruction-set objects")
