#ifdef _WIN32
#error "pty_posix.cpp makes POSIX pseudo-terminals; the Windows tests use the native build's"
#endif

#include "tests/support/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

Pty::Pty() {
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
}

Pty::~Pty() {
  CloseMaster();
  CloseSlave();
}

void Pty::CloseMaster() {
  if (master >= 0) close(master);
  master = -1;
}

void Pty::CloseSlave() {
  if (slave >= 0) close(slave);
  slave = -1;
}

void Pty::MakeRaw() const {
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
}

termios Pty::Settings() const {
  termios t{};
  tcgetattr(slave, &t);
  return t;
}

bool Pty::Untouched() const {
  termios t{};
  return tcgetattr(slave, &t) == 0 && (t.c_lflag & ICANON);
}

void Pty::Send(const std::string& bytes) const {
  ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string Pty::Receive(size_t want, int timeout_ms) const {
  using Clock = std::chrono::steady_clock;
  std::string got;
  const auto give_up = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.size() < want && Clock::now() < give_up) {
    pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0) continue;
    char buf[256];
    const ssize_t n = read(master, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

bool FreeForOthers(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

HeldElsewhere::HeldElsewhere(const std::string& path, const std::string& name) {
  int ready[2];
  if (pipe(ready) != 0) return;
  pid = fork();
  if (pid == 0) {
    // The caller's pseudo-terminals stay the caller's.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != ready[1]) close(fd);
    }
    prctl(PR_SET_NAME, name.c_str());
    const char ok = open(path.c_str(), O_RDWR | O_NOCTTY) >= 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char ok = 'n';
  close(ready[1]);
  if (pid > 0 && (read(ready[0], &ok, 1) != 1 || ok != 'y')) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  close(ready[0]);
}

HeldElsewhere::~HeldElsewhere() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}
