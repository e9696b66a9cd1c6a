// Drives the simulated device the way a host program does: launch it, open
// the terminal it prints, talk the upload protocol, and check every
// misbehaviour option against what arrives on the line and in its records.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <memory>
#include <vector>

#include "tests/support/process_posix.h"
#include "tools/bootloader-sim/sim_process.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const Bytes kStart{'B', 'L', '1', '0'};
const Bytes kOk{'O', 'K'};

double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Bytes SizeBytes(uint32_t size) {
  return {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
          static_cast<uint8_t>(size >> 24)};
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes ReadFileBytes(const std::string& path) {
  std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

struct LogEntry {
  double ms;
  uint8_t byte;
};

std::vector<LogEntry> ReadLog(const std::string& path) {
  std::vector<LogEntry> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    double ms = 0;
    unsigned byte = 0;
    char extra = 0;
    EXPECT_EQ(2, std::sscanf(line.c_str(), "%lf %2X%c", &ms, &byte, &extra)) << "log line: " << line;
    out.push_back({ms, static_cast<uint8_t>(byte)});
  }
  return out;
}

Bytes LogBytes(const std::vector<LogEntry>& log) {
  Bytes b;
  for (const LogEntry& e : log) b.push_back(e.byte);
  return b;
}

// A scratch folder for one test's records.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/bootloader-sim-test.XXXXXX";
    const char* made = mkdtemp(tmpl);
    path = made ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// One simulator process, its stderr in a file the test can read.
class Sim {
 public:
  // Launches the simulator; unless the arguments say otherwise it gives up
  // after 10 s, so a failing test cannot hang.
  void Spawn(std::vector<std::string> args, const std::string& stderr_path) {
    Launch(std::move(args), {stderr_path, false});
    ASSERT_TRUE(process_->Started()) << "cannot run " << BootloaderSimPath();
  }

  // Launches it and reads the terminal path from the first line of stdout.
  void Start(std::vector<std::string> args, const TempDir& dir) {
    Launch(std::move(args), {dir / "stderr.txt", true});
    ASSERT_TRUE(process_->Ok()) << "no terminal path printed; stderr: " << Stderr();
    path = process_->Terminal();
    ASSERT_EQ(0u, path.rfind("/dev/pts/", 0)) << path;
  }

  // Everything left on stdout until it closes (for --help).
  std::string RestOfStdout() { return process_->RestOfStdout(); }
  // The exit code, or -1 when it did not exit within `seconds`.
  int Wait(double seconds) { return process_->WaitForExit(seconds); }
  bool Running() { return process_->Running(); }
  void Signal(int sig) { process_->Signal(sig); }
  std::string Stderr() const { return process_ ? process_->Stderr() : std::string(); }

  std::string path;
  double spawned_ms = 0;

 private:
  void Launch(std::vector<std::string> args, const SimProcess::Options& options) {
    bool has_timeout = false;
    for (const std::string& a : args) has_timeout |= (a == "--timeout");
    if (!has_timeout) args.insert(args.end(), {"--timeout", "10"});
    process_ = std::make_unique<SimProcess>(BootloaderSimPath(), args, options);
    spawned_ms = std::chrono::duration<double, std::milli>(process_->StartedAt().time_since_epoch())
                     .count();
  }

  std::unique_ptr<SimProcess> process_;
};

// The host's end: the terminal opened raw and non-blocking, so that every
// wait below has a time bound.
class Port {
 public:
  explicit Port(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
  }
  ~Port() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Bytes written before `timeout_ms` passed without room to write.
  size_t Write(const Bytes& data, int timeout_ms = 2000) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = write(fd, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, timeout_ms) <= 0) break;
    }
    return done;
  }

  // Up to `count` bytes, whatever arrived within `timeout_ms`.
  Bytes Read(size_t count, int timeout_ms = 2000) {
    Bytes got;
    double give_up = NowMs() + timeout_ms;
    while (got.size() < count) {
      double left = give_up - NowMs();
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) break;
      uint8_t buf[256];
      ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  int fd = -1;
};

