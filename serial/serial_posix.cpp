// Serial ports on Linux and other POSIX systems: termios over a tty device.
#if defined(_WIN32)
#error "serial_posix.cpp is the POSIX backend"
#endif

#include "serial/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <string>

#include "common/delay.h"
#include "serial/port_names.h"

namespace {

// fd 0 is a valid descriptor but handle 0 means "no port": store fd + 1.
intptr_t HandleFromFd(int fd) { return static_cast<intptr_t>(fd) + 1; }
int FdFromHandle(intptr_t h) { return static_cast<int>(h - 1); }

// The terminal settings each open port had before ours were applied, by
// descriptor. A tty keeps its settings after the last close, so without
// putting them back a port we merely looked at, or flashed through, would
// stay raw at 9600 baud for the console or modem tool that uses it next.
std::map<int, termios>& SavedSettings() {
  static std::map<int, termios> saved;
  return saved;
}

// Undoes the exclusive claim and closes. TIOCNXCL must come before close.
// Output still queued is dropped first: close() would otherwise wait for it
// up to the driver's closing time (30 s by default, or for ever), which is
// the very wait a driver whose transmit count never empties turns into a hang.
// The settings found at open go back only after that flush, so that they
// cannot wait for the queue to drain either.
void ReleaseFd(int fd) {
  tcflush(fd, TCOFLUSH);
  const auto saved = SavedSettings().find(fd);
  if (saved != SavedSettings().end()) {
    int rc;
    do {
      rc = tcsetattr(fd, TCSANOW, &saved->second);
    } while (rc != 0 && errno == EINTR);
    SavedSettings().erase(saved);
  }
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  close(fd);
}

PortError PortErrorForErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:
      return PortErrorAbsent;
    case EBUSY:
    case EWOULDBLOCK:  // the lock another opener holds
      return PortErrorBusy;
    case EACCES:
    case EPERM:
      return PortErrorDenied;
    case EISDIR:
    case ENOTTY:
      return PortErrorNotSerial;
    default:
      return PortErrorOther;
  }
}

void RecordErrno(int error) { RecordPortError(PortErrorForErrno(error), error); }

// Opens the device behind `name` the way both an open and a probe need it:
// held under an exclusive lock, a terminal, and not ours. Nothing is
// configured. Returns the descriptor, or -1 with the reason recorded.
int OpenLockedTerminal(const char* name) {
  const std::string path = SerialDevicePathForName(name);
  if (path.empty()) {
    RecordPortError(PortErrorAbsent, 0);
    return -1;
  }
  // What no open can make a port of is refused before one is tried: a FIFO
  // opened would be someone's pipe, read from.
  int node_error = 0;
  const PortError node = DeviceNodeError(path, &node_error);
  if (node != PortErrorNone) {
    RecordPortError(node, node_error);
    return -1;
  }
  // Non-blocking for good: the open cannot be held up by a missing carrier,
  // and a write can stop at its deadline without switching modes per word
  // (reads wait in poll() instead).
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    RecordErrno(errno);
    return -1;
  }
  // The terminal this program runs in (/dev/tty, or its /dev/pts/N by name)
  // is no device to flash: configuring it would leave the user's shell raw.
  // tcgetsid answers only for the caller's own controlling terminal.
  const pid_t session = tcgetsid(fd);
  if (session != -1 && session == getsid(0)) {
    close(fd);
    RecordPortError(PortErrorControllingTerminal, 0);
    return -1;
  }
  // Exclusive, as on Windows: the lock refuses any other opener that asks
  // for it (root included, and another slot of ours).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    RecordErrno(error);
    return -1;
  }
  if (!isatty(fd)) {
    const int error = errno;
    close(fd);
    RecordPortError(PortErrorNotSerial, error);
    return -1;
  }
  // Exclusive against programs that take no lock too, as Windows refuses
  // a second opener whoever it is: a modem tool or a terminal program that
  // has the device open, or has only locked it the UUCP way, keeps it.
  struct stat st;
  if (fstat(fd, &st) == 0 &&
      FindDeviceHolder(st.st_rdev, path, HolderRootsFromEnvironment()).pid != 0) {
    flock(fd, LOCK_UN);
    close(fd);
    RecordPortError(PortErrorBusy, EBUSY);
    return -1;
  }
  return fd;
}

// Errors after which the device is no longer there to talk to.
bool DeviceGone(int error) {
  return error == EIO || error == ENODEV || error == ENXIO;
}

