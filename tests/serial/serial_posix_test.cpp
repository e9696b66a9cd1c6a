// The termios backend over pseudo-terminals. UPDATE_FIRMWARE_COMn puts a
// pty behind a COM name; the test keeps the master side as "the device".
// A pty has no modem lines and keeps neither parity nor fewer than 8 data
// bits, so those settings are checked on the built termios instead, and the
// pty's refusal serves as a driver that refuses settings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <thread>

#include "serial/port_names.h"
#include "serial/serial.h"
#include "serial/serial_posix.h"
#include "tests/support/pty.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

intptr_t OpenBootloaderSettings(int32_t slot, const char* name) {
  return OpenPort(slot, name, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
}

// What LastPortError says after `result`, as "reason errno".
std::string Why(intptr_t result) {
  int32_t system_error = -1;
  const PortError error = LastPortError(&system_error);
  return (result ? "open: " : "") + std::to_string(error) + " " + std::to_string(system_error);
}
std::string Reason(PortError error, int32_t system_error) {
  return std::to_string(error) + " " + std::to_string(system_error);
}

bool WaitForInput(int32_t slot, int32_t count, int timeout_ms = 2000) {
  const auto start = Clock::now();
  while (MsSince(start) < timeout_ms) {
    if (PortInputCount(slot) == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class SerialPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(com5.path.empty());
    ASSERT_FALSE(com6.path.empty());
    setenv("UPDATE_FIRMWARE_COM5", com5.path.c_str(), 1);
    setenv("UPDATE_FIRMWARE_COM6", com6.path.c_str(), 1);
    setenv("UPDATE_FIRMWARE_COM7", "/nonexistent/serial-device", 1);
  }
  void TearDown() override {
    CloseAllPorts();
    unsetenv("UPDATE_FIRMWARE_COM5");
    unsetenv("UPDATE_FIRMWARE_COM6");
    unsetenv("UPDATE_FIRMWARE_COM7");
  }
  Pty com5;
  Pty com6;
};

// --- Line settings --------------------------------------------------------

TEST_F(SerialPosix, BootloaderSettingsGiveARaw9600Line8N1) {
  ASSERT_TRUE(com5.Settings().c_lflag & ICANON);  // a fresh pty is cooked
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  const termios t = com5.Settings();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_FALSE(t.c_iflag & (IXON | ICRNL | INLCR | IGNCR | ISTRIP));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // Raw means binary-clean both ways: no CR/LF games, no echo.
  com5.Send(std::string("\r\n\x03\x11\x13\x00", 6));
  char buf[6];
  ASSERT_EQ(ReadPort(0, buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), std::string("\r\n\x03\x11\x13\x00", 6));
  ASSERT_EQ(WritePort(0, "\n\x13", 2), 2);
  EXPECT_EQ(com5.Receive(3, 200), "\n\x13");
}

TEST_F(SerialPosix, BaudAndStopBitsReachTheDevice) {
  struct Case {
    uint32_t baud;
    speed_t speed;
    float stop;
    bool two_stop_bits;
  } cases[] = {
      {115200, B115200, 1.0f, false}, {57600, B57600, 2.0f, true}, {1200, B1200, 1.5f, true},
      {300, B300, 0.0f, true},        {19200, B19200, 3.0f, true}, {4800, B4800, 1.0f, false},
  };
  for (const Case& c : cases) {
    ASSERT_NE(OpenPort(0, "COM5", c.baud, 0, 8, c.stop, HandshakeNone, 16, 16), 0) << c.baud;
    const termios t = com5.Settings();
    EXPECT_EQ(cfgetispeed(&t), c.speed) << c.baud;
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.baud;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two_stop_bits) << c.stop;
    ClosePort(0);
  }
}

TEST_F(SerialPosix, HandshakeModesSetFlowControl) {
  auto open_with = [&](int32_t mode, tcflag_t preset_cflag, tcflag_t preset_iflag) {
    termios t = com5.Settings();
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CRTSCTS)) | preset_cflag;
    t.c_iflag = (t.c_iflag & ~static_cast<tcflag_t>(IXON | IXOFF)) | preset_iflag;
    tcsetattr(com5.slave, TCSANOW, &t);
    EXPECT_NE(OpenPort(0, "COM5", 9600, 0, 8, 1.0f, mode, 100, 100), 0) << mode;
    const termios got = com5.Settings();
    ClosePort(0);
    return got;
  };

  // The modes that drive RTS open on a device without modem lines.
  termios none = open_with(HandshakeNone, CRTSCTS, 0);
  EXPECT_FALSE(none.c_cflag & CRTSCTS);
  termios rts = open_with(HandshakeRts, CRTSCTS, 0);
  EXPECT_FALSE(rts.c_cflag & CRTSCTS);

  termios rtscts = open_with(HandshakeRtsCts, 0, 0);
  EXPECT_TRUE(rtscts.c_cflag & CRTSCTS);
  EXPECT_FALSE(rtscts.c_iflag & IXON);

  termios xon = open_with(HandshakeXonXoff, 0, 0);
  EXPECT_EQ(xon.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(xon.c_cc[VSTART], 0x11);
  EXPECT_EQ(xon.c_cc[VSTOP], 0x13);
  EXPECT_FALSE(xon.c_cflag & CRTSCTS);
  // XON/XOFF leaves the hardware handshake as it found it.
  termios xon_cts = open_with(HandshakeXonXoff, CRTSCTS, 0);
  EXPECT_TRUE(xon_cts.c_cflag & CRTSCTS);

  // Modes 0-2 keep input XON/XOFF as found; raw mode drops output XON/XOFF.
  termios none_ixoff = open_with(HandshakeNone, 0, IXON | IXOFF);
  EXPECT_EQ(none_ixoff.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXOFF));

  // An unknown mode leaves the hardware handshake alone, either way.
  EXPECT_TRUE(open_with(9, CRTSCTS, 0).c_cflag & CRTSCTS);
  EXPECT_FALSE(open_with(-1, 0, 0).c_cflag & CRTSCTS);
}

