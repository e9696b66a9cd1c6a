# GoogleTest: Debian ships the built library for the native build; the
# Windows build compiles it from the shipped sources with the cross compiler.
if(WIN32)
  if(NOT TARGET gtest)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(UF_GTEST_LIBS gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(UF_GTEST_LIBS GTest::gtest GTest::gtest_main)
endif()

# Scripts the tests run with; absolute paths so test folders need not know
# where they are.
set(UF_TEST_SCRIPTS "${PROJECT_SOURCE_DIR}/tests/scripts")

# Programs the tests run, besides the test programs themselves: warnings on,
# and on Windows a console program, so that it prints to the terminal.
#   uf_add_test_program(NAME SOURCES a.cpp ... [LIBS lib ...])
function(uf_add_test_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  uf_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(WIN32)
    target_link_options(${name} PRIVATE -mconsole)
  endif()
endfunction()

# One CTest entry whose driver is not a GoogleTest program of this build: a
# Python script (PYTHON), or a program of the native build run against this
# one's (COMMAND). TIMEOUT defaults to 120 seconds.
#   uf_add_driver_test(NAME PYTHON script.py [args ...] | COMMAND program [args ...]
#                      [LABELS l ...] [TIMEOUT s] [ENVIRONMENT K=V ...] [RESOURCE_LOCK r])
set(UF_TEST_ONE_VALUE TIMEOUT RESOURCE_LOCK)
set(UF_TEST_MULTI_VALUE LABELS ENVIRONMENT)
find_program(UF_PYTHON3 python3)
function(uf_add_driver_test name)
  cmake_parse_arguments(ARG "" "${UF_TEST_ONE_VALUE}" "PYTHON;COMMAND;${UF_TEST_MULTI_VALUE}"
                        ${ARGN})
  if(ARG_PYTHON)
    if(NOT UF_PYTHON3)
      message(STATUS "${name} off: needs python3")
      return()
    endif()
    set(ARG_COMMAND ${UF_PYTHON3} ${ARG_PYTHON})
  endif()
  add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  foreach(property LABELS ENVIRONMENT RESOURCE_LOCK)
    if(ARG_${property})
      set_tests_properties(${name} PROPERTIES ${property} "${ARG_${property}}")
    endif()
  endforeach()
endfunction()

# One GoogleTest program, one CTest entry; the same options as above.
#   uf_add_gtest(NAME SOURCES a.cpp ... LIBS lib ...
#                [LAUNCHER cmd args ...]  run it through this instead of
#                                         CMAKE_CROSSCOMPILING_EMULATOR (Wine)
#                [LABELS l ...] [TIMEOUT s] [ENVIRONMENT K=V ...] [RESOURCE_LOCK r])
function(uf_add_gtest name)
  cmake_parse_arguments(ARG "" "${UF_TEST_ONE_VALUE}" "SOURCES;LIBS;LAUNCHER;${UF_TEST_MULTI_VALUE}"
                        ${ARGN})
  uf_add_test_program(${name} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS} ${UF_GTEST_LIBS})
  # A bare target name gets the emulator; a path given to a launcher does not.
  set(command ${name})
  if(ARG_LAUNCHER)
    set(command ${ARG_LAUNCHER} $<TARGET_FILE:${name}>)
  endif()
  uf_add_driver_test(${name} COMMAND ${command} TIMEOUT "${ARG_TIMEOUT}"
                     RESOURCE_LOCK "${ARG_RESOURCE_LOCK}" LABELS ${ARG_LABELS}
                     ENVIRONMENT ${ARG_ENVIRONMENT})
endfunction()

# Tests of the Windows build need native helpers (a pseudo-terminal can only
# be made on the Linux side, and Wine reaches it through a dosdevices link).
# They come from the native build, which the test script builds first.
if(WIN32)
  set(UF_HOST_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH
      "Native build whose tools the Windows tests use")
  set(UF_WINE_RUN "${PROJECT_SOURCE_DIR}/tests/scripts/wine-run.sh")
  set(UF_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  # The Wine GUI tests keep a prefix of their own: Wine's desktop process
  # stays tied to the X server of the program that started it. One private
  # X server and one Wine desktop at a time (RESOURCE_LOCK uf_wine_gui).
  set(UF_WINE_GUI_ENV
      UF_WINE_RUN=${UF_WINE_RUN}
      UF_WINEPREFIX_GUI=${UF_WINEPREFIX}-gui
      UF_XCLOSE=${UF_HOST_BUILD_DIR}/tests/gui/xclose)
endif()

# The GUI tests drive a private X server from outside.
find_program(UF_XVFB Xvfb)
find_program(UF_XDOTOOL xdotool)
# In the sanitizer build, the font and X libraries' own leaks at exit would
# fail every GUI program.
set(UF_GUI_LSAN_ENV "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/gui/lsan.supp")
