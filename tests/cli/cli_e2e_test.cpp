// update-firmware-cli end to end: the real program against the simulated
// bootloader on pseudo-terminals.
//
// A native (Linux) program in both builds. It finds what to run in the
// environment:
//   UF_CLI          the update-firmware-cli executable (or the .exe)
//   UF_WINE_RUN     set for the Windows build: the Wine wrapper script; the
//   UF_WINEPREFIX   .exe then runs under Wine in that prefix, and COMn is a
//                   link <prefix>/dosdevices/comN to the simulator's terminal
// Natively, COMn is put behind a terminal with UPDATE_FIRMWARE_COMn, and every
// other COM name is pointed at a path that does not exist, so the machine's
// own serial ports never show up.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/bootloader-sim/sim_process.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr const char* kNowhere = "/nonexistent/uf-cli-test";

std::string EnvOr(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

bool UnderWine() { return !EnvOr("UF_WINE_RUN").empty(); }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Equal byte strings; on a difference says where, not the whole image.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << "; first difference at " << at;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A child process with its standard output and error read through pipes
// (or standard error on a terminal we hold the other side of).
class Process {
 public:
  struct Options {
    std::string cwd;
    std::map<std::string, std::string> env;
    bool as_nobody = false;
    int stderr_fd = -1;  // given: standard error goes there instead of a pipe
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

// The simulated device, on COMn.
class Sim {
 public:
  // Starts the simulator with `args`; under Wine it also links COMn to it.
  void Start(int com, const std::string& dir, std::vector<std::string> args) {
    com_ = com;
    image = dir + "/received" + std::to_string(com) + ".bin";
    log = dir + "/line" + std::to_string(com) + ".log";
    std::vector<std::string> argv = {"--image", image, "--log", log, "--timeout", "40"};
    if (UnderWine()) {
      const std::string dosdevices = EnvOr("UF_WINEPREFIX") + "/dosdevices";
      fs::create_directories(dosdevices);
      argv.push_back("--link");
      argv.push_back(dosdevices + "/com" + std::to_string(com));
    }
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<SimProcess>(
        BootloaderSimPath(), argv,
        SimProcess::Options{dir + "/sim" + std::to_string(com) + ".err", true});
    ASSERT_TRUE(process_->Ok()) << "the simulator did not start: " << Summary();
    pty = process_->Terminal();
  }

  // Bytes the device has received so far ("BL10" is 42 4C 31 30).
  bool HasReceived(size_t bytes) const { return Lines(ReadFile(log)).size() >= bytes; }

  // Stops it now; its exit code. A simulator that serves forever is stopped
  // when the test ends, and its link goes with it.
  int Stop() {
    if (!process_ || !process_->Running()) return -1;
    process_->Signal(SIGTERM);
    return process_->WaitForExit(5);
  }

  // The simulator's exit code once it is done (it ends after its session
  // when the host has closed the port).
  int Finish(int ms = 20000) {
    const int code = process_->WaitForExit(ms / 1000.0);
    if (code == -1) Stop();
    return code;
  }
  std::string Summary() const { return process_ ? process_->Stderr() : std::string(); }

  int com() const { return com_; }
  std::string pty;
  std::string image;
  std::string log;

 private:
  int com_ = 0;
  std::unique_ptr<SimProcess> process_;
};

class CliE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(EnvOr("UF_CLI").empty()) << "UF_CLI names the program under test";
    char tmpl[] = "/tmp/uf-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);  // the tests that run as nobody read from it
    for (int n = 1; n <= 16; ++n) ports_["UPDATE_FIRMWARE_COM" + std::to_string(n)] = kNowhere;
  }
  void TearDown() override {
    for (const std::string& link : links_) unlink(link.c_str());
    fs::remove_all(dir_);
  }

  // Puts COMn behind `device` for the program under test: natively through
  // the environment, under Wine through a dosdevices link.
  void Map(int com, const std::string& device) {
    ports_["UPDATE_FIRMWARE_COM" + std::to_string(com)] = device;
    if (UnderWine()) {
      const std::string dosdevices = EnvOr("UF_WINEPREFIX") + "/dosdevices";
      fs::create_directories(dosdevices);
      const std::string link = dosdevices + "/com" + std::to_string(com);
      unlink(link.c_str());
      ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0) << link;
      links_.push_back(link);
    }
  }
  // Under Wine the simulator makes its own link.
  void Map(const Sim& sim) { ports_["UPDATE_FIRMWARE_COM" + std::to_string(sim.com())] = sim.pty; }

  std::string Firmware(const std::string& name, size_t size, unsigned seed = 1) {
    const std::string bytes = RandomBytes(size, seed);
    WriteFile(dir_ + "/" + name, bytes);
    chmod((dir_ + "/" + name).c_str(), 0644);
    return bytes;
  }

  void StartCli(Process& p, const std::vector<std::string>& args, Process::Options o = {}) {
    std::vector<std::string> argv;
    if (UnderWine()) {
      argv = {EnvOr("UF_WINE_RUN"), "--prefix=" + EnvOr("UF_WINEPREFIX"), EnvOr("UF_CLI")};
    } else {
      argv = {EnvOr("UF_CLI")};
      o.env.insert(ports_.begin(), ports_.end());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    o.cwd = dir_;
    ASSERT_TRUE(p.Start(argv, o));
  }

  struct Result {
    int code;
    std::string out;
    std::string err;
  };

  // Runs the program to its end. Windows' text-mode "\r\n" is read as "\n".
  Result Run(const std::vector<std::string>& args, Process::Options o = {}) {
    Process p;
    StartCli(p, args, o);
    const int code = p.Finish(120000);
    return {code, Plain(p.out_text), Plain(p.err_text)};
  }

  static std::string Plain(std::string s) {
    for (size_t at; (at = s.find("\r\n")) != std::string::npos;) s.erase(at, 1);
    return s;
  }

  std::string dir_;
  std::map<std::string, std::string> ports_;
  std::vector<std::string> links_;
};

// --- Success, and what the line carried ------------------------------------

TEST_F(CliE2e, FlashSendsTheImageAndReportsSuccessWithPlainProgress) {
  // An odd size: the last byte is announced but never sent.
  const std::string bytes = Firmware("trx.fw", 4001);
  Sim sim;
  sim.Start(7, dir_, {});
  Map(sim);

  const Result r = Run({"flash", "COM7", "trx.fw"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Lines(r.err),
            (std::vector<std::string>{
                "Updating the device on COM7 with trx.fw (4001 bytes, about 0:05 on the line)",
                "Sent 1000 of 4001 bytes (25%)", "Sent 2000 of 4001 bytes (50%)",
                "Sent 3000 of 4001 bytes (75%)", "Sent 4000 of 4001 bytes (100%)",
                "Information: Device update!"}));
  EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes.substr(0, 4000)));
  // "BL10", the size 4001 little-endian, then the words.
  const std::vector<std::string> line = Lines(ReadFile(sim.log));
  ASSERT_EQ(line.size(), 8u + 4000u);
  std::string head;
  for (int i = 0; i < 8; ++i) head += line[i].substr(line[i].find(' ') + 1) + " ";
  EXPECT_EQ(head, "42 4C 31 30 A1 0F 00 00 ");
}

