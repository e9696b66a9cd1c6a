// Worker processes on Linux and other POSIX systems.
#if defined(_WIN32)
#error "workers_posix.cpp is the POSIX side of the command-line tool"
#endif

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "cli/platform.h"
#include "cli/signals_held_posix.h"
#include "cli/stop_records.h"
#include "common/delay.h"
#include "cli/workers.h"

namespace {

// The workers, for the stop handler. A slot's pid is set before the
// worker can matter to the handler and cleared once it has been reaped.
constexpr int kMaxWorkers = static_cast<int>(kMaxBoards);
struct WorkerSlot {
  volatile pid_t pid;
  int fd;
  int64_t interrupted_bytes;  // the count it gave on its way out; -1: none
};
WorkerSlot g_workers[kMaxWorkers];
volatile sig_atomic_t g_worker_count = 0;

// How long a worker gets to release its port after SIGTERM before it is
// killed: its stop handler only flushes and closes, which takes
// milliseconds unless a driver hangs in close.
constexpr int kWorkerGraceMs = 2000;
constexpr int kReapStepMs = 20;

// How long a worker may take to read its job and image: it reads them
// first thing, so only a worker that never started takes longer.
constexpr int kInputMs = 10000;

// Every descriptor from `low` up is closed: the parent's other pipes, its
// log, a transcript are no worker's to hold. The kernel's close_range where
// there is one, else each number up to the limit.
void CloseFrom(int low) {
#if defined(SYS_close_range)
  if (syscall(SYS_close_range, static_cast<unsigned>(low), ~0U, 0U) == 0) return;
#endif
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = low; fd < (limit > 0 ? limit : 1024); ++fd) close(static_cast<int>(fd));
}

// The forked worker. The parent has one thread, so the child may make any
// call; it starts from what the parent has, less what is the parent's own:
// its descriptors, its workers, its signal mask. Standard output is
// flushed before the fork, so nothing of the parent's is written twice.
[[noreturn]] void RunChild(pid_t parent, int in, int out, int (*entry)()) {
  // A parent killed outright (SIGKILL) runs no handler: the kernel tells
  // the worker instead, and its own handler releases the port.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(kExitInterrupted);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  // A worker has nothing to say on standard error; its "Interrupted."
  // would only repeat ours.
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  CloseFrom(STDERR_FILENO + 1);
  g_worker_count = 0;
  cli_platform::PrepareProcess();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int code = entry();
  std::fflush(nullptr);
  _exit(code);
}

// Hands the worker its input through the pipe's write end and closes it;
// false when the worker does not take it all in time.
bool Feed(int fd, const std::string& input) {
  size_t done = 0;
  const uint64_t deadline = MonotonicMs() + kInputMs;
  while (done < input.size()) {
    const uint64_t now = MonotonicMs();
    pollfd p{fd, POLLOUT, 0};
    if (now >= deadline || poll(&p, 1, static_cast<int>(deadline - now)) <= 0) break;
    const ssize_t n = write(fd, input.data() + done, input.size() - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == input.size();
}

// What a stopped worker wrote last, its count among it, read once it has
// ended (so the pipe ends too) with system calls alone.
int64_t LastCount(int fd) {
  static char buffer[1 << 16];
  constexpr size_t kCarry = 64;  // a report split between two reads
  size_t kept = 0;
  int64_t count = -1;
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (;;) {
    const ssize_t n = read(fd, buffer + kept, sizeof buffer - kept);
    if (n <= 0) break;
    const size_t have = kept + static_cast<size_t>(n);
    const int64_t found = stop_records::ReadOwnReport(buffer, have);
    if (found >= 0) count = found;
    kept = have < kCarry ? have : kCarry;
    memmove(buffer, buffer + have - kept, kept);
  }
  return count;
}

void TakeLastCounts() {
  for (int i = 0; i < g_worker_count; ++i) {
    g_workers[i].interrupted_bytes = g_workers[i].fd >= 0 ? LastCount(g_workers[i].fd) : -1;
  }
}

}  // namespace

namespace cli_workers {

bool ReadWorkerInput(std::string* input) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    input->append(buffer, static_cast<size_t>(n));
  }
}

