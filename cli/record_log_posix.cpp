// The station's record on Linux and other POSIX systems.
#if defined(_WIN32)
#error "record_log_posix.cpp is the POSIX side of the station's record"
#endif

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/record_log.h"

namespace {

int g_fd = -1;
// A record cut short that could not be taken back: the next one starts on
// a line of its own, so only the torn one fails to parse.
volatile bool g_torn = false;

// After a short write of `written` bytes that ended at the file's end:
// takes them back, so the log holds whole lines only. Only system calls,
// for the stop handler too.
void TakeBack(size_t written) {
  if (written == 0) return;
  const off_t end = lseek(g_fd, 0, SEEK_CUR);
  struct stat st {};
  // Only when nothing was appended after it by another station.
  if (end >= static_cast<off_t>(written) && fstat(g_fd, &st) == 0 && st.st_size == end &&
      ftruncate(g_fd, end - static_cast<off_t>(written)) == 0) {
    return;
  }
  g_torn = true;
}

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
  const std::string record = g_torn ? "\n" + line : line;
  ssize_t n;
  do {
    n = write(g_fd, record.data(), record.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(record.size())) {
    g_torn = false;
    return fsync(g_fd) == 0;
  }
  if (n > 0) TakeBack(static_cast<size_t>(n));
  return false;
}

void AppendRaw(const char* line, size_t size) {
  if (g_fd < 0) return;
  if (g_torn) {
    ssize_t n;
    do {
      n = write(g_fd, "\n", 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) return;
    g_torn = false;
  }
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(g_fd, line + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      TakeBack(written);
      return;
    }
    written += static_cast<size_t>(n);
  }
  fsync(g_fd);
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
