// The rules of `doctor`, on both platforms: what each finding says and asks.
#include <gtest/gtest.h>

#include "update/doctor.h"

namespace {

std::string Lines(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& f : findings) {
    text += "OWB"[f.severity] + std::string(" ") + f.what + (f.fix.empty() ? "" : " | " + f.fix) + "\n";
  }
  return text;
}

TEST(DoctorRules, GroupsModesAndTheFixForARefusedOpen) {
  const auto groups = ParseGroupFile("# local\nroot:x:0:\ndialout:x:20:ada,bob\nbad:x:2x:\nshort:x:3\n"
                                     "plugdev:x:46:\r\n");
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[1].name, "dialout");
  EXPECT_EQ(groups[1].gid, 20u);
  EXPECT_EQ(groups[1].members, (std::vector<std::string>{"ada", "bob"}));
  EXPECT_TRUE(groups[2].members.empty());

  const uint32_t crw_rw = 0020660;
  EXPECT_EQ(ModeText(crw_rw), "crw-rw----");
  EXPECT_TRUE(ModeAllowsReadWrite(1000, {1000, 20}, 0, 20, crw_rw));
  EXPECT_FALSE(ModeAllowsReadWrite(1000, {1000}, 0, 20, crw_rw));
  EXPECT_TRUE(ModeAllowsReadWrite(0, {0}, 5, 20, 0020000));
  // The owner class decides for the owner, even when the group could.
  EXPECT_FALSE(ModeAllowsReadWrite(1000, {20}, 1000, 20, 0020060));

  DeviceAccess a;
  a.found = true;
  a.owner = "root";
  a.group = "dialout";
  a.gid = 20;
  a.mode = crw_rw;
  EXPECT_EQ(AccessFix(a, "/dev/ttyUSB0"), "sudo usermod -aG dialout $USER, then log out and in again");
  a.listed_in_group = true;
  EXPECT_EQ(AccessFix(a, "/dev/ttyUSB0"),
            "log out and in again: you were added to the group 'dialout' after this login");
  a.mode = 0020600;
  EXPECT_NE(AccessFix(a, "/dev/ttyUSB0").find("sudo chmod 0666 /dev/ttyUSB0"), std::string::npos);
  a.can_open = true;
  EXPECT_EQ(AccessFix(a, "/dev/ttyUSB0"), "");
}

TEST(DoctorRules, BrlttyRulesThatClaimAdapters) {
  EXPECT_EQ(BrlttyClaims("# brltty\nENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\"\n"
                         "ENV{PRODUCT}==\"10c4/ea60/*\", GOTO=\"brltty_usb_run\"\n"),
            (std::vector<std::string>{"CH340", "CP210x"}));
  EXPECT_EQ(BrlttyClaims("# brltty\nSUBSYSTEM==\"usb\", ATTRS{idVendor}==\"10c4\", ATTRS{idProduct}==\"ea60\"\n"),
            std::vector<std::string>{"CP210x"});
  EXPECT_TRUE(BrlttyClaims("# brltty\n# ENV{PRODUCT}==\"1a86/7523/*\"\n").empty());
  EXPECT_TRUE(BrlttyClaims("ENV{PRODUCT}==\"1a86/7523/*\", MODE=\"0666\"\n").empty()) << "not brltty's";
  EXPECT_EQ(Lines(BrlttyFindings(true, "/lib/udev/rules.d/85-brltty.rules", {"CH340"}, true)),
            "B brltty is installed and its udev rule /lib/udev/rules.d/85-brltty.rules takes CH340 "
            "adapters for braille displays: their serial device disappears | sudo apt remove brltty, "
            "or mask the rule: sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules\n");
  EXPECT_EQ(BrlttyFindings(true, "r", {"CH340"}, false).at(0).severity, Finding::Warning);
  EXPECT_TRUE(BrlttyFindings(false, "r", {"CH340"}, true).empty());
}

TEST(DoctorRules, ComPortsInNumberOrderWithWhyTheyDoNotOpen) {
  EXPECT_EQ(ComPortFindings({}).at(0).severity, Finding::Warning);
  EXPECT_EQ(Lines(ComPortFindings({{"COM10", PortErrorNone, 0},
                                   {"COM3", PortErrorBusy, 5},
                                   {"COM4", PortErrorOther, 31}})),
            "B COM3 is in use by another program | close the program that has COM3 open (a terminal, "
            "another flashing tool, a modem or sync tool)\n"
            "B COM4 is listed but does not open (error 31) | unplug the adapter and plug it in "
            "again; if that does not help, reinstall its driver\n"
            "O COM10 opens\n");
}

}  // namespace
