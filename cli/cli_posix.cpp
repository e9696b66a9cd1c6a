// The command-line front end's platform side on Linux and other POSIX
// systems.
#if defined(_WIN32)
#error "cli_posix.cpp is the POSIX side of the command-line tool"
#endif

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "cli/cli_backend.h"
#include "serial/port_names.h"

namespace {

// Descriptors below this number are checked at start-up; ours are the
// lowest free numbers, so they land well inside it.
constexpr int kTrackedDescriptors = 1024;

// Which descriptors the program was started with. Written once before the
// handler is installed, only read inside it.
bool g_inherited[kTrackedDescriptors];

// The workers, for the handler to stop. A slot's pid is set before the
// worker can matter to the handler and cleared once it has been reaped.
constexpr int kMaxWorkers = static_cast<int>(kMaxBoards);
struct WorkerSlot {
  volatile pid_t pid;
  int fd;
};
WorkerSlot g_workers[kMaxWorkers];
volatile sig_atomic_t g_worker_count = 0;

// Set in a worker's environment by its parent, to the parent's process ID.
constexpr const char* kWorkerVariable = "UPDATE_FIRMWARE_WORKER_OF";

// How long a worker gets to release its port after SIGTERM before it is
// killed: its stop handler only flushes and closes, which takes
// milliseconds unless a driver hangs in close.
constexpr int kWorkerGraceMs = 2000;
constexpr int kReapStepMs = 20;

// The station loop's tally, printed on the way out.
char g_note[512];
volatile sig_atomic_t g_note_size = 0;

// Ctrl+C can arrive anywhere: inside a 5-second reply wait, a drain, a
// blocking read or write, or half-way through opening the port. The layers
// have no way to be cancelled, and none of them may be called from a signal
// handler, so the handler releases what the program opened itself and ends
// the process at once, using only system calls:
//  - every descriptor not inherited is one of ours (the port, the file,
//    perhaps a runtime's); closing it releases the port's flock, since we
//    hold the only reference to that open file description;
//  - the port's exclusive mode (TIOCEXCL) is a flag on the terminal, not on
//    the descriptor. A real serial device drops it on its last close, but a
//    pseudo-terminal whose other side is still open keeps it, and every
//    later non-root open would fail with EBUSY. So it is cleared first, as
//    the serial layer does on an ordinary close; on descriptors that are
//    not terminals the call just fails with ENOTTY.
//  - inherited descriptors are left alone: they belong to whoever started
//    us (a script's lock file, say), and unlocking them would be wrong.
// The kernel would close the descriptors at _exit anyway; doing it here
// first keeps the order the same as an ordinary run (port, then file).
//  - workers are stopped first, and waited for, so that when we are gone
//    every port is free again.
extern "C" void OnStopSignal(int signal_number) {
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
  for (int fd = 0; fd < kTrackedDescriptors; ++fd) {
    if (g_inherited[fd]) continue;
    // Output still queued would hold close() for the driver's closing wait
    // (30 s by default); an interrupted upload has no use for it.
    tcflush(fd, TCOFLUSH);
    ioctl(fd, TIOCNXCL);
    close(fd);
  }
  static const char kMessage[] = "\nInterrupted.\n";
  ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  if (g_note_size > 0) ignored = write(STDERR_FILENO, g_note, static_cast<size_t>(g_note_size));
  (void)ignored;
  _exit(128 + signal_number);
}

// Standard streams that were closed at start-up are pointed at /dev/null,
// so that the port or the file can never end up as fd 1 or 2 and receive
// our messages.
void FillStandardStreams() {
  for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

void CatchSignal(int signal_number) {
  struct sigaction old_action {};
  if (sigaction(signal_number, nullptr, &old_action) != 0) return;
  // A signal the caller chose to ignore (nohup, a background job) stays
  // ignored.
  if (old_action.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

namespace cli_backend {

void PrepareProcess() {
  FillStandardStreams();
  for (int fd = 0; fd < kTrackedDescriptors; ++fd) {
    g_inherited[fd] = fcntl(fd, F_GETFD) != -1;
  }
  // A dropped SSH connection (SIGHUP) or a kill (SIGTERM) must release the
  // port just like Ctrl+C.
  CatchSignal(SIGINT);
  CatchSignal(SIGTERM);
  CatchSignal(SIGHUP);
  // A reader of our messages that goes away (`... 2>&1 | head -1`) must not
  // kill an update half-way: the write just fails.
  signal(SIGPIPE, SIG_IGN);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StderrMovesCursor() { return StderrIsTerminal(); }

std::string PortDevice(const std::string& name) { return SerialDevicePathForName(name.c_str()); }

bool IsWorker() {
  const char* parent = std::getenv(kWorkerVariable);
  return parent != nullptr && std::strtol(parent, nullptr, 10) == static_cast<long>(getppid());
}

namespace {

// Signals blocked while the handler's tables change.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

bool StartWorker(const std::vector<std::string>& args, WorkerState* worker, std::string* why) {
  // The program that runs, not whatever file now has its name: an update of
  // the tool during a station loop must not change what flashes the boards.
  static const char kSelf[] = "/proc/self/exe";
  char name[PATH_MAX];
  const ssize_t length = readlink(kSelf, name, sizeof name - 1);
  name[length > 0 ? length : 0] = '\0';
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *why = std::strerror(errno);
    return false;
  }

  std::vector<char*> argv;
  argv.push_back(length > 0 ? name : const_cast<char*>(kSelf));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Built before the fork: the child may only make async-signal-safe calls.
  const std::string mark = std::string(kWorkerVariable) + "=" + std::to_string(getpid());
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kWorkerVariable, std::strlen(kWorkerVariable)) != 0) env.push_back(*e);
  }
  env.push_back(const_cast<char*>(mark.c_str()));
  env.push_back(nullptr);
  const pid_t parent = getpid();

  SignalsHeld held;
  if (g_worker_count >= kMaxWorkers) {
    close(out[0]);
    close(out[1]);
    *why = "too many at once";
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *why = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid == 0) {
    // A parent killed outright (SIGKILL) runs no handler: the kernel tells
    // the worker instead, and its own handler releases the port.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(kExitInterrupted);
    dup2(out[1], STDOUT_FILENO);
    // A worker has nothing to say on standard error; its "Interrupted."
    // would only repeat ours.
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
    // The worker sets up its own handlers; it must not inherit our mask.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(kSelf, argv.data(), env.data());
    _exit(127);
  }
  close(out[1]);
  const int id = g_worker_count;
  g_workers[id].fd = out[0];
  g_workers[id].pid = pid;
  g_worker_count = id + 1;
  *worker = WorkerState{};
  worker->id = id;
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

void SetInterruptNote(const std::string& note) {
  SignalsHeld held;
  const size_t size = note.size() < sizeof g_note ? note.size() : sizeof g_note;
  std::memcpy(g_note, note.data(), size);
  g_note_size = static_cast<sig_atomic_t>(size);
}

}  // namespace cli_backend
