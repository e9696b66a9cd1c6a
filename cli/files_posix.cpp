// The files the command line writes, on Linux and other POSIX systems: a
// file replaced whole, and which file systems are the kernel's own.
#if defined(_WIN32)
#error "files_posix.cpp is the POSIX side of the command line's files"
#endif

#include <fcntl.h>
#include <sys/file.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cli/platform.h"

namespace {

// The new file on its way to replacing another, for the stop handler to
// remove; empty when there is none.
char g_pending[PATH_MAX + 32];
volatile bool g_has_pending = false;

// Whether the file system `fs` describes is of one of the kinds `magic`
// names (statfs's f_type: signed or not by platform, 32 bits of it count).
template <size_t N>
bool OfKind(const struct statfs& fs, const uint32_t (&magic)[N]) {
  const uint32_t type = static_cast<uint32_t>(fs.f_type);
  for (const uint32_t m : magic) {
    if (type == m) return true;
  }
  return false;
}

}  // namespace

namespace cli_platform {

bool OnPseudoFileSystem(const std::string& path) {
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) return false;
  // The kernel's views of itself: what looks like a file there is a knob,
  // and its size says nothing of what a read gives.
  static const uint32_t kPseudo[] = {
      0x9fa0,      // proc
      0x62656572,  // sysfs
      0x64626720,  // debugfs
      0x74726163,  // tracefs
      0x27e0eb,    // cgroup
      0x63677270,  // cgroup2
      0x73636673,  // securityfs
      0x6165676C,  // pstore
      0xde5e81e4,  // efivarfs
      0xcafe4a11,  // bpf
      0x62656570,  // configfs
      0x65735543,  // fusectl
      0x42494e4d,  // binfmt_misc
      0x1cd1,      // devpts
  };
  if (OfKind(fs, kPseudo)) return true;
  // devtmpfs reports itself as tmpfs, like /dev/shm or /tmp; it is told by
  // being the file system of /dev.
  struct stat at {}, dev {};
  return stat(path.c_str(), &at) == 0 && stat("/dev", &dev) == 0 && at.st_dev == dev.st_dev;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* why) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp;
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    temp = folder + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(i) + ".tmp";
    if (temp.size() >= sizeof g_pending) break;
    // The mode of a file made afresh (the umask's), not mkstemp's 0600.
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *why = std::strerror(errno != 0 ? errno : ENAMETOOLONG);
    return false;
  }
  g_has_pending = false;
  std::memcpy(g_pending, temp.c_str(), temp.size() + 1);
  g_has_pending = true;
  const char* at = static_cast<const char*>(data);
  size_t left = size;
  int error = 0;
  while (left > 0 && error == 0) {
    const ssize_t n = write(fd, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    at += n;
    left -= static_cast<size_t>(n);
  }
  // An old file keeps its mode: replacing it must not open it to others.
  struct stat old {};
  if (error == 0 && stat(path.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0) {
    error = errno;
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  g_has_pending = false;
  if (error != 0) {
    *why = std::strerror(error);
    return false;
  }
  // The rename itself lasts once the folder is on the disk too.
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

intptr_t LockPath(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    *why = "'" + path + "': " + std::strerror(errno);
    return 0;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    *why = "'" + path + "' cannot be locked: " + std::strerror(errno);
    close(fd);
    return 0;
  }
  return fd + 1;
}

void UnlockPath(intptr_t lock) {
  // Closing lets the lock go, after anything written is on the disk.
  if (lock > 0) close(static_cast<int>(lock - 1));
}

bool ReadLocked(intptr_t lock, std::string* text, std::string* why) {
  const int fd = static_cast<int>(lock - 1);
  text->clear();
  char buffer[8192];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
    at += n;
  }
}

bool AppendLocked(intptr_t lock, const std::string& text, std::string* why) {
  const int fd = static_cast<int>(lock - 1);
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(text.size())) {
    *why = n < 0 ? std::strerror(errno) : "the disk is full";
    return false;
  }
  if (fsync(fd) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

bool OnNetworkFileSystem(const std::string& path) {
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) {
    const size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (statfs(folder.c_str(), &fs) != 0) return false;
  }
  static const uint32_t kNetwork[] = {
      0x6969,      // NFS
      0x517b,      // SMB
      0xff534d42,  // CIFS
      0xfe534d42,  // SMB2
      0x01021997,  // 9p
      0x5346414f,  // AFS
      0x00c36400,  // Ceph
      0x47504653,  // GPFS
      0x0bd00bd0,  // Lustre
  };
  return OfKind(fs, kNetwork);
}

void RemovePendingFile() {
  if (g_has_pending) unlink(g_pending);
}

}  // namespace cli_platform