// Each phrase is in what the simulator wrote to its standard error.
void ExpectReported(const Sim& sim, std::initializer_list<const char*> phrases) {
  const std::string err = sim.Stderr();
  for (const char* phrase : phrases) EXPECT_NE(std::string::npos, err.find(phrase)) << err;
}

// Start command, its reply, and the size.
void Announce(Port& port, uint32_t size) {
  ASSERT_EQ(4u, port.Write(kStart));
  ASSERT_EQ(kOk, port.Read(2));
  ASSERT_EQ(4u, port.Write(SizeBytes(size)));
}

// Start command, size and words, checking both replies; `size` may be odd.
void Upload(Port& port, const Bytes& image, uint32_t size) {
  ASSERT_NO_FATAL_FAILURE(Announce(port, size));
  ASSERT_EQ(image.size(), port.Write(image));
  ASSERT_EQ(kOk, port.Read(2));
}

// Processes other than this one with a descriptor of the device at `path`.
std::vector<std::string> OtherHolders(const std::string& path) {
  struct stat device;
  std::vector<std::string> holders;
  if (stat(path.c_str(), &device) != 0) return {"cannot stat " + path};
  DIR* proc = opendir("/proc");
  while (dirent* p = proc ? readdir(proc) : nullptr) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9' || std::stol(p->d_name) == getpid()) continue;
    DIR* fds = opendir(("/proc/" + std::string(p->d_name) + "/fd").c_str());
    while (dirent* f = fds ? readdir(fds) : nullptr) {
      struct stat st;
      if (fstatat(dirfd(fds), f->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device.st_rdev)
        holders.push_back(p->d_name);
    }
    if (fds) closedir(fds);
  }
  if (proc) closedir(proc);
  return holders;
}

TEST(BootloaderSim, CommandLine) {
  TempDir dir;
  {
    Sim sim;
    sim.Spawn({"--help"}, dir / "err");
    std::string help = sim.RestOfStdout();
    EXPECT_EQ(0, sim.Wait(5));
    for (const char* option : {"--link", "--ready-file", "--sessions", "--log", "--image", "--silent",
                               "--start-reply", "--final-reply", "--no-final", "--reply-delay",
                               "--start-delay", "--final-delay", "--suffix", "--stale",
                               "--stop-reading-after", "--vanish-after", "--pace", "--baud", "--timeout",
                               "--ignore-starts", "--device", "Exit codes"})
      EXPECT_NE(std::string::npos, help.find(option)) << option;
  }
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},         {"--start-reply", "4F4"}, {"--suffix", "zz"},  {"--sessions"},
      {"--sessions", "-1"}, {"--reply-delay", "x"},   {"--silent=yes"},   {"--baud", "0"},
      {"--ignore-starts", "-1"}};
  for (const auto& args : bad) {
    Sim sim;
    sim.Spawn(args, dir / "err");
    EXPECT_EQ(1, sim.Wait(5)) << args[0];
    EXPECT_NE(std::string::npos, ReadFile(dir / "err").find("--help")) << args[0];
  }
}

