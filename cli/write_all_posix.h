// Writes that the stop handler may make: system calls alone, a short write
// carried on and an interrupted one made again.
#pragma once

#if defined(_WIN32)
#error "write_all_posix.h is for POSIX systems"
#endif

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Whether all `size` bytes reached `fd`.
inline bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
