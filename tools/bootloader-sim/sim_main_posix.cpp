// The simulated device on a Linux pseudo-terminal: the terminal, the records,
// the host watch and the event loop around the Device.
//
// Like a real device, the simulator holds nothing of the port the host
// opens: it has only the master side. It learns of the host from there, the
// way a device sees its line change: while no descriptor of the terminal is
// open, the master reports a hang-up (POLLHUP), and the hang-up ends when a
// host opens it. A host that holds the port is never told that somebody else
// has it open too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_device.h"
#include "sim_options.h"

namespace {

using sim::Bytes;
using sim::Config;

volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig) { g_signal = sig; }

const auto g_start = std::chrono::steady_clock::now();

double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

// The name it was started by: the build tree's bootloader-sim is installed
// as update-firmware-sim, and its messages should say which one spoke.
std::string g_program = "bootloader-sim";

void Warn(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", g_program.c_str(), text.c_str());
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Writes a small file under a temporary name and renames it into place, so a
// script waiting for PATH never reads half of it.
bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  ok = (close(fd) == 0) && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool MakeRaw(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A child that makes the terminal the controlling terminal of a session of
// its own and then only waits. A terminal belongs to one session at most, so
// no host can adopt it any more: Wine's server, a session leader, otherwise
// takes it on its first open and then gets SIGHUP (and prints a dump of its
// objects into somebody's test log) when we close it. The claim outlives the
// child's own descriptor, which it closes at once, so it never looks like a
// host. Returns once the child is done with the terminal (or has failed), so
// that its open and close are over before any host can come.
pid_t StartTerminalOwner(const std::string& path) {
  int done[2];
  if (pipe2(done, O_CLOEXEC) != 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) {
    close(done[1]);
    if (pid > 0) {
      char byte;
      while (read(done[0], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    close(done[0]);
    return pid;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  signal(SIGHUP, SIG_DFL);
  signal(SIGINT, SIG_IGN);  // a Ctrl-C is for the simulator to handle
  signal(SIGTERM, SIG_DFL);
  // Every other inherited descriptor goes: a copy of the terminal would look
  // like a host, a copy of our stdout would keep a reader from seeing its end.
  const int keep = done[1];
  if ((keep > 0 && close_range(0, static_cast<unsigned>(keep) - 1, 0) != 0) ||
      close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) != 0) {
    for (int fd = 0; fd < 1024; ++fd) {
      if (fd != keep) close(fd);
    }
  }
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd == 0) {
    dup2(0, 1);
    dup2(0, 2);
  }
  if (setsid() >= 0) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
      ioctl(fd, TIOCSCTTY, 0);
      close(fd);
    }
  }
  close(keep);  // the parent reads the end of the pipe
  for (;;) pause();
}

// How often the line is looked at while no host has it open: the master
// reports the hang-up at once and for as long as it lasts, so it cannot be
// waited on.
constexpr double kIdleSampleMs = 5;

class Simulator {
 public:
  explicit Simulator(const Config& config) : config_(config), device_(config) {}
  ~Simulator() { Cleanup(); }

  bool Setup();
  int Run();

 private:
  bool OpenPseudoTerminal();
  bool OpenDevice();
  void Cleanup();
  void CloseTerminal();
  void SendDueReplies(double now);
  bool ReadFromHost(double now);
  short WatchHost(double now);
  void LogBytes(const uint8_t* data, size_t count, double now);
  int StatusAtStop() const;

  Config config_;
  sim::Device device_;
  int master_ = -1;
  pid_t owner_ = -1;
  std::string slave_path_;
  FILE* log_ = nullptr;
  int image_ = -1;
  bool link_made_ = false;
  bool ready_made_ = false;
  bool io_failed_ = false;
  bool line_lost_ = false;  // --device: the terminal hung up

  bool host_open_ = false;
  bool gone_check_armed_ = false;
  double gone_check_at_ = 0;
  double last_activity_ = 0;
  double next_read_at_ = 0;  // --pace
};

bool Simulator::OpenPseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return Warn(Errno("posix_openpt")), false;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return Warn(Errno("grantpt/unlockpt")), false;
  char name[256];
  if (ptsname_r(master_, name, sizeof name) != 0) return Warn(Errno("ptsname")), false;
  slave_path_ = name;
  // The terminal is opened here only to be set up before anyone knows its
  // path, and closed again: from then on the master reports whether a host
  // has it open. The last close of the slave side leaves its settings and
  // the bytes queued for it as they are.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return Warn(Errno("cannot open " + slave_path_)), false;
  // Raw from the start: with echo on, our own replies would come back to us.
  if (!MakeRaw(slave)) {
    close(slave);
    return Warn(Errno("cannot set raw mode")), false;
  }
  owner_ = StartTerminalOwner(slave_path_);
  if (owner_ < 0) Warn(Errno("fork"));
  int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(slave);
    return Warn(Errno("fcntl")), false;
  }
  if (!config_.stale.empty()) {
    if (!WriteAll(master_, config_.stale.data(), config_.stale.size())) {
      close(slave);
      return Warn(Errno("cannot write the stale bytes")), false;
    }
    // The kernel hands them to the terminal's input queue a moment later;
    // they must be there before anyone is told the port is ready.
    const double give_up = NowMs() + 2000;
    int queued = 0;
    while (ioctl(slave, FIONREAD, &queued) == 0 && queued < static_cast<int>(config_.stale.size()) &&
           NowMs() < give_up)
      usleep(1000);
  }
  close(slave);
  return true;
}

