// USB identities on Linux and other systems with sysfs.
#if defined(_WIN32)
#error "port_identity_posix.cpp is the POSIX side of the USB identity"
#endif

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "serial/port_names.h"
#include "update/port_identity.h"

UsbIdentity FindUsbIdentity(const std::string& name, const std::string& sysfs_root) {
  const std::string device = SerialDevicePathForName(name.c_str());
  if (device.empty()) return UsbIdentity{};
  return UsbIdentityFromSysfs(sysfs_root, device);
}

DeviceKey FindDeviceKey(const std::string& name, const std::string& sysfs_root) {
  const std::string path = SerialDevicePathForName(name.c_str());
  struct stat node {};
  // A plain file or a directory under a port's name is no board: no key, so
  // that the caller does not take it for one.
  if (path.empty() || stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return DeviceKey{};
  DeviceKey key;
  key.device = std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
  const UsbIdentity usb = UsbIdentityFromSysfs(sysfs_root, path);
  key.usb = usb.serial.empty() ? usb.location : usb.serial;
  return key;
}
