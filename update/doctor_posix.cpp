// The facts `doctor` checks on Linux, each read under a root of DoctorRoots.
#if defined(_WIN32)
#error "doctor_posix.cpp reads /dev, sysfs and /proc; Windows has doctor_win32.cpp"
#endif

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "serial/port_names.h"
#include "serial/serial_posix.h"
#include "update/doctor.h"
#include "update/port_identity.h"

namespace {

// A small text file, or empty. Only plain files (links followed): under a
// root a test chose, a FIFO would block.
std::string ReadText(const std::string& path, size_t limit = 1 << 20) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  std::ifstream in(path, std::ios::binary);
  std::string text(limit, '\0');
  in.read(&text[0], static_cast<std::streamsize>(limit));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  if (d) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string UserName(uint32_t uid, const std::string& group_file) {
  if (group_file.empty()) {
    if (const passwd* pw = getpwuid(static_cast<uid_t>(uid))) return pw->pw_name;
  } else if (uid == 0) {
    return "root";
  }
  return std::to_string(uid);
}

// The serial devices under the dev root: USB adapters, CDC-ACM devices,
// and the on-board UARTs that sysfs says are there (a PC lists ttyS0 to
// ttyS31 whether or not a UART answers; sysfs gives those type 0).
std::vector<std::string> SerialDevices(const DoctorRoots& roots) {
  std::vector<std::string> found;
  for (const std::string& name : Entries(roots.dev)) {
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM")) {
      found.push_back(name);
    } else if (StartsWith(name, "ttyS")) {
      const std::string type = FirstLine(ReadText(roots.sysfs + "/class/tty/" + name + "/type", 64));
      if (!type.empty() && type != "0") found.push_back(name);
    }
  }
  return found;
}

// The COM name whose table entry is /dev/<name>; empty when none is.
std::string ComNameFor(const std::string& name) {
  for (int n = 1; n <= kComPortCount; ++n) {
    if (DefaultDevicePathForCom(n) == "/dev/" + name) return "COM" + std::to_string(n);
  }
  return std::string();
}

// The rule files in force, by name: the first folder holding a name wins.
std::map<std::string, std::string> RulesInForce(const std::vector<std::string>& dirs) {
  std::map<std::string, std::string> rules;
  for (const std::string& dir : dirs) {
    for (const std::string& name : Entries(dir)) {
      if (name.size() > 6 && name.compare(name.size() - 6, 6, ".rules") == 0) rules.emplace(name, dir + "/" + name);
    }
  }
  return rules;
}

bool Installed(const DoctorRoots& roots, const char* program) {
  for (const std::string& dir : roots.program_dirs) {
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool UsbDevicePresent(const DoctorRoots& roots, const char* vendor, const char* product) {
  const std::string bus = roots.sysfs + "/bus/usb/devices";
  for (const std::string& name : Entries(bus)) {
    if (FirstLine(ReadText(bus + "/" + name + "/idVendor", 64)) == vendor &&
        FirstLine(ReadText(bus + "/" + name + "/idProduct", 64)) == product) {
      return true;
    }
  }
  return false;
}

int32_t ProcessNamed(const DoctorRoots& roots, const char* program) {
  for (const std::string& name : Entries(roots.holders.proc)) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (FirstLine(ReadText(roots.holders.proc + "/" + name + "/comm", 64)) == program) {
      return std::atoi(name.c_str());
    }
  }
  return 0;
}

}  // namespace

DoctorUser CurrentUser() {
  DoctorUser user;
  user.uid = static_cast<uint32_t>(geteuid());
  if (const passwd* pw = getpwuid(geteuid())) user.name = pw->pw_name;
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
  const int got = count > 0 ? getgroups(count, groups.data()) : 0;
  for (int i = 0; i < got; ++i) user.gids.push_back(static_cast<uint32_t>(groups[static_cast<size_t>(i)]));
  const uint32_t primary = static_cast<uint32_t>(getegid());
  if (std::find(user.gids.begin(), user.gids.end(), primary) == user.gids.end()) user.gids.push_back(primary);
  return user;
}

