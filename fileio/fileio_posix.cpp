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
intptr_t OpenReadOnly(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  // A directory opens read-only on POSIX but not on Windows; refuse it so
  // that both platforms reject a directory picked as firmware.
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return 0;
  }
  return static_cast<intptr_t>(fd) + 1;
}

int32_t Read(intptr_t handle, void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t got;
  do {
    got = read(static_cast<int>(handle - 1), buffer, static_cast<size_t>(count));
  } while (got < 0 && errno == EINTR);
  return got > 0 ? static_cast<int32_t>(got) : 0;
}

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