TEST_F(CliE2e, QuietSuccessPrintsNothingAndADevicePathIsAPort) {
  if (UnderWine()) GTEST_SKIP() << "device paths are for Linux";
  const std::string bytes = Firmware("image.bin", 600, 2);
  Sim sim;
  sim.Start(3, dir_, {});
  const Result r = Run({"flash", "--quiet", sim.pty, "image.bin"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
}

TEST_F(CliE2e, AReaderThatGoesAwayDoesNotStopTheUpdate) {
  if (UnderWine()) GTEST_SKIP() << "a broken pipe is a POSIX signal";
  // As in `update-firmware-cli flash ... 2>&1 | head -1`: every message
  // after the reader has gone fails to write, which must not end the run.
  const std::string bytes = Firmware("trx.fw", 3000, 12);
  Sim sim;
  sim.Start(9, dir_, {});
  Map(sim);
  Process p;
  StartCli(p, {"flash", "COM9", "trx.fw"});
  p.CloseErr();
  EXPECT_EQ(p.Finish(), 0);
  EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
}

TEST_F(CliE2e, OnATerminalTheBarRedrawsInPlace) {
  if (UnderWine()) GTEST_SKIP() << "the terminal case is tested natively";
  Firmware("trx.fw", 3000, 3);
  Sim sim;
  // Paced at the line rate, so the run lasts long enough to redraw.
  sim.Start(4, dir_, {"--pace"});
  Map(sim);
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);  // keep "\n" as it is
  tcsetattr(slave, TCSANOW, &raw);

  Process p;
  Process::Options o;
  o.stderr_fd = slave;
  StartCli(p, {"flash", "COM4", "trx.fw"}, o);
  close(slave);
  std::string shown;
  const int64_t end = NowMs() + 30000;
  while (NowMs() < end) {
    pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) {
      if (!p.Running()) break;
      continue;
    }
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // every holder of the terminal has closed it
    shown.append(buf, static_cast<size_t>(n));
  }
  close(master);
  EXPECT_EQ(p.Finish(), 0) << shown;
  EXPECT_EQ(sim.Finish(), 0);

  // Header, then redraws of one line, then the outcome on a line of its own.
  const size_t first_bar = shown.find("\r[");
  ASSERT_NE(first_bar, std::string::npos) << shown;
  EXPECT_EQ(shown.substr(0, first_bar),
            "Updating the device on COM4 with trx.fw (3000 bytes, about 0:04 on the line)\n");
  const std::string bars = shown.substr(first_bar);
  EXPECT_NE(bars.find("\r[------------------------------]   0%     2/3000 bytes  0:04 left"),
            std::string::npos);
  EXPECT_NE(bars.find("  50%  1500/3000 bytes  0:02 left"), std::string::npos);
  EXPECT_NE(bars.find("\r[##############################] 100%  3000/3000 bytes  0:00 left\n"
                      "Information: Device update!\n"),
            std::string::npos)
      << bars;
  // One redraw per percent or second, not one per word.
  const auto redraws = std::count(bars.begin(), bars.end(), '\r');
  EXPECT_GE(redraws, 100);
  EXPECT_LE(redraws, 110);
  EXPECT_EQ(std::count(bars.begin(), bars.end(), '\n'), 2);
}

