#ifdef _WIN32
#error "pty_posix.cpp makes POSIX pseudo-terminals; the Windows tests use the native build's"
#endif

#include "tests/support/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

Pty::Pty() {
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
}

Pty::~Pty() {
  CloseMaster();
  if (slave >= 0) close(slave);
}

void Pty::CloseMaster() {
  if (master >= 0) close(master);
  master = -1;
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