// A terminal that exists already, such as the device end of a USB gadget's
// serial function: the line is ours alone, set raw, with nothing left in it
// from before, as a device has after power-up. Unlike a pseudo-terminal it
// tells nothing of the host's opens and closes.
bool Simulator::OpenDevice() {
  slave_path_ = config_.device_path;
  master_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) return Warn(Errno("cannot open " + slave_path_)), false;
  if (!MakeRaw(master_)) return Warn(Errno("cannot set raw mode on " + slave_path_)), false;
  tcflush(master_, TCIOFLUSH);
  if (!config_.stale.empty() && !WriteAll(master_, config_.stale.data(), config_.stale.size()))
    return Warn(Errno("cannot write the stale bytes")), false;
  return true;
}

bool Simulator::Setup() {
  if (!config_.log_path.empty()) {
    log_ = std::fopen(config_.log_path.c_str(), "w");
    if (!log_) return Warn(Errno("cannot create log " + config_.log_path)), false;
  }
  if (!config_.image_path.empty()) {
    image_ = open(config_.image_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (image_ < 0) return Warn(Errno("cannot create image " + config_.image_path)), false;
  }

  if (!config_.device_path.empty()) {
    if (!OpenDevice()) return false;
  } else if (!OpenPseudoTerminal()) {
    return false;
  }

  if (!config_.link_path.empty()) {
    struct stat lst;
    if (lstat(config_.link_path.c_str(), &lst) == 0 && !S_ISLNK(lst.st_mode))
      return Warn(config_.link_path + " exists and is not a symbolic link; not replacing it"), false;
    std::string tmp = config_.link_path + ".tmp." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slave_path_.c_str(), tmp.c_str()) != 0) return Warn(Errno("cannot create link " + tmp)), false;
    if (rename(tmp.c_str(), config_.link_path.c_str()) != 0) {
      unlink(tmp.c_str());
      return Warn(Errno("cannot create link " + config_.link_path)), false;
    }
    link_made_ = true;
  }
  if (!config_.ready_path.empty()) {
    if (!WriteFileAtomically(config_.ready_path, slave_path_ + "\n"))
      return Warn(Errno("cannot write " + config_.ready_path)), false;
    ready_made_ = true;
  }

  device_.on_image_start = [this] {
    if (image_ >= 0 && (ftruncate(image_, 0) != 0 || lseek(image_, 0, SEEK_SET) != 0)) io_failed_ = true;
  };
  device_.on_image_bytes = [this](const uint8_t* data, size_t count) {
    if (image_ >= 0 && !WriteAll(image_, data, count)) io_failed_ = true;
  };
  device_.on_summary = [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };

  std::printf("%s\n", slave_path_.c_str());
  std::fflush(stdout);
  last_activity_ = NowMs();
  return true;
}

void Simulator::CloseTerminal() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Simulator::Cleanup() {
  CloseTerminal();
  if (owner_ > 0) {
    kill(owner_, SIGKILL);
    waitpid(owner_, nullptr, 0);
    owner_ = -1;
  }
  if (link_made_) {
    // Only our own link: someone may have pointed it elsewhere meanwhile.
    char target[256];
    ssize_t n = readlink(config_.link_path.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == slave_path_) unlink(config_.link_path.c_str());
    link_made_ = false;
  }
  if (ready_made_) unlink(config_.ready_path.c_str());
  ready_made_ = false;
  if (log_) std::fclose(log_);
  log_ = nullptr;
  if (image_ >= 0) close(image_);
  image_ = -1;
}

