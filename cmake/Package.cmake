# CPack: a .deb from the Linux build, a zip from the Windows build. Both are
# made from the install rules of cmake/Install.cmake; tools/package.sh builds
# them into build/packages/.
set(CPACK_PACKAGE_NAME update-firmware)
set(CPACK_PACKAGE_VENDOR "update-firmware developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${UF_HOMEPAGE}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The zip unpacks into one folder named after it, not into the user's
  # download folder.
  set(CPACK_PACKAGE_FILE_NAME "update-firmware-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  # The prefix the install rules were configured for (CMakePresets.json):
  # the station unit names /usr/bin/update-firmware-cli.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UF_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Computed from the programs by dpkg-shlibdeps, so that a new library or
  # another distribution release cannot leave the field stale.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  # The first line of the text is the package's summary; CPack indents the
  # rest for the control file.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"load firmware into a device over a serial port
Firmware updates for devices with a serial bootloader: pick the port (COM1
to COM16, mapped to /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*), pick the
image file, press UPDATE! and read one message that tells whether the device
took it. The image goes to the device at 9600 baud.

The package holds the window program update-firmware, found in the menu as
Update firmware; update-firmware-cli, the same update from the command line
for scripts and production lines, with an exit code per outcome; and
update-firmware-sim, a simulated device on a pseudo-terminal to try both
without hardware. In /usr/share/update-firmware/firmware: a reference
bootloader for the ATmega328P, a sample application and how to put them on
a board.")
endif()

include(CPack)
