// update-firmware-cli end to end on what it tells without flashing: list,
// the USB selectors, doctor, help and the usage errors.
#include <sys/file.h>
#include <sys/ioctl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <regex>

#include "tests/support/cli_harness.h"
#include "tests/update/sysfs_fixture.h"

namespace {

// --- Command line: 0 and 64 ---------------------------------------------------

TEST_F(CliE2e, HelpVersionAndUsageErrors) {
  const Result version = Run({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "update-firmware-cli " UF_VERSION "\n");
  EXPECT_EQ(version.err, "");

  const Result help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: update-firmware-cli [OPTIONS] SUBCOMMAND\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("130  interrupted"), std::string::npos);
  EXPECT_EQ(help.err, "");

  std::vector<std::vector<std::string>> bad = {{}, {"--frobnicate", "list"}};
  if (!UnderWine()) {  // each run costs seconds there
    bad.push_back({"flash", "COM1"});
    bad.push_back({"erase"});
  }
  for (const auto& args : bad) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\nRun with --help for more information.\n"), std::string::npos) << r.err;
  }
}

// --- list ------------------------------------------------------------------

TEST_F(CliE2e, ListNamesOpenablePortsAndExplainsABusyOne) {
  if (UnderWine()) GTEST_SKIP() << "under Wine see ListUnderWineNamesThePortsThatOpen";
  // Three terminals; the test holds the middle one as another program would.
  Sim a = Board(3, {"--sessions", "0"});
  Sim b = Board(7, {"--sessions", "0"});
  Sim c = Board(12, {"--sessions", "0"});
  const int holder = open(b.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Result r = Run({"list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "COM3 " + a.pty + "\nCOM12 " + c.pty + "\n");
  // Held by this test's own process, which the tool names.
  EXPECT_EQ(r.err, "COM7 " + b.pty + ": busy, in use by cli_e2e_test (pid " +
                       std::to_string(getpid()) + ")\n");
  // Once released it is listed; --quiet drops the explanations only.
  const Result quiet = Run({"list", "-q"});
  EXPECT_EQ(quiet.out, r.out);
  EXPECT_EQ(quiet.err, "");
  close(holder);
  EXPECT_EQ(Run({"list"}).out, "COM3 " + a.pty + "\nCOM7 " + b.pty + "\nCOM12 " + c.pty + "\n");
}

TEST_F(CliE2e, ListExplainsPermissionAndExclusiveUse) {
  if (UnderWine()) GTEST_SKIP() << "permissions are a Linux matter";
  // Run as nobody when we are root: root opens everything.
  Process::Options o;
  o.as_nobody = geteuid() == 0;
  Pty ports[3];
  for (const Pty& t : ports) ASSERT_FALSE(t.path.empty());
  chmod(ports[0].path.c_str(), 0666);  // free
  chmod(ports[1].path.c_str(), 0);     // not ours to open
  chmod(ports[2].path.c_str(), 0666);  // held in exclusive mode by us
  ASSERT_EQ(ioctl(ports[2].slave, TIOCEXCL), 0);
  Map(2, ports[0].path);
  Map(5, ports[1].path);
  Map(16, ports[2].path);
  const Result r = Run({"list"}, o);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "COM2 " + ports[0].path + "\n");
  if (geteuid() != 0 || o.as_nobody) {
    // The device's owner, group and mode, and the fix that fits them.
    EXPECT_EQ(r.err, "COM5 " + ports[1].path +
                         ": permission denied; its group may not read and write it (root:root "
                         "c---------): a udev rule must give it a group such as dialout, mode "
                         "0660, or run: sudo chmod 0666 " + ports[1].path + " (until the next plug-in)\n"
                         "COM16 " + ports[2].path + ": busy, held by another program\n");
  }
}

TEST_F(CliE2e, ListUnderWineNamesThePortsThatOpen) {
  if (!UnderWine()) GTEST_SKIP() << "natively see ListNamesOpenablePortsAndExplainsABusyOne";
  // Wine enforces neither the exclusive share mode nor a lock on a serial
  // device: a port another program holds (natively or under Wine) opens
  // there all the same, so "held" is tested natively only. Here: the
  // mapped terminals are listed, in ascending order, and a COM name whose
  // device is missing is not.
  Pty ports[2];
  for (Pty& t : ports) {
    ASSERT_FALSE(t.path.empty());
    t.CloseSlave();
  }
  Map(12, ports[0].path);
  Map(3, ports[1].path);
  Map(8, kNowhere);
  const Result r = Run({"list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  // Other tests of this build may own other COM names at the same time,
  // and Wine links COM1 to /dev/ttyS0; only ours are checked.
  std::vector<std::string> ours;
  for (const std::string& line : Lines(r.out)) {
    if (line == "COM3" || line == "COM8" || line == "COM12") ours.push_back(line);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"COM3", "COM12"})) << r.out;
}

// --- USB identities and selectors (sysfs is Linux's) --------------------------

class CliUsbE2e : public CliE2e {
 protected:
  // Puts an adapter of this make behind the simulator's terminal in a
  // sysfs tree of our own.
  void Adapter(const Sim& sim, const std::string& usb_port, const std::string& vid,
               const std::string& pid, const std::string& product, const std::string& serial) {
    sysfs_fixture::UsbSerialAdapter(sysfs_, fs::path(sim.pty).filename().string(), usb_port, vid,
                                    pid, "Maker", product, serial);
  }
  void SetUp() override {
    CliE2e::SetUp();
    sysfs_ = dir_ + "/sys";
    ports_["UPDATE_FIRMWARE_SYSFS"] = sysfs_;
  }
  std::string sysfs_;
};

TEST_F(CliUsbE2e, ListShowsEachAdapterAndSelectorsPickThem) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's; SetupAPI parsing is tested apart";
  const std::string bytes = Firmware("trx.fw", 400, 25);
  Sim a = Board(5, {"--sessions", "0"});
  Sim b = Board(6, {"--sessions", "0"});
  Sim c = Board(7, {"--sessions", "0"});
  Adapter(a, "1-1", "0403", "6001", "FT232R USB UART", "A1");
  Adapter(b, "1-2", "0403", "6001", "FT232R USB UART", "A2");
  Adapter(c, "1-3", "10c4", "ea60", "CP2102", "C1");

  const Result list = Run({"list"});
  EXPECT_EQ(list.out, "COM5 " + a.pty + " 0403:6001 Maker FT232R USB UART sn A1 at 1-1\n" +
                          "COM6 " + b.pty + " 0403:6001 Maker FT232R USB UART sn A2 at 1-2\n" +
                          "COM7 " + c.pty + " 10c4:ea60 Maker CP2102 sn C1 at 1-3\n");
  const Result json = Run({"list", "--json"});
  const std::vector<std::string> objects = Lines(json.out);
  ASSERT_EQ(objects.size(), 3u) << json.out;
  const nlohmann::json third = nlohmann::json::parse(objects[2]);
  EXPECT_EQ(third["port"], "COM7");
  EXPECT_EQ(third["device"], c.pty);
  EXPECT_EQ(third["usb"]["serial"], "C1");
  EXPECT_EQ(third["usb"]["pid"], "ea60");

  // One board by serial (case ignored), then both FTDI boards by their IDs.
  const Result one = Run({"flash", "-q", "sn:a2", "trx.fw"});
  EXPECT_EQ(one.code, 0) << one.err;
  EXPECT_TRUE(SameBytes(ReadFile(b.image), bytes));
  EXPECT_EQ(ReadFile(a.image), "");
  const Result pair = Run({"flash", "--json", "0403:6001", "trx.fw"});
  EXPECT_EQ(pair.code, 0) << pair.err;
  EXPECT_NE(pair.out.find("\"port\":\"COM5\""), std::string::npos);
  EXPECT_NE(pair.out.find("\"serial\":\"A2\""), std::string::npos);
  EXPECT_TRUE(SameBytes(ReadFile(a.image), bytes));
  EXPECT_EQ(ReadFile(c.image), "");

  // Nothing matches: a usage error listing what is there.
  const Result none = Run({"flash", "sn:ZZ", "trx.fw"});
  EXPECT_EQ(none.code, 64);
  EXPECT_NE(none.err.find("no port matches 'sn:ZZ'; the ports that open:\n  COM5 " + a.pty +
                          " 0403:6001"),
            std::string::npos)
      << none.err;
  // A serial two adapters share (cheap clones do): every one named.
  fs::remove_all(sysfs_);
  Adapter(a, "1-1", "0403", "6001", "FT232R USB UART", "A1");
  Adapter(c, "1-3", "10c4", "ea60", "CP2102", "A1");
  const Result twice = Run({"flash", "sn:A1", "trx.fw"});
  EXPECT_EQ(twice.code, 64);
  EXPECT_NE(twice.err.find("'sn:A1' is meant for one board but matches 2 ports:\n  COM5 "),
            std::string::npos)
      << twice.err;
  EXPECT_NE(twice.err.find("\n  COM7 " + c.pty + " 10c4:ea60 Maker CP2102 sn A1"),
            std::string::npos);
}

TEST_F(CliE2e, LookingAtPortsChangesNothingOnThem) {
  if (UnderWine()) GTEST_SKIP() << "termios is Linux's";
  Pty terminal;
  ASSERT_FALSE(terminal.path.empty());
  termios before = terminal.Settings();
  cfsetspeed(&before, B115200);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &before), 0);
  // Let go of it (a port another program holds open is busy), keep the
  // master: the terminal keeps its settings.
  terminal.CloseSlave();
  Map(5, terminal.path);
  const Result r = Run({"list"});
  terminal.slave = open(terminal.path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(r.out, "COM5 " + terminal.path + "\n");
  const termios after = terminal.Settings();
  EXPECT_EQ(cfgetospeed(&after), B115200);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
}