// --- Errors from the device: 3 to 6 -----------------------------------------

TEST_F(CliE2e, DeviceErrorsGiveTheirCodeAndOneLine) {
  struct Case {
    std::vector<std::string> sim_args;
    int code;
    std::string line;
    size_t image;  // image bytes the device got
  };
  const Case cases[] = {
      {{"--start-reply", "4F4C"}, 4, "ERROR:4: No correct answer device!", 0},
      {{"--final-reply", "6F6B"}, 6, "ERROR:6: Update wrong!", 200},
      {{"--no-final"}, 5, "ERROR:5: Update wrong!", 200},
  };
  Firmware("trx.fw", 200, 4);
  for (const Case& c : cases) {
    // Under Wine only the quick ones: a silent wait costs 5 s there too.
    if (UnderWine() && c.code == 5) continue;
    Sim sim;
    sim.Start(8, dir_, c.sim_args);
    Map(sim);
    const int64_t start = NowMs();
    const Result r = Run({"flash", "COM8", "trx.fw"});
    EXPECT_EQ(r.code, c.code) << r.err;
    ASSERT_FALSE(Lines(r.err).empty());
    EXPECT_EQ(Lines(r.err).back(), c.line);
    EXPECT_EQ(r.out, "");
    if (c.code == 5) {
      EXPECT_GE(NowMs() - start, 5000);
    }
    sim.Finish();
    EXPECT_EQ(ReadFile(sim.image).size(), c.image);
  }
}