void Simulator::LogBytes(const uint8_t* data, size_t count, double now) {
  if (!log_) return;
  for (size_t i = 0; i < count; ++i) std::fprintf(log_, "%.3f %02X\n", now, data[i]);
  // Flushed at once: a test may read the log while we run, or kill us.
  if (std::fflush(log_) != 0) io_failed_ = true;
}

void Simulator::SendDueReplies(double now) {
  for (;;) {
    Bytes reply = device_.TakeDueReply(now);
    if (reply.empty()) return;
    last_activity_ = now;
    size_t done = 0;
    double give_up = now + 1000;
    while (done < reply.size()) {
      ssize_t n = write(master_, reply.data() + done, reply.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && NowMs() < give_up) {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
      } else {
        Warn("could not send a reply (the host's input queue is full?); " +
             std::to_string(reply.size() - done) + " bytes dropped");
        break;
      }
    }
  }
}

bool Simulator::ReadFromHost(double now) {
  size_t limit = device_.ReadLimit();
  if (limit == 0) return true;
  uint8_t buf[4096];
  size_t want = config_.pace ? 1 : std::min(limit, sizeof buf);
  want = std::min(want, limit);
  ssize_t n = read(master_, buf, want);
  if (!config_.device_path.empty() && (n == 0 || (n < 0 && errno == EIO))) {
    line_lost_ = true;  // a hung-up line reads as its end
    return true;
  }
  // EIO: no host has the terminal open and nothing it wrote is left.
  if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO)) return true;
  if (n <= 0) {
    Warn(n == 0 ? std::string("terminal closed unexpectedly") : Errno("read from the terminal"));
    return false;
  }
  last_activity_ = now;
  if (config_.pace) {
    const double byte_ms = 10000.0 / config_.baud;
    // Keep the schedule when we woke a little late, restart it after a pause,
    // so the average rate stays the line rate without bursts.
    if (now > next_read_at_ + byte_ms) next_read_at_ = now;
    next_read_at_ += byte_ms;
  }
  LogBytes(buf, static_cast<size_t>(n), now);
  device_.Receive(buf, static_cast<size_t>(n), now);
  return true;
}

// Looks at the line: whether a host has the terminal open (the master's
// hang-up has ended) and whether bytes from one wait to be read. Returns the
// master's poll events.
short Simulator::WatchHost(double now) {
  pollfd line = {master_, POLLIN, 0};
  if (poll(&line, 1, 0) < 0) return 0;
  if (!config_.device_path.empty()) {
    // A line of its own says nothing of the host: taken as always there,
    // until it hangs up, which is the line itself going away.
    host_open_ = true;
    line_lost_ = line_lost_ || (line.revents & (POLLHUP | POLLERR)) != 0;
    return line.revents;
  }
  const bool open_now = !(line.revents & POLLHUP);
  // Bytes with nobody there: a host came, wrote and left between two looks.
  const bool unseen_visit = !open_now && !host_open_ && (line.revents & POLLIN) && !gone_check_armed_;
  if (open_now == host_open_ && !unseen_visit) return line.revents;
  last_activity_ = now;
  host_open_ = open_now;
  if (host_open_) return line.revents;
  // The last host descriptor is gone. Raw mode again, in case the host
  // changed it; through the master, which sets the terminal's own settings.
  MakeRaw(master_);
  gone_check_armed_ = true;
  // Bytes the host wrote just before closing may still be on their way.
  gone_check_at_ = now + 100;
  return line.revents;
}

int Simulator::StatusAtStop() const {
  if (device_.Abandoned()) return sim::ExitAbandoned;
  if (config_.sessions == 0) return device_.InSession() ? sim::ExitInterrupted : sim::ExitOk;
  return device_.AllSessionsEnded() ? sim::ExitOk : sim::ExitInterrupted;
}

