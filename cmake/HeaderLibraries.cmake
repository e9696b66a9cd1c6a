# Three header-only libraries from Debian, for the command-line tool: CLI11
# (arguments), nlohmann-json (JSON Lines) and toml++ (station profiles). Both
# builds see only these folders, through links in the build tree, never the host's whole
# /usr/include: the Windows build must not pick up Linux headers.
set(UF_HEADER_LIBRARY_ROOT "/usr/include" CACHE PATH
    "Where the CLI/, nlohmann/ and toml++/ header folders are installed")
set(uf_header_links "${CMAKE_BINARY_DIR}/header-libraries")
file(MAKE_DIRECTORY "${uf_header_links}")
foreach(folder CLI nlohmann toml++)
  if(NOT EXISTS "${UF_HEADER_LIBRARY_ROOT}/${folder}")
    message(FATAL_ERROR "${UF_HEADER_LIBRARY_ROOT}/${folder} is missing: "
                        "tools/install-deps.sh installs libcli11-dev, nlohmann-json3-dev and "
                        "libtomlplusplus-dev")
  endif()
  file(CREATE_LINK "${UF_HEADER_LIBRARY_ROOT}/${folder}" "${uf_header_links}/${folder}" SYMBOLIC)
endforeach()

add_library(uf_cli11 INTERFACE)
target_include_directories(uf_cli11 SYSTEM INTERFACE "${uf_header_links}")
add_library(uf_json INTERFACE)
target_include_directories(uf_json SYSTEM INTERFACE "${uf_header_links}")
add_library(uf_toml INTERFACE)
target_include_directories(uf_toml SYSTEM INTERFACE "${uf_header_links}")
