#include "cli/ports.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cli/platform.h"
#include "cli/text.h"
#include "serial/port_names.h"
#include "update/update.h"

namespace {

constexpr const char* kSerialPrefix = "sn:";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsHex4(const std::string& text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::string Listing(const std::vector<PresentPort>& ports) {
  if (ports.empty()) return "no port opens";
  std::string text;
  for (const PresentPort& p : ports) text += "\n  " + PresentPortText(p);
  return "the ports that open:" + text;
}

}  // namespace

PortSelector ParsePortSelector(const std::string& word) {
  PortSelector s;
  s.word = word;
  if (Lower(word.substr(0, 3)) == kSerialPrefix) {
    if (word.size() == 3) {
      s.kind = PortSelector::Invalid;
      s.error = "'sn:' needs the adapter's serial number after it";
      return s;
    }
    s.kind = PortSelector::Serial;
    s.serial = word.substr(3);
    return s;
  }
  if (Lower(word.substr(0, 4)) == "loc:") {
    s.kind = word.size() > 4 ? PortSelector::Location : PortSelector::Invalid;
    s.location = word.substr(4);
    if (word.size() == 4) s.error = "'loc:' needs the adapter's place on the bus, e.g. loc:1-2.3";
    return s;
  }
  // A device path may hold a colon; anything else with one was meant as a
  // VID:PID pair, and must not be tried as a port name instead.
  const size_t colon = word.find(':');
  if (colon != std::string::npos && word[0] != '/') {
    if (colon == 4 && word.size() == 9 && IsHex4(word.substr(0, 4)) && IsHex4(word.substr(5))) {
      s.kind = PortSelector::VendorProduct;
      s.vendor = Lower(word.substr(0, 4));
      s.product = Lower(word.substr(5));
      return s;
    }
    s.kind = PortSelector::Invalid;
    s.error = "'" + Printable(word) + "' is not a VID:PID selector: it takes four hex digits on each side "
              "of the colon, as lsusb shows them, e.g. 0403:6001";
    return s;
  }
  if (word.empty()) {
    s.kind = PortSelector::Invalid;
    s.error = "an empty port name";
  } else if (word[0] != '/' && SerialDevicePathForName(word.c_str()).empty()) {
    s.kind = PortSelector::Invalid;
    s.error = Lower(word.substr(0, 3)) == "com"
                  ? "'" + Printable(word) + "' is no port: the names are COM1 to COM16"
                  : "'" + Printable(word) + "' is no port: give a name COM1 to COM16, a device path "
                    "from / such as /dev/ttyUSB0, or a selector";
  }
  return s;
}

bool SelectorMatches(const PortSelector& selector, const PresentPort& port) {
  switch (selector.kind) {
    case PortSelector::Serial:
      // Windows reports serials in capitals; the adapter may not.
      return port.usb.IsUsb() && !port.usb.serial.empty() &&
             Lower(port.usb.serial) == Lower(selector.serial);
    case PortSelector::VendorProduct:
      return port.usb.vendor_id == selector.vendor && port.usb.product_id == selector.product;
    case PortSelector::Location:
      return port.usb.IsUsb() && !port.usb.location.empty() &&
             Lower(port.usb.location) == Lower(selector.location);
    case PortSelector::Name:
    case PortSelector::Invalid:
      break;
  }
  return false;
}

std::string PresentPortText(const PresentPort& port) {
  std::string text = port.name;
  if (!port.device.empty()) text += " " + port.device;
  const std::string usb = UsbIdentityText(port.usb);
  if (!usb.empty()) text += " " + usb;
  if (!port.usb.location.empty()) text += " at " + port.usb.location;
  return Printable(text);
}

bool HasSelector(const std::vector<PortSelector>& selectors) {
  return std::any_of(selectors.begin(), selectors.end(), [](const PortSelector& s) {
    return s.kind == PortSelector::Serial || s.kind == PortSelector::VendorProduct ||
           s.kind == PortSelector::Location;
  });
}

std::vector<PortSelector> ParsePortWords(const std::vector<std::string>& words,
                                         std::string* error) {
  std::vector<PortSelector> selectors;
  std::string first;
  for (const std::string& word : words) {
    selectors.push_back(ParsePortSelector(word));
    if (first.empty() && selectors.back().kind == PortSelector::Invalid) {
      first = selectors.back().error;
    }
  }
  if (error != nullptr) *error = first;
  return selectors;
}

std::string CheckPortWords(const std::vector<std::string>& words) {
  std::string error;
  ParsePortWords(words, &error);
  return error;
}

Resolution ResolvePorts(const std::vector<PortSelector>& selectors,
                        const std::vector<PresentPort>& present,
                        const std::function<PresentPort(const std::string&)>& describe) {
  Resolution r;
  const auto add = [&r](const PresentPort& port) {
    // The same device twice would be flashed twice at once, and the second
    // open would fail on a port the first holds: whatever it is called.
    for (const PresentPort& p : r.boards) {
      if (p.name == port.name) return;
      if (!p.key.empty() && p.key == port.key) {
        r.same.push_back(Printable(p.name) + " and " + Printable(port.name) +
                         " are the same device; it is flashed once, as " + Printable(p.name));
        return;
      }
    }
    r.boards.push_back(port);
  };
  for (const PortSelector& selector : selectors) {
    const std::string& word = selector.word;
    r.word = word;
    if (selector.kind == PortSelector::Invalid) {
      r.error = ResolveError::BadWord;
      r.reason = selector.error;
      return r;
    }
    if (selector.kind == PortSelector::Name) {
      add(describe(word));
      continue;
    }
    std::vector<PresentPort> matches;
    for (const PresentPort& p : present) {
      if (SelectorMatches(selector, p)) matches.push_back(p);
    }
    if (matches.empty()) {
      r.error = ResolveError::NoMatch;
      r.ports = present;
      return r;
    }
    if (selector.kind != PortSelector::VendorProduct && matches.size() > 1) {
      r.error = ResolveError::NotUnique;
      r.ports = matches;
      return r;
    }
    for (const PresentPort& p : matches) add(p);
  }
  r.word.clear();
  return r;
}

std::string ResolveErrorText(const Resolution& r) {
  switch (r.error) {
    case ResolveError::None:
      break;
    case ResolveError::BadWord:
      return r.reason;
    case ResolveError::NoMatch:
      return "no port matches '" + Printable(r.word) + "'; " + Listing(r.ports);
    case ResolveError::NotUnique: {
      std::string names;
      for (const PresentPort& p : r.ports) names += "\n  " + PresentPortText(p);
      return "'" + Printable(r.word) + "' is meant for one board but matches " +
             std::to_string(r.ports.size()) + " ports:" + names;
    }
  }
  return std::string();
}

std::string SysfsRoot() {
  const char* root = std::getenv("UPDATE_FIRMWARE_SYSFS");
  return root != nullptr && root[0] != '\0' ? root : "/sys";
}

PresentPort DescribeName(const std::string& name) {
  PresentPort port;
  port.name = name;
  port.device = cli_platform::PortDevice(name);
  port.usb = FindUsbIdentity(name, SysfsRoot());
  return port;
}

PresentPort DescribePort(const std::string& name) {
  PresentPort port = DescribeName(name);
  port.key = FindDeviceKey(name, SysfsRoot());
  return port;
}

std::vector<PresentPort> ScanPresentPorts() {
  std::vector<PresentPort> ports;
  ScanFreePorts([&](const std::string& name, bool free) {
    if (free) ports.push_back(DescribePort(name));
  });
  return ports;
}
