// Who else holds a serial device on Linux: the descriptors every process
// has open, and UUCP lock files. Nothing here opens the device itself.
#if defined(_WIN32)
#error "port_holders_posix.cpp reads /proc and lock files; Windows cannot say who holds a port"
#endif

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "serial/serial_posix.h"

namespace {

// A lock file is a pid and a line end; anything longer is no lock.
constexpr size_t kLockFileLimit = 128;
// /proc/<pid>/comm holds at most 16 bytes with its line end.
constexpr size_t kCommLimit = 64;
// The name in /proc/<pid>/stat is at most 16 bytes, so its state is well
// within this.
constexpr size_t kStatLimit = 128;

// The start of a small file, or empty when it cannot be read. Only plain
// files: under a root a test chose, a FIFO would block the open.
std::string ReadSmallFile(const std::string& path, size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return std::string();
  struct stat st;
  std::string text;
  if (fstat(fd, &st) == 0 && (S_ISREG(st.st_mode))) {
    text.resize(limit);
    const ssize_t n = read(fd, &text[0], limit);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(fd);
  return text;
}

bool IsPid(const char* name) {
  if (name[0] < '1' || name[0] > '9') return false;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

// Calls `seen(pid, rdev)` for every character device some process other than
// this one has open, until it returns true. Returns whether it did.
template <typename Seen>
bool EachOpenCharacterDevice(const std::string& proc, Seen seen) {
  DIR* dir = opendir(proc.c_str());
  if (dir == nullptr) return false;
  const pid_t self = getpid();
  bool stopped = false;
  while (!stopped) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (!IsPid(entry->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (pid == self) continue;
    const std::string fd_dir = proc + "/" + entry->d_name + "/fd";
    const int fds_fd = open(fd_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds_fd < 0) continue;  // gone meanwhile, or not ours to read
    DIR* fds = fdopendir(fds_fd);
    if (fds == nullptr) {
      close(fds_fd);
      continue;
    }
    while (const dirent* fd_entry = readdir(fds)) {
      if (fd_entry->d_name[0] == '.') continue;
      struct stat st;
      // Followed: the link's target is the open file itself.
      if (fstatat(fds_fd, fd_entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
          seen(pid, st.st_rdev)) {
        stopped = true;
        break;
      }
    }
    closedir(fds);
  }
  closedir(dir);
  return stopped;
}

// One look at every process's character devices, kept while a sweep lasts.
struct Sweep {
  bool active = false;
  bool taken = false;
  std::string proc;  // the root the look was taken under
  std::vector<std::pair<dev_t, pid_t>> devices;
};
thread_local Sweep t_sweep;

pid_t DescriptorHolder(dev_t device, const std::string& proc) {
  if (t_sweep.active) {
    if (!t_sweep.taken || t_sweep.proc != proc) {
      t_sweep.devices.clear();
      EachOpenCharacterDevice(proc, [](pid_t pid, dev_t rdev) {
        t_sweep.devices.emplace_back(rdev, pid);
        return false;
      });
      t_sweep.taken = true;
      t_sweep.proc = proc;
    }
    for (const auto& held : t_sweep.devices) {
      if (held.first == device) return held.second;
    }
    return 0;
  }
  pid_t found = 0;
  EachOpenCharacterDevice(proc, [&](pid_t pid, dev_t rdev) {
    if (rdev != device) return false;
    found = pid;
    return true;
  });
  return found;
}

// A process that can hold a device: there, and not a zombie, which has
// closed everything and waits only to be reaped. Its state is the field
// after the name in <proc>/<pid>/stat; the name is in parentheses and may
// hold any of them, so the last ')' ends it. A process without a readable
// stat counts as alive: the lock is not called stale on a guess.
bool Alive(pid_t pid, const std::string& proc) {
  const std::string at = proc + "/" + std::to_string(pid);
  struct stat st;
  if (stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const std::string fields = ReadSmallFile(at + "/stat", kStatLimit);
  const size_t name_end = fields.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= fields.size()) return true;
  const char state = fields[name_end + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

// The live process a lock file names, 0 when none; `lock_file` receives
// the file that names it.
pid_t LockHolder(const std::string& path, const HolderRoots& roots, std::string* lock_file) {
  // A link such as /dev/serial/by-id/... is locked under the name of the
  // device it leads to.
  char* real = realpath(path.c_str(), nullptr);
  const std::string name = LockFileName(real ? real : path);
  std::free(real);
  for (const std::string& dir : roots.lock_dirs) {
    const std::string file = dir + "/" + name;
    const pid_t pid = PidFromLockFile(ReadSmallFile(file, kLockFileLimit));
    if (pid != 0 && pid != getpid() && Alive(pid, roots.proc)) {
      *lock_file = file;
      return pid;
    }
  }
  return 0;
}

}  // namespace

DeviceHolder FindDeviceHolder(dev_t device, const std::string& path, const HolderRoots& roots) {
  DeviceHolder holder;
  holder.pid = DescriptorHolder(device, roots.proc);
  holder.has_open = holder.pid != 0;
  if (holder.pid == 0) holder.pid = LockHolder(path, roots, &holder.lock_file);
  if (holder.pid == 0) return holder;
  holder.program = ReadSmallFile(roots.proc + "/" + std::to_string(holder.pid) + "/comm", kCommLimit);
  holder.program.erase(std::min(holder.program.find('\n'), holder.program.size()));
  return holder;
}

void BeginHolderSweep() {
  t_sweep = Sweep{};
  t_sweep.active = true;
}

void EndHolderSweep() { t_sweep = Sweep{}; }
