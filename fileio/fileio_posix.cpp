// File access on POSIX.
//
// Answers of FileSizeAtPath here, where Windows path forms mean nothing:
// - The separator is "/"; trailing slashes are ignored ("dir/" is "dir",
//   "file/" gives the file's size). "/" alone, or a path made only of
//   slashes, is the root directory: -2.
// - A backslash is an ordinary file-name character, so "name\" names another
//   file than "name".
// - Drive forms are plain relative names: "C:" or "C:\" give -1 unless a
//   file or directory of that name exists in the current directory.
// - There is no 260-character limit; the path is used whole.
// - Anything that is not a directory (a regular file, a device, a pipe)
//   answers with the size stat reports.
//
// Nothing stops another process from writing the file while it is open:
// POSIX has no share modes, and advisory locks bind only those who ask.
#if defined(_WIN32)
#error "fileio_posix.cpp is the POSIX backend"
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fileio/fileio_backend.h"

namespace fileio_backend {

// The handle is the descriptor plus one, so that descriptor 0 (possible
// when stdin is closed) still gives a non-zero handle.
//
// Only a regular file is firmware. The open does not wait: a FIFO with no
// writer would block a plain open for ever, so the descriptor starts
// non-blocking, is looked at, and only a regular file is switched back to
// blocking reads. Pseudo-files (/proc, some of /sys) are S_ISREG but
// claim size 0 whatever they hold; one byte read at offset 0 tells those
// from an empty file, and they are refused, since their size is no promise.
intptr_t OpenReadOnly(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size == 0) {
    unsigned char probe;
    ssize_t got;
    do {
      got = pread(fd, &probe, 1, 0);
    } while (got < 0 && errno == EINTR);
    regular = got != 1;
  }
  const int flags = regular ? fcntl(fd, F_GETFL) : -1;
  if (!regular || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return 0;
  }
  return static_cast<intptr_t>(fd) + 1;
}

int64_t SizeOfHandle(intptr_t handle) {
  struct stat st;
  if (fstat(static_cast<int>(handle - 1), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int32_t Read(intptr_t handle, void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t got;
  do {
    got = read(static_cast<int>(handle - 1), buffer, static_cast<size_t>(count));
  } while (got < 0 && errno == EINTR);
  return got > 0 ? static_cast<int32_t>(got) : 0;
}

bool SeekToStart(intptr_t handle) { return lseek(static_cast<int>(handle - 1), 0, SEEK_SET) == 0; }

void Close(intptr_t handle) { close(static_cast<int>(handle - 1)); }

int64_t SizeAtPath(const char* path) {
  std::string copy(path);
  while (copy.size() > 1 && copy.back() == '/') copy.pop_back();
  struct stat st;
  if (stat(copy.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return -2;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace fileio_backend