TEST(SerialTermios, ParityDataBitsAndRefusedValues) {
  termios reported{};
  cfmakeraw(&reported);
  termios t{};
  const tcflag_t kParity = PARENB | PARODD | CMSPAR;
  struct {
    uint8_t code;
    tcflag_t flags;
  } parities[] = {{0, 0},
                  {1, PARENB | PARODD},
                  {2, PARENB},
                  {3, PARENB | CMSPAR | PARODD},
                  {4, PARENB | CMSPAR}};
  for (const auto& p : parities) {
    ASSERT_TRUE(BuildTermios(reported, MakeLineSettings(9600, p.code, 8, 1.0f, 0, 16, 16), &t));
    EXPECT_EQ(t.c_cflag & kParity, p.flags) << int(p.code);
    EXPECT_TRUE(t.c_iflag & INPCK) << int(p.code);
  }
  // A reported odd parity does not leak into "none".
  termios reported_odd = reported;
  reported_odd.c_cflag |= PARENB | PARODD | CMSPAR;
  ASSERT_TRUE(BuildTermios(reported_odd, MakeLineSettings(9600, 0, 8, 1.0f, 0, 16, 16), &t));
  EXPECT_EQ(t.c_cflag & kParity, 0u);

  struct {
    uint8_t bits;
    tcflag_t size;
  } sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
  for (const auto& s : sizes) {
    ASSERT_TRUE(BuildTermios(reported, MakeLineSettings(9600, 0, s.bits, 1.0f, 0, 16, 16), &t));
    EXPECT_EQ(t.c_cflag & CSIZE, s.size) << int(s.bits);
  }

  EXPECT_FALSE(BuildTermios(reported, MakeLineSettings(9600, 5, 8, 1.0f, 0, 16, 16), &t));
  EXPECT_FALSE(BuildTermios(reported, MakeLineSettings(9600, 0, 4, 1.0f, 0, 16, 16), &t));
  EXPECT_FALSE(BuildTermios(reported, MakeLineSettings(9600, 0, 9, 1.0f, 0, 16, 16), &t));
  EXPECT_FALSE(BuildTermios(reported, MakeLineSettings(0, 0, 8, 1.0f, 0, 16, 16), &t));
  EXPECT_FALSE(BuildTermios(reported, MakeLineSettings(12345, 0, 8, 1.0f, 0, 16, 16), &t));

  // The read-back check notices a dropped setting.
  ASSERT_TRUE(BuildTermios(reported, MakeLineSettings(9600, 3, 7, 2.0f, 0, 16, 16), &t));
  EXPECT_TRUE(TermiosTaken(t, t));
  for (tcflag_t dropped : {tcflag_t(PARENB), tcflag_t(CMSPAR), tcflag_t(CSTOPB)}) {
    termios got = t;
    got.c_cflag &= ~dropped;
    EXPECT_FALSE(TermiosTaken(t, got)) << dropped;
  }
  termios slower = t;
  cfsetospeed(&slower, B4800);
  EXPECT_FALSE(TermiosTaken(t, slower));
}

