// The rules of `doctor`: what counts as a finding and how it reads. The
// facts come from doctor_<platform>.cpp.
#include "update/doctor.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back(std::string());
  return parts;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// "/dev/ttyUSB0 (COM5)", or the path alone.
std::string DeviceName(const SerialDeviceFacts& device) {
  return device.port.empty() ? device.path : device.path + " (" + device.port + ")";
}

int ComNumber(const std::string& name) {
  return AllDigits(name.substr(std::min<size_t>(3, name.size()))) ? std::atoi(name.c_str() + 3) : 1 << 30;
}

}  // namespace

std::vector<GroupEntry> ParseGroupFile(const std::string& text) {
  std::vector<GroupEntry> groups;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = Split(line, ':');
    if (fields.size() != 4 || fields[0].empty() || !AllDigits(fields[2]) || fields[2].size() > 9) continue;
    GroupEntry entry;
    entry.name = fields[0];
    entry.gid = static_cast<uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
    for (const std::string& member : Split(fields[3], ',')) {
      if (!member.empty()) entry.members.push_back(member);
    }
    groups.push_back(entry);
  }
  return groups;
}

bool ModeAllowsReadWrite(uint32_t uid, const std::vector<uint32_t>& gids, uint32_t owner_uid,
                         uint32_t gid, uint32_t mode) {
  if (uid == 0) return true;
  // As the kernel does: the first class that applies decides.
  if (uid == owner_uid) return (mode & 0600) == 0600;
  if (std::find(gids.begin(), gids.end(), gid) != gids.end()) return (mode & 0060) == 0060;
  return (mode & 0006) == 0006;
}

std::string ModeText(uint32_t mode) {
  std::string text;
  switch (mode & 0170000) {
    case 0020000: text = "c"; break;
    case 0060000: text = "b"; break;
    case 0040000: text = "d"; break;
    case 0120000: text = "l"; break;
    case 0010000: text = "p"; break;
    case 0140000: text = "s"; break;
    default: text = "-"; break;
  }
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400u >> bit)) ? letters[bit] : '-';
  return text;
}

std::string AccessFix(const DeviceAccess& access, const std::string& path) {
  if (!access.found || access.can_open) return std::string();
  if ((access.mode & 0060) == 0060 && access.gid != 0) {
    if (access.listed_in_group) {
      return "log out and in again: you were added to the group '" + access.group +
             "' after this login";
    }
    return "sudo usermod -aG " + access.group + " $USER, then log out and in again";
  }
  return "its group may not read and write it (" + access.owner + ":" + access.group + " " +
         ModeText(access.mode) + "): a udev rule must give it a group such as dialout, mode 0660, "
         "or run: sudo chmod 0666 " + path + " (until the next plug-in)";
}

std::vector<std::string> BrlttyClaims(const std::string& rule_text) {
  std::vector<std::string> claims;
  if (Lower(rule_text).find("brltty") == std::string::npos) return claims;
  struct Adapter {
    const char* name;
    const char* vendor;
    const char* product;
  };
  const Adapter adapters[] = {{"CH340", "1a86", "7523"}, {"CP210x", "10c4", "ea60"}};
  std::istringstream in(rule_text);
  std::string line;
  while (std::getline(in, line)) {
    const std::string lower = Lower(line);
    const size_t start = lower.find_first_not_of(" \t");
    if (start == std::string::npos || lower[start] == '#') continue;
    for (const Adapter& a : adapters) {
      const std::string product = std::string("\"") + a.vendor + "/" + a.product + "/";
      const bool by_product = lower.find("env{product}") != std::string::npos &&
                              lower.find(product) != std::string::npos;
      const bool by_ids =
          lower.find(std::string("{idvendor}==\"") + a.vendor + "\"") != std::string::npos &&
          lower.find(std::string("{idproduct}==\"") + a.product + "\"") != std::string::npos;
      if ((by_product || by_ids) && std::find(claims.begin(), claims.end(), a.name) == claims.end()) {
        claims.push_back(a.name);
      }
    }
  }
  return claims;
}