TEST(BootloaderSim, NormalUploadIsAnsweredAndRecorded) {
  TempDir dir;
  Sim sim;
  sim.Start({"--log", dir / "log", "--image", dir / "image"}, dir);
  Port port(sim.path);
  ASSERT_GE(port.fd, 0);

  // Noise first: "BL1" cut short, then "B" restarting the match.
  const Bytes noise{'x', 'B', 'L', '1', 'B'};
  const Bytes image = Pattern(6);
  ASSERT_EQ(noise.size(), port.Write(noise));
  EXPECT_TRUE(port.Read(1, 200).empty()) << "answered noise";
  ASSERT_EQ(3u, port.Write({'L', '1', '0'}));
  ASSERT_EQ(kOk, port.Read(2));
  ASSERT_EQ(4u, port.Write(SizeBytes(6)));
  ASSERT_EQ(6u, port.Write(image));
  ASSERT_EQ(kOk, port.Read(2));
  EXPECT_TRUE(port.Read(1, 100).empty()) << "bytes after the final reply";

  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  EXPECT_EQ(image, ReadFileBytes(dir / "image"));
  std::vector<LogEntry> log = ReadLog(dir / "log");
  EXPECT_EQ(Cat({noise, {'L', '1', '0'}, SizeBytes(6), image}), LogBytes(log));
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].ms, log[i].ms);
  // Milliseconds since the simulator started: the rest of the command went
  // out at least 200 ms after it printed its path, and nothing can be logged
  // later than now.
  ASSERT_EQ(18u, log.size());
  EXPECT_GE(log[5].ms, 200);
  EXPECT_LE(log.back().ms, NowMs() - sim.spawned_ms);
  ExpectReported(sim, {"session 1: announced 6 bytes", "completed"});
}

// Two uploads on two opens of the port: the first with an odd size, under an
// exclusive lock as our serial layer takes it, the second with size 0.
TEST(BootloaderSim, TwoSessionsOddAndZeroSize) {
  TempDir dir;
  Sim sim;
  sim.Start({"--sessions", "2", "--log", dir / "log", "--image", dir / "image"}, dir);
  const Bytes image = Pattern(4);
  // Like a real device, it holds nothing of the port the host opens, before
  // or between the host's opens: the host sees no other holder.
  EXPECT_EQ(OtherHolders(sim.path), std::vector<std::string>{});
  {
    // A probe: open and close without a word.
    Port probe(sim.path);
    ASSERT_GE(probe.fd, 0);
    EXPECT_EQ(OtherHolders(sim.path), std::vector<std::string>{});
  }
  {
    Port port(sim.path);
    ASSERT_GE(port.fd, 0);
    ASSERT_EQ(0, flock(port.fd, LOCK_EX | LOCK_NB));
    ASSERT_EQ(0, ioctl(port.fd, TIOCEXCL));
    // Size 5: two words; the fifth byte is never sent, the reply comes anyway.
    Upload(port, image, 5);
    EXPECT_EQ(image, ReadFileBytes(dir / "image"));
  }
  SleepMs(100);
  EXPECT_TRUE(sim.Running()) << "stopped after one of two sessions";
  EXPECT_EQ(OtherHolders(sim.path), std::vector<std::string>{});
  {
    Port port(sim.path);
    ASSERT_GE(port.fd, 0) << "cannot reopen after an exclusive open: " << std::strerror(errno);
    Upload(port, {}, 0);
  }
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  EXPECT_TRUE(ReadFileBytes(dir / "image").empty());
  EXPECT_EQ(Cat({kStart, SizeBytes(5), image, kStart, SizeBytes(0)}), LogBytes(ReadLog(dir / "log")));
  ExpectReported(sim, {"session 1: announced 5 bytes (2 words), received 4 of 4",
                      "session 2: announced 0 bytes"});
}

TEST(BootloaderSim, WrongRepliesAreSentAsGiven) {
  TempDir dir;
  {
    Sim sim;
    sim.Start({"--start-reply", "4F4C", "--log", dir / "log"}, dir);
    Port port(sim.path);
    ASSERT_EQ(4u, port.Write(kStart));
    EXPECT_EQ(Bytes({'O', 'L'}), port.Read(3, 300));
    port.Close();
    EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
    EXPECT_EQ(kStart, LogBytes(ReadLog(dir / "log")));
  }
  {
    Sim sim;
    sim.Start({"--final-reply", "6F6B"}, dir);
    Port port(sim.path);
    ASSERT_NO_FATAL_FAILURE(Announce(port, 2));
    ASSERT_EQ(2u, port.Write({1, 2}));
    EXPECT_EQ(Bytes({'o', 'k'}), port.Read(3, 300));
    port.Close();
    EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  }
}