TEST_F(CliE2e, QuietKeepsTheErrorOfASilentDevice) {
  Firmware("trx.fw", 10, 5);
  Sim sim;
  sim.Start(8, dir_, {"--silent"});
  Map(sim);
  const int64_t start = NowMs();
  const Result r = Run({"flash", "-q", "COM8", "trx.fw"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "ERROR:3: Device does not respond!\n");
  // The settle and the whole reply wait.
  EXPECT_GE(NowMs() - start, 5500);
  sim.Finish();
  EXPECT_EQ(Lines(ReadFile(sim.log)).size(), 4u);  // "BL10" and nothing after
}

// --- File and port errors: 1 and 2, before anything is sent ------------------

// Watches a device for being opened.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenWatch() { close(fd_); }
  bool Opened() {
    char buf[4096];
    return read(fd_, buf, sizeof buf) > 0;
  }

 private:
  int fd_;
};

TEST_F(CliE2e, FileProblemsAreErrorOneAndThePortIsNeverOpened) {
  // A bare terminal: nothing but the program under test opens it.
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  Map(6, name);
  fs::create_directory(dir_ + "/folder.fw");
  // A sparse file just past what the 32-bit size field can announce.
  const std::string big = dir_ + "/big.fw";
  {
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, int64_t{1} << 31), 0);
    close(fd);
  }
  struct Case {
    std::string file;
    std::string line;
  };
  const Case cases[] = {
      {"missing.fw", "ERROR:1: Firmware missing! (missing.fw: no such file)"},
      {"folder.fw", "ERROR:1: Firmware missing! (folder.fw: a directory, not a file)"},
      {"big.fw",
       "ERROR:1: Firmware missing! (big.fw: 2147483648 bytes, more than the 32-bit size field "
       "can announce)"},
  };
  OpenWatch watch(name);
  for (const Case& c : cases) {
    const Result r = Run({"flash", "COM6", c.file});
    EXPECT_EQ(r.code, 1) << c.file;
    EXPECT_EQ(r.err, c.line + "\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(watch.Opened());

  // The watch does see an open: `list` tries the port.
  const Result listed = Run({"list"});
  EXPECT_NE(listed.out.find("COM6"), std::string::npos) << listed.out;
  EXPECT_TRUE(watch.Opened());
  close(master);
}

TEST_F(CliE2e, UnreadableFileIsErrorOne) {
  if (UnderWine()) GTEST_SKIP() << "file permissions are tested natively";
  Firmware("locked.fw", 10, 7);
  chmod((dir_ + "/locked.fw").c_str(), 0);
  Process::Options o;
  // Root reads anything; nobody does not.
  o.as_nobody = geteuid() == 0;
  const Result r = Run({"flash", "COM6", "locked.fw"}, o);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ERROR:1: Firmware missing! (locked.fw: cannot be opened for reading)\n");
}

TEST_F(CliE2e, PortProblemsAreErrorTwoWithTheReason) {
  Firmware("trx.fw", 10, 8);
  {
    const Result r = Run({"flash", "COM9", "trx.fw"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    if (UnderWine()) {
      EXPECT_EQ(r.err, "ERROR:2: Can't open the serial port: COM9\n");
    } else {
      EXPECT_EQ(r.err, "ERROR:2: Can't open the serial port: COM9 (" + std::string(kNowhere) +
                           ": no such device)\n");
    }
  }
  {
    const Result r = Run({"flash", "", "trx.fw"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "ERROR:2: Can't open the serial port: \n");
  }
  // Wine opens a serial device that another program holds (no share mode,
  // no lock on devices), so the busy case is native only.
  if (UnderWine()) return;
  Sim sim;
  sim.Start(10, dir_, {"--sessions", "0"});
  Map(sim);
  const int holder = open(sim.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Result r = Run({"flash", "COM10", "trx.fw"});
  close(holder);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "ERROR:2: Can't open the serial port: COM10 (" + sim.pty +
                       ": busy, held by another program)\n");
  EXPECT_EQ(Lines(ReadFile(sim.log)).size(), 0u);
}

// --- Command line: 0 and 64 ---------------------------------------------------

TEST_F(CliE2e, HelpVersionAndUsageErrors) {
  const Result version = Run({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "update-firmware-cli " UF_VERSION "\n");
  EXPECT_EQ(version.err, "");

  const Result help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: update-firmware-cli list\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("130  interrupted"), std::string::npos);
  EXPECT_EQ(help.err, "");

  std::vector<std::vector<std::string>> bad = {{}, {"--frobnicate", "list"}};
  if (!UnderWine()) {  // each run costs seconds there
    bad.push_back({"flash", "COM1"});
    bad.push_back({"erase"});
  }
  for (const auto& args : bad) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("update-firmware-cli: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Usage: update-firmware-cli list\n"), std::string::npos);
  }
}

// --- list ------------------------------------------------------------------

TEST_F(CliE2e, ListNamesOpenablePortsAndExplainsABusyOne) {
  if (UnderWine()) GTEST_SKIP() << "under Wine see ListUnderWineNamesThePortsThatOpen";
  // Three terminals; the test holds the middle one as another program would.
  Sim a, b, c;
  a.Start(3, dir_, {"--sessions", "0"});
  b.Start(7, dir_, {"--sessions", "0"});
  c.Start(12, dir_, {"--sessions", "0"});
  Map(a);
  Map(b);
  Map(c);
  const int holder = open(b.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Result r = Run({"list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "COM3 " + a.pty + "\nCOM12 " + c.pty + "\n");
  EXPECT_EQ(r.err, "COM7 " + b.pty + ": busy, held by another program\n");
  // Once released it is listed; --quiet drops the explanations only.
  const Result quiet = Run({"list", "-q"});
  EXPECT_EQ(quiet.out, r.out);
  EXPECT_EQ(quiet.err, "");
  close(holder);
  EXPECT_EQ(Run({"list"}).out, "COM3 " + a.pty + "\nCOM7 " + b.pty + "\nCOM12 " + c.pty + "\n");
}

TEST_F(CliE2e, ListExplainsPermissionAndExclusiveUse) {
  if (UnderWine()) GTEST_SKIP() << "permissions are a Linux matter";
  // Run as nobody when we are root: root opens everything.
  Process::Options o;
  o.as_nobody = geteuid() == 0;
  int m[3], s[3];
  char names[3][128];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(openpty(&m[i], &s[i], names[i], nullptr, nullptr), 0);
  chmod(names[0], 0666);  // free
  chmod(names[1], 0);     // not ours to open
  chmod(names[2], 0666);  // held in exclusive mode by us
  ASSERT_EQ(ioctl(s[2], TIOCEXCL), 0);
  Map(2, names[0]);
  Map(5, names[1]);
  Map(16, names[2]);
  const Result r = Run({"list"}, o);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "COM2 " + std::string(names[0]) + "\n");
  if (geteuid() != 0 || o.as_nobody) {
    EXPECT_EQ(r.err, "COM5 " + std::string(names[1]) +
                         ": permission denied; on most distributions the user must be in the "
                         "'dialout' group: sudo usermod -aG dialout $USER, then log in again\n"
                         "COM16 " + std::string(names[2]) + ": busy, held by another program\n");
  }
  for (int i = 0; i < 3; ++i) {
    close(s[i]);
    close(m[i]);
  }
}

TEST_F(CliE2e, ListUnderWineNamesThePortsThatOpen) {
  if (!UnderWine()) GTEST_SKIP() << "natively see ListNamesOpenablePortsAndExplainsABusyOne";
  // Wine enforces neither the exclusive share mode nor a lock on a serial
  // device: a port another program holds (natively or under Wine) opens
  // there all the same, so "held" is tested natively only. Here: the
  // mapped terminals are listed, in ascending order, and a COM name whose
  // device is missing is not.
  int m[2], s[2];
  char names[2][128];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(openpty(&m[i], &s[i], names[i], nullptr, nullptr), 0);
    close(s[i]);
  }
  Map(12, names[0]);
  Map(3, names[1]);
  Map(8, kNowhere);
  const Result r = Run({"list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  // Other tests of this build may own other COM names at the same time,
  // and Wine links COM1 to /dev/ttyS0; only ours are checked.
  std::vector<std::string> ours;
  for (const std::string& line : Lines(r.out)) {
    if (line == "COM3" || line == "COM8" || line == "COM12") ours.push_back(line);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"COM3", "COM12"})) << r.out;
  for (int i = 0; i < 2; ++i) close(m[i]);
}

// --- Ctrl+C: 130, and the port is free again ------------------------------

TEST_F(CliE2e, InterruptMidStreamExitsWith130AndFreesThePort) {
  // Under Wine, SIGINT reaches the program as Ctrl+C (CTRL_C_EVENT).
  // The device stops reading early, so once the terminal's buffer is full
  // every word waits out its write time-out: the program is stuck
  // mid-stream, as with a device that hangs, when Ctrl+C comes.
  Firmware("trx.fw", 60000, 10);
  Sim sim;
  sim.Start(11, dir_, {"--stop-reading-after", "1000", "--sessions", "0"});
  Map(sim);
  Process p;
  StartCli(p, {"flash", "COM11", "trx.fw"});
  ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("(25%)") != std::string::npos; }, 30000))
      << p.err_text;
  p.Signal(SIGINT);
  const int64_t signalled = NowMs();
  EXPECT_EQ(p.Finish(10000), 130);
  // At once, not after the remaining words' time-outs.
  EXPECT_LT(NowMs() - signalled, 3000);
  EXPECT_NE(p.err_text.find("Interrupted."), std::string::npos);
  EXPECT_EQ(p.err_text.find("ERROR"), std::string::npos) << p.err_text;
  // Nobody holds the port any more.
  const int fd = open(sim.pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  sim.Stop();
  EXPECT_EQ(ReadFile(sim.image).size(), 1000u);
}

TEST_F(CliE2e, InterruptDuringTheReplyWaitLeavesNoExclusiveMode) {
  if (UnderWine()) GTEST_SKIP() << "Ctrl+C is tested natively";
  // A bare terminal that never answers, whose other side stays open: its
  // exclusive mode would outlive the program if the program did not clear
  // it. Only programs without root privileges are refused by that mode, so
  // the program runs as nobody when we are root.
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  chmod(name, 0666);
  Firmware("trx.fw", 10, 11);
  Map(13, name);
  Process p;
  Process::Options o;
  o.as_nobody = geteuid() == 0;
  StartCli(p, {"flash", "COM13", "trx.fw"}, o);
  // Wait for "BL10": the program is in the reply wait.
  std::string line;
  const int64_t end = NowMs() + 10000;
  while (line.size() < 4 && NowMs() < end) {
    pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      char buf[64];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) line.append(buf, static_cast<size_t>(n));
    }
  }
  ASSERT_EQ(line, "BL10");
  p.Signal(SIGINT);
  EXPECT_EQ(p.Finish(5000), 130);

  // Open it again the way the program was run.
  const pid_t child = fork();
  if (child == 0) {
    if (o.as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(3);
    }
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) _exit(errno == EBUSY ? 1 : 2);
    _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: exclusive mode left set, 4: still locked";
  close(master);
}

}  // namespace
