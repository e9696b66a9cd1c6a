// The port probe at start-up, over real pseudo-terminals: the real
// application start-up and the real termios layer, with the window layer
// replaced by the recording stand-in. UPDATE_FIRMWARE_COMn puts a
// pty behind a name; every name a test does not use leads nowhere, so the
// machine's own serial ports do not count.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "tests/support/pty.h"
#include "tests/support/recording_layers.h"

namespace {

constexpr const char* kNowhere = "/nonexistent/uf-no-port";

std::string Name(int n) { return "COM" + std::to_string(n); }

class PortProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 20; ++n) Map(n, kNowhere);
  }
  void TearDown() override {
    if (started_) ShutDown();
    for (int n = 1; n <= 20; ++n) unsetenv(("UPDATE_FIRMWARE_COM" + std::to_string(n)).c_str());
  }

  static void Map(int n, const std::string& path) {
    setenv(("UPDATE_FIRMWARE_COM" + std::to_string(n)).c_str(), path.c_str(), 1);
  }
  Pty& AddPty(int n) {
    auto& pty = ptys_[n];
    pty = std::make_unique<Pty>();
    EXPECT_FALSE(pty->path.empty()) << "openpty failed";
    Map(n, pty->path);
    return *pty;
  }

  // Start-up, which probes the ports; returns the list's items in order,
  // checking that each was appended to the port list.
  std::vector<std::string> StartAndList() {
    if (started_) ShutDown();
    ResetRecorder();
    StartUp();
    started_ = true;
    const std::string appended = "Insert PortList -1 ";
    std::vector<std::string> names;
    for (const std::string& insert : Rec().Matching("Insert ")) {
      EXPECT_EQ(insert.rfind(appended, 0), 0u) << insert;
      names.push_back(insert.substr(std::min(appended.size(), insert.size())));
    }
    return names;
  }

  std::map<int, std::unique_ptr<Pty>> ptys_;
  bool started_ = false;
};

using Names = std::vector<std::string>;

TEST_F(PortProbe, ListsTheFreePortsInOrderAndNeverTriesCom17) {
  // Made in the "wrong" order: the list follows the numbers, not the ptys.
  Pty& com12 = AddPty(12);
  Pty& com3 = AddPty(3);
  Pty& com17 = AddPty(17);

  EXPECT_EQ(StartAndList(), (Names{"COM3", "COM12"}));
  // Each listed port was opened and closed again: others can take it now,
  // with the settings it had before (a fresh pty is cooked).
  EXPECT_TRUE(com3.Untouched());
  EXPECT_TRUE(com12.Untouched());
  EXPECT_TRUE(FreeForOthers(com3.path));
  EXPECT_TRUE(FreeForOthers(com12.path));
  // COM17 is free and would open, but is not one of the sixteen.
  EXPECT_TRUE(com17.Untouched());
}

TEST_F(PortProbe, TriesAllSixteenNamesAsNumbers) {
  for (int n = 1; n <= 17; ++n) AddPty(n);
  Names expected;
  for (int n = 1; n <= 16; ++n) expected.push_back(Name(n));  // COM2 before COM10
  EXPECT_EQ(StartAndList(), expected);
  EXPECT_TRUE(ptys_[17]->Untouched());
}

TEST_F(PortProbe, APortHeldByAnotherProgramIsNotListed) {
  Pty& com3 = AddPty(3);
  AddPty(5);
  Pty& com7 = AddPty(7);
  // The test's own descriptor of COM12 would keep the other program out.
  Pty& com12 = AddPty(12);
  close(com12.slave);
  com12.slave = -1;
  // COM7: another program merely has it open, as a terminal program does.
  auto minicom = std::make_unique<HeldElsewhere>(com7.path);
  ASSERT_GT(minicom->pid, 0);

  // COM3: another program holds an exclusive lock on the device.
  const int holder = open(com3.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  // COM12: another program has it open through this serial layer.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Of all the terminals, this program holds COM12 only.
    for (auto& pty : ptys_) {
      close(pty.second->slave);
      close(pty.second->master);
    }
    const char ok = OpenPort(0, "COM12", 9600, 0, 8, 1.0f, HandshakeNone, 16, 16) ? 'y'
                                                                                          : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    pollfd pfd = {release[0], POLLIN, 0};
    poll(&pfd, 1, 30000);  // the parent says when; never longer than this
    (void)!read(release[0], &c, 1);
    ClosePort(0);
    _exit(0);
  }
  char ok = 0;
  pollfd pfd = {ready[0], POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y') << "the other program could not open COM12";

  EXPECT_EQ(StartAndList(), (Names{"COM5"}));
  EXPECT_TRUE(com3.Untouched()) << "the held port was configured all the same";

  // Once both let go, the next start lists them again.
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(holder);
  minicom.reset();
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_EQ(StartAndList(), (Names{"COM3", "COM5", "COM7", "COM12"}));
}

TEST_F(PortProbe, NothingThatOpensAsASerialLineLeavesTheListEmpty) {
  // Present but no serial line: a character device that is no terminal,
  // and a folder.
  Map(4, "/dev/null");
  Map(9, "/tmp");
  Pty& com17 = AddPty(17);
  EXPECT_EQ(StartAndList(), Names{});
  EXPECT_TRUE(com17.Untouched());
}

}  // namespace
