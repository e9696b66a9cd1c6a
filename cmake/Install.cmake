# What `cmake --install` puts where. On Linux the programs, man pages, menu
# entry, icons, AppStream data and documents follow the usual file system
# layout (the .deb is made from it); on Windows the tree is the flat folder
# of the zip.

# The documents go under the package's name, not the CMake project's.
set(CMAKE_INSTALL_DOCDIR "share/doc/update-firmware" CACHE PATH "Documentation (DATAROOTDIR/doc/update-firmware)")
include(GNUInstallDirs)

# Directories made by the install get the same mode whatever the umask of
# whoever builds the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The date of this release is the one of the changelog's top entry, which
# must be this version: the changelog cannot fall behind a version bump.
file(STRINGS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" uf_release_line REGEX "^## " LIMIT_COUNT 1)
if(NOT uf_release_line MATCHES "^## ([0-9.]+) - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
  message(FATAL_ERROR "CHANGELOG.md: the first '## ' line must read '## VERSION - YYYY-MM-DD'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md starts with ${CMAKE_MATCH_1}; the project is ${PROJECT_VERSION}")
endif()
set(UF_RELEASE_DATE "${CMAKE_MATCH_2}")

# Where the project lives on the web, for the package's homepage field and
# the AppStream screenshot (which must be a web address).
set(UF_HOMEPAGE "https://github.com/update-firmware/update-firmware" CACHE STRING
    "Web home of the project")
set(UF_SCREENSHOT_URL
    "https://raw.githubusercontent.com/update-firmware/update-firmware/v${PROJECT_VERSION}/docs/native-mid-update.png"
    CACHE STRING "Web address of the screenshot shown in software centres")
set(UF_PACKAGE_MAINTAINER "update-firmware developers <maintainers@update-firmware.invalid>"
    CACHE STRING "Maintainer of the .deb and its changelog: name <address>")
# AppStream wants a reverse-DNS identifier; the desktop file is named after it.
set(UF_APP_ID "io.github.update_firmware.update_firmware")

set(uf_gen "${PROJECT_BINARY_DIR}/install-files")

if(WIN32)
  if(TARGET update-firmware)
    install(TARGETS update-firmware RUNTIME DESTINATION .)
  endif()
  install(TARGETS update-firmware-cli RUNTIME DESTINATION .)
  # Notepad and friends: Windows line ends.
  configure_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt.in ${uf_gen}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${uf_gen}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${uf_gen}/README.txt ${uf_gen}/LICENSE.txt DESTINATION .)
  return()
endif()

if(TARGET update-firmware)
  install(TARGETS update-firmware RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS update-firmware-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The simulator keeps its short name in the build tree (tests and scripts
# use it); installed, it carries the package's prefix so that it cannot
# clash with another package's program.
if(TARGET bootloader-sim)
  install(PROGRAMS $<TARGET_FILE:bootloader-sim> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME update-firmware-sim)
  # install(PROGRAMS) is not stripped by `--strip` the way targets are.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/update-firmware-sim\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endif()

# Compressed the way Debian wants: gzip -9, no name or time stamp inside.
function(uf_gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
endfunction()

set(uf_man_pages
  app/update-firmware.1
  cli/update-firmware-cli.1
  tools/bootloader-sim/update-firmware-sim.1)
set(uf_install_outputs)
foreach(page IN LISTS uf_man_pages)
  get_filename_component(name ${page} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${page}.in ${uf_gen}/man1/${name} @ONLY)
  uf_gzip_file(${uf_gen}/man1/${name} ${uf_gen}/man1/${name}.gz)
  list(APPEND uf_install_outputs ${uf_gen}/man1/${name}.gz)
  install(FILES ${uf_gen}/man1/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

if(TARGET update-firmware)
  install(FILES ${PROJECT_SOURCE_DIR}/app/update-firmware.desktop
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications RENAME ${UF_APP_ID}.desktop)
  configure_file(${PROJECT_SOURCE_DIR}/app/update-firmware.metainfo.xml.in
                 ${uf_gen}/${UF_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${uf_gen}/${UF_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)

  set(uf_icon ${PROJECT_SOURCE_DIR}/app/update-firmware.svg)
  install(FILES ${uf_icon} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
  # Menus that cannot scale SVG pick a bitmap of their size.
  find_program(UF_RSVG_CONVERT rsvg-convert)
  if(UF_RSVG_CONVERT)
    foreach(size 16 32 48 64 128 256)
      set(png ${uf_gen}/icons/${size}x${size}/update-firmware.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${uf_gen}/icons/${size}x${size}
        COMMAND ${UF_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${uf_icon}
        DEPENDS ${uf_icon} VERBATIM)
      list(APPEND uf_install_outputs ${png})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
  else()
    message(STATUS "rsvg-convert not found: the install has the SVG icon only")
  endif()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A production station as a service (update-firmware-station@NAME) and the
# udev rule that lets the user at the seat open USB serial adapters, where
# systemd and udev read the packages' own files. The unit names the program
# by its installed path: the .deb is built with the prefix /usr.
configure_file(${PROJECT_SOURCE_DIR}/system/update-firmware-station@.service.in
               ${uf_gen}/update-firmware-station@.service @ONLY)
install(FILES ${uf_gen}/update-firmware-station@.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/system/70-update-firmware.rules DESTINATION lib/udev/rules.d)

# The reference bootloader and its sample application, as Intel hex for a
# programmer, with the README that tells how to put them on a board (it
# describes the folder, so it stays beside them). Only a build that made
# them has them (cmake/Firmware.cmake).
if(UF_HAVE_AVR_FIRMWARE)
  install(FILES ${UF_AVR_FIRMWARE_DIR}/uf-bootloader.hex ${UF_AVR_FIRMWARE_DIR}/uf-sample-app.hex
          ${PROJECT_SOURCE_DIR}/firmware/avr/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/update-firmware/firmware)
endif()

# Debian reads changelog.gz of a package that is its own upstream as a
# Debian changelog: CHANGELOG.md in that format, one entry per release.
file(STRINGS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" uf_changelog_lines)
set(uf_debian_changelog "")
set(uf_in_release OFF)
foreach(line IN LISTS uf_changelog_lines)
  if(line MATCHES "^## ([0-9.]+) - ([0-9-]+)$")
    if(uf_in_release)
      string(APPEND uf_debian_changelog "${uf_entry_end}")
    endif()
    set(uf_in_release ON)
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 12:00"
                    OUTPUT_VARIABLE uf_entry_date OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND uf_debian_changelog "update-firmware (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(uf_entry_end "\n -- ${UF_PACKAGE_MAINTAINER}  ${uf_entry_date}\n\n")
  elseif(uf_in_release AND NOT line STREQUAL "")
    # Bullets stay bullets, their continuation lines stay under them, and
    # a plain line becomes a bullet of its own.
    if(line MATCHES "^- ")
      string(REGEX REPLACE "^- " "* " line "${line}")
    elseif(NOT line MATCHES "^  ")
      set(line "* ${line}")
    endif()
    string(REPLACE "`" "" line "${line}")
    string(REPLACE "**" "" line "${line}")
    string(APPEND uf_debian_changelog "  ${line}\n")
  endif()
endforeach()
string(APPEND uf_debian_changelog "${uf_entry_end}")
string(REGEX REPLACE "\n\n$" "\n" uf_debian_changelog "${uf_debian_changelog}")
file(CONFIGURE OUTPUT ${uf_gen}/changelog CONTENT "${uf_debian_changelog}" @ONLY)
uf_gzip_file(${uf_gen}/changelog ${uf_gen}/changelog.gz)
list(APPEND uf_install_outputs ${uf_gen}/changelog.gz)
install(FILES ${uf_gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian's copyright file, machine-readable, with the notice and the licence
# text of LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE uf_license_text)
if(NOT uf_license_text MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: expected 'MIT License', a 'Copyright (c) ...' line and the text")
endif()
set(uf_copyright_holder "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" uf_license_text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " uf_license_text "${uf_license_text}")
file(CONFIGURE OUTPUT ${uf_gen}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: update-firmware
Source: @UF_HOMEPAGE@

Files: *
Copyright: @uf_copyright_holder@
License: Expat

License: Expat
 @uf_license_text@
" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE
             ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
install(FILES ${uf_gen}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

add_custom_target(uf_install_files ALL DEPENDS ${uf_install_outputs})
