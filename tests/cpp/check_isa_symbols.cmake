# Fails when an object compiled for a vector instruction set defines a weak symbol, or a global one
# whose name does not end in its set's suffix: the linker could pick such a definition (an inline
# function, a template instance) for callers on CPUs that lack the set.
#
#     cmake -D NM=nm -D "OBJECTS=a.o;b_avx2.o" -P check_isa_symbols.cmake
set(checked 0)
set(faults 0)
foreach(object IN LISTS OBJECTS)
  if(NOT object MATCHES "_(avx2|avx512|neon)\\.cpp\\.o$")
    continue()
  endif()
  set(isa "${CMAKE_MATCH_1}")
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND "${NM}" --defined-only -C "${object}" OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    # "address type name"; upper-case types are global, V/W/u weak or unique.
    if(NOT line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) (.*)$")
      continue()
    endif()
    set(type "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    string(REGEX REPLACE "\\(.*$" "" bare_name "${name}")
    # Sanitizer bookkeeping, and the pointer to the C++ exception personality routine (data
    # with the same content in every object), hold no code compiled for the set.
    if(name MATCHES "^__(odr_asan|asan|tsan|ubsan)" OR name MATCHES "^DW\\.ref\\.__gxx_personality_v0$")
      continue()
    endif()
    if(type MATCHES "^[VWvwu]$")
      message(SEND_ERROR "${object}: weak symbol ${name}")
      math(EXPR faults "${faults} + 1")
    elseif(type MATCHES "^[A-Z]$" AND NOT bare_name MATCHES "_${isa}$")
      message(SEND_ERROR "${object}: global symbol ${name} is no entry point for ${isa}")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(STATUS "no vector-kernel objects in this build")
elseif(faults EQUAL 0)
  message(STATUS "${checked} vector-kernel objects define only their entry points")
endif()