void Fault(serial_backend::TransferFault* fault, TransferError error, int system_error) {
  fault->error = error;
  fault->system_error = system_error;
}

// Gives up on an open whose settings the device refused or dropped.
intptr_t SettingsRefused(int fd, int error) {
  ReleaseFd(fd);
  RecordPortError(PortErrorSettings, error);
  return 0;
}

// Sets the RTS line for the modes that hold it. A device without modem
// lines (a pseudo-terminal, some adapters) says ENOTTY or EINVAL: there is
// no line to hold, which is not a reason to refuse the port.
bool ApplyRtsLine(int fd, RtsLine rts) {
  unsigned long request;
  if (rts == RtsLine::Inactive) {
    request = TIOCMBIC;
  } else if (rts == RtsLine::Active) {
    request = TIOCMBIS;
  } else {
    return true;
  }
  int bits = TIOCM_RTS;
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

PortError DeviceNodeError(const std::string& path, int* system_error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *system_error = errno;
    if (errno == ENOENT || errno == ENOTDIR) return PortErrorAbsent;
    *system_error = 0;
    return PortErrorNone;
  }
  *system_error = 0;
  if (S_ISCHR(st.st_mode)) return PortErrorNone;
  // The errors an open of the same would end in.
  *system_error = S_ISDIR(st.st_mode) ? EISDIR : ENOTTY;
  return PortErrorNotSerial;
}