// The workers are forks that run their entry: none is this program started
// again, so the worker mode is never entered by name.
bool IsWorker() { return false; }

bool StartWorker(const std::vector<std::string>&, int (*entry)(), const std::string& input,
                 WorkerState* worker, std::string* why) {
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  if (pipe2(in, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  // Only our end writes without blocking; the worker reads as usual.
  fcntl(in[0], F_SETFL, fcntl(in[0], F_GETFL) & ~O_NONBLOCK);
  const pid_t parent = getpid();
  SignalsHeld held;
  std::fflush(nullptr);
  const pid_t pid = g_worker_count < kMaxWorkers ? fork() : -2;
  if (pid < 0) {
    *why = pid == -2 ? "too many at once" : std::strerror(errno);
    close(out[0]);
    close(out[1]);
    close(in[0]);
    close(in[1]);
    return false;
  }
  if (pid == 0) RunChild(parent, in[0], out[1], entry);
  close(out[1]);
  close(in[0]);
  const int id = g_worker_count;
  g_workers[id].fd = out[0];
  g_workers[id].interrupted_bytes = -1;
  g_workers[id].pid = pid;
  g_worker_count = id + 1;
  *worker = WorkerState{};
  worker->id = id;
  if (!Feed(in[1], input)) {
    // It is in the table: it is reaped as any worker that ends without a
    // verdict, once it is killed.
    kill(pid, SIGKILL);
    *why = "the worker did not take its image";
  }
  return true;
}

void PumpWorkers(const std::vector<WorkerState*>& workers, int timeout_ms) {
  std::vector<pollfd> fds;
  std::vector<WorkerState*> owners;
  for (WorkerState* w : workers) {
    if (w->ended || w->id < 0) continue;
    fds.push_back({g_workers[w->id].fd, POLLIN, 0});
    owners.push_back(w);
  }
  if (fds.empty()) return;
  if (poll(fds.data(), fds.size(), timeout_ms) <= 0) return;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    WorkerState* w = owners[i];
    char buffer[4096];
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      w->output.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // Its end of the pipe closed: it has ended, or is about to.
    int status = 0;
    const pid_t pid = g_workers[w->id].pid;
    waitpid(pid, &status, 0);
    {
      SignalsHeld held;
      g_workers[w->id].pid = 0;
      close(g_workers[w->id].fd);
      g_workers[w->id].fd = -1;
    }
    w->ended = true;
    w->exit_code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }
}

void ForgetWorkers() {
  SignalsHeld held;
  int count = g_worker_count;
  while (count > 0 && g_workers[count - 1].pid == 0) --count;
  g_worker_count = count;
}

int64_t InterruptedBytes(int id) {
  return id >= 0 && id < g_worker_count ? g_workers[id].interrupted_bytes : -1;
}

void StopAllWorkers() {
  for (int i = 0; i < g_worker_count; ++i) {
    if (g_workers[i].pid > 0) kill(g_workers[i].pid, SIGTERM);
  }
  // poll() with no descriptors is the async-signal-safe sleep.
  for (int waited = 0;; waited += kReapStepMs) {
    bool running = false;
    for (int i = 0; i < g_worker_count; ++i) {
      if (g_workers[i].pid <= 0) continue;
      if (waitpid(g_workers[i].pid, nullptr, WNOHANG) == g_workers[i].pid) {
        g_workers[i].pid = 0;
      } else {
        running = true;
      }
    }
    if (!running) break;
    if (waited >= kWorkerGraceMs) {
      for (int i = 0; i < g_worker_count; ++i) {
        if (g_workers[i].pid <= 0) continue;
        kill(g_workers[i].pid, SIGKILL);
        waitpid(g_workers[i].pid, nullptr, 0);
        g_workers[i].pid = 0;
      }
      break;
    }
    poll(nullptr, 0, kReapStepMs);
  }
  TakeLastCounts();
}

}  // namespace cli_workers