TEST_F(SerialPosix, SettingsTheDeviceDropsOrCannotTakeFailTheOpen) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM6"), 0);
  // A pty keeps only 8 data bits and no parity: like a driver refusing them.
  EXPECT_EQ(OpenPort(1, "COM5", 9600, 2, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(OpenPort(1, "COM5", 9600, 0, 7, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(OpenPort(1, "COM5", 12345, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  // Each refused open let go of the device again...
  EXPECT_TRUE(FreeForOthers(com5.path));
  // ...and a refused open on an occupied slot keeps the port it held.
  EXPECT_EQ(OpenPort(0, "COM5", 9600, 0, 6, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_FALSE(FreeForOthers(com6.path));
  ASSERT_EQ(WritePort(0, "still", 5), 5);
  EXPECT_EQ(com6.Receive(5), "still");
}

// --- Names ------------------------------------------------------------------

TEST(SerialPortNames, FixedTableAndPerNameOverride) {
  unsetenv("UPDATE_FIRMWARE_COM5");
  unsetenv("UPDATE_FIRMWARE_COM12");
  const char* expected[] = {
      "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3",
      "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3",
      "/dev/ttyUSB4", "/dev/ttyUSB5", "/dev/ttyACM0", "/dev/ttyACM1",
      "/dev/ttyACM2", "/dev/ttyACM3", "/dev/ttyACM4", "/dev/ttyACM5"};
  for (int n = 1; n <= 16; ++n) {
    const std::string name = "COM" + std::to_string(n);
    EXPECT_EQ(SerialDevicePathForName(name.c_str()), expected[n - 1]) << name;
    EXPECT_EQ(DefaultDevicePathForCom(n), expected[n - 1]) << n;
  }
  EXPECT_EQ(SerialDevicePathForName("com5"), "/dev/ttyUSB0");
  for (const char* nowhere : {"COM0", "COM17", "COM05", "COM", "COM1x", "COM-1", "", "LPT1",
                              "ttyS0", "COM99999999999"}) {
    EXPECT_EQ(SerialDevicePathForName(nowhere), "") << nowhere;
  }
  EXPECT_EQ(SerialDevicePathForName(nullptr), "");
  EXPECT_EQ(SerialDevicePathForName("/dev/ttyUSB3"), "/dev/ttyUSB3");

  setenv("UPDATE_FIRMWARE_COM12", "/dev/pts/42", 1);
  EXPECT_EQ(SerialDevicePathForName("COM12"), "/dev/pts/42");
  EXPECT_EQ(SerialDevicePathForName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePathForName("COM11"), "/dev/ttyACM0");
  EXPECT_EQ(DefaultDevicePathForCom(12), "/dev/ttyACM1");
  setenv("UPDATE_FIRMWARE_COM12", "", 1);
  EXPECT_EQ(SerialDevicePathForName("COM12"), "/dev/ttyACM1");
  unsetenv("UPDATE_FIRMWARE_COM12");
}

TEST_F(SerialPosix, NamesThatLeadNowhereFail) {
  EXPECT_EQ(OpenBootloaderSettings(0, "COM7"), 0);  // override to a missing file
  EXPECT_EQ(OpenBootloaderSettings(0, "COM17"), 0);
  EXPECT_EQ(OpenBootloaderSettings(0, "LPT1"), 0);
  EXPECT_EQ(OpenBootloaderSettings(0, nullptr), 0);
  EXPECT_EQ(OpenBootloaderSettings(0, "/dev/null"), 0);  // not a terminal
  EXPECT_EQ(PortInputCount(0), 0);
}

TEST_F(SerialPosix, TwoDigitComNamesAndDevicePathsOpenLikeCom1) {
  setenv("UPDATE_FIRMWARE_COM1", com5.path.c_str(), 1);
  setenv("UPDATE_FIRMWARE_COM16", com6.path.c_str(), 1);
  EXPECT_NE(OpenBootloaderSettings(0, "COM1"), 0);
  EXPECT_NE(OpenBootloaderSettings(1, "COM16"), 0);
  CloseAllPorts();
  EXPECT_NE(OpenBootloaderSettings(2, com6.path.c_str()), 0);
  unsetenv("UPDATE_FIRMWARE_COM1");
  unsetenv("UPDATE_FIRMWARE_COM16");
}

TEST_F(SerialPosix, LongNamesAreUsedWhole) {
  // The first 59 characters of the longer link name the other one.
  char dir[] = "/tmp/uf-serial-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string prefix = std::string(dir) + "/" + std::string(58 - std::strlen(dir), 'p');
  ASSERT_EQ(symlink(com6.path.c_str(), prefix.c_str()), 0);
  ASSERT_EQ(symlink(com5.path.c_str(), (prefix + "-62").c_str()), 0);
  EXPECT_NE(OpenBootloaderSettings(0, (prefix + "-62").c_str()), 0);
  EXPECT_FALSE(FreeForOthers(com5.path));
  EXPECT_TRUE(FreeForOthers(com6.path)) << "the name was cut to 59 characters";
  std::filesystem::remove_all(dir);
}

// --- Exclusive access and slots ---------------------------------------------

TEST_F(SerialPosix, APortIsExclusive) {
  // The tests run as root, for whom the kernel ignores TIOCEXCL: this is
  // the lock at work.
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  EXPECT_FALSE(FreeForOthers(com5.path));
  EXPECT_EQ(OpenBootloaderSettings(1, "COM5"), 0);  // another slot of ours

  // Another program holding the device keeps us out.
  int other = open(com6.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenBootloaderSettings(1, "COM6"), 0);
  close(other);
  EXPECT_NE(OpenBootloaderSettings(1, "COM6"), 0);

  ClosePort(0);
  EXPECT_TRUE(FreeForOthers(com5.path));
  EXPECT_NE(OpenBootloaderSettings(2, "COM5"), 0);
}

TEST_F(SerialPosix, ReopeningASlotClosesTheOldPortOnlyAfterTheNewOneOpened) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  // Had the old port been closed first, this would have succeeded.
  EXPECT_EQ(OpenBootloaderSettings(0, "COM5"), 0);
  ASSERT_EQ(WritePort(0, "old", 3), 3);
  EXPECT_EQ(com5.Receive(3), "old");

  ASSERT_NE(OpenBootloaderSettings(0, "COM6"), 0);
  EXPECT_TRUE(FreeForOthers(com5.path));
  EXPECT_FALSE(FreeForOthers(com6.path));
  ASSERT_EQ(WritePort(0, "new", 3), 3);
  EXPECT_EQ(com6.Receive(3), "new");
  EXPECT_EQ(com5.Receive(1, 100), "");

  // A failed open leaves the slot's port open and working.
  EXPECT_EQ(OpenBootloaderSettings(0, "COM7"), 0);
  ASSERT_EQ(WritePort(0, "kept", 4), 4);
  EXPECT_EQ(com6.Receive(4), "kept");
  com6.Send("in");
  ASSERT_TRUE(WaitForInput(0, 2));
}

TEST_F(SerialPosix, ClosedAndNeverOpenedSlotsDoNothing) {
  ASSERT_NE(OpenBootloaderSettings(3, "COM5"), 0);
  com5.Send("zz");
  ASSERT_TRUE(WaitForInput(3, 2));
  ClosePort(3);
  ClosePort(3);
  EXPECT_TRUE(FreeForOthers(com5.path));

  char buffer[4] = {'-', '-', '-', '-'};
  for (int32_t slot : {3, 0, 4, 16, 40}) {
    EXPECT_EQ(PortInputCount(slot), 0) << slot;
    EXPECT_EQ(PortOutputCount(slot), 0) << slot;
    EXPECT_EQ(ReadPort(slot, buffer, 4), 0) << slot;
    EXPECT_EQ(WritePort(slot, "abcd", 4), 0) << slot;
  }
  EXPECT_EQ(std::string(buffer, 4), "----");
  EXPECT_EQ(com5.Receive(1, 100), "");

  // Slot numbers the table cannot hold fail without keeping the device.
  EXPECT_EQ(OpenBootloaderSettings(-1, "COM5"), 0);
  EXPECT_EQ(OpenBootloaderSettings(1 << 20, "COM5"), 0);
  EXPECT_EQ(OpenBootloaderSettings(INT32_MAX, "COM5"), 0);
  EXPECT_TRUE(FreeForOthers(com5.path));
}

TEST_F(SerialPosix, CloseAllPortsClosesEverySlot) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  ASSERT_NE(OpenBootloaderSettings(40, "COM6"), 0);  // beyond the first 16 entries
  CloseAllPorts();
  EXPECT_TRUE(FreeForOthers(com5.path));
  EXPECT_TRUE(FreeForOthers(com6.path));
  EXPECT_EQ(WritePort(0, "x", 1), 0);
  EXPECT_EQ(WritePort(40, "x", 1), 0);
}

TEST_F(SerialPosix, ClosingAndProbingLeaveThePortAsItWasFound) {
  termios found = com5.Settings();  // cooked, and now at 115200 baud
  cfsetspeed(&found, B115200);
  ASSERT_EQ(tcsetattr(com5.slave, TCSANOW, &found), 0);
  found = com5.Settings();
  const auto as_found = [&] {
    const termios now = com5.Settings();
    return std::memcmp(&now, &found, sizeof now) == 0;
  };
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  ASSERT_FALSE(as_found());
  ClosePort(0);
  EXPECT_TRUE(as_found());
  // Also when the device drops a setting after the new ones were applied.
  EXPECT_EQ(OpenPort(0, "COM5", 9600, 2, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(LastPortError(nullptr), PortErrorSettings);
  EXPECT_TRUE(as_found());
  EXPECT_EQ(Why(ProbePort("COM5")), "open: " + Reason(PortErrorNone, 0));
  EXPECT_TRUE(as_found());
  EXPECT_TRUE(FreeForOthers(com5.path));
}

TEST_F(SerialPosix, ProbeAndOpenSayWhyTheyFailed) {
  const int other = open(com5.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EWOULDBLOCK));
  EXPECT_EQ(Why(OpenBootloaderSettings(0, "COM5")), Reason(PortErrorBusy, EWOULDBLOCK));
  close(other);
  EXPECT_EQ(Why(ProbePort("COM7")), Reason(PortErrorAbsent, ENOENT));
  EXPECT_EQ(Why(ProbePort("LPT1")), Reason(PortErrorAbsent, 0));
  EXPECT_EQ(Why(ProbePort(nullptr)), Reason(PortErrorAbsent, 0));
  char file[] = "/tmp/uf-serial-file-XXXXXX";
  close(mkstemp(file));
  EXPECT_EQ(Why(ProbePort(file)), Reason(PortErrorNotSerial, ENOTTY));
  EXPECT_EQ(Why(OpenBootloaderSettings(0, file)), Reason(PortErrorNotSerial, ENOTTY));
  unlink(file);
  EXPECT_EQ(Why(ProbePort("/tmp")), Reason(PortErrorNotSerial, EISDIR));

  EXPECT_EQ(Why(OpenBootloaderSettings(0, "COM5")), "open: " + Reason(PortErrorNone, 0));
  EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EWOULDBLOCK)) << "held by slot 0";
}

TEST_F(SerialPosix, OurOwnTerminalIsNoPort) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In a session of its own, the child makes the pty its terminal.
    const int tty = setsid() < 0 ? -1 : open(com5.path.c_str(), O_RDWR);
    if (tty < 0 || tcgetsid(tty) != getsid(0)) _exit(100);
    int result = 0;
    for (const char* name : {"/dev/tty", com5.path.c_str()}) {
      const std::string refused = Reason(PortErrorControllingTerminal, 0);
      if (Why(OpenBootloaderSettings(0, name)) != refused) result |= 1;
      if (Why(ProbePort(name)) != refused) result |= 2;
    }
    if (!com5.Untouched()) result |= 4;
    _exit(result);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << WEXITSTATUS(status) << " (1: opened, 2: probed, 4: left raw, 100: no terminal)";
}

// --- Data -------------------------------------------------------------------

TEST_F(SerialPosix, CountsFollowWhatArrivesAndIsRead) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  EXPECT_EQ(PortInputCount(0), 0);
  com5.Send("abcde");
  ASSERT_TRUE(WaitForInput(0, 5));
  char buf[8] = {};
  ASSERT_EQ(ReadPort(0, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(PortInputCount(0), 2);
  ASSERT_EQ(ReadPort(0, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "de");
  EXPECT_EQ(PortInputCount(0), 0);

  ASSERT_EQ(WritePort(0, "BL10", 4), 4);
  EXPECT_EQ(com5.Receive(4), "BL10");
  // A pty hands written bytes straight to the other side: nothing queued.
  EXPECT_EQ(PortOutputCount(0), 0);

  // What the platform took, summed per slot from its open on.
  ASSERT_EQ(WritePort(0, "abcdef", 6), 6);
  EXPECT_EQ(WritePort(0, nullptr, 3), 0);
  EXPECT_EQ(PortBytesWritten(0), 10);
  EXPECT_EQ(PortBytesWritten(1), 0);
  ASSERT_NE(OpenBootloaderSettings(0, "COM6"), 0);
  EXPECT_EQ(PortBytesWritten(0), 0);
}

// --- Held by another program --------------------------------------------------

std::string HolderText(const char* name) {
  char program[8];
  const int32_t pid = PortHolder(name, program, sizeof program);
  return std::to_string(pid) + " " + program;
}

TEST_F(SerialPosix, AProcessThatHasTheDeviceOpenKeepsItForItself) {
  {
    HeldElsewhere minicom(com5.path);
    ASSERT_GT(minicom.pid, 0);
    EXPECT_EQ(Why(OpenBootloaderSettings(0, "COM5")), Reason(PortErrorBusy, EBUSY));
    EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EBUSY));
    EXPECT_TRUE(FreeForOthers(com5.path)) << "a refused open let go of its lock";
    EXPECT_EQ(HolderText("COM5"), std::to_string(minicom.pid) + " minicom");
    // A name cut to the room given.
    char tiny[4];
    EXPECT_EQ(PortHolder(com5.path.c_str(), tiny, sizeof tiny), minicom.pid);
    EXPECT_STREQ(tiny, "min");
    // The window program's probe leaves it out; one look serves the sweep.
    std::vector<std::string> opened;
    setenv("UPDATE_FIRMWARE_COM1", com6.path.c_str(), 1);
    BeginPortSweep();
    for (const char* name : {"COM1", "COM5"}) {
      if (OpenBootloaderSettings(1, name) != 0) opened.push_back(name);
      ClosePort(1);
    }
    EXPECT_EQ(PortHolder("COM5", nullptr, 0), minicom.pid);
    EndPortSweep();
    unsetenv("UPDATE_FIRMWARE_COM1");
    EXPECT_EQ(opened, std::vector<std::string>{"COM1"});
  }
  // Our own descriptors (the test's slave side) are no other holder.
  EXPECT_EQ(HolderText("COM5"), "0 ");
  EXPECT_EQ(Why(ProbePort("COM5")), "open: " + Reason(PortErrorNone, 0));
  EXPECT_EQ(PortHolder("COM7", nullptr, 0), 0);
  EXPECT_EQ(PortHolder(nullptr, nullptr, 0), 0);
}

// A /proc and lock directories of our making.
class SerialHeldPosix : public SerialPosix {
 protected:
  void SetUp() override {
    SerialPosix::SetUp();
    ASSERT_NE(mkdtemp(root), nullptr);
    dir = root;
    std::filesystem::create_directories(dir + "/proc");
    std::filesystem::create_directories(dir + "/lock");
    std::filesystem::create_directories(dir + "/run");
    setenv("UPDATE_FIRMWARE_PROC", (dir + "/proc").c_str(), 1);
    setenv("UPDATE_FIRMWARE_LOCKDIRS", (dir + "/lock:" + dir + "/run").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("UPDATE_FIRMWARE_PROC");
    unsetenv("UPDATE_FIRMWARE_LOCKDIRS");
    std::filesystem::remove_all(dir);
    SerialPosix::TearDown();
  }
  void Process(int pid, const std::string& comm) {
    const std::string at = dir + "/proc/" + std::to_string(pid);
    std::filesystem::create_directories(at + "/fd");
    std::ofstream(at + "/comm") << comm << "\n";
  }
  void Lock(const std::string& in, const std::string& content) {
    std::ofstream(dir + "/" + in + "/" + "LCK.." + com5.path.substr(5).replace(3, 1, "_"))
        << content;
  }
  char root[32] = "/tmp/uf-held-XXXXXX";
  std::string dir;
};

TEST_F(SerialHeldPosix, DescriptorsAndLiveLocksMakeAPortBusy) {
  ASSERT_EQ(com5.path.rfind("/dev/pts/", 0), 0u);
  Process(4711, "minicom");
  Process(815, "screen");
  EXPECT_EQ(Why(ProbePort("COM5")), "open: " + Reason(PortErrorNone, 0));
  // A descriptor, found by the device it leads to (the link's name differs).
  std::filesystem::create_symlink(com5.path, dir + "/proc/4711/fd/3");
  EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EBUSY));
  EXPECT_EQ(Why(OpenBootloaderSettings(0, "COM5")), Reason(PortErrorBusy, EBUSY));
  EXPECT_EQ(HolderText("COM5"), "4711 minicom");
  EXPECT_NE(OpenBootloaderSettings(0, "COM6"), 0);
  std::filesystem::remove(dir + "/proc/4711/fd/3");

  // Lock files: ASCII or binary, in either directory, only for the living.
  Lock("lock", "       815\n");
  EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EBUSY));
  EXPECT_EQ(HolderText("COM5"), "815 screen");
  Lock("lock", "     99999\n");  // nobody: a stale lock
  EXPECT_EQ(Why(ProbePort("COM5")), "open: " + Reason(PortErrorNone, 0));
  const int32_t binary = 4711;
  Lock("run", std::string(reinterpret_cast<const char*>(&binary), 4));
  EXPECT_EQ(Why(ProbePort("COM5")), Reason(PortErrorBusy, EBUSY));
  EXPECT_EQ(HolderText("COM5"), "4711 minicom");
  Lock("run", std::to_string(getpid()));  // ours
  EXPECT_EQ(Why(ProbePort("COM5")), "open: " + Reason(PortErrorNone, 0));
}

