// Which ports a command line means: port names as they stand, and the
// selectors that pick USB adapters by what they are.
#include <algorithm>
#include <cctype>

#include "cli/cli.h"
#include "serial/port_names.h"

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
  return Printable(text);
}

bool HasSelector(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [](const std::string& w) {
    const PortSelector::Kind kind = ParsePortSelector(w).kind;
    return kind == PortSelector::Serial || kind == PortSelector::VendorProduct;
  });
}

std::string CheckPortWords(const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    const PortSelector selector = ParsePortSelector(word);
    if (selector.kind == PortSelector::Invalid) return selector.error;
  }
  return std::string();
}

std::string ResolvePorts(const std::vector<std::string>& words,
                         const std::vector<PresentPort>& present,
                         const std::function<PresentPort(const std::string&)>& describe,
                         std::vector<PresentPort>* picked, std::vector<std::string>* same) {
  picked->clear();
  const auto add = [picked, same](const PresentPort& port) {
    // The same device twice would be flashed twice at once, and the second
    // open would fail on a port the first holds: whatever it is called.
    for (const PresentPort& p : *picked) {
      if (p.name == port.name) return;
      if (!p.key.empty() && p.key == port.key) {
        if (same != nullptr) {
          same->push_back(Printable(p.name) + " and " + Printable(port.name) +
                          " are the same device; it is flashed once, as " + Printable(p.name));
        }
        return;
      }
    }
    picked->push_back(port);
  };
  for (const std::string& word : words) {
    const PortSelector selector = ParsePortSelector(word);
    if (selector.kind == PortSelector::Invalid) return selector.error;
    if (selector.kind == PortSelector::Name) {
      add(describe(word));
      continue;
    }
    std::vector<PresentPort> matches;
    for (const PresentPort& p : present) {
      if (SelectorMatches(selector, p)) matches.push_back(p);
    }
    if (matches.empty()) return "no port matches '" + Printable(word) + "'; " + Listing(present);
    if (selector.kind == PortSelector::Serial && matches.size() > 1) {
      std::string names;
      for (const PresentPort& p : matches) names += "\n  " + PresentPortText(p);
      return "'" + Printable(word) + "' is meant for one board but matches " +
             std::to_string(matches.size()) + " ports:" + names;
    }
    for (const PresentPort& p : matches) add(p);
  }
  return std::string();
}

std::string TracePathFor(const std::string& base, const std::string& port) {
  std::string tag = port;
  const size_t slash = tag.find_last_of("/\\");
  if (slash != std::string::npos) tag = tag.substr(slash + 1);
  for (char& c : tag) {
    if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') c = '_';
  }
  const size_t dir_end = base.find_last_of("/\\");
  const size_t dot = base.rfind('.');
  if (dot == std::string::npos || (dir_end != std::string::npos && dot < dir_end) ||
      dot == (dir_end == std::string::npos ? 0 : dir_end + 1)) {
    return base + "." + tag;
  }
  return base.substr(0, dot) + "." + tag + base.substr(dot);
}
