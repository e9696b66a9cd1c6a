// The station's record on Linux and other POSIX systems.
#if defined(_WIN32)
#error "record_log_posix.cpp is the POSIX side of the station's record"
#endif

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/record_log.h"
#include "cli/write_all_posix.h"

namespace {

int g_fd = -1;

}  // namespace

namespace record_log {

bool Open(const std::string& path, std::string* why) {
  Close();
  g_fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (g_fd < 0) *why = std::strerror(errno);
  return g_fd >= 0;
}

bool Append(const std::string& line) {
  if (g_fd < 0) return false;
  // One write: O_APPEND puts it whole at the end, even with another
  // station appending to the same file.
  ssize_t n;
  do {
    n = write(g_fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(line.size()) && fsync(g_fd) == 0;
}

void AppendRaw(const char* line, size_t size) {
  if (g_fd >= 0 && WriteAll(g_fd, line, size)) fsync(g_fd);
}

void Close() {
  if (g_fd >= 0) close(g_fd);
  g_fd = -1;
}

std::string StationName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace record_log