TEST_F(SerialPosix, ReadWaitsUntilEveryByteHasArrived) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  const auto start = Clock::now();
  std::thread device([&] {
    com5.Send("12");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    com5.Send("345");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    com5.Send("678");
  });
  char buf[8] = {};
  const int32_t got = ReadPort(0, buf, 8);
  const int64_t waited = MsSince(start);
  device.join();
  ASSERT_EQ(got, 8);
  EXPECT_EQ(std::string(buf, 8), "12345678");
  EXPECT_GE(waited, 250);
}

TEST_F(SerialPosix, WriteGivesUpWhenTheDeviceStopsTakingBytes) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  // Fill the line until the kernel takes no more; the device reads nothing.
  ASSERT_EQ(fcntl(com5.slave, F_SETFL, fcntl(com5.slave, F_GETFL) | O_NONBLOCK), 0);
  char block[1024];
  std::memset(block, 'f', sizeof block);
  size_t filled = 0;
  for (;;) {
    ssize_t n = write(com5.slave, block, sizeof block);
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  ASSERT_GT(filled, 0u);

  const std::string payload(20, 'w');  // may take 100 * 20 + 10 ms
  const auto start = Clock::now();
  const int32_t put = WritePort(0, payload.data(), static_cast<int32_t>(payload.size()));
  const int64_t took = MsSince(start);
  EXPECT_LT(put, 20);
  EXPECT_GE(put, 0);
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 10000);  // bounded, not stuck until the device reads
  int32_t system_error = -1;
  EXPECT_EQ(LastTransferError(0, &system_error), TransferErrorStopped);
  EXPECT_EQ(system_error, 0);
  EXPECT_EQ(PortBytesWritten(0), put);
}