DeviceAccess DescribeDeviceAccess(const std::string& path, const DoctorUser& user,
                                  const std::string& group_file) {
  DeviceAccess a;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return a;
  a.found = true;
  a.owner_uid = static_cast<uint32_t>(st.st_uid);
  a.gid = static_cast<uint32_t>(st.st_gid);
  a.mode = static_cast<uint32_t>(st.st_mode);
  a.owner = UserName(a.owner_uid, group_file);
  a.group = std::to_string(a.gid);
  if (group_file.empty()) {
    if (const group* gr = getgrgid(st.st_gid)) {
      a.group = gr->gr_name;
      for (char** member = gr->gr_mem; *member != nullptr; ++member) {
        if (user.name == *member) a.listed_in_group = true;
      }
    }
  } else {
    for (const GroupEntry& entry : ParseGroupFile(ReadText(group_file))) {
      if (entry.gid != a.gid) continue;
      a.group = entry.name;
      a.listed_in_group = std::find(entry.members.begin(), entry.members.end(), user.name) != entry.members.end();
      break;
    }
  }
  a.in_group = std::find(user.gids.begin(), user.gids.end(), a.gid) != user.gids.end();
  a.can_open = ModeAllowsReadWrite(user.uid, user.gids, a.owner_uid, a.gid, a.mode);
  return a;
}

std::vector<Finding> CheckMachine(const DoctorRoots& roots) {
  std::vector<SerialDeviceFacts> devices;
  std::vector<std::string> adapters;  // vendor:product of the USB ones, each once
  BeginHolderSweep();
  for (const std::string& name : SerialDevices(roots)) {
    SerialDeviceFacts device;
    device.path = roots.dev + "/" + name;
    device.port = ComNameFor(name);
    device.access = DescribeDeviceAccess(device.path, roots.user, roots.group_file);
    int node_errno = 0;
    device.node = DeviceNodeError(device.path, &node_errno);
    struct stat st;
    if (stat(device.path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
      const DeviceHolder holder = FindDeviceHolder(st.st_rdev, device.path, roots.holders);
      device.holder_pid = holder.pid;
      device.holder_program = holder.program;
      device.holder_has_open = holder.has_open;
      device.holder_lock = holder.lock_file;
    }
    const UsbIdentity usb = UsbIdentityFromSysfs(roots.sysfs, device.path);
    device.usb = UsbIdentityText(usb);
    device.usb_without_serial = usb.IsUsb() && usb.serial.empty();
    const std::string id = usb.vendor_id + ":" + usb.product_id;
    if (usb.IsUsb() && std::find(adapters.begin(), adapters.end(), id) == adapters.end()) adapters.push_back(id);
    devices.push_back(device);
  }
  EndHolderSweep();
  std::vector<Finding> findings = DeviceFindings(devices);

  // The package's rule for the seat, unless masked or emptied.
  const std::map<std::string, std::string> rules = RulesInForce(roots.udev_rules);
  const auto seat_rule = rules.find(kSeatRuleName);
  const bool seat_rule_in_force =
      seat_rule != rules.end() && ReadText(seat_rule->second).find("TAG+=\"uaccess\"") != std::string::npos;
  for (Finding& f : SeatRuleFindings(seat_rule_in_force ? seat_rule->second : std::string(), adapters)) {
    findings.push_back(f);
  }

  // brltty's rule, if one in force claims an adapter; a masked one (a link
  // to /dev/null, an empty file) claims nothing.
  std::string rule_file;
  std::vector<std::string> claims;
  for (const auto& rule : rules) {
    claims = BrlttyClaims(ReadText(rule.second));
    if (!claims.empty()) {
      rule_file = rule.second;
      break;
    }
  }
  const auto claimed = [&](const char* adapter) {
    return std::find(claims.begin(), claims.end(), adapter) != claims.end();
  };
  const bool claimed_present = (claimed("CH340") && UsbDevicePresent(roots, "1a86", "7523")) ||
                               (claimed("CP210x") && UsbDevicePresent(roots, "10c4", "ea60"));
  for (Finding& f : BrlttyFindings(Installed(roots, "brltty"), rule_file, claims, claimed_present)) {
    findings.push_back(f);
  }
  for (Finding& f : ModemManagerFindings(ProcessNamed(roots, "ModemManager"))) findings.push_back(f);
  return findings;
}