// A board still resetting misses the first start commands; the next one
// begins the only session.
TEST(BootloaderSim, IgnoredStartCommandsGetNoAnswerAndTheNextOneDoes) {
  TempDir dir;
  Sim sim;
  sim.Start({"--ignore-starts", "2", "--log", dir / "log"}, dir);
  Port port(sim.path);
  for (int i = 1; i <= 2; ++i) {
    ASSERT_EQ(4u, port.Write(kStart));
    EXPECT_TRUE(port.Read(1, 300).empty()) << "answered start command " << i;
  }
  Upload(port, Pattern(4), 4);
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  EXPECT_EQ(Cat({kStart, kStart, kStart, SizeBytes(4), Pattern(4)}), LogBytes(ReadLog(dir / "log")));
  ExpectReported(sim, {"start command 2 of 2 ignored", "session 1: announced 4 bytes"});
}

TEST(BootloaderSim, NoFinalAndSilentStayQuietButRecord) {
  TempDir dir;
  {
    Sim sim;
    sim.Start({"--no-final", "--image", dir / "image"}, dir);
    Port port(sim.path);
    ASSERT_NO_FATAL_FAILURE(Announce(port, 2));
    ASSERT_EQ(2u, port.Write({9, 8}));
    EXPECT_TRUE(port.Read(1, 500).empty());
    port.Close();
    EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
    EXPECT_EQ(Bytes({9, 8}), ReadFileBytes(dir / "image"));
  }
  {
    Sim sim;
    sim.Start({"--silent", "--log", dir / "log"}, dir);
    Port port(sim.path);
    ASSERT_EQ(4u, port.Write(kStart));
    EXPECT_TRUE(port.Read(1, 500).empty());
    port.Close();
    EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
    EXPECT_EQ(kStart, LogBytes(ReadLog(dir / "log")));
  }
}

TEST(BootloaderSim, DelayedRepliesComeNoEarlier) {
  TempDir dir;
  Sim sim;
  // The start delay overrides the common one; the final reply keeps it.
  sim.Start({"--reply-delay", "300", "--start-delay", "150"}, dir);
  Port port(sim.path);
  double t0 = NowMs();
  ASSERT_EQ(4u, port.Write(kStart));
  ASSERT_EQ(kOk, port.Read(2));
  double start_ms = NowMs() - t0;
  ASSERT_EQ(4u, port.Write(SizeBytes(2)));
  t0 = NowMs();
  ASSERT_EQ(2u, port.Write({1, 2}));
  ASSERT_EQ(kOk, port.Read(2));
  double final_ms = NowMs() - t0;
  EXPECT_GE(start_ms, 150);
  EXPECT_GE(final_ms, 300);
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  // Which delay applied, without an upper bound on a busy machine's timing.
  EXPECT_NE(std::string::npos, sim.Stderr().find("start reply 4F4B after 150 ms, final reply 4F4B after 300 ms"))
      << sim.Stderr();
}

TEST(BootloaderSim, SuffixFollowsEveryReply) {
  TempDir dir;
  Sim sim;
  sim.Start({"--suffix", "0D0A"}, dir);
  Port port(sim.path);
  const Bytes reply{'O', 'K', '\r', '\n'};
  ASSERT_EQ(4u, port.Write(kStart));
  EXPECT_EQ(reply, port.Read(5, 300));
  ASSERT_EQ(4u, port.Write(SizeBytes(0)));
  EXPECT_EQ(reply, port.Read(5, 300));
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
}

// Stale bytes are there before any command and survive a probe's open and
// close, as on a real port.
TEST(BootloaderSim, StaleBytesWaitForTheHost) {
  TempDir dir;
  Sim sim;
  sim.Start({"--stale", "5A5A5A", "--log", dir / "log"}, dir);
  {
    Port probe(sim.path);
    ASSERT_GE(probe.fd, 0);
  }
  Port port(sim.path);
  int queued = 0;
  ASSERT_EQ(0, ioctl(port.fd, FIONREAD, &queued));
  EXPECT_EQ(3, queued);
  EXPECT_EQ(Bytes({0x5A, 0x5A, 0x5A}), port.Read(3, 500));
  Upload(port, Pattern(2), 2);
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  EXPECT_EQ(Cat({kStart, SizeBytes(2), Pattern(2)}), LogBytes(ReadLog(dir / "log")));
}

