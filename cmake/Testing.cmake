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

# uf_add_gtest(NAME SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [TIMEOUT s])
# One test program, one CTest entry. On Windows it runs under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR.
function(uf_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  uf_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${UF_GTEST_LIBS})
  if(WIN32)
    # A console program: the tests print to the terminal.
    target_link_options(${name} PRIVATE -mconsole)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# Tests of the Windows build need native helpers (a pseudo-terminal can only
# be made on the Linux side, and Wine reaches it through a dosdevices link).
# They come from the native build, which the test script builds first.
if(WIN32)
  set(UF_HOST_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH
      "Native build whose tools the Windows tests use")
  set(UF_WINE_RUN "${PROJECT_SOURCE_DIR}/tests/scripts/wine-run.sh")
  set(UF_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
