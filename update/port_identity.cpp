// USB identities: the portable parsing of what sysfs and SetupAPI report.
#include "update/port_identity.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute file, without its line end; empty
// when there is no such file.
std::string Attribute(const fs::path& dir, const char* name) {
  std::ifstream in(dir / name);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
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

}  // namespace

UsbIdentity UsbIdentityFromSysfs(const std::string& sysfs_root, const std::string& device_path) {
  UsbIdentity id;
  std::error_code error;
  // A link such as /dev/serial/by-id/... names the node it leads to.
  fs::path node = fs::canonical(device_path, error);
  if (error) node = device_path;
  const std::string tty = node.filename().string();
  if (tty.empty()) return id;

  const fs::path root = fs::path(sysfs_root);
  fs::path dir = fs::canonical(root / "class" / "tty" / tty / "device", error);
  if (error) return id;
  const fs::path top = fs::canonical(root, error);
  if (error) return id;
  // Up from the tty's device (the USB interface, or a directory below it)
  // to the USB device, without leaving the tree.
  for (; !dir.empty() && dir != top && dir != dir.parent_path(); dir = dir.parent_path()) {
    const std::string vendor = Attribute(dir, "idVendor");
    const std::string product = Attribute(dir, "idProduct");
    if (vendor.empty() || product.empty()) continue;
    if (!IsHex4(vendor) || !IsHex4(product)) return id;
    id.vendor_id = Lower(vendor);
    id.product_id = Lower(product);
    id.manufacturer = Attribute(dir, "manufacturer");
    id.product = Attribute(dir, "product");
    id.serial = Attribute(dir, "serial");
    return id;
  }
  return id;
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

std::string UsbIdentityText(const UsbIdentity& id) {
  if (!id.IsUsb()) return std::string();
  std::string text = id.vendor_id + ":" + id.product_id;
  if (!id.manufacturer.empty()) text += " " + id.manufacturer;
  if (!id.product.empty()) text += " " + id.product;
  if (!id.serial.empty()) text += " sn " + id.serial;
  return text;
}
