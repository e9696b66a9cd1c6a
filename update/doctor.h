// What on this machine stops flashing, each finding with its fix: the checks
// behind `doctor`, and the device-access facts behind the hint that comes
// with a refused open.
//
// The rules (what counts as a finding, how it reads) are portable and live
// in doctor.cpp; where the facts come from is the platform's
// (doctor_posix.cpp reads /dev, sysfs, /proc, the udev rule folders and the
// group database; doctor_win32.cpp the COM ports Windows lists). Every place
// read is a field of DoctorRoots, so that tests run each check on a tree of
// their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_holders.h"
#include "serial/serial.h"

struct Finding {
  enum Severity { Ok, Warning, Blocking };
  Severity severity = Ok;
  std::string what;  // one line: what was found
  std::string fix;   // one line: what to do about it; empty when nothing is to be done
};

// The user the checks are about.
struct DoctorUser {
  uint32_t uid = 0;
  std::string name;
  std::vector<uint32_t> gids;  // the groups this process has now, the primary one too
};

// This process's user (getuid, getpwuid, getgroups); on Windows an empty
// one, which no check uses.
DoctorUser CurrentUser();

// Where the checks read from. The defaults are the machine's own.
struct DoctorRoots {
  std::string dev = "/dev";
  std::string sysfs = "/sys";
  // In order of precedence: a rule file of one name in an earlier folder
  // replaces (or, as a link to /dev/null or an empty file, masks) the later.
  std::vector<std::string> udev_rules = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                         "/lib/udev/rules.d", "/usr/lib/udev/rules.d"};
  // Where the serial layer looks for the holders of a device (/proc, the
  // lock folders, as the environment may have moved them): doctor names the
  // holders the open would find. ModemManager is looked for in that /proc.
  HolderRoots holders = HolderRootsFromEnvironment();
  // Where an installed brltty is looked for.
  std::vector<std::string> program_dirs = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
  // A file in /etc/group's format to read groups from; empty: the system's
  // group database (getgrgid, getgrnam).
  std::string group_file;
  DoctorUser user = CurrentUser();
};

// Every finding, in this order on Linux: the serial devices present (one
// line each: owner, group and mode, whether this user can open it, who holds
// it), or one that there are none; adapters without a USB serial number;
// whether the package's udev rule lets the user at the seat open USB serial
// adapters; brltty's claim on CH340/CP210x adapters; ModemManager. On Windows: each COM
// port the system lists (HARDWARE\DEVICEMAP\SERIALCOMM) and whether it
// opens, or one that none is listed. Never empty.
std::vector<Finding> CheckMachine(const DoctorRoots& roots);

// --- Who may open a device ----------------------------------------------------

struct DeviceAccess {
  bool found = false;  // the node could be looked at; nothing below is set otherwise
  uint32_t owner_uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;          // st_mode: the type and permission bits
  std::string owner;          // the owner's name, or the number when it has none
  std::string group;          // the group's name, or the number when it has none
  bool in_group = false;      // this process has the group now
  bool listed_in_group = false;  // the group database names the user (from the next login)
  bool can_open = false;      // read and write allowed to this user by the mode bits
};

// The owner, group and mode of the device at `path` (links followed), and
// what they allow `user`. Groups are named from `group_file` when it is not
// empty (see DoctorRoots), else from the system's database. On Windows
// nothing is found.
DeviceAccess DescribeDeviceAccess(const std::string& path, const DoctorUser& user,
                                  const std::string& group_file);

// The line that fixes a refused open of a device with `access`: joining its
// group ("sudo usermod -aG dialout $USER, then log in again"), logging in
// again when the user has joined since, or, when the group may not write
// either, asking for the device's mode to change. Empty when the mode
// already lets the user in, or nothing was found.
std::string AccessFix(const DeviceAccess& access, const std::string& path);

// --- The portable rules, for the platforms and their tests --------------------

struct GroupEntry {
  std::string name;
  uint32_t gid = 0;
  std::vector<std::string> members;
};

// The entries of a file in /etc/group's format ("name:x:gid:a,b"); lines
// that are not entries (comments, wrong field count, a bad number) are left
// out.
std::vector<GroupEntry> ParseGroupFile(const std::string& text);

// Whether `uid` in `gids` may read and write a node of that owner, group and
// mode. Root may.
bool ModeAllowsReadWrite(uint32_t uid, const std::vector<uint32_t>& gids, uint32_t owner_uid,
                         uint32_t gid, uint32_t mode);

// "crw-rw----" for a mode.
std::string ModeText(uint32_t mode);

// The adapters a udev rule file claims for brltty: "CH340" and "CP210x" for
// uncommented lines that match 1a86:7523 or 10c4:ea60 (as ENV{PRODUCT} or as
// ATTRS{idVendor} and ATTRS{idProduct}) in a file that concerns brltty.
std::vector<std::string> BrlttyClaims(const std::string& rule_text);

// One serial device as the platform found it.
struct SerialDeviceFacts {
  std::string path;       // /dev/ttyUSB0
  std::string port;       // COM5, or empty when no COM name leads there
  DeviceAccess access;
  // PortErrorAbsent (a link that leads nowhere) or PortErrorNotSerial (a
  // FIFO, a plain file) where the serial layer would refuse the node
  // unopened; PortErrorNone otherwise.
  PortError node = PortErrorNone;
  int32_t holder_pid = 0;  // 0: no other holder
  std::string holder_program;
  bool holder_has_open = false;  // seen with the device open; else only a lock names it
  std::string holder_lock;       // that lock file
  std::string usb;         // UsbIdentityText; empty when not USB
  bool usb_without_serial = false;
};

// The findings of the devices present: per device one that it is no device
// to open (in the open's words: "no such device", "not a serial device"), or
// one that this user cannot
// open it, one that another program holds it (ending it is advised only for
// a holder seen with the device open: for one a lock names, the lock may be
// stale), or else one that it is fine;
// then one per USB adapter without a serial number; a Warning that there are none when the
// list is empty.
std::vector<Finding> DeviceFindings(const std::vector<SerialDeviceFacts>& devices);

// brltty: nothing when it is not installed or no rule in force claims an
// adapter; else a Warning, Blocking when such an adapter is plugged in.
// `rule_file` names the file that claims them.
std::vector<Finding> BrlttyFindings(bool installed, const std::string& rule_file,
                                    const std::vector<std::string>& claims, bool claimed_adapter_present);

// The udev rule the package installs (in /usr/lib/udev/rules.d), which
// gives the user at the seat USB serial adapters.
extern const char* const kSeatRuleName;  // "70-update-firmware.rules"

// That rule: Ok naming `rule_file`, where it is in force; a Warning when
// `rule_file` is empty (absent, masked or emptied): then only the devices'
// group lets a user in. For the USB adapters present (`adapters`, each
// "vendor:product" once) the fix gives a rule of their own for
// /etc/udev/rules.d/70-update-firmware-local.rules, which keeps ModemManager
// off them too; with none, and the rule in force, there is nothing to do.
std::vector<Finding> SeatRuleFindings(const std::string& rule_file, const std::vector<std::string>& adapters);

// ModemManager: a Warning when its pid is not 0.
std::vector<Finding> ModemManagerFindings(int32_t pid);

// One COM port the system lists and what opening it said.
struct ComPortProbe {
  std::string name;  // COM5
  PortError error = PortErrorNone;  // PortErrorNone: it opened
  int32_t system_error = 0;
};

// One finding per port, in the order of their numbers; a Warning when none
// is listed.
std::vector<Finding> ComPortFindings(std::vector<ComPortProbe> ports);
