# The AVR firmware (firmware/avr/: the bootloader and a sample application)
# is built by a CMake run of its own, with avr-gcc and its own toolchain
# file, so that the host programs keep their compiler and flags. It is left
# out of the Windows build and wherever avr-gcc is missing.
#   UF_HAVE_AVR_FIRMWARE  ON when the firmware is part of this build
#   UF_AVR_FIRMWARE_DIR   the folder of the built .elf, .hex and .bin files
#   uf-avr-firmware       the target that builds them
set(UF_HAVE_AVR_FIRMWARE OFF CACHE INTERNAL "The AVR firmware is part of this build")
set(UF_AVR_FIRMWARE_DIR "${PROJECT_BINARY_DIR}/firmware/avr" CACHE INTERNAL
    "Folder of the built AVR firmware")

if(WIN32)
  message(STATUS "AVR firmware: not built for Windows")
  return()
endif()
find_program(UF_AVR_GCC avr-gcc)
if(NOT UF_AVR_GCC)
  message(STATUS "AVR firmware: avr-gcc not found, not built (tools/install-deps.sh test installs it)")
  return()
endif()

include(ExternalProject)
set(uf_avr_outputs)
foreach(file uf-bootloader.elf uf-bootloader.hex uf-bootloader-polling.elf
             uf-sample-app.elf uf-sample-app.hex uf-sample-app.bin)
  list(APPEND uf_avr_outputs ${UF_AVR_FIRMWARE_DIR}/${file})
endforeach()
ExternalProject_Add(uf-avr-firmware
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/firmware/avr
  BINARY_DIR ${UF_AVR_FIRMWARE_DIR}
  PREFIX ${PROJECT_BINARY_DIR}/firmware/avr-external
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/firmware/avr/toolchain-avr.cmake
             -DCMAKE_BUILD_TYPE=MinSizeRel
             -DUF_APP_VERSION=${PROJECT_VERSION}
  # Its own build decides what is out of date.
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${uf_avr_outputs})
set(UF_HAVE_AVR_FIRMWARE ON CACHE INTERNAL "The AVR firmware is part of this build")
