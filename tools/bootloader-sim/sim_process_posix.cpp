#ifdef _WIN32
#error "sim_process_posix.cpp starts the Linux simulator; the Windows tests use the native build's"
#endif

#include "tools/bootloader-sim/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

std::string BootloaderSimPath() { return UF_BOOTLOADER_SIM; }

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args,
                       const Options& options)
    : stderr_path_(options.stderr_path) {
  // Close-on-exec, so that no later child of the caller holds the pipe too.
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (!stderr_path_.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = -1;
  started_at_ = std::chrono::steady_clock::now();
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return;
  }
  started_ = true;
  pid_ = pid;
  stdout_fd_ = out[0];
  if (!options.wait_for_terminal) return;

  // The first line is the terminal path; give the child a few seconds.
  std::string line;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    pollfd pfd{stdout_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char c;
    if (read(stdout_fd_, &c, 1) != 1) break;
    if (c == '\n') {
      terminal_ = line;
      break;
    }
    line += c;
  }
}

bool SimProcess::Running() { return pid_ > 0 && WaitForExit(0) < 0; }

void SimProcess::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

int SimProcess::WaitForExit(double seconds) {
  if (pid_ < 0) return exit_code_;
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return exit_code_;
    }
    if (std::chrono::steady_clock::now() >= give_up) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string SimProcess::RestOfStdout() {
  std::string s;
  if (stdout_fd_ < 0) return s;
  char buf[4096];
  ssize_t n;
  while ((n = read(stdout_fd_, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

std::string SimProcess::Stderr() const {
  if (stderr_path_.empty()) return std::string();
  std::ifstream in(stderr_path_, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (WaitForExit(5) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
}
