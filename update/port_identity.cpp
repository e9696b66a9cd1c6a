// USB identities: the portable parsing of what sysfs and SetupAPI report.
#include "update/port_identity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// A USB string descriptor is at most 126 characters; a longer attribute is
// no attribute of a USB device, and only its start is read.
constexpr std::streamsize kAttributeLimit = 256;

// The first line of a sysfs attribute file, without its line end; empty
// when there is no such file or it is anything but a plain file. sysfs
// itself makes only plain files, but the root can be any tree, where a FIFO
// would block the open and a link to a device would never end.
std::string Attribute(const fs::path& dir, const char* name) {
  const fs::path file = dir / name;
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(file, error))) return std::string();
  std::ifstream in(file, std::ios::binary);
  char text[kAttributeLimit];
  in.read(text, kAttributeLimit);
  std::string line(text, static_cast<size_t>(in.gcount()));
  line.erase(std::min(line.find('\n'), line.size()));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsHex4(const std::string& text) {
  if (text.size() != 4) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The four hex digits after `key` ("VID_") in `text`, or empty.
std::string HexAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return std::string();
  const std::string digits = text.substr(at + key.size(), 4);
  return IsHex4(digits) ? Lower(digits) : std::string();
}

// The canonical form of `path` when it is `top` or lies below it (`top`
// canonical too); empty when it does not exist or a link leads out of the
// tree, whose root the caller chose for a reason.
fs::path CanonicalWithin(const fs::path& path, const fs::path& top) {
  std::error_code error;
  fs::path real = fs::canonical(path, error);
  if (error || std::mismatch(top.begin(), top.end(), real.begin(), real.end()).first != top.end()) {
    return fs::path();
  }
  return real;
}

// The USB device directory of the tty at `device_path`, or empty.
fs::path UsbDeviceDir(const std::string& sysfs_root, const std::string& device_path) {
  std::error_code error;
  // A link such as /dev/serial/by-id/... names the node it leads to.
  fs::path node = fs::canonical(device_path, error);
  if (error) node = device_path;
  const fs::path tty = node.filename();
  if (tty.empty() || tty == "." || tty == "..") return fs::path();

  const fs::path top = fs::canonical(sysfs_root, error);
  if (error) return fs::path();
  const fs::path class_dir = CanonicalWithin(top / "class" / "tty" / tty, top);
  if (class_dir.empty()) return fs::path();
  // Up from the tty's device (the USB interface, or a directory below it).
  // The first directory with idVendor is the USB device; the ones above are
  // hubs, so one without a valid idProduct leaves the tty unidentified
  // rather than named after its hub.
  for (fs::path dir = CanonicalWithin(class_dir / "device", top); !dir.empty() && dir != top;
       dir = dir.parent_path()) {
    if (!fs::exists(fs::symlink_status(dir / "idVendor", error))) continue;
    const bool valid = IsHex4(Attribute(dir, "idVendor")) && IsHex4(Attribute(dir, "idProduct"));
    return valid ? dir : fs::path();
  }
  return fs::path();
}

}  // namespace

UsbIdentity UsbIdentityFromSysfs(const std::string& sysfs_root, const std::string& device_path) {
  UsbIdentity id;
  const fs::path dir = UsbDeviceDir(sysfs_root, device_path);
  if (dir.empty()) return id;
  id.vendor_id = Lower(Attribute(dir, "idVendor"));
  id.product_id = Lower(Attribute(dir, "idProduct"));
  id.manufacturer = Attribute(dir, "manufacturer");
  id.product = Attribute(dir, "product");
  id.serial = Attribute(dir, "serial");
  id.location = dir.filename().string();
  return id;
}

std::string UsbPlaceFromSysfs(const std::string& sysfs_root, const std::string& device_path) {
  return UsbDeviceDir(sysfs_root, device_path).filename().string();
}

UsbIdentity UsbIdentityFromInstanceId(const std::string& instance_id) {
  UsbIdentity id;
  const std::string upper = [&] {
    std::string u = instance_id;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
  }();
  const bool ftdi_bus = upper.rfind("FTDIBUS\\", 0) == 0;
  const std::string vendor = HexAfter(upper, "VID_");
  const std::string product = HexAfter(upper, ftdi_bus ? "+PID_" : "PID_");
  if (vendor.empty() || product.empty()) return id;
  id.vendor_id = vendor;
  id.product_id = product;

  if (ftdi_bus) {
    // FTDIBUS\VID_0403+PID_6001+<serial><channel>\0000
    const size_t first = instance_id.find('\\');
    const size_t second = instance_id.find('\\', first + 1);
    const std::string middle = instance_id.substr(first + 1, second - first - 1);
    const size_t plus = middle.rfind('+');
    if (plus != std::string::npos && plus + 2 < middle.size()) {
      std::string serial = middle.substr(plus + 1);
      serial.pop_back();  // the channel letter
      id.serial = serial;
    }
    return id;
  }
  // USB\VID_xxxx&PID_xxxx[&MI_nn]\<serial or a made-up ID>
  const size_t last = instance_id.rfind('\\');
  if (last == std::string::npos || last + 1 >= instance_id.size()) return id;
  const std::string tail = instance_id.substr(last + 1);
  const bool interface_of_composite = upper.find("&MI_") != std::string::npos;
  if (tail.find('&') == std::string::npos && !interface_of_composite) id.serial = tail;
  return id;
}

std::string UsbLocationFromSetupApi(const std::string& location_paths,
                                    const std::string& location_information) {
  for (size_t start = 0; start < location_paths.size();) {
    const size_t end = std::min(location_paths.find('\0', start), location_paths.size());
    const std::string path = location_paths.substr(start, end - start);
    if (path.find("#USB(") != std::string::npos) return path.substr(0, path.find("#USBMI("));
    start = end + 1;
  }
  if (location_information.rfind("Port_#", 0) == 0) return location_information;
  return std::string();
}

std::string UsbIdentityText(const UsbIdentity& id) {
  if (!id.IsUsb()) return std::string();
  std::string text = id.vendor_id + ":" + id.product_id;
  if (!id.manufacturer.empty()) text += " " + id.manufacturer;
  if (!id.product.empty()) text += " " + id.product;
  if (!id.serial.empty()) text += " sn " + id.serial;
  return text;
}