TEST_F(CliUsbE2e, NamesFromDevicesAndFilesCannotSteerTheTerminalOrTheReports) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's";
  const std::string bytes = Firmware("fw\xff.bin", 300, 37);
  Sim a = Board(5, {"--sessions", "0"});
  sysfs_fixture::UsbSerialAdapter(sysfs_, fs::path(a.pty).filename().string(), "1-1", "0403",
                                  "6001", "Evil\x1b[2J\xc3", "UART", "S1");
  const Result list = Run({"list"});
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
  EXPECT_NE(list.out.find("Evil\\x1b[2J"), std::string::npos) << list.out;
  const Result json = Run({"list", "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_FALSE(nlohmann::json::parse(json.out, nullptr, false).is_discarded()) << json.out;

  // A port whose name would end the worker's report and make up another.
  const std::string evil = dir_ + "/x\nprogress 1 1 99\n{\"progress\":[1,1,99]}";
  const Result r = Run({"flash", "--json", "COM5", evil, "fw\xff.bin"});
  EXPECT_EQ(r.code, 2) << r.err;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(e.is_discarded()) << line;
    if (e.value("port", "") == evil) {
      EXPECT_NE(e["event"], "progress") << line;
    }
  }
  EXPECT_TRUE(SameBytes(ReadFile(a.image), bytes));
  const Result text = Run({"flash", "COM5", evil, "fw\xff.bin"});
  EXPECT_NE(text.err.find("/x\\x0aprogress 1 1 99\\x0a"), std::string::npos) << text.err;
  EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\x1b'), 0);
}