TEST(BootloaderSim, StopReadingMakesTheHostsWritesBlock) {
  TempDir dir;
  Sim sim;
  sim.Start({"--stop-reading-after", "10", "--log", dir / "log", "--image", dir / "image"}, dir);
  Port port(sim.path);
  ASSERT_EQ(4u, port.Write(kStart));
  ASSERT_EQ(kOk, port.Read(2));
  const uint32_t size = 4u << 20;
  ASSERT_EQ(4u, port.Write(SizeBytes(size)));
  const Bytes image = Pattern(size);
  size_t written = port.Write(image, 500);
  EXPECT_GE(written, 10u);
  EXPECT_LT(written, image.size()) << "the writes never blocked";
  EXPECT_TRUE(port.Read(1, 100).empty());
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 10), ReadFileBytes(dir / "image"));
  EXPECT_EQ(18u, ReadLog(dir / "log").size());
}

TEST(BootloaderSim, VanishHangsUpOnTheHostAndRemovesTheLink) {
  TempDir dir;
  Sim sim;
  const std::string link = dir / "com9";
  sim.Start({"--vanish-after", "6", "--link", link, "--log", dir / "log", "--image", dir / "image"}, dir);
  Port port(sim.path);
  ASSERT_NO_FATAL_FAILURE(Announce(port, 100));
  const Bytes image = Pattern(10);
  port.Write(image, 200);
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();

  pollfd p{port.fd, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 2000));
  EXPECT_NE(0, p.revents & (POLLHUP | POLLERR)) << "revents " << p.revents;
  uint8_t b;
  errno = 0;
  ssize_t n = read(port.fd, &b, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << std::strerror(errno);

  EXPECT_EQ(Bytes(image.begin(), image.begin() + 6), ReadFileBytes(dir / "image"));
  EXPECT_EQ(14u, ReadLog(dir / "log").size());
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link left behind";
}

TEST(BootloaderSim, PaceReadsAtTheLineRate) {
  TempDir dir;
  Sim sim;
  sim.Start({"--pace", "--log", dir / "log"}, dir);
  Port port(sim.path);
  ASSERT_NO_FATAL_FAILURE(Announce(port, 960));
  const double t0 = NowMs();
  ASSERT_EQ(960u, port.Write(Pattern(960), 3000));
  ASSERT_EQ(kOk, port.Read(2, 5000));
  // 960 bytes at 9600 baud, 10 bits each: about one second. Only the lower
  // bound is safe on a loaded machine.
  EXPECT_GE(NowMs() - t0, 800);
  std::vector<LogEntry> log = ReadLog(dir / "log");
  ASSERT_EQ(968u, log.size());
  EXPECT_GE(log.back().ms - log[8].ms, 800);
  port.Close();
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
}

TEST(BootloaderSim, LinkAndReadyFile) {
  TempDir dir;
  const std::string link = dir / "com5";
  const std::string ready = dir / "ready";
  ASSERT_EQ(0, symlink("/nonexistent", link.c_str()));
  Sim sim;
  sim.Start({"--link", link, "--ready-file", ready}, dir);
  EXPECT_EQ(sim.path, fs::read_symlink(link).string());
  EXPECT_EQ(sim.path + "\n", ReadFile(ready));
  {
    Port port(link);
    ASSERT_GE(port.fd, 0);
    Upload(port, Pattern(2), 2);
  }
  EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link left behind";
  EXPECT_NE(0, lstat(ready.c_str(), &st)) << "ready file left behind";

  // Something that is not a link is never replaced.
  const std::string file = dir / "com6";
  std::ofstream(file) << "keep";
  Sim refused;
  refused.Spawn({"--link", file}, dir / "err");
  EXPECT_EQ(2, refused.Wait(5));
  EXPECT_EQ("keep", ReadFile(file));
}

