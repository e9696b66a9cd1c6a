// A sysfs tree shaped like a real machine's, for the USB identity lookup:
// class/tty/<name> links into devices/, and the tty's `device` link leads to
// the USB interface (CDC-ACM) or to the usb-serial port below it (FTDI,
// CP210x, CH340); the USB device directory above holds idVendor, idProduct
// and the strings the adapter reports.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace sysfs_fixture {

namespace fs = std::filesystem;

inline void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

// A USB device at bus port `usb_port` ("1-1") of root hub usb1.
inline fs::path UsbDevice(const fs::path& root, const std::string& usb_port, const std::string& vid,
                          const std::string& pid, const std::string& manufacturer,
                          const std::string& product, const std::string& serial) {
  const fs::path hub = root / "devices/pci0000:00/0000:00:14.0/usb1";
  Write(hub / "idVendor", "1d6b");  // the root hub: not what we look for
  Write(hub / "idProduct", "0002");
  const fs::path dev = hub / usb_port;
  Write(dev / "idVendor", vid);
  Write(dev / "idProduct", pid);
  if (!manufacturer.empty()) Write(dev / "manufacturer", manufacturer);
  if (!product.empty()) Write(dev / "product", product);
  if (!serial.empty()) Write(dev / "serial", serial);
  return dev;
}

// class/tty/<tty> for a tty whose device directory is `device_dir`.
inline void Tty(const fs::path& root, const std::string& tty, const fs::path& device_dir) {
  const fs::path class_dir = device_dir / "tty" / tty;
  fs::create_directories(class_dir);
  fs::create_directories(root / "class/tty");
  fs::create_directory_symlink(fs::relative(class_dir, root / "class/tty"), root / "class/tty" / tty);
  fs::create_directory_symlink(fs::relative(device_dir, class_dir), class_dir / "device");
}

// A usb-serial adapter (FTDI, CP210x, CH340): the tty hangs below the
// interface, in a directory of its own name.
inline void UsbSerialAdapter(const fs::path& root, const std::string& tty,
                             const std::string& usb_port, const std::string& vid,
                             const std::string& pid, const std::string& manufacturer,
                             const std::string& product, const std::string& serial) {
  const fs::path dev = UsbDevice(root, usb_port, vid, pid, manufacturer, product, serial);
  const fs::path port = dev / (usb_port + ":1.0") / tty;
  Write(dev / (usb_port + ":1.0") / "bInterfaceClass", "ff");
  Tty(root, tty, port);
}

// bus/usb/devices/<usb_port>, the link by which the bus lists a device.
inline void ListOnBus(const fs::path& root, const std::string& usb_port) {
  const fs::path bus = root / "bus/usb/devices";
  fs::create_directories(bus);
  fs::create_directory_symlink(
      fs::relative(root / "devices/pci0000:00/0000:00:14.0/usb1" / usb_port, bus), bus / usb_port);
}

}  // namespace sysfs_fixture