TEST_F(CliE2e, WordsThatNameNoPortAreUsageErrors) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"flash", "sn:", "fw.bin"}, "'sn:' needs the adapter's serial number"},
      {{"flash", "zzzz:1", "fw.bin"}, "'zzzz:1' is not a VID:PID selector"},
      {{"flash", "1234:", "fw.bin"}, "'1234:' is not a VID:PID selector"},
      {{"flash", "COM0", "fw.bin"}, "'COM0' is no port: the names are COM1 to COM16"},
      {{"flash", "COM17", "fw.bin"}, "'COM17' is no port"},
      {{"flash", "dev/ttyUSB0", "fw.bin"}, "a device path from /"},
      {{"flash", "--wait", "--count", "0x10", "COM5", "fw.bin"}, "in decimal digits"},
      {{"flash", "--wait", "--count", "1e3", "COM5", "fw.bin"}, "in decimal digits"},
  };
  for (const auto& [args, why] : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 64) << args[1];
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
}

TEST_F(CliUsbE2e, ALocationSelectsTheSlotWhateverTheAdapterIsCalledNow) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's; SetupAPI locations are tested apart";
  const std::string bytes = Firmware("fw.bin", 300, 45);
  Sim before = Board(5, {"--sessions", "0"});
  Sim after = Board(6, {"--sessions", "0"});
  // Cheap adapters without serial numbers, in slots 1-2.1 and 1-2.2.
  Adapter(before, "1-2.1", "1a86", "7523", "CH340", "");
  Adapter(after, "1-2.2", "1a86", "7523", "CH340", "");
  EXPECT_EQ(Run({"flash", "-q", "loc:1-2.1", "fw.bin"}).code, 0);
  EXPECT_TRUE(SameBytes(ReadFile(before.image), bytes));
  // Replugged: slot 1-2.1 now holds the adapter that had another name.
  fs::remove_all(sysfs_);
  Adapter(after, "1-2.1", "1a86", "7523", "CH340", "");
  EXPECT_EQ(Run({"flash", "-q", "loc:1-2.1", "fw.bin"}).code, 0);
  EXPECT_TRUE(SameBytes(ReadFile(after.image), bytes));
  EXPECT_EQ(Run({"flash", "loc:9-9", "fw.bin"}).code, 64);
}

