// Where Linux looks for the other holders of a serial device (see OpenPort's
// notes in serial.h): the process tree and the UUCP lock folders. The open,
// the probe, PortHolder and `doctor` all take them from here, so that a port
// one calls busy the other does not call free. Windows cannot say who holds
// a port and reads none of them.
#pragma once

#include <string>
#include <vector>

struct HolderRoots {
  std::string proc = "/proc";
  std::vector<std::string> lock_dirs = {"/var/lock", "/run/lock"};
};

// The defaults, with UPDATE_FIRMWARE_PROC (a directory) and
// UPDATE_FIRMWARE_LOCKDIRS (directories separated by ':') in their place
// when set and not empty.
HolderRoots HolderRootsFromEnvironment();