// --device: a terminal that exists already, here a pseudo-terminal whose
// master end plays the host, set cooked as a fresh line is. The simulator
// makes it raw (with echo on, the host would read its own command back),
// ends its session without a close it cannot see, and takes the line's
// hang-up as the end.
TEST(BootloaderSim, DeviceServesAnExistingTerminal) {
  TempDir dir;
  for (bool hang_up : {false, true}) {
    Port host("/dev/ptmx");
    ASSERT_GE(host.fd, 0);
    ASSERT_EQ(0, grantpt(host.fd));
    ASSERT_EQ(0, unlockpt(host.fd));
    const std::string line = ptsname(host.fd);
    termios t;
    ASSERT_EQ(0, tcgetattr(host.fd, &t));
    t.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(0, tcsetattr(host.fd, TCSANOW, &t));
    Sim sim;
    sim.Start({"--device", line, "--image", dir / "image"}, dir);
    EXPECT_EQ(line, sim.path);
    if (!hang_up) {
      ASSERT_NO_FATAL_FAILURE(Upload(host, Pattern(6), 6));
      EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
      EXPECT_EQ(Pattern(6), ReadFileBytes(dir / "image"));
    } else {
      ASSERT_NO_FATAL_FAILURE(Announce(host, 100));
      host.Close();
      EXPECT_EQ(2, sim.Wait(5)) << sim.Stderr();
      ExpectReported(sim, {"hung up"});
    }
  }
}

TEST(BootloaderSim, EndingsAreReportedInTheExitCode) {
  TempDir dir;
  {
    // The host leaves in the middle of the image.
    Sim sim;
    sim.Start({}, dir);
    Port port(sim.path);
    ASSERT_NO_FATAL_FAILURE(Announce(port, 100));
    ASSERT_EQ(10u, port.Write(Pattern(10)));
    SleepMs(50);
    port.Close();
    EXPECT_EQ(4, sim.Wait(5));
    EXPECT_NE(std::string::npos, sim.Stderr().find("ABANDONED")) << sim.Stderr();
  }
  // Hosts that had good reason to give up: the reply never read (as when it
  // is not alone in the queue), or still to come.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--suffix", "0D0A"}, {"--start-delay", "400"}}) {
    Sim sim;
    sim.Start(args, dir);
    Port port(sim.path);
    ASSERT_EQ(4u, port.Write(kStart));
    SleepMs(100);
    port.Close();
    EXPECT_EQ(0, sim.Wait(5)) << sim.Stderr();
    EXPECT_EQ(std::string::npos, sim.Stderr().find("ABANDONED")) << sim.Stderr();
  }
  {
    Sim sim;
    sim.Start({"--timeout", "0.3"}, dir);
    EXPECT_EQ(3, sim.Wait(5));
    EXPECT_GE(NowMs() - sim.spawned_ms, 300);
  }
  {
    // A host that keeps the port open but idle also runs into the timeout.
    Sim sim;
    sim.Start({"--timeout", "0.3"}, dir);
    Port port(sim.path);
    EXPECT_EQ(3, sim.Wait(5));
  }
  {
    Sim sim;
    sim.Start({}, dir);
    sim.Signal(SIGTERM);
    EXPECT_EQ(5, sim.Wait(5)) << "stopped before its session";
  }
  {
    Sim sim;
    sim.Start({"--sessions", "0"}, dir);
    {
      Port port(sim.path);
      Upload(port, Pattern(4), 4);
    }
    SleepMs(50);
    EXPECT_TRUE(sim.Running());
    sim.Signal(SIGTERM);
    EXPECT_EQ(0, sim.Wait(5)) << "stopped between sessions";
  }
}

}  // namespace
