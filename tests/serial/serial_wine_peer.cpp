// Plays the device for the Windows serial test under Wine.
//
//   serial_wine_peer --prefix WINEPREFIX [--port com5] -- command [args...]
//
// Makes a pseudo-terminal, points <prefix>/dosdevices/<port> at its slave
// side (that is how Wine finds a COM port), runs the command and answers on
// the master side: every chunk it receives is answered, 200 ms later, with
// the same bytes each inverted (b ^ 0xFF), so the test can tell the reply
// came from here and that a read waited for it. Exits with the command's
// status.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kReplyDelayMs = 200;

int Usage() {
  std::fprintf(stderr, "usage: serial_wine_peer --prefix DIR [--port comN] -- command [args...]\n");
  return 2;
}

bool WriteAll(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string prefix;
  std::string port = "com5";
  int command_at = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--prefix" && i + 1 < argc) {
      prefix = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      port = argv[++i];
    } else if (arg == "--") {
      command_at = i + 1;
      break;
    } else {
      return Usage();
    }
  }
  if (prefix.empty() || command_at < 0 || command_at >= argc) return Usage();

  // The pty becomes the controlling terminal of our own session, so that no
  // Wine process (the wine server opens the device on its clients' behalf)
  // can take it as its own and be sent SIGHUP when we close the master. We
  // need a session of our own for that; a process-group leader cannot make
  // one, so then a child does the work while we wait for it.
  if (setsid() < 0) {
    const pid_t worker = fork();
    if (worker < 0) {
      std::perror("serial_wine_peer: fork");
      return 1;
    }
    if (worker > 0) {
      int worker_status = 0;
      while (waitpid(worker, &worker_status, 0) < 0 && errno == EINTR) {
      }
      return WIFEXITED(worker_status) ? WEXITSTATUS(worker_status) : 1;
    }
    setsid();
  }
  signal(SIGHUP, SIG_IGN);

  int master = -1;
  int slave = -1;
  char slave_name[128] = {};
  if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
    std::perror("serial_wine_peer: openpty");
    return 1;
  }
  // Raw until the test configures it: no echo of what we send. Our slave
  // descriptor stays open so the master never sees a hang-up between opens.
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  ioctl(slave, TIOCSCTTY, 0);

  // Wine makes dosdevices (with c: and z:) only when it creates the prefix,
  // and skips that for a folder that is already there: in a fresh prefix the
  // link has to wait until Wine has made the folder itself.
  const std::string dosdevices = prefix + "/dosdevices";
  const std::string link = dosdevices + "/" + port;
  bool linked = false;
  bool link_failed = false;  // the test will then fail to open the port
  auto try_link = [&]() {
    struct stat st;
    if (linked || link_failed || stat(dosdevices.c_str(), &st) != 0) return;
    unlink(link.c_str());
    if (symlink(slave_name, link.c_str()) != 0) {
      std::perror("serial_wine_peer: symlink");
      link_failed = true;
      return;
    }
    linked = true;
  };
  try_link();

  const pid_t child = fork();
  if (child < 0) {
    std::perror("serial_wine_peer: fork");
    return 1;
  }
  if (child == 0) {
    // A session without a controlling terminal for the command.
    setsid();
    signal(SIGHUP, SIG_DFL);
    close(master);
    close(slave);
    execvp(argv[command_at], argv + command_at);
    std::perror("serial_wine_peer: exec");
    _exit(127);
  }

  size_t received = 0;
  size_t answered = 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    try_link();
    pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, linked || link_failed ? 50 : 5) <= 0 || !(pfd.revents & POLLIN)) continue;
    unsigned char buf[512];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) continue;
    received += static_cast<size_t>(n);
    for (ssize_t i = 0; i < n; ++i) buf[i] ^= 0xFF;
    usleep(kReplyDelayMs * 1000);
    if (WriteAll(master, buf, static_cast<size_t>(n))) answered += static_cast<size_t>(n);
  }

  if (linked) unlink(link.c_str());
  std::fprintf(stderr, "serial_wine_peer: %s -> %s, received %zu bytes, answered %zu\n",
               port.c_str(), slave_name, received, answered);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
