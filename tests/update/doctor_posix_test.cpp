// `doctor` on Linux, every check on a machine of the test's making: /dev,
// sysfs, /proc, udev rule folders, a folder of programs and a group file
// under one temporary root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/pty.h"
#include "tests/update/sysfs_fixture.h"
#include "update/doctor.h"

namespace {

namespace fs = std::filesystem;
using sysfs_fixture::Write;

// What doctor gives for the FTDI adapter of the test's machine.
const std::string kOwnRule =
    "for this station's adapters alone, with ModemManager kept off them: printf '%s\\n' 'SUBSYSTEM==\"tty\", "
    "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"' | "
    "sudo tee -a /etc/udev/rules.d/70-update-firmware-local.rules, then plug them in again";

class Doctor : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/uf-doctor-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    for (const char* dir : {"dev", "sys", "proc", "etc-rules", "lib-rules", "lock", "bin"})
      fs::create_directories(root_ / dir);
    roots_.dev = root_ / "dev";
    roots_.sysfs = root_ / "sys";
    roots_.holders.proc = root_ / "proc";
    roots_.udev_rules = {root_ / "etc-rules", root_ / "lib-rules"};
    roots_.holders.lock_dirs = {root_ / "lock"};
    roots_.program_dirs = {root_ / "bin"};
    roots_.group_file = root_ / "group";
    // A clean machine: one FTDI adapter in group dialout, and its user in it.
    // A terminal plays it: a plain file is no device to open.
    ASSERT_FALSE(usb0_.path.empty());
    fs::create_symlink(usb0_.path, root_ / "dev/ttyUSB0");
    fs::permissions(root_ / "dev/ttyUSB0", fs::perms(0660));
    // Root's files are in group root, which nobody is told to join.
    if (geteuid() == 0) {
      ASSERT_EQ(chown((root_ / "dev/ttyUSB0").c_str(), static_cast<uid_t>(-1), 20), 0);
    }
    struct stat st;
    ASSERT_EQ(stat((root_ / "dev/ttyUSB0").c_str(), &st), 0);
    dialout_ = static_cast<uint32_t>(st.st_gid);
    Write(root_ / "group", "users:x:100:\ndialout:x:" + std::to_string(dialout_) + ":\n");
    roots_.user = {4242, "ada", {100, dialout_}};
    // sysfs knows the node by the name the link leads to.
    sysfs_fixture::UsbSerialAdapter(root_ / "sys", fs::path(usb0_.path).filename(), "1-1", "0403", "6001", "FTDI", "FT232R",
                                    "A600ABCD");
    Write(root_ / "lib-rules/70-update-firmware.rules",
          "SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB[0-9]*|ttyACM[0-9]*\", SUBSYSTEMS==\"usb\", TAG+=\"uaccess\"\n");
    Write(root_ / "dev/ttyS1", "");  // a PC's phantom UART
    Write(root_ / "sys/class/tty/ttyS1/type", "0");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Check() {
    std::string text;
    for (const Finding& f : CheckMachine(roots_)) {
      text += "OWB"[f.severity] + std::string(" ") + f.what + (f.fix.empty() ? "" : " | " + f.fix) + "\n";
    }
    return text;
  }
  std::string Usb0() const { return (root_ / "dev/ttyUSB0").string() + " (COM5)"; }

  Pty usb0_;
  fs::path root_;
  DoctorRoots roots_;
  uint32_t dialout_ = 0;
};

TEST_F(Doctor, ACleanMachineHasOneGoodLinePerDevice) {
  EXPECT_EQ(Check(), "O " + Usb0() + ": " + getpwuid(geteuid())->pw_name + ":dialout crw-rw----, 0403:6001 FTDI FT232R sn "
                     "A600ABCD; you can open it\n"
                     "O the udev rule " + (root_ / "lib-rules/70-update-firmware.rules").string() +
                     " lets the user at the seat open USB serial adapters | " + kOwnRule + "\n");
}