TEST_F(SerialPosix, AHangUpInTheMiddleOfAWriteSaysTheDeviceVanished) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  ASSERT_EQ(WritePort(0, "BL10", 4), 4);
  EXPECT_EQ(LastTransferError(0, nullptr), TransferErrorNone);
  ASSERT_EQ(fcntl(com5.slave, F_SETFL, fcntl(com5.slave, F_GETFL) | O_NONBLOCK), 0);
  char block[1024];
  std::memset(block, 'f', sizeof block);
  while (write(com5.slave, block, sizeof block) > 0) {
  }
  // The write waits for room; the device goes away meanwhile.
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    com5.CloseMaster();
  });
  // More than the kernel can have made room for meanwhile.
  const std::string payload(64 * 1024, 'w');
  const auto start = Clock::now();
  const int32_t put = WritePort(0, payload.data(), static_cast<int32_t>(payload.size()));
  const int64_t took = MsSince(start);
  unplug.join();
  EXPECT_LT(put, static_cast<int32_t>(payload.size()));
  EXPECT_LT(took, 5000) << "waited for the time-out instead of seeing the hang-up";
  int32_t system_error = -1;
  EXPECT_EQ(LastTransferError(0, &system_error), TransferErrorVanished);
  EXPECT_EQ(WritePort(0, "x", 1), 0);
  EXPECT_EQ(LastTransferError(0, &system_error), TransferErrorVanished);
  EXPECT_EQ(system_error, EIO);
  EXPECT_EQ(PortBytesWritten(0), 4 + put);
}