std::vector<Finding> DeviceFindings(const std::vector<SerialDeviceFacts>& devices) {
  std::vector<Finding> findings;
  if (devices.empty()) {
    findings.push_back({Finding::Warning, "no serial device found (ttyUSB*, ttyACM*, ttyS*)",
                        "plug the adapter in; if none appears, the kernel log says why: sudo dmesg | tail"});
    return findings;
  }
  for (const SerialDeviceFacts& device : devices) {
    const std::string name = DeviceName(device);
    const DeviceAccess& a = device.access;
    std::string what = name;
    if (a.found) what += ": " + a.owner + ":" + a.group + " " + ModeText(a.mode);
    if (!device.usb.empty()) what += ", " + device.usb;
    if (device.node == PortErrorAbsent) {
      findings.push_back({Finding::Blocking, what + "; no such device",
                          "plug the adapter in; a link left from one unplugged leads nowhere: rm " +
                              device.path});
      continue;
    }
    if (device.node != PortErrorNone) {
      findings.push_back({Finding::Blocking, what + "; not a serial device",
                          "flash through another port; this node is no serial line"});
      continue;
    }
    const bool refused = a.found && !a.can_open;
    if (refused) {
      findings.push_back({Finding::Blocking, what + "; you cannot open it", AccessFix(a, device.path)});
    }
    if (device.holder_pid != 0) {
      const std::string holder = (device.holder_program.empty() ? std::string("a program")
                                                                 : device.holder_program) +
                                 " (pid " + std::to_string(device.holder_pid) + ")";
      if (device.holder_has_open) {
        findings.push_back({Finding::Blocking, what + "; in use by " + holder,
                            "close " + holder + ", or end it: kill " + std::to_string(device.holder_pid)});
      } else {
        // The pid may have been given to another process since the lock
        // was written: ending it could end the wrong program.
        findings.push_back({Finding::Blocking,
                            what + "; locked by " + device.holder_lock + ", which names " + holder +
                                ", not seen to have it open",
                            "if " + holder + " is not using the port, the lock is stale: rm " +
                                device.holder_lock});
      }
    }
    if (!refused && device.holder_pid == 0) {
      findings.push_back({Finding::Ok, what + "; you can open it", std::string()});
    }
  }
  for (const SerialDeviceFacts& device : devices) {
    if (!device.usb_without_serial) continue;
    findings.push_back({Finding::Warning,
                        DeviceName(device) + ": the adapter has no USB serial number; after a replug "
                                             "it is told from another of its make only by its USB socket",
                        "keep each adapter in its own USB socket, or use adapters with serial numbers"});
  }
  return findings;
}

std::vector<Finding> BrlttyFindings(bool installed, const std::string& rule_file,
                                    const std::vector<std::string>& claims, bool claimed_adapter_present) {
  if (!installed || claims.empty()) return {};
  std::string adapters;
  for (const std::string& claim : claims) adapters += (adapters.empty() ? "" : "/") + claim;
  std::string name = rule_file.substr(rule_file.rfind('/') + 1);
  return {{claimed_adapter_present ? Finding::Blocking : Finding::Warning,
           "brltty is installed and its udev rule " + rule_file + " takes " + adapters +
               " adapters for braille displays: their serial device disappears",
           "sudo apt remove brltty, or mask the rule: sudo ln -s /dev/null /etc/udev/rules.d/" + name}};
}

const char* const kSeatRuleName = "70-update-firmware.rules";

std::vector<Finding> SeatRuleFindings(const std::string& rule_file, const std::vector<std::string>& adapters) {
  std::string rules;
  for (const std::string& id : adapters) {
    const size_t colon = id.find(':');
    rules += " 'SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + id.substr(0, colon) + "\", ATTRS{idProduct}==\"" +
             id.substr(colon + 1) + "\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"'";
  }
  const std::string local =
      rules.empty() ? std::string()
                    : "for this station's adapters alone, with ModemManager kept off them: printf '%s\\n'" + rules +
                          " | sudo tee -a /etc/udev/rules.d/70-update-firmware-local.rules, then plug them in again";
  if (!rule_file.empty()) {
    return {{Finding::Ok, "the udev rule " + rule_file + " lets the user at the seat open USB serial adapters", local}};
  }
  return {{Finding::Warning,
           std::string("no udev rule lets the user at the seat open USB serial adapters (") + kSeatRuleName +
               " is not in force): only their group may",
           local.empty()
               ? std::string("sudo apt install --reinstall update-firmware puts it back in /usr/lib/udev/rules.d")
               : local}};
}

std::vector<Finding> ModemManagerFindings(int32_t pid) {
  if (pid == 0) return {};
  return {{Finding::Warning,
           "ModemManager is running (pid " + std::to_string(pid) +
               "): it probes new serial devices for modems and can hold them for seconds",
           "sudo systemctl stop ModemManager (for good: sudo systemctl disable ModemManager)"}};
}

std::vector<Finding> ComPortFindings(std::vector<ComPortProbe> ports) {
  if (ports.empty()) {
    return {{Finding::Warning, "Windows lists no COM port",
             "plug the adapter in; if no COM port appears, install its driver (Device Manager "
             "shows it under Other devices)"}};
  }
  std::stable_sort(ports.begin(), ports.end(), [](const ComPortProbe& a, const ComPortProbe& b) {
    return ComNumber(a.name) < ComNumber(b.name);
  });
  std::vector<Finding> findings;
  for (const ComPortProbe& port : ports) {
    switch (port.error) {
      case PortErrorNone:
        findings.push_back({Finding::Ok, port.name + " opens", std::string()});
        break;
      case PortErrorBusy:
        findings.push_back({Finding::Blocking, port.name + " is in use by another program",
                            "close the program that has " + port.name +
                                " open (a terminal, another flashing tool, a modem or sync tool)"});
        break;
      case PortErrorAbsent:
        findings.push_back({Finding::Blocking, port.name + " is listed but its device is gone",
                            "plug the adapter in again"});
        break;
      default:
        findings.push_back({Finding::Blocking,
                            port.name + " is listed but does not open (error " +
                                std::to_string(port.system_error) + ")",
                            "unplug the adapter and plug it in again; if that does not help, "
                            "reinstall its driver"});
        break;
    }
  }
  return findings;
}