int Simulator::Run() {
  sigset_t block, wait_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGHUP);

  for (;;) {
    if (g_signal != 0) {
      device_.Interrupt("INTERRUPTED by a signal", NowMs());
      return StatusAtStop();
    }
    double now = NowMs();
    // The host watch first: an open is always seen before the bytes the
    // host then writes.
    const short line = WatchHost(now);
    if (line_lost_) {
      device_.Interrupt("HUNG UP", now);
      Warn(slave_path_ + " hung up");
      return sim::ExitSystem;
    }
    SendDueReplies(now);
    if (io_failed_) {
      Warn(Errno("writing the log or the image failed"));
      return sim::ExitSystem;
    }
    if (device_.Vanished()) {
      CloseTerminal();
      return sim::ExitOk;
    }
    // On a line of its own nobody's close is seen: done once the last reply
    // is out.
    const bool host_left = !host_open_ || !config_.device_path.empty();
    if (device_.AllSessionsEnded() && host_left && !device_.HasPendingReply())
      return device_.Abandoned() ? sim::ExitAbandoned : sim::ExitOk;
    if (host_open_) gone_check_armed_ = false;
    if (gone_check_armed_ && now >= gone_check_at_) {
      gone_check_armed_ = false;
      if (device_.ReadLimit() == 0) {
        if (device_.HostGone(now)) tcflush(master_, TCIFLUSH);
      } else if (device_.MidUpload()) {
        int pending = 0;
        if (ioctl(master_, FIONREAD, &pending) == 0 && pending == 0) {
          device_.HostGone(now);
        } else {
          gone_check_armed_ = true;  // still reading what the host left behind
          gone_check_at_ = now + 100;
        }
      }
      continue;
    }

    double deadline = INFINITY;
    if (config_.timeout_s > 0) deadline = last_activity_ + config_.timeout_s * 1000;
    if (device_.HasPendingReply()) deadline = std::max(deadline, device_.NextReplyDue());
    if (now >= deadline) {
      device_.Interrupt("TIMED OUT", now);
      Warn("nothing happened for " + std::to_string(config_.timeout_s) + " s; giving up");
      return sim::ExitTimeout;
    }

    double wake = deadline;
    if (device_.HasPendingReply()) wake = std::min(wake, device_.NextReplyDue());
    if (gone_check_armed_) wake = std::min(wake, gone_check_at_);
    if (!host_open_) wake = std::min(wake, now + kIdleSampleMs);
    bool want_read = device_.ReadLimit() > 0;
    if (want_read && config_.pace && now < next_read_at_) {
      want_read = false;
      wake = std::min(wake, next_read_at_);
    }
    if (want_read && !host_open_ && (line & POLLIN)) {
      // What a host left behind: the master would report its hang-up at
      // every poll, so read without waiting.
      if (!ReadFromHost(now)) return sim::ExitSystem;
      continue;
    }

    // While a host has the terminal open, its close ends the wait too: the
    // hang-up is reported whatever was asked for.
    pollfd fds[1] = {{host_open_ ? master_ : -1, static_cast<short>(want_read ? POLLIN : 0), 0}};
    timespec ts;
    timespec* tsp = nullptr;
    if (std::isfinite(wake)) {
      double ms = std::max(0.0, wake - now);
      ts.tv_sec = static_cast<time_t>(ms / 1000);
      ts.tv_nsec = static_cast<long>(std::ceil((ms - ts.tv_sec * 1000.0) * 1e6));
      if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
      }
      tsp = &ts;
    }
    int r = ppoll(fds, 1, tsp, &wait_mask);
    if (g_signal != 0) {
      device_.Interrupt("INTERRUPTED by a signal", NowMs());
      return StatusAtStop();
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      Warn(Errno("poll"));
      return sim::ExitSystem;
    }
    if (fds[0].revents & POLLIN) {
      if (!ReadFromHost(NowMs())) return sim::ExitSystem;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
    const char* slash = std::strrchr(argv[0], '/');
    g_program = slash ? slash + 1 : argv[0];
  }
  Config config;
  std::string error;
  switch (sim::ParseOptions(argc, argv, config, error)) {
    case sim::ParseResult::Help:
      std::fputs(sim::UsageText(g_program.c_str()).c_str(), stdout);
      return sim::ExitOk;
    case sim::ParseResult::Error:
      std::fprintf(stderr, "%s: %s (see --help)\n", g_program.c_str(), error.c_str());
      return sim::ExitUsage;
    case sim::ParseResult::Run:
      break;
  }

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(config);
  if (!simulator.Setup()) return sim::ExitSystem;
  return simulator.Run();
}