TEST_F(SerialPosix, AVanishedDeviceEndsCountsReadsAndWrites) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  com5.Send("xyz");
  ASSERT_TRUE(WaitForInput(0, 3));
  com5.CloseMaster();

  EXPECT_EQ(PortInputCount(0), 0);
  EXPECT_EQ(PortOutputCount(0), 0);
  char buf[16];
  const auto start = Clock::now();
  const int32_t got = ReadPort(0, buf, sizeof buf);  // more than will ever come
  EXPECT_LE(got, 3);
  EXPECT_EQ(LastTransferError(0, nullptr), TransferErrorVanished);
  EXPECT_EQ(WritePort(0, "gone", 4), 0);
  EXPECT_EQ(LastTransferError(0, nullptr), TransferErrorVanished);
  EXPECT_LT(MsSince(start), 2000);
  ClosePort(0);
  EXPECT_EQ(PortInputCount(0), 0);
  EXPECT_EQ(LastTransferError(0, nullptr), TransferErrorNone);
}

// Their success is tested under the line model (modem_lines_posix_test.cpp).
TEST_F(SerialPosix, ModemLinesThePortLacksOrOfNoPortAreRefused) {
  ASSERT_NE(OpenBootloaderSettings(0, "COM5"), 0);
  EXPECT_EQ(SetPortDtr(0, 1) + SetPortRts(0, 0), 0) << "a pty has no modem lines";
  EXPECT_EQ(SetPortDtr(1, 1), 0) << "nothing open in slot 1";
}

}  // namespace
