# libFuzzer targets, one per parser that reads what a user or another
# process hands in. Only in a clang build configured with UF_FUZZ=ON
# (tools/fuzz.sh): every library is built with the fuzzer's coverage and
# the sanitizers, and the targets link libFuzzer's main.
set(uf_fuzz_dir "${PROJECT_SOURCE_DIR}/tests/fuzz")
function(uf_add_fuzzer name)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} "${uf_fuzz_dir}/${name}.cpp")
  uf_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY UF_FUZZ_TARGETS ${name})
endfunction()

uf_add_fuzzer(fuzz_image LIBS uf_image)
uf_add_fuzzer(fuzz_reset_sequence LIBS uf_protocol uf_serial uf_delay)
uf_add_fuzzer(fuzz_port_words LIBS uf_cli)
uf_add_fuzzer(fuzz_sysfs_identity LIBS uf_port_identity)
uf_add_fuzzer(fuzz_wire_record LIBS uf_cli)

get_property(uf_fuzz_targets GLOBAL PROPERTY UF_FUZZ_TARGETS)
add_custom_target(fuzzers DEPENDS ${uf_fuzz_targets})