TEST_F(Doctor, TheSeatRuleIsMissedWhenMaskedOrEmptied) {
  Write(root_ / "etc-rules/70-update-firmware.rules", "");
  EXPECT_NE(Check().find("\nW no udev rule lets the user at the seat open USB serial adapters "
                         "(70-update-firmware.rules is not in force): only their group may | " + kOwnRule),
            std::string::npos) << Check();
  fs::remove(root_ / "etc-rules/70-update-firmware.rules");
  fs::create_symlink("/dev/null", root_ / "etc-rules/70-update-firmware.rules");
  fs::remove(root_ / "dev/ttyUSB0");
  EXPECT_NE(Check().find("not in force): only their group may | sudo apt install --reinstall update-firmware"),
            std::string::npos) << Check();
}

TEST_F(Doctor, AUserOutsideTheDevicesGroupIsToldToJoinIt) {
  roots_.user.gids = {100};
  EXPECT_NE(Check().find("B " + Usb0()), std::string::npos);
  EXPECT_NE(Check().find("; you cannot open it | sudo usermod -aG dialout $USER, then log out and in "
                         "again\n"), std::string::npos) << Check();
  // Joined since this login: the group file names the user already.
  Write(root_ / "group", "dialout:x:" + std::to_string(dialout_) + ":bob,ada\n");
  EXPECT_NE(Check().find("| log out and in again: you were added to the group 'dialout'"),
            std::string::npos) << Check();
}

TEST_F(Doctor, BrlttysRuleIsFoundUnlessMasked) {
  const std::string rule = "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                           "GOTO=\"brltty_usb_run\"\n";
  Write(root_ / "lib-rules/85-brltty.rules", rule);
  EXPECT_EQ(Check().find("brltty"), std::string::npos) << "not installed: " << Check();
  Write(root_ / "bin/brltty", "");
  fs::permissions(root_ / "bin/brltty", fs::perms(0755));
  EXPECT_NE(Check().find("W brltty is installed and its udev rule " +
                         (root_ / "lib-rules/85-brltty.rules").string() + " takes CH340"),
            std::string::npos) << Check();
  // A CH340 plugged in: it is what stops flashing now.
  sysfs_fixture::UsbDevice(root_ / "sys", "1-2", "1a86", "7523", "", "USB Serial", "");
  sysfs_fixture::ListOnBus(root_ / "sys", "1-2");
  EXPECT_NE(Check().find("B brltty is installed"), std::string::npos) << Check();
  fs::create_symlink("/dev/null", root_ / "etc-rules/85-brltty.rules");
  EXPECT_EQ(Check().find("brltty"), std::string::npos) << "masked: " << Check();
}

TEST_F(Doctor, ModemManagerRunningIsAWarning) {
  Write(root_ / "proc/812/comm", "ModemManager");
  Write(root_ / "proc/813/comm", "bash");
  EXPECT_NE(Check().find("W ModemManager is running (pid 812): "), std::string::npos) << Check();
}

TEST_F(Doctor, AHeldPortNamesItsHolder) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  roots_.user.uid = 0;  // held is held, for root too
  fs::create_symlink(pty.path, root_ / "dev/ttyACM0");
  Write(root_ / "proc/4711/comm", "minicom");
  fs::create_directories(root_ / "proc/4711/fd");
  fs::create_symlink(pty.path, root_ / "proc/4711/fd/3");
  EXPECT_NE(Check().find((root_ / "dev/ttyACM0").string() + " (COM11): "), std::string::npos) << Check();
  EXPECT_NE(Check().find("; in use by minicom (pid 4711) | close minicom (pid 4711), or end it: kill 4711\n"),
            std::string::npos) << Check();
}

TEST_F(Doctor, AnAdapterWithoutASerialNumberAndAMachineWithoutDevices) {
  sysfs_fixture::UsbSerialAdapter(root_ / "sys", "ttyUSB1", "1-3", "1a86", "7523", "", "USB Serial", "");
  Write(root_ / "dev/ttyUSB1", "");
  EXPECT_NE(Check().find("W " + (root_ / "dev/ttyUSB1").string() + " (COM6): the adapter has no USB "
                         "serial number"), std::string::npos) << Check();
  fs::remove(root_ / "dev/ttyUSB0");
  fs::remove(root_ / "dev/ttyUSB1");
  EXPECT_EQ(Check().substr(0, 40), "W no serial device found (ttyUSB*, ttyAC");
}

}  // namespace