TEST_F(CliE2e, DoctorSaysWhatStopsFlashingAndTheExitCodeAgrees) {
  // A machine with one serial device, which nobody may open.
  fs::create_directories(dir_ + "/dev");
  Pty bare;
  ASSERT_FALSE(bare.path.empty());
  bare.CloseSlave();
  fs::create_symlink(bare.path, dir_ + "/dev/ttyUSB0");
  chmod(bare.path.c_str(), 0);
  Process::Options o;
  o.env["UPDATE_FIRMWARE_DEV"] = dir_ + "/dev";
  // Root opens anything; nobody does not. Wine's prefix is root's.
  o.as_nobody = geteuid() == 0 && !UnderWine();
  const Result r = Run({"doctor", "--json"}, o);
  bare.CloseMaster();
  bool blocking = false;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json f = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(f.is_discarded()) << line;
    EXPECT_EQ(f["event"], "finding");
    blocking = blocking || f["severity"] == "blocking";
  }
  EXPECT_FALSE(Lines(r.out).empty());
  EXPECT_EQ(r.code, blocking ? 1 : 0) << r.out;
  if (!UnderWine()) {
    EXPECT_TRUE(blocking) << r.out;  // the device nobody may open
  }
}

TEST_F(CliE2e, DoctorAndFlashJudgeAPortAlike) {
  if (UnderWine()) return;  // Windows cannot say who holds a port
  Firmware("fw.bin", 10);
  Sim sim = Board(5, {"--sessions", "0"});
  fs::create_directories(dir_ + "/dev");
  fs::create_symlink(sim.pty, dir_ + "/dev/ttyUSB0");
  Process::Options o;
  o.env = {{"UPDATE_FIRMWARE_DEV", dir_ + "/dev"}, {"UPDATE_FIRMWARE_LOCKDIRS", dir_}};
  // A live pid without the port open: maybe another's by now, not one to end.
  LockPort(dir_, sim.pty, getpid());
  const Result doctor = Run({"doctor"}, o);
  EXPECT_EQ(doctor.code, 1);
  for (const std::string& said : {"cli_e2e_test (pid " + std::to_string(getpid()) + "), not seen to have it open",
                                 "the lock is stale: rm " + dir_ + "/LCK.."})
    EXPECT_NE(doctor.out.find(said), std::string::npos) << doctor.out;
  EXPECT_EQ(doctor.out.find("kill"), std::string::npos) << doctor.out;
  EXPECT_EQ(Run({"flash", "COM5", "fw.bin"}, o).code, 2);
  // A zombie has closed everything: its lock is stale.
  Zombie ended;
  ASSERT_GT(ended.pid, 0);
  LockPort(dir_, sim.pty, ended.pid);
  EXPECT_EQ(Run({"doctor"}, o).code, 0);
  EXPECT_EQ(Run({"flash", "COM5", "fw.bin"}, o).code, 0);
  // Nodes no open makes a port of, in the open's words.
  ASSERT_EQ(mkfifo((dir_ + "/dev/ttyUSB1").c_str(), 0666), 0);
  fs::create_symlink(kNowhere, dir_ + "/dev/ttyUSB2");
  const std::string nodes = Run({"doctor"}, o).out;
  for (const char* said : {"ttyUSB1 \\(COM6\\)[^\n]*; not a serial device\n", "ttyUSB2 \\(COM7\\); no such device\n"})
    EXPECT_TRUE(std::regex_search(nodes, std::regex(said))) << nodes;
  EXPECT_NE(Run({"flash", dir_ + "/dev/ttyUSB1", "fw.bin"}).err.find(": not a serial device)"), std::string::npos);
  EXPECT_NE(Run({"flash", dir_ + "/dev/ttyUSB2", "fw.bin"}).err.find(": no such device)"), std::string::npos);
}

}  // namespace
