# Fails when a program takes more flash than its section has:
#   cmake -DSIZE=avr-size -DFILE=x.elf -DLIMIT=bytes -P check-size.cmake
# Flash holds the code and the initial values of the data (.text + .data).
execute_process(COMMAND ${SIZE} ${FILE} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SIZE} ${FILE} failed")
endif()
if(NOT out MATCHES "\n[ \t]*([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)")
  message(FATAL_ERROR "cannot read the output of ${SIZE}:\n${out}")
endif()
math(EXPR flash "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
get_filename_component(name ${FILE} NAME)
if(flash GREATER LIMIT)
  message(FATAL_ERROR "${name}: ${flash} bytes of flash, more than the ${LIMIT} it may use")
endif()
message(STATUS "${name}: ${flash} of ${LIMIT} bytes of flash, ${CMAKE_MATCH_3} bytes of RAM zeroed")