speed_t SpeedForBaud(uint32_t baud) {
  struct Entry {
    uint32_t baud;
    speed_t speed;
  };
  static const Entry kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B500000
      {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
      {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
      {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
  };
  for (const Entry& e : kSpeeds) {
    if (e.baud == baud) return e.speed;
  }
  return B0;
}

bool BuildTermios(const termios& reported, const LineSettings& s, termios* out) {
  termios t = reported;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;

  const speed_t speed = SpeedForBaud(s.baud);
  if (speed == B0) return false;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;

  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  switch (s.parity) {
    case 0: break;                                        // none
    case 1: t.c_cflag |= PARENB | PARODD; break;          // odd
    case 2: t.c_cflag |= PARENB; break;                   // even
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break; // mark
    case 4: t.c_cflag |= PARENB | CMSPAR; break;          // space
    default: return false;
  }

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (s.data_bits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return false;
  }

  if (s.stop_bits == StopBitsOne) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  } else {
    t.c_cflag |= CSTOPB;  // two, and one and a half (see the header)
  }

  if (s.parity_check) {
    t.c_iflag |= INPCK;
  } else {
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
  }

  const FlowControl& f = s.flow;
  if (f.cts_output == FlowSwitch::On || f.rts == RtsLine::Handshake) {
    t.c_cflag |= CRTSCTS;
  } else if (f.cts_output == FlowSwitch::Off || f.rts == RtsLine::Inactive ||
             f.rts == RtsLine::Active) {
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  }
  if (f.xon_xoff == FlowSwitch::On) {
    t.c_iflag |= IXON | IXOFF;
    t.c_iflag &= ~static_cast<tcflag_t>(IXANY);
    t.c_cc[VSTART] = static_cast<cc_t>(f.xon_char);
    t.c_cc[VSTOP] = static_cast<cc_t>(f.xoff_char);
  } else if (f.xon_xoff == FlowSwitch::Off) {
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  }

  // No read time-out: a read waits for its first byte without limit, and
  // ReadPort loops for the rest.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  *out = t;
  return true;
}

bool TermiosTaken(const termios& wanted, const termios& got) {
  const tcflag_t kLine = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  return cfgetispeed(&got) == cfgetispeed(&wanted) &&
         cfgetospeed(&got) == cfgetospeed(&wanted) &&
         (got.c_cflag & kLine) == (wanted.c_cflag & kLine);
}

namespace serial_backend {

intptr_t Open(const char* name, const LineSettings& s) {
  const int fd = OpenLockedTerminal(name);
  if (fd < 0) return 0;
  // TIOCEXCL refuses every later open() by non-root programs, which do not
  // ask for the lock.
  ioctl(fd, TIOCEXCL);

  termios reported;
  termios wanted;
  termios got;
  if (tcgetattr(fd, &reported) != 0) return SettingsRefused(fd, errno);
  if (!BuildTermios(reported, s, &wanted)) return SettingsRefused(fd, 0);
  SavedSettings()[fd] = reported;
  int rc;
  do {
    rc = tcsetattr(fd, TCSANOW, &wanted);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return SettingsRefused(fd, errno);
  if (tcgetattr(fd, &got) != 0) return SettingsRefused(fd, errno);
  if (!TermiosTaken(wanted, got)) return SettingsRefused(fd, 0);
  if (!ApplyRtsLine(fd, s.flow.rts)) return SettingsRefused(fd, errno);
  // Nothing else: the queues are not flushed and no break is sent. The
  // driver's buffer sizes are the kernel's own; termios cannot change them.
  return HandleFromFd(fd);
}

bool Probe(const char* name) {
  const int fd = OpenLockedTerminal(name);
  if (fd < 0) return false;
  flock(fd, LOCK_UN);
  close(fd);
  return true;
}

void Close(intptr_t handle) { ReleaseFd(FdFromHandle(handle)); }

int32_t InputCount(intptr_t handle) {
  int n = 0;
  if (ioctl(FdFromHandle(handle), FIONREAD, &n) != 0 || n < 0) return 0;
  return n;
}

int32_t OutputCount(intptr_t handle) {
  int n = 0;
  if (ioctl(FdFromHandle(handle), TIOCOUTQ, &n) != 0 || n < 0) return 0;
  return n;
}

int32_t Read(intptr_t handle, void* buffer, int32_t count, TransferFault* fault) {
  const int fd = FdFromHandle(handle);
  auto* p = static_cast<unsigned char*>(buffer);
  int32_t got = 0;
  while (got < count) {
    const ssize_t n = read(fd, p + got, static_cast<size_t>(count - got));
    if (n > 0) {
      got += static_cast<int32_t>(n);
      continue;
    }
    if (n == 0) {  // hung up: the device has gone
      Fault(fault, TransferErrorVanished, 0);
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd pfd = {fd, POLLIN, 0};
      if (poll(&pfd, 1, -1) < 0 && errno != EINTR) {
        Fault(fault, TransferErrorOther, errno);
        break;
      }
      // A hang-up with bytes still queued is read to the end first.
      if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLIN)) {
        Fault(fault, pfd.revents & POLLNVAL ? TransferErrorOther : TransferErrorVanished, 0);
        break;
      }
      continue;
    }
    Fault(fault, DeviceGone(errno) ? TransferErrorVanished : TransferErrorOther, errno);
    break;
  }
  return got;
}

int32_t Write(intptr_t handle, const void* buffer, int32_t count, TransferFault* fault) {
  const int fd = FdFromHandle(handle);
  const uint64_t deadline = MonotonicMs() + WriteTimeoutMs(count);

  // The descriptor is non-blocking, so each write() takes what fits and the
  // loop can stop at the deadline.
  const auto* p = static_cast<const unsigned char*>(buffer);
  int32_t put = 0;
  while (put < count) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) {
      Fault(fault, TransferErrorStopped, 0);
      break;
    }
    const uint64_t left = deadline - now;
    pollfd pfd = {fd, POLLOUT, 0};
    const int ready = poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fault(fault, TransferErrorOther, errno);
      break;
    }
    if (ready == 0) {  // the device took nothing more before the deadline
      Fault(fault, TransferErrorStopped, 0);
      break;
    }
    // A hung-up terminal also reports room to write; the write then says EIO.
    if (!(pfd.revents & POLLOUT)) {
      Fault(fault, pfd.revents & POLLNVAL ? TransferErrorOther : TransferErrorVanished, 0);
      break;
    }
    const ssize_t n = write(fd, p + put, static_cast<size_t>(count - put));
    if (n > 0) {
      put += static_cast<int32_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      Fault(fault, DeviceGone(errno) ? TransferErrorVanished : TransferErrorOther, errno);
      break;
    }
  }
  return put;
}

int32_t Holder(const char* name, std::string* program) {
  const std::string path = SerialDevicePathForName(name);
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  const DeviceHolder holder = FindDeviceHolder(st.st_rdev, path, HolderRootsFromEnvironment());
  *program = holder.program;
  return holder.pid;
}

void BeginSweep() { BeginHolderSweep(); }
void EndSweep() { EndHolderSweep(); }

}  // namespace serial_backend

// --- Modem lines ------------------------------------------------------------

namespace serial_backend {

// Unlike the RTS setting at open, a refusal counts here: the caller asked
// for this line to move, to reset a board.
bool SetModemLine(intptr_t handle, ModemLine line, bool on) {
  int bits = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
  int rc;
  do {
    rc = ioctl(FdFromHandle(handle), on ? TIOCMBIS : TIOCMBIC, &bits);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace serial_backend
