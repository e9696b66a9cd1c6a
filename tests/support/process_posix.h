// Whole programs run by the POSIX tests: a child process whose output the
// test reads, and the small file helpers that read back what it left.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

constexpr uid_t kNobody = 65534;

std::string EnvOr(const char* name, const char* fallback = "");
// The Windows build's tests run the program under test through Wine.
bool UnderWine();
int64_t NowMs();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::string RandomBytes(size_t n, unsigned seed);
// Equal byte strings; on a difference says where, not the whole image.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want);
// What sha256sum says of the file: the tool's figure must be the same.
// Of its first `bytes` bytes, when given: what an odd file puts on the line.
std::string Sha256Sum(const std::string& path, int64_t bytes = -1);
std::vector<std::string> Lines(const std::string& text);

// A child that has ended, not reaped until the destructor: a zombie.
struct Zombie {
  Zombie() : pid(fork()) {
    siginfo_t ended;
    if (pid == 0) _exit(0);
    if (pid > 0) waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT);
  }
  Zombie(const Zombie&) = delete;
  ~Zombie() { if (pid > 0) waitpid(pid, nullptr, 0); }
  const pid_t pid;
};

// A child process with its standard output and error read through pipes
// (or standard error on a terminal we hold the other side of).
class Process {
 public:
  struct Options {
    std::string cwd;
    std::map<std::string, std::string> env;
    bool as_nobody = false;
    int stderr_fd = -1;  // given: standard error goes there instead of a pipe
    std::string stdout_path;  // given: standard output goes to this file
    off_t file_size_limit = 0;  // given: writes past it fail with EFBIG
  };

  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  bool Start(const std::vector<std::string>& argv, const Options& o) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (o.stderr_fd < 0 && pipe2(err, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(out[1], STDOUT_FILENO);
      if (!o.stdout_path.empty()) {
        const int fd = open(o.stdout_path.c_str(), O_WRONLY);
        if (fd < 0) _exit(126);
        dup2(fd, STDOUT_FILENO);
      }
      if (o.file_size_limit > 0) {
        const rlimit limit = {static_cast<rlim_t>(o.file_size_limit),
                              static_cast<rlim_t>(o.file_size_limit)};
        signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed program
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      dup2(o.stderr_fd >= 0 ? o.stderr_fd : err[1], STDERR_FILENO);
      const int null_fd = open("/dev/null", O_RDONLY);
      dup2(null_fd, STDIN_FILENO);
      if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
      for (const auto& [k, v] : o.env) setenv(k.c_str(), v.c_str(), 1);
      if (o.as_nobody &&
          (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        _exit(126);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (err[1] >= 0) {
      close(err[1]);
      err_ = err[0];
    }
    return true;
  }

  // Reads what is there, waiting at most `ms` for something to arrive.
  void Pump(int ms) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    ReadInto(fds[0], &out_, &out_text);
    ReadInto(fds[1], &err_, &err_text);
  }

  // Waits until `done` holds, up to `ms`. Returns whether it did.
  bool PumpUntil(const std::function<bool()>& done, int ms) {
    const int64_t end = NowMs() + ms;
    while (!done()) {
      if (NowMs() >= end) return false;
      Pump(20);
    }
    return true;
  }

  // Waits for the exit, reading the output to its end. The exit code, or
  // 1000 + signal when killed by one, or -1 on time-out.
  int Finish(int ms = 60000) {
    const int64_t end = NowMs() + ms;
    int status = 0;
    for (;;) {
      Pump(20);
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (NowMs() >= end) return -1;
    }
    pid_ = -1;
    while (out_ >= 0 || err_ >= 0) Pump(200);
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

  // Stops reading standard error, as a reader that went away.
  void CloseErr() {
    if (err_ >= 0) close(err_);
    err_ = -1;
  }

  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }

  std::string out_text;
  std::string err_text;

 private:
  static void ReadInto(const pollfd& p, int* fd, std::string* text) {
    if (*fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[4096];
    const ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
      text->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};
