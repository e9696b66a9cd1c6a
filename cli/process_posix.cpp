// The command line's process on Linux and other POSIX systems: signals,
// standard streams, the terminal, where a port name leads.
#if defined(_WIN32)
#error "process_posix.cpp is the POSIX side of the command-line tool"
#endif

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/platform.h"
#include "cli/signals_held_posix.h"
#include "cli/trace.h"
#include "cli/write_all_posix.h"
#include "cli/workers.h"
#include "serial/port_names.h"

namespace {

// Descriptors below this number are checked at start-up; ours are the
// lowest free numbers, so they land well inside it.
constexpr int kTrackedDescriptors = 1024;

// Which descriptors the program was started with. Written once before the
// handler is installed, only read inside it.
bool g_inherited[kTrackedDescriptors];

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
//  - workers are stopped first (cli_workers::StopAllWorkers), so that when
//    we are gone every port is free again.
void (*volatile g_stop_hook)() = nullptr;

extern "C" void OnStopSignal(int signal_number) {
  cli_workers::StopAllWorkers();
  // What the run still owes goes out before the descriptors are closed: the
  // transcript's last lines, and the records of the boards it touched.
  const TraceTail tail = PendingTrace();
  if (tail.file != nullptr && tail.size > 0) WriteAll(fileno(tail.file), tail.data, tail.size);
  if (g_stop_hook != nullptr) g_stop_hook();
  cli_platform::RemovePendingFile();
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

// Which descriptors are open: read from /proc/self/fd, a handful of calls,
// where a look at each number would be a thousand (a hundred workers start
// at once, each paying for it). Without /proc, each number is asked.
void MarkInheritedDescriptors() {
  for (bool& inherited : g_inherited) inherited = false;
  DIR* dir = opendir("/proc/self/fd");
  if (dir != nullptr) {
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
      char* end = nullptr;
      const long fd = std::strtol(entry->d_name, &end, 10);
      if (*end != '\0' || end == entry->d_name || fd == own) continue;
      if (fd >= 0 && fd < kTrackedDescriptors) g_inherited[fd] = true;
    }
    closedir(dir);
    return;
  }
  for (int fd = 0; fd < kTrackedDescriptors; ++fd) {
    g_inherited[fd] = fcntl(fd, F_GETFD) != -1;
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

namespace cli_platform {

void PrepareProcess() {
  FillStandardStreams();
  MarkInheritedDescriptors();
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

// The handler runs on the thread it interrupts and ends the process before
// that thread takes another step: nothing can come after a stop here.
void HoldWhileStopping() {}

void SetStopHook(void (*hook)()) { g_stop_hook = hook; }

void WriteStdoutRaw(const char* data, size_t size) { WriteAll(STDOUT_FILENO, data, size); }

void SetInterruptNote(const std::string& note) {
  SignalsHeld held;
  const size_t size = note.size() < sizeof g_note ? note.size() : sizeof g_note;
  std::memcpy(g_note, note.data(), size);
  g_note_size = static_cast<sig_atomic_t>(size);
}

}  // namespace cli_platform
