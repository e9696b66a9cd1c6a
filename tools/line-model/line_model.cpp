// A line model for one pseudo-terminal: preloaded into a host program
// (LD_PRELOAD), it gives the chosen terminal what a UART driver gives the
// host, which a pseudo-terminal does not: a transmit queue that drains at
// the line rate the host set on the terminal, TIOCOUTQ that counts it,
// tcdrain that waits for it, tcflush(TCOFLUSH) that drops it, a capacity
// that makes writes wait (or, non-blocking, take what fits), POLLOUT that
// agrees, and DTR and RTS lines whose every change is written down. Bytes
// reach the terminal's other side (the simulated device) only when their
// last bit has left the modelled transmitter.
//
// See README.md beside this file for the environment variables, the figures
// chosen and the statistics it writes. Every other descriptor is left alone.
//
// Written without the C++ library (no allocation, no exceptions), so that
// it can sit in any process, Wine's included, without side effects.
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---- figures ------------------------------------------------------------

// The host-visible software queue: the Linux usb-serial generic driver's
// write fifo (drivers/usb/serial/usb-serial.c allocates PAGE_SIZE = 4096
// bytes), which is what TIOCOUTQ counts for FTDI, CP210x, PL2303 and the
// other adapters that use the generic write path.
constexpr long kDefaultQueue = 4096;
// The transmitter's own buffer, not counted by TIOCOUTQ: a 16550's 16-byte
// transmit FIFO (the byte in the shift register is one of them).
constexpr long kDefaultFifo = 16;
constexpr long kMaxQueue = 1 << 20;
constexpr long kMaxFifo = 4096;
// How long closing waits for the queue to drain: the kernel's default
// closing_wait for serial ports, 30 s.
constexpr int64_t kClosingWaitNs = 30'000'000'000LL;
constexpr int64_t kRetryNs = 1'000'000;  // a device that does not read: retry after 1 ms
// The transmitter thread hands finished bytes to the device in batches of up
// to this many (every 4 ms at 9600 baud), not one wake-up per byte: the
// device's count then lags the line by at most this much, and the thread
// costs a quarter. The line's schedule itself is exact to the nanosecond.
// LINE_MODEL_BATCH sets another: a benchmark of a hundred lines on a small
// machine takes larger ones, so that the model's own wake-ups (and the
// simulated devices') leave the host the machine's time.
constexpr long kDefaultBatch = 4;
// Finished bytes waiting for the device: past this many (a device that does
// not read) the line holds, as under flow control.
constexpr long kOutboxCap = 256;
// How often a write looks at the terminal's settings again.
constexpr int64_t kSettingsEveryNs = 20'000'000;
constexpr int kMaxGaps = 4096;           // idle gaps kept per session for the statistics

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// ---- the real calls ----------------------------------------------------

using WriteFn = ssize_t (*)(int, const void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using PollFn = int (*)(pollfd*, nfds_t, int);
using PpollFn = int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
using TcdrainFn = int (*)(int);
using TcflushFn = int (*)(int, int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using CloseRangeFn = int (*)(unsigned, unsigned, int);
using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using DupFn = int (*)(int);
using RecvmsgFn = ssize_t (*)(int, msghdr*, int);

struct Real {
  WriteFn write;
  IoctlFn ioctl;
  CloseFn close;
  PollFn poll;
  PpollFn ppoll;
  SelectFn select;
  PselectFn pselect;
  TcdrainFn tcdrain;
  TcflushFn tcflush;
  Dup2Fn dup2;
  Dup3Fn dup3;
  CloseRangeFn close_range;
  OpenFn open;
  OpenFn open64;
  OpenatFn openat;
  OpenatFn openat64;
  DupFn dup;
  RecvmsgFn recvmsg;
};
Real g_real;

template <typename T>
T Next(T& slot, const char* name) {
  if (slot == nullptr) slot = reinterpret_cast<T>(dlsym(RTLD_NEXT, name));
  return slot;
}

// ---- the line ----------------------------------------------------------

struct Gap {
  uint64_t before_byte;  // 1-based index in the session of the byte after the gap
  int64_t ns;
};

// Zero-initialised (static storage, no constructor), so that it is ready
// before any constructor of this library or of the program runs; a zeroed
// mutex is an initialised one on glibc. Init() sets the rest.
struct Line {
  pthread_mutex_t mu;
  pthread_cond_t wake_tx;  // the transmitter has new work
  pthread_cond_t changed;  // bytes left the queue or the transmitter
  bool conds_ready;

  // The chosen device; before one is claimed, the whole list (a gang of
  // 128 boards names some 1,700 bytes of terminals).
  char path[16384];
  bool enabled;
  bool have_rdev;
  dev_t rdev;
  char stats_path[512];

  long queue_cap;
  long fifo_cap;
  long batch;

  // Software queue (what TIOCOUTQ counts): a ring of queue_cap bytes.
  uint8_t* queue;
  long q_head;
  long q_len;

  // The transmitter: FIFO entries with the time their last bit leaves.
  uint8_t* fifo_byte;
  int64_t* fifo_end;
  long f_head;
  long f_len;
  int64_t last_end_ns;  // when the line last fell (or will fall) idle

  // Finished bytes not yet handed to the device (only the transmitter
  // thread writes to the terminal, so the host's calls make no system call
  // for it).
  uint8_t outbox[kOutboxCap];
  long o_head;
  long o_len;
  bool delivering;  // a thread is writing outbox bytes to the terminal

  // Line timing from the terminal's settings, read at the first write and
  // again every kSettingsEveryNs.
  int64_t settings_read_ns;
  int64_t byte_ns;
  unsigned baud;
  unsigned bits_per_byte;

  // Where transmitted bytes go: our own duplicate of a host descriptor.
  int tx_fd;
  bool tx_nonblocking;  // tx_fd's O_NONBLOCK, as the session started
  bool tx_started;
  pthread_t tx_thread;
  int waiters;

  // Session statistics: from the first byte written to the last close.
  bool in_session;
  uint64_t scheduled;  // bytes that entered the transmitter
  uint64_t delivered;  // bytes handed to the device
  uint64_t written;    // bytes the host wrote
  uint64_t flushed;    // bytes dropped by tcflush
  long max_queue;
  int64_t first_start_ns;
  int64_t idle_ns;
  Gap gaps[kMaxGaps];
  int gap_count;
  uint64_t gaps_dropped;

  // The modem lines the host drives (TIOCM_DTR, TIOCM_RTS), which a
  // pseudo-terminal does not have, and where each change is written down.
  int modem_bits;
  char modem_path[512];
};

Line g_line;

long EnvLong(const char* name, long fallback, long low, long high) {
  const char* v = getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const long n = strtol(v, &end, 10);
  if (*end != '\0' || n < low || n > high) return fallback;
  return n;
}

// A value that does not fit is not cut short (a cut list would leave some
// boards unmodelled, their uploads unpaced and passing for paced): it is
// refused whole, and said so.
void CopyEnv(const char* name, char* out, size_t size) {
  const char* v = getenv(name);
  if (v == nullptr) return;
  if (strlen(v) >= size) {
    fprintf(stderr, "line-model: %s is longer than %zu bytes; ignored\n", name, size - 1);
    return;
  }
  snprintf(out, size, "%s", v);
}

__attribute__((constructor)) void Init() {
  Line& l = g_line;
  pthread_mutex_init(&l.mu, nullptr);
  l.tx_fd = -1;
  l.bits_per_byte = 10;
  CopyEnv("LINE_MODEL_DEVICE", l.path, sizeof l.path);
  CopyEnv("LINE_MODEL_STATS", l.stats_path, sizeof l.stats_path);
  CopyEnv("LINE_MODEL_MODEM", l.modem_path, sizeof l.modem_path);
  // Raised, as the kernel raises them when a port with a non-zero rate opens.
  l.modem_bits = TIOCM_DTR | TIOCM_RTS;
  l.queue_cap = EnvLong("LINE_MODEL_QUEUE", kDefaultQueue, 1, kMaxQueue);
  l.fifo_cap = EnvLong("LINE_MODEL_FIFO", kDefaultFifo, 1, kMaxFifo);
  l.batch = EnvLong("LINE_MODEL_BATCH", kDefaultBatch, 1, kOutboxCap);
  if (l.path[0] == '\0') return;
  l.queue = static_cast<uint8_t*>(malloc(static_cast<size_t>(l.queue_cap)));
  l.fifo_byte = static_cast<uint8_t*>(malloc(static_cast<size_t>(l.fifo_cap)));
  l.fifo_end = static_cast<int64_t*>(malloc(sizeof(int64_t) * static_cast<size_t>(l.fifo_cap)));
  if (!l.queue || !l.fifo_byte || !l.fifo_end) return;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&l.wake_tx, &attr);
  pthread_cond_init(&l.changed, &attr);
  pthread_condattr_destroy(&attr);
  l.conds_ready = true;
  l.enabled = true;
}

// What each descriptor is known to be, so that the calls made for every
// word (the device's, and Wine's on its server pipe) need no fstat: the
// device, something else, or not known yet. An entry is set once fstat has
// told, and cleared when the number is closed or handed out again through
// the calls interposed here (close, dup2, dup3, close_range, open, openat,
// dup, recvmsg with passed descriptors). A number freed and reused behind
// their backs (the C library's own fclose and fopen) could keep a stale
// answer; the device is never opened that way.
constexpr int kKnownFds = 4096;
enum : uint8_t { kUnknown = 0, kTheDevice = 1, kOther = 2 };
uint8_t g_known[kKnownFds];

void Forget(int fd) {
  if (fd >= 0 && fd < kKnownFds) __atomic_store_n(&g_known[fd], kUnknown, __ATOMIC_RELAXED);
}

// LINE_MODEL_DEVICE may list several devices, separated by ':', for a
// program that gives each board a process of its own (update-firmware-cli
// flashing several ports): every process models one line, that of the
// first listed device it touches, and then names only that one.
pthread_mutex_t g_claim = PTHREAD_MUTEX_INITIALIZER;

void ClaimListedDevice(Line& l, dev_t rdev) {
  pthread_mutex_lock(&g_claim);
  if (!l.have_rdev) {
    const char* start = l.path;
    while (*start != '\0') {
      const char* end = strchr(start, ':');
      const size_t size = end ? static_cast<size_t>(end - start) : strlen(start);
      char one[PATH_MAX];
      snprintf(one, sizeof one, "%.*s", static_cast<int>(size), start);
      struct stat st;
      if (size < sizeof one && stat(one, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
        memmove(l.path, one, strlen(one) + 1);
        l.rdev = rdev;
        __atomic_store_n(&l.have_rdev, true, __ATOMIC_RELEASE);
        break;
      }
      if (end == nullptr) break;
      start = end + 1;
    }
  }
  pthread_mutex_unlock(&g_claim);
}

// Whether `fd` is the chosen device. The device is known by its device
// number, so a descriptor opened by somebody else (Wine's server) and passed
// to this process is recognised as well.
bool IsDevice(int fd) {
  Line& l = g_line;
  if (!l.enabled || fd < 0) return false;
  const uint8_t known =
      fd < kKnownFds ? __atomic_load_n(&g_known[fd], __ATOMIC_RELAXED) : static_cast<uint8_t>(kUnknown);
  if (known != kUnknown) return known == kTheDevice;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;  // not open: nothing to remember
  if (!__atomic_load_n(&l.have_rdev, __ATOMIC_ACQUIRE) && S_ISCHR(st.st_mode)) {
    // The device may appear after the program starts, so it is looked for
    // when a terminal turns up, not at start-up.
    ClaimListedDevice(l, st.st_rdev);
  }
  const bool device = S_ISCHR(st.st_mode) && st.st_rdev == l.rdev;
  if (fd < kKnownFds && fd != l.tx_fd) {
    __atomic_store_n(&g_known[fd], device ? kTheDevice : kOther, __ATOMIC_RELAXED);
  }
  return device;
}

void WaitChanged(Line& l, int64_t until_ns) {
  timespec ts{static_cast<time_t>(until_ns / 1'000'000'000LL),
              static_cast<long>(until_ns % 1'000'000'000LL)};
  ++l.waiters;
  pthread_cond_timedwait(&l.changed, &l.mu, &ts);
  --l.waiters;
}

// The line rate and the bits of one character from the terminal's own
// settings (start bit, data bits, parity bit, stop bits).
void ReadLineSettings(Line& l, int fd) {
  termios t;
  if (Next(g_real.ioctl, "ioctl")(fd, TCGETS, &t) != 0) return;
  static const struct {
    speed_t code;
    unsigned baud;
  } kSpeeds[] = {
      {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
      {B150, 150},       {B200, 200},       {B300, 300},         {B600, 600},
      {B1200, 1200},     {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},     {B57600, 57600},
      {B115200, 115200}, {B230400, 230400}, {B460800, 460800},   {B500000, 500000},
      {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  const speed_t code = cfgetospeed(&t);
  unsigned baud = 0;
  for (const auto& s : kSpeeds) {
    if (s.code == code) baud = s.baud;
  }
  if (baud == 0) return;  // B0 or an unknown code: keep what we had
  unsigned data = 8;
  switch (t.c_cflag & CSIZE) {
    case CS5: data = 5; break;
    case CS6: data = 6; break;
    case CS7: data = 7; break;
    default: data = 8; break;
  }
  const unsigned bits = 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
  l.baud = baud;
  l.bits_per_byte = bits;
  l.byte_ns = static_cast<int64_t>(bits) * 1'000'000'000LL / baud;
}

// Hands the finished bytes to the device, with the lock held on entry and
// on return. The system calls are made with the lock released, so that the
// host's own calls (TIOCOUTQ above all) never wait for them; only this
// function takes bytes out of the outbox, and Advance only adds to it. A
// terminal without room (the device does not read) keeps them waiting.
void DeliverOutbox(Line& l) {
  if (l.delivering) return;  // the other thread is at it
  l.delivering = true;
  while (l.o_len > 0) {
    if (l.tx_fd < 0) {
      l.o_head = (l.o_head + l.o_len) % kOutboxCap;  // nobody to deliver to: lost on the wire
      l.o_len = 0;
      break;
    }
    // One piece up to the ring's end; several bytes only on a non-blocking
    // descriptor (poll promises room for one).
    long piece = l.o_head + l.o_len <= kOutboxCap ? l.o_len : kOutboxCap - l.o_head;
    if (!l.tx_nonblocking) piece = 1;
    uint8_t bytes[kOutboxCap];
    memcpy(bytes, l.outbox + l.o_head, static_cast<size_t>(piece));
    const int fd = l.tx_fd;
    pthread_mutex_unlock(&l.mu);
    pollfd p{fd, POLLOUT, 0};
    ssize_t n = -1;
    if (Next(g_real.poll, "poll")(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
      n = Next(g_real.write, "write")(fd, bytes, static_cast<size_t>(piece));
    }
    pthread_mutex_lock(&l.mu);
    if (n <= 0) break;
    l.o_head = (l.o_head + n) % kOutboxCap;
    l.o_len -= n;
    l.delivered += static_cast<uint64_t>(n);
  }
  l.delivering = false;
  if (l.waiters > 0) pthread_cond_broadcast(&l.changed);
}

// Moves bytes from the queue into the transmitter's free places; each starts
// when the byte before it has left, or at `t` if the line is idle then.
void Refill(Line& l, int64_t t) {
  while (l.f_len < l.fifo_cap && l.q_len > 0) {
    const uint8_t b = l.queue[l.q_head];
    l.q_head = (l.q_head + 1) % l.queue_cap;
    --l.q_len;
    int64_t start = l.last_end_ns;
    if (l.f_len == 0 && t > l.last_end_ns) {
      start = t;
      if (l.scheduled == 0) {
        l.first_start_ns = t;
      } else {
        const int64_t gap = t - l.last_end_ns;
        l.idle_ns += gap;
        if (l.gap_count < kMaxGaps) {
          l.gaps[l.gap_count++] = Gap{l.scheduled + 1, gap};
        } else {
          ++l.gaps_dropped;
        }
      }
    }
    const long slot = (l.f_head + l.f_len) % l.fifo_cap;
    l.fifo_byte[slot] = b;
    l.fifo_end[slot] = start + l.byte_ns;
    l.last_end_ns = l.fifo_end[slot];
    ++l.f_len;
    ++l.scheduled;
  }
}

// Brings the line up to `now`: bytes whose last bit has gone go to the
// outbox for the device, and their places are filled from the queue at the
// moment they freed up. Returns whether anything changed.
bool Advance(Line& l, int64_t now) {
  bool changed = false;
  while (l.f_len > 0 && l.fifo_end[l.f_head] <= now) {
    const int64_t end = l.fifo_end[l.f_head];
    if (l.o_len == kOutboxCap) {
      // The device takes nothing: hold the line and look again shortly.
      int64_t t = now + kRetryNs;
      for (long i = 0; i < l.f_len; ++i) {
        const long slot = (l.f_head + i) % l.fifo_cap;
        l.fifo_end[slot] = t;
        t += l.byte_ns;
      }
      l.last_end_ns = t - l.byte_ns;
      break;
    }
    l.outbox[(l.o_head + l.o_len) % kOutboxCap] = l.fifo_byte[l.f_head];
    ++l.o_len;
    l.f_head = (l.f_head + 1) % l.fifo_cap;
    --l.f_len;
    changed = true;
    Refill(l, end);
  }
  if (l.f_len < l.fifo_cap && l.q_len > 0) {
    Refill(l, now);
    changed = true;
  }
  if (changed && l.waiters > 0) pthread_cond_broadcast(&l.changed);
  return changed;
}

void* Transmitter(void*) {
  // Signals are for the host's own threads (Wine's above all).
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  Line& l = g_line;
  pthread_mutex_lock(&l.mu);
  for (;;) {
    const int64_t now = NowNs();
    Advance(l, now);
    DeliverOutbox(l);
    int64_t due;
    if (l.o_len > 0) {
      due = now + kRetryNs;  // the device had no room
    } else if (l.f_len > 0) {
      // When the batch's last byte has gone, or the line runs dry. Past
      // the transmitter's places the queue follows them without a gap.
      if (l.batch <= l.f_len) {
        due = l.fifo_end[(l.f_head + l.batch - 1) % l.fifo_cap];
      } else {
        const long more = l.batch - l.f_len < l.q_len ? l.batch - l.f_len : l.q_len;
        due = l.last_end_ns + more * l.byte_ns;
      }
    } else {
      pthread_cond_wait(&l.wake_tx, &l.mu);
      continue;
    }
    timespec ts{static_cast<time_t>(due / 1'000'000'000LL), static_cast<long>(due % 1'000'000'000LL)};
    pthread_cond_timedwait(&l.wake_tx, &l.mu, &ts);
  }
  return nullptr;
}

void StartSession(Line& l, int fd) {
  if (l.in_session) return;
  l.in_session = true;
  l.scheduled = l.delivered = l.written = l.flushed = 0;
  l.max_queue = 0;
  l.first_start_ns = 0;
  l.idle_ns = 0;
  l.gap_count = 0;
  l.gaps_dropped = 0;
  l.last_end_ns = 0;
  l.o_len = 0;
  l.settings_read_ns = 0;
  if (l.tx_fd < 0) {
    l.tx_fd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    Forget(l.tx_fd);
  }
  const int flags = l.tx_fd >= 0 ? fcntl(l.tx_fd, F_GETFL) : -1;
  l.tx_nonblocking = flags >= 0 && (flags & O_NONBLOCK);
  if (!l.tx_started) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    l.tx_started = pthread_create(&l.tx_thread, &attr, Transmitter, nullptr) == 0;
    pthread_attr_destroy(&attr);
  }
}

// Appends one line for the session to the statistics file.
void WriteStats(Line& l) {
  if (l.stats_path[0] == '\0' || l.written == 0) return;
  int64_t thread_cpu_ns = -1;
  clockid_t clock;
  if (l.tx_started && pthread_getcpuclockid(l.tx_thread, &clock) == 0) {
    timespec ts;
    if (clock_gettime(clock, &ts) == 0) thread_cpu_ns = ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
  }
  const int fd = open(l.stats_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Built in pieces so the gap list may be long; one write at the end
  // would need a buffer of its size, so the pieces go out as they fill.
  char buf[8192];
  size_t used = 0;
  auto flush = [&] {
    if (used > 0) Next(g_real.write, "write")(fd, buf, used);
    used = 0;
  };
  auto add = [&](const char* fmt, auto... args) {
    char piece[512];
    const int n = snprintf(piece, sizeof piece, fmt, args...);
    if (n <= 0) return;
    if (used + static_cast<size_t>(n) > sizeof buf) flush();
    memcpy(buf + used, piece, static_cast<size_t>(n));
    used += static_cast<size_t>(n);
  };
  add("session pid=%ld device=%s baud=%u bits_per_byte=%u byte_ns=%lld queue=%ld fifo=%ld batch=%ld",
      static_cast<long>(getpid()), l.path, l.baud, l.bits_per_byte,
      static_cast<long long>(l.byte_ns), l.queue_cap, l.fifo_cap, l.batch);
  add(" written=%llu sent=%llu flushed=%llu max_queue=%ld", static_cast<unsigned long long>(l.written),
      static_cast<unsigned long long>(l.delivered), static_cast<unsigned long long>(l.flushed),
      l.max_queue);
  add(" first_start_ns=%lld last_end_ns=%lld idle_ns=%lld tx_thread_cpu_ns=%lld gaps_dropped=%llu gaps=",
      static_cast<long long>(l.first_start_ns), static_cast<long long>(l.last_end_ns),
      static_cast<long long>(l.idle_ns), static_cast<long long>(thread_cpu_ns),
      static_cast<unsigned long long>(l.gaps_dropped));
  for (int i = 0; i < l.gap_count; ++i) {
    add(i == 0 ? "%llu:%lld" : ",%llu:%lld", static_cast<unsigned long long>(l.gaps[i].before_byte),
        static_cast<long long>(l.gaps[i].ns));
  }
  add("%s", "\n");
  flush();
  close(fd);
}

// Ends the session: the queue is gone (drained or dropped) and the host has
// no descriptor of the device left.
void EndSession(Line& l) {
  if (!l.in_session) return;
  // What is left goes to the device; the descriptor is closed only once no
  // thread is writing to it.
  for (int tries = 0; tries < 1000 && (l.o_len > 0 || l.delivering); ++tries) {
    if (l.delivering) {
      WaitChanged(l, NowNs() + kRetryNs);
    } else {
      DeliverOutbox(l);
      if (l.o_len > 0) WaitChanged(l, NowNs() + kRetryNs);
    }
  }
  while (l.delivering) WaitChanged(l, NowNs() + kRetryNs);
  WriteStats(l);
  l.in_session = false;
  l.q_len = 0;
  l.f_len = 0;
  l.o_len = 0;
  if (l.tx_fd >= 0) {
    Forget(l.tx_fd);
    Next(g_real.close, "close")(l.tx_fd);
  }
  l.tx_fd = -1;
}

// Whether the process holds a descriptor of the device other than `except`
// and our own.
bool OtherDescriptorOpen(Line& l, int except) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  const int self = dirfd(dir);
  bool found = false;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = atoi(e->d_name);
    if (fd == except || fd == l.tx_fd || fd == self) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == l.rdev) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool Empty(const Line& l) { return l.q_len == 0 && l.f_len == 0 && l.o_len == 0; }

// Waits (lock held) until queue and transmitter are empty or `deadline_ns`.
void WaitUntilSent(Line& l, int64_t deadline_ns) {
  for (;;) {
    const int64_t now = NowNs();
    Advance(l, now);
    if (Empty(l) || now >= deadline_ns) return;
    if (l.f_len == 0 && l.o_len > 0) pthread_cond_signal(&l.wake_tx);  // hand them over now
    int64_t until = l.last_end_ns < deadline_ns ? l.last_end_ns : deadline_ns;
    if (until <= now) until = now + kRetryNs;
    WaitChanged(l, until);
  }
}

ssize_t ModelWrite(int fd, const void* buffer, size_t count) {
  Line& l = g_line;
  if (count == 0) return 0;
  int nonblocking = -1;  // asked of the descriptor only when the queue is short of room
  const auto* p = static_cast<const uint8_t*>(buffer);
  pthread_mutex_lock(&l.mu);
  StartSession(l, fd);
  const int64_t t0 = NowNs();
  if (l.byte_ns == 0 || t0 - l.settings_read_ns >= kSettingsEveryNs) {
    ReadLineSettings(l, fd);
    l.settings_read_ns = t0;
  }
  size_t taken = 0;
  for (;;) {
    const int64_t now = NowNs();
    Advance(l, now);
    const bool was_idle = l.f_len == 0;
    while (taken < count && l.q_len < l.queue_cap) {
      l.queue[(l.q_head + l.q_len) % l.queue_cap] = p[taken++];
      ++l.q_len;
    }
    if (l.q_len > l.max_queue) l.max_queue = l.q_len;
    Refill(l, now);
    if (was_idle && l.f_len > 0) pthread_cond_signal(&l.wake_tx);
    if (taken == count) break;
    if (nonblocking < 0) {
      const int flags = fcntl(fd, F_GETFL);
      nonblocking = flags >= 0 && (flags & O_NONBLOCK) ? 1 : 0;
    }
    if (nonblocking == 1) break;
    // A blocking write waits for room, which comes when a byte leaves.
    WaitChanged(l, l.f_len > 0 ? l.fifo_end[l.f_head] : now + kRetryNs);
  }
  l.written += taken;
  pthread_mutex_unlock(&l.mu);
  if (taken == 0) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(taken);
}

// Room for at least one byte; otherwise the time (ns) room comes.
bool HasRoom(Line& l, int64_t* room_at) {
  pthread_mutex_lock(&l.mu);
  Advance(l, NowNs());
  const bool room = l.q_len < l.queue_cap;
  *room_at = room || l.f_len == 0 ? 0 : l.fifo_end[l.f_head];
  pthread_mutex_unlock(&l.mu);
  return room;
}

int64_t ToNs(int timeout_ms) { return timeout_ms < 0 ? -1 : static_cast<int64_t>(timeout_ms) * 1'000'000; }

// poll() with the device's POLLOUT from the model rather than the terminal.
// `timeout_ns` < 0 waits for ever.
int ModelPoll(pollfd* fds, nfds_t n, int64_t timeout_ns, const sigset_t* mask, bool use_ppoll) {
  // Which entries ask for POLLOUT on the device.
  bool* dev = static_cast<bool*>(alloca(sizeof(bool) * (n > 0 ? n : 1)));
  bool any = false;
  bool only_device_out = true;  // every entry asks for POLLOUT on the device, nothing else
  for (nfds_t i = 0; i < n; ++i) {
    dev[i] = (fds[i].events & (POLLOUT | POLLWRNORM)) && IsDevice(fds[i].fd);
    any = any || dev[i];
    if (!dev[i] || (fds[i].events & ~(POLLOUT | POLLWRNORM))) only_device_out = false;
  }
  auto real_poll = [&](int64_t ns) -> int {
    if (use_ppoll) {
      timespec ts{static_cast<time_t>(ns / 1'000'000'000LL), static_cast<long>(ns % 1'000'000'000LL)};
      return Next(g_real.ppoll, "ppoll")(fds, n, ns < 0 ? nullptr : &ts, mask);
    }
    const int ms = ns < 0 ? -1 : static_cast<int>((ns + 999'999) / 1'000'000);
    return Next(g_real.poll, "poll")(fds, n, ms);
  };
  if (!any) return real_poll(timeout_ns);
  if (only_device_out) {
    // The common case (a write waiting for room): no need to ask the kernel
    // when there is room already.
    int64_t room_at = 0;
    if (HasRoom(g_line, &room_at)) {
      for (nfds_t i = 0; i < n; ++i) fds[i].revents = static_cast<short>(fds[i].events & (POLLOUT | POLLWRNORM));
      return static_cast<int>(n);
    }
  }

  const int64_t deadline = timeout_ns < 0 ? -1 : NowNs() + timeout_ns;
  short* asked = static_cast<short*>(alloca(sizeof(short) * n));
  for (nfds_t i = 0; i < n; ++i) asked[i] = fds[i].events;
  for (;;) {
    int64_t room_at = 0;
    const bool room = HasRoom(g_line, &room_at);
    for (nfds_t i = 0; i < n; ++i) {
      if (dev[i]) fds[i].events = static_cast<short>(asked[i] & ~(POLLOUT | POLLWRNORM));
    }
    const int64_t now = NowNs();
    int64_t wait = -1;
    if (room) {
      wait = 0;
    } else {
      if (deadline >= 0) wait = deadline > now ? deadline - now : 0;
      if (room_at > 0) {
        const int64_t until_room = room_at > now ? room_at - now : 0;
        if (wait < 0 || until_room < wait) wait = until_room;
      }
    }
    const int r = real_poll(wait);
    for (nfds_t i = 0; i < n; ++i) fds[i].events = asked[i];
    if (r < 0) return r;
    int ready = 0;
    const bool room_now = room || HasRoom(g_line, &room_at);
    for (nfds_t i = 0; i < n; ++i) {
      if (dev[i] && room_now) fds[i].revents |= static_cast<short>(asked[i] & (POLLOUT | POLLWRNORM));
      if (fds[i].revents != 0) ++ready;
    }
    if (ready > 0) return ready;
    if (deadline >= 0 && NowNs() >= deadline) return 0;
  }
}

// select() the same way, through ModelPoll, when the write set holds the device.
int ModelSelect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, int64_t timeout_ns,
                const sigset_t* mask, bool use_pselect, timeval* tv) {
  bool any = false;
  if (wr != nullptr) {
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
      if (FD_ISSET(fd, wr) && IsDevice(fd)) {
        any = true;
        break;
      }
    }
  }
  if (!any) {
    if (use_pselect) {
      timespec ts{static_cast<time_t>(timeout_ns / 1'000'000'000LL),
                  static_cast<long>(timeout_ns % 1'000'000'000LL)};
      return Next(g_real.pselect, "pselect")(nfds, rd, wr, ex, timeout_ns < 0 ? nullptr : &ts, mask);
    }
    return Next(g_real.select, "select")(nfds, rd, wr, ex, tv);
  }
  // Translate into poll entries.
  pollfd* fds = static_cast<pollfd*>(alloca(sizeof(pollfd) * static_cast<size_t>(nfds)));
  nfds_t n = 0;
  for (int fd = 0; fd < nfds; ++fd) {
    short ev = 0;
    if (rd && FD_ISSET(fd, rd)) ev |= POLLIN;
    if (wr && FD_ISSET(fd, wr)) ev |= POLLOUT;
    if (ex && FD_ISSET(fd, ex)) ev |= POLLPRI;
    if (ev != 0) fds[n++] = pollfd{fd, ev, 0};
  }
  const int r = ModelPoll(fds, n, timeout_ns, mask, use_pselect);
  if (r < 0) return r;
  if (rd) FD_ZERO(rd);
  if (wr) FD_ZERO(wr);
  if (ex) FD_ZERO(ex);
  int count = 0;
  for (nfds_t i = 0; i < n; ++i) {
    const short re = fds[i].revents;
    if (rd && (fds[i].events & POLLIN) && (re & (POLLIN | POLLHUP | POLLERR))) {
      FD_SET(fds[i].fd, rd);
      ++count;
    }
    if (wr && (fds[i].events & POLLOUT) && (re & (POLLOUT | POLLERR))) {
      FD_SET(fds[i].fd, wr);
      ++count;
    }
    if (ex && (fds[i].events & POLLPRI) && (re & POLLPRI)) {
      FD_SET(fds[i].fd, ex);
      ++count;
    }
  }
  if (tv != nullptr) *tv = timeval{0, 0};  // as Linux does after a wait; the rest is not tracked
  return count;
}

const char* ModemCallName(unsigned long request) {
  switch (request) {
    case TIOCMBIS: return "TIOCMBIS";
    case TIOCMBIC: return "TIOCMBIC";
    default: return "TIOCMSET";
  }
}

// A modem-line call on the device: TIOCMGET reads the lines, TIOCMBIS,
// TIOCMBIC and TIOCMSET change them. Each change is appended to
// LINE_MODEL_MODEM as one line, with the time the call was made, so that a
// test can check a reset sequence's order and pauses. Wine sets a line with
// TIOCMGET and TIOCMSET, so those are answered too.
void ModelModemLines(Line& l, unsigned long request, int* arg) {
  const int kOutputs = TIOCM_DTR | TIOCM_RTS;
  pthread_mutex_lock(&l.mu);
  const int64_t now = NowNs();
  switch (request) {
    case TIOCMGET: *arg = l.modem_bits; break;
    case TIOCMBIS: l.modem_bits |= *arg & kOutputs; break;
    case TIOCMBIC: l.modem_bits &= ~(*arg & kOutputs); break;
    default: l.modem_bits = *arg & kOutputs; break;  // TIOCMSET
  }
  const int bits = l.modem_bits;
  pthread_mutex_unlock(&l.mu);
  if (request == TIOCMGET || l.modem_path[0] == '\0') return;
  char line[768];
  int n = snprintf(line, sizeof line,
                   "modem pid=%ld device=%s ns=%lld call=%s arg=0x%x dtr=%d rts=%d\n",
                   static_cast<long>(getpid()), l.path, static_cast<long long>(now),
                   ModemCallName(request), static_cast<unsigned>(*arg), (bits & TIOCM_DTR) ? 1 : 0,
                   (bits & TIOCM_RTS) ? 1 : 0);
  if (n <= 0) return;
  if (static_cast<size_t>(n) >= sizeof line) n = sizeof line - 1;
  // One write per line, appended: several processes may share the file.
  const int fd = open(l.modem_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  Next(g_real.write, "write")(fd, line, static_cast<size_t>(n));
  close(fd);
}

// TIOCOUTQ, tcdrain, tcflush and the modem lines on the device; false when
// not ours to answer.
bool ModelIoctl(int fd, unsigned long request, void* arg, int* result) {
  Line& l = g_line;
  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
      if (!IsDevice(fd)) return false;
      if (arg == nullptr) {
        errno = EFAULT;
        *result = -1;
      } else {
        ModelModemLines(l, request, static_cast<int*>(arg));
        *result = 0;
      }
      return true;
    }
    case TIOCOUTQ: {
      if (!IsDevice(fd)) return false;
      pthread_mutex_lock(&l.mu);
      Advance(l, NowNs());
      const int n = static_cast<int>(l.q_len);
      pthread_mutex_unlock(&l.mu);
      if (arg == nullptr) {
        errno = EFAULT;
        *result = -1;
      } else {
        *static_cast<int*>(arg) = n;
        *result = 0;
      }
      return true;
    }
    case TCSBRK:
    case TCSBRKP: {
      if (!IsDevice(fd)) return false;
      // Every form first waits for the output to be sent; a break itself is
      // then left to the terminal (a pseudo-terminal ignores it).
      pthread_mutex_lock(&l.mu);
      WaitUntilSent(l, INT64_MAX);
      pthread_mutex_unlock(&l.mu);
      *result = Next(g_real.ioctl, "ioctl")(fd, request, arg);
      return true;
    }
    case TCFLSH: {
      if (!IsDevice(fd)) return false;
      const long which = reinterpret_cast<long>(arg);
      if (which == TCOFLUSH || which == TCIOFLUSH) {
        // The queue goes; what the transmitter holds still leaves, as the
        // bytes in a UART's FIFO or an adapter's chip do.
        pthread_mutex_lock(&l.mu);
        l.flushed += static_cast<uint64_t>(l.q_len);
        l.q_len = 0;
        if (l.waiters > 0) pthread_cond_broadcast(&l.changed);
        pthread_mutex_unlock(&l.mu);
      }
      if (which == TCOFLUSH) {
        *result = 0;  // the terminal's own buffer holds only bytes already sent
      } else {
        *result = Next(g_real.ioctl, "ioctl")(fd, TCFLSH, which == TCIOFLUSH ? reinterpret_cast<void*>(TCIFLUSH) : arg);
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

// ---- the interposed calls ------------------------------------------------

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
  if (IsDevice(fd)) return ModelWrite(fd, buffer, count);
  return Next(g_real.write, "write")(fd, buffer, count);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int result = 0;
  if (ModelIoctl(fd, request, arg, &result)) return result;
  return Next(g_real.ioctl, "ioctl")(fd, request, arg);
}

int tcdrain(int fd) {
  int result = 0;
  if (ModelIoctl(fd, TCSBRK, reinterpret_cast<void*>(1L), &result)) return result;
  return Next(g_real.tcdrain, "tcdrain")(fd);
}

int tcflush(int fd, int queue) {
  int result = 0;
  if (ModelIoctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<long>(queue)), &result)) return result;
  return Next(g_real.tcflush, "tcflush")(fd, queue);
}

int close(int fd) {
  Line& l = g_line;
  if (l.enabled && fd != l.tx_fd && IsDevice(fd)) {
    pthread_mutex_lock(&l.mu);
    if (l.in_session && !OtherDescriptorOpen(l, fd)) {
      // The last close waits for the output, as the kernel does (closing_wait).
      WaitUntilSent(l, NowNs() + kClosingWaitNs);
      EndSession(l);
    }
    pthread_mutex_unlock(&l.mu);
  }
  Forget(fd);
  return Next(g_real.close, "close")(fd);
}

int dup2(int old_fd, int new_fd) {
  Forget(new_fd);
  return Next(g_real.dup2, "dup2")(old_fd, new_fd);
}

int dup3(int old_fd, int new_fd, int flags) {
  Forget(new_fd);
  return Next(g_real.dup3, "dup3")(old_fd, new_fd, flags);
}

// Calls that hand out descriptor numbers: whatever was known of the number
// before no longer holds.
int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  const int fd = Next(g_real.open, "open")(path, flags, mode);
  Forget(fd);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  const int fd = Next(g_real.open64, "open64")(path, flags, mode);
  Forget(fd);
  return fd;
}

int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  const int fd = Next(g_real.openat, "openat")(dir, path, flags, mode);
  Forget(fd);
  return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  const int fd = Next(g_real.openat64, "openat64")(dir, path, flags, mode);
  Forget(fd);
  return fd;
}

int dup(int old_fd) {
  const int fd = Next(g_real.dup, "dup")(old_fd);
  Forget(fd);
  return fd;
}

// Wine's programs get their descriptors from Wine's server this way.
ssize_t recvmsg(int socket, msghdr* message, int flags) {
  const ssize_t n = Next(g_real.recvmsg, "recvmsg")(socket, message, flags);
  if (n >= 0 && message != nullptr && message->msg_controllen > 0) {
    for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        Forget(fd);
      }
    }
  }
  return n;
}

int close_range(unsigned first, unsigned last, int flags) {
  // CLOSE_RANGE_CLOEXEC only marks them; forgetting is harmless either way.
  for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(kKnownFds); ++fd) {
    Forget(static_cast<int>(fd));
  }
  return Next(g_real.close_range, "close_range")(first, last, flags);
}

int poll(pollfd* fds, nfds_t n, int timeout_ms) {
  if (!g_line.enabled) return Next(g_real.poll, "poll")(fds, n, timeout_ms);
  return ModelPoll(fds, n, ToNs(timeout_ms), nullptr, false);
}

int __poll_chk(pollfd* fds, nfds_t n, int timeout_ms, size_t) { return poll(fds, n, timeout_ms); }

int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
  if (!g_line.enabled) return Next(g_real.ppoll, "ppoll")(fds, n, timeout, mask);
  const int64_t ns = timeout ? timeout->tv_sec * 1'000'000'000LL + timeout->tv_nsec : -1;
  return ModelPoll(fds, n, ns, mask, true);
}

int __ppoll_chk(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask, size_t) {
  return ppoll(fds, n, timeout, mask);
}

int select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* tv) {
  if (!g_line.enabled || wr == nullptr) return Next(g_real.select, "select")(nfds, rd, wr, ex, tv);
  const int64_t ns = tv ? tv->tv_sec * 1'000'000'000LL + tv->tv_usec * 1000LL : -1;
  return ModelSelect(nfds, rd, wr, ex, ns, nullptr, false, tv);
}

int pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const timespec* timeout,
            const sigset_t* mask) {
  if (!g_line.enabled || wr == nullptr) {
    return Next(g_real.pselect, "pselect")(nfds, rd, wr, ex, timeout, mask);
  }
  const int64_t ns = timeout ? timeout->tv_sec * 1'000'000'000LL + timeout->tv_nsec : -1;
  return ModelSelect(nfds, rd, wr, ex, ns, mask, true, nullptr);
}

}  // extern "C"

namespace {
// At exit a session still open is written down.
__attribute__((destructor)) void Fini() {
  Line& l = g_line;
  if (!l.enabled || !l.in_session) return;
  if (pthread_mutex_trylock(&l.mu) != 0) return;
  WriteStats(l);
  pthread_mutex_unlock(&l.mu);
}
}  // namespace
