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
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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

#include "tests/update/sysfs_fixture.h"
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

// What sha256sum says of the file: the tool's figure must be the same.
std::string Sha256Sum(const std::string& path) {
  std::string command = "sha256sum '" + path + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  char digest[65] = {};
  if (pipe == nullptr) return std::string();
  const size_t n = std::fread(digest, 1, 64, pipe);
  pclose(pipe);
  return std::string(digest, n);
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

// A terminal for the program's standard error, raw so that "\n" stays as it is.
bool OpenRawTerminal(int* master, int* slave) {
  if (openpty(master, slave, nullptr, nullptr, nullptr) != 0) return false;
  termios raw{};
  tcgetattr(*slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(*slave, TCSANOW, &raw);
  return true;
}

// Reads what the program shows on the terminal until every holder of it has
// closed it, or the program has ended and nothing more comes, or `ms` have
// passed; `take` sees the whole text after each piece.
void ReadTerminal(int master, Process& p, int64_t ms, std::string* shown,
                  const std::function<void(const std::string&)>& take = {}) {
  const int64_t end = NowMs() + ms;
  while (NowMs() < end) {
    pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) {
      if (!p.Running()) break;
      continue;
    }
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    shown->append(buf, static_cast<size_t>(n));
    if (take) take(*shown);
  }
}

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

  // Two boards on COM5 and COM6 that stop reading after 1000 bytes, being
  // flashed with `file` by `p`; returns once both uploads are stuck there.
  void FlashTwoStuckBoards(Sim& a, Sim& b, Process& p, const std::string& file) {
    a.Start(5, dir_, {"--stop-reading-after", "1000", "--sessions", "0"});
    b.Start(6, dir_, {"--stop-reading-after", "1000", "--sessions", "0"});
    Map(a);
    Map(b);
    StartCli(p, {"flash", "COM5", "COM6", file});
    ASSERT_TRUE(p.PumpUntil([&] { return a.HasReceived(1000) && b.HasReceived(1000); }, 30000))
        << p.err_text;
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
                "Updating the device on COM7 with trx.fw (4001 bytes, about 0:05 on the line, "
                "SHA-256 " + Sha256Sum(dir_ + "/trx.fw") + ")",
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
  ASSERT_TRUE(OpenRawTerminal(&master, &slave));

  Process p;
  Process::Options o;
  o.stderr_fd = slave;
  StartCli(p, {"flash", "COM4", "trx.fw"}, o);
  close(slave);
  std::string shown;
  ReadTerminal(master, p, 30000, &shown);
  close(master);
  EXPECT_EQ(p.Finish(), 0) << shown;
  EXPECT_EQ(sim.Finish(), 0);

  // Header, then redraws of one line, then the outcome on a line of its own.
  const size_t first_bar = shown.find("\r[");
  ASSERT_NE(first_bar, std::string::npos) << shown;
  EXPECT_EQ(shown.substr(0, first_bar),
            "Updating the device on COM4 with trx.fw (3000 bytes, about 0:04 on the line, SHA-256 " +
                Sha256Sum(dir_ + "/trx.fw") + ")\n");
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

// --- A full-size image over the line model ----------------------------------

// Bytes in the simulator's log so far: one line per byte the device read.
size_t DeviceCount(const std::string& log) {
  const std::string text = ReadFile(log);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Needs UF_LINE_MODEL, the line model library (tools/line-model), which makes
// the simulator's terminal behave like a UART at the program's 9600 baud. A
// 64 KiB image: about 70 s, so it has an entry of its own, once per build.
TEST_F(CliE2e, PacedFullSizeImageArrivesWithAnHonestProgress) {
  const std::string model = EnvOr("UF_LINE_MODEL");
  if (model.empty()) GTEST_SKIP() << "UF_LINE_MODEL names the line model library";
  constexpr size_t kSize = 64 * 1024;
  constexpr size_t kAllowed = std::max<size_t>(kSize / 100, 64);
  const std::string bytes = Firmware("trx.fw", kSize, 64);
  Sim sim;
  sim.Start(15, dir_, {});
  Map(sim);
  const std::string stats = dir_ + "/line.stats";
  Process::Options o;
  o.env["LD_PRELOAD"] = model;
  o.env["LINE_MODEL_DEVICE"] = sim.pty;
  o.env["LINE_MODEL_STATS"] = stats;

  // Natively the progress goes to a terminal, which redraws the bar with the
  // bytes sent at every percent; under Wine to a pipe, one line a quarter.
  int master = -1;
  int slave = -1;
  if (!UnderWine()) {
    ASSERT_TRUE(OpenRawTerminal(&master, &slave));
    o.stderr_fd = slave;
  }
  Process p;
  StartCli(p, {"flash", "COM15", "trx.fw"}, o);
  if (slave >= 0) close(slave);

  // Each time progress shows up, the device's count is read at once: the
  // bytes the bar claims sent may be ahead of it by kAllowed at most.
  std::string shown;
  size_t parsed = 0;
  int samples = 0;
  size_t largest = 0;
  auto check = [&](size_t sent) {
    const size_t device = DeviceCount(sim.log);
    const size_t image = device > 8 ? device - 8 : 0;  // "BL10" and the size first
    ++samples;
    if (sent > image) largest = std::max(largest, sent - image);
    EXPECT_LE(sent, image + kAllowed) << "progress said " << sent << " bytes sent, the device had "
                                      << image;
  };
  // "\r[###---]  42%  27532/65536 bytes ..." on a terminal, "Sent 16384 of
  // 65536 bytes (25%)" otherwise.
  auto take_new = [&](const std::string& text) {
    for (;;) {
      const size_t bar = text.find("\r[", parsed);
      const size_t line = text.find("Sent ", parsed);
      const size_t at = std::min(bar, line);
      if (at == std::string::npos) return;
      const size_t end = text.find(bar < line ? "bytes" : "(", at);
      if (end == std::string::npos) return;  // not complete yet
      if (bar < line) {
        const size_t slash = text.rfind('/', end);
        const size_t from = text.rfind(' ', slash) + 1;
        check(std::stoul(text.substr(from, slash - from)));
      } else {
        check(std::stoul(text.substr(at + 5)));
      }
      parsed = end;
    }
  };
  const int64_t give_up = NowMs() + 200000;
  if (master >= 0) {
    ReadTerminal(master, p, give_up - NowMs(), &shown, take_new);
    close(master);
    EXPECT_EQ(p.Finish(), 0) << shown;
  } else {
    while (NowMs() < give_up && p.err_text.find("Information") == std::string::npos &&
           p.err_text.find("ERROR") == std::string::npos) {
      p.Pump(20);
      take_new(p.err_text);
    }
    EXPECT_EQ(p.Finish(), 0) << p.err_text;
    shown = p.err_text;
  }
  EXPECT_NE(shown.find("Information: Device update!"), std::string::npos) << shown;
  EXPECT_GE(samples, UnderWine() ? 4 : 100) << shown;
  std::printf("progress samples: %d, largest lead %zu bytes\n", samples, largest);
  EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
  // The line model was on the line and sent everything.
  const std::string line = ReadFile(stats);
  EXPECT_NE(line.find(" sent=" + std::to_string(8 + kSize) + " "), std::string::npos) << line;
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
    // An empty word names no port: a slip on the command line.
    const Result r = Run({"flash", "", "trx.fw"});
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.err.rfind("update-firmware-cli: an empty port name\n", 0), 0u) << r.err;
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
  // A UUCP lock naming a live process holds the port as well.
  std::string base = sim.pty.substr(std::string("/dev/").size());
  std::replace(base.begin(), base.end(), '/', '_');
  WriteFile(dir_ + "/LCK.." + base, std::to_string(getpid()) + "\n");
  Process::Options locked;
  locked.env["UPDATE_FIRMWARE_LOCKDIRS"] = dir_;
  const Result by_lock = Run({"flash", "COM10", "trx.fw"}, locked);
  EXPECT_EQ(by_lock.code, 2);
  EXPECT_NE(by_lock.err.find("busy, in use by cli_e2e_test"), std::string::npos) << by_lock.err;
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "ERROR:2: Can't open the serial port: COM10 (" + sim.pty +
                       ": busy, in use by cli_e2e_test (pid " + std::to_string(getpid()) + "))\n");
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
  EXPECT_EQ(help.out.rfind("Usage: update-firmware-cli [OPTIONS] SUBCOMMAND\n", 0), 0u) << help.out;
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
    EXPECT_NE(r.err.find("\nRun with --help for more information.\n"), std::string::npos) << r.err;
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
  // Held by this test's own process, which the tool names.
  EXPECT_EQ(r.err, "COM7 " + b.pty + ": busy, in use by cli_e2e_test (pid " +
                       std::to_string(getpid()) + ")\n");
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
    // The device's owner, group and mode, and the fix that fits them.
    EXPECT_EQ(r.err, "COM5 " + std::string(names[1]) +
                         ": permission denied; its group may not read and write it (root:root "
                         "c---------): a udev rule must give it a group such as dialout, mode "
                         "0660, or run: sudo chmod 0666 " + names[1] + " (until the next plug-in)\n"
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

// --- Several boards at once ---------------------------------------------------

// The transcript's bytes in one direction ('>' sent, '<' received).
std::string TraceBytes(const std::string& path, char direction) {
  std::string bytes;
  for (const std::string& line : Lines(ReadFile(path))) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string ms, dir, hex;
    in >> ms >> dir;
    if (dir.size() != 1 || dir[0] != direction) continue;
    while (in >> hex) bytes.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
  }
  return bytes;
}

// What the device received, from its log.
std::string LoggedBytes(const Sim& sim) {
  std::string bytes;
  for (const std::string& line : Lines(ReadFile(sim.log))) {
    bytes.push_back(static_cast<char>(std::stoi(line.substr(line.find(' ') + 1), nullptr, 16)));
  }
  return bytes;
}

TEST_F(CliE2e, SeveralBoardsAtOnceEachWithItsOwnVerdict) {
  // Given in this order: a board that never answers (3, known only after
  // the 5 s wait), one with a wrong start reply (4, at once), two good
  // ones. The good ones finish while the silent one still waits, and the
  // exit code is the first failure in the order given, not in time.
  const std::string bytes = Firmware("trx.fw", 2001, 21);
  Sim silent, wrong, good1, good2;
  silent.Start(8, dir_, {"--silent"});
  wrong.Start(6, dir_, {"--start-reply", "4F4C"});
  good1.Start(5, dir_, {});
  good2.Start(7, dir_, {});
  for (const Sim* s : {&silent, &wrong, &good1, &good2}) Map(*s);

  const Result r = Run({"flash", "COM8", "COM6", "COM5", "COM7", "trx.fw"});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> lines = Lines(r.err);
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto missing = static_cast<long>(lines.size());
  EXPECT_EQ(lines.front(), "Updating 4 devices with trx.fw (2001 bytes, about 0:03 on the line, "
                          "SHA-256 " + Sha256Sum(dir_ + "/trx.fw") + ")");
  for (const char* port : {"COM5", "COM7"}) {
    EXPECT_NE(at(std::string(port) + ": Sent 500 of 2001 bytes (25%)"), missing) << r.err;
    EXPECT_LT(at(std::string(port) + ": Information: Device update!"),
              at("COM8: ERROR:3: Device does not respond!"))
        << r.err;
  }
  EXPECT_NE(at("COM6: ERROR:4: No correct answer device!"), missing) << r.err;
  // The table: one row per port in the order given, then the count.
  const auto table = static_cast<size_t>(at("") + 1);
  ASSERT_LT(table + 5, lines.size() + 1) << r.err;
  EXPECT_EQ(lines[table].rfind("PORT  DEVICE", 0), 0u) << r.err;
  // Windows has no device paths to show.
  const auto device = [](const Sim& s) { return UnderWine() ? std::string("-") : s.pty; };
  const std::string rows[] = {"COM8  " + device(silent), "COM6  " + device(wrong),
                              "COM5  " + device(good1), "COM7  " + device(good2)};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[table + 1 + i].rfind(rows[i], 0), 0u) << lines[table + 1 + i];
  }
  EXPECT_NE(lines[table + 1].find("ERROR:3: Device does not respond!"), std::string::npos);
  EXPECT_NE(lines[table + 3].find("Information: Device update!"), std::string::npos);
  EXPECT_EQ(lines.back(), "2 of 4 updated");
  for (Sim* s : {&good1, &good2}) {
    EXPECT_EQ(s->Finish(), 0) << s->Summary();
    EXPECT_TRUE(SameBytes(ReadFile(s->image), bytes.substr(0, 2000)));
  }
  silent.Finish();
  wrong.Finish();
}

TEST_F(CliE2e, JsonLinesParseAndTellEachBoard) {
  const std::string bytes = Firmware("trx.fw", 1200, 22);
  Sim good, bad;
  good.Start(5, dir_, {});
  bad.Start(6, dir_, {"--final-reply", "6F6B"});
  Map(good);
  Map(bad);
  const Result r = Run({"flash", "--json", "COM5", "COM6", "trx.fw"});
  EXPECT_EQ(r.code, 6) << r.err;
  EXPECT_EQ(r.err, "");
  std::map<std::string, std::vector<nlohmann::json>> events;  // by port; "" the summary
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(e.is_discarded()) << line;
    events[e.value("port", "")].push_back(e);
  }
  for (const std::string port : {"COM5", "COM6"}) {
    const std::vector<nlohmann::json>& e = events[port];
    ASSERT_EQ(e.size(), 6u) << r.out;  // start, four quarters, outcome
    EXPECT_EQ(e[0]["event"], "start");
    EXPECT_EQ(e[0]["bytes"], 1200);
    EXPECT_EQ(e[0]["file"], "trx.fw");
    for (int q = 1; q <= 4; ++q) {
      EXPECT_EQ(e[q]["event"], "progress");
      EXPECT_EQ(e[q]["percent"], 25 * q);
      EXPECT_EQ(e[q]["bytes"], 300 * q);
    }
    EXPECT_EQ(e[5]["event"], "outcome");
    EXPECT_EQ(e[5]["bytes"], 1200);
    EXPECT_TRUE(e[5]["seconds"].is_number());
    EXPECT_TRUE(e[5]["usb"].is_null());
  }
  EXPECT_EQ(events["COM5"][5]["code"], 0);
  EXPECT_EQ(events["COM5"][5]["text"], "Device update!");
  EXPECT_EQ(events["COM6"][5]["code"], 6);
  EXPECT_EQ(events["COM6"][5]["title"], "ERROR:6");
  ASSERT_EQ(events[""].size(), 1u);
  const nlohmann::json& summary = events[""][0];
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["boards"], 2);
  EXPECT_EQ(summary["succeeded"], 1);
  EXPECT_EQ(summary["failed"], 1);
  EXPECT_EQ(summary["code"], 6);
  EXPECT_EQ(nlohmann::json::parse(Lines(r.out).back()), summary);  // the summary comes last
  good.Finish();
  bad.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(bad.image), bytes));
}

TEST_F(CliE2e, TraceHoldsEveryByteBothWaysOneFilePerPort) {
  const std::string bytes = Firmware("trx.fw", 801, 23);
  {
    Sim sim;
    sim.Start(5, dir_, {});
    Map(sim);
    const Result r = Run({"flash", "-q", "--trace", "one.txt", "COM5", "trx.fw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sim.Finish(), 0);
    const std::string trace = dir_ + "/one.txt";
    EXPECT_EQ(ReadFile(trace).rfind("# update-firmware-cli trace of COM5: ", 0), 0u);
    EXPECT_TRUE(SameBytes(TraceBytes(trace, '>'), LoggedBytes(sim)));
    EXPECT_EQ(TraceBytes(trace, '<'), "OKOK");
  }
  Sim a, b;
  a.Start(5, dir_, {});
  b.Start(6, dir_, {"--start-reply", "4F4C"});
  Map(a);
  Map(b);
  const Result r = Run({"flash", "-q", "--trace", "line.log", "COM5", "COM6", "trx.fw"});
  EXPECT_EQ(r.code, 4) << r.err;
  a.Finish();
  b.Finish();
  const std::string bytes_a = TraceBytes(dir_ + "/line.COM5.log", '>');
  EXPECT_EQ(bytes_a.size(), 4u + 4u + 800u);
  EXPECT_TRUE(SameBytes(bytes_a, LoggedBytes(a)));
  EXPECT_EQ(TraceBytes(dir_ + "/line.COM6.log", '>'), "BL10");
  EXPECT_EQ(TraceBytes(dir_ + "/line.COM6.log", '<'), "OL");
  // The times go forward.
  double last = -1;
  for (const std::string& line : Lines(ReadFile(dir_ + "/line.COM5.log"))) {
    if (line[0] == '#') continue;
    const double ms = std::stod(line);
    EXPECT_GE(ms, last);
    last = ms;
  }
}

TEST_F(CliE2e, InterruptStopsEveryBoardAndFreesEveryPort) {
  // Both devices stop reading, so both uploads are stuck mid-stream.
  Firmware("trx.fw", 60000, 24);
  Sim a, b;
  Process p;
  FlashTwoStuckBoards(a, b, p, "trx.fw");
  if (HasFatalFailure()) return;
  p.Signal(SIGINT);
  const int64_t signalled = NowMs();
  EXPECT_EQ(p.Finish(10000), 130);
  EXPECT_LT(NowMs() - signalled, 3000);
  EXPECT_EQ(p.err_text.find("ERROR"), std::string::npos) << p.err_text;
  // Said once, by the program, not again by each worker.
  const size_t said = p.err_text.find("Interrupted.");
  EXPECT_NE(said, std::string::npos) << p.err_text;
  EXPECT_EQ(p.err_text.find("Interrupted.", said + 1), std::string::npos) << p.err_text;
  for (const Sim* s : {&a, &b}) {
    const int fd = open(s->pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << s->pty;
    close(fd);
  }
}

// --- USB identities and selectors (sysfs is Linux's) --------------------------

class CliUsbE2e : public CliE2e {
 protected:
  // Puts an adapter of this make behind the simulator's terminal in a
  // sysfs tree of our own.
  void Adapter(const Sim& sim, const std::string& usb_port, const std::string& vid,
               const std::string& pid, const std::string& product, const std::string& serial) {
    sysfs_fixture::UsbSerialAdapter(sysfs_, fs::path(sim.pty).filename().string(), usb_port, vid,
                                    pid, "Maker", product, serial);
  }
  void SetUp() override {
    CliE2e::SetUp();
    sysfs_ = dir_ + "/sys";
    ports_["UPDATE_FIRMWARE_SYSFS"] = sysfs_;
  }
  std::string sysfs_;
};

TEST_F(CliUsbE2e, ListShowsEachAdapterAndSelectorsPickThem) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's; SetupAPI parsing is tested apart";
  const std::string bytes = Firmware("trx.fw", 400, 25);
  Sim a, b, c;
  a.Start(5, dir_, {"--sessions", "0"});
  b.Start(6, dir_, {"--sessions", "0"});
  c.Start(7, dir_, {"--sessions", "0"});
  Map(a);
  Map(b);
  Map(c);
  Adapter(a, "1-1", "0403", "6001", "FT232R USB UART", "A1");
  Adapter(b, "1-2", "0403", "6001", "FT232R USB UART", "A2");
  Adapter(c, "1-3", "10c4", "ea60", "CP2102", "C1");

  const Result list = Run({"list"});
  EXPECT_EQ(list.out, "COM5 " + a.pty + " 0403:6001 Maker FT232R USB UART sn A1 at 1-1\n" +
                          "COM6 " + b.pty + " 0403:6001 Maker FT232R USB UART sn A2 at 1-2\n" +
                          "COM7 " + c.pty + " 10c4:ea60 Maker CP2102 sn C1 at 1-3\n");
  const Result json = Run({"list", "--json"});
  const std::vector<std::string> objects = Lines(json.out);
  ASSERT_EQ(objects.size(), 3u) << json.out;
  const nlohmann::json third = nlohmann::json::parse(objects[2]);
  EXPECT_EQ(third["port"], "COM7");
  EXPECT_EQ(third["device"], c.pty);
  EXPECT_EQ(third["usb"]["serial"], "C1");
  EXPECT_EQ(third["usb"]["pid"], "ea60");

  // One board by serial (case ignored), then both FTDI boards by their IDs.
  const Result one = Run({"flash", "-q", "sn:a2", "trx.fw"});
  EXPECT_EQ(one.code, 0) << one.err;
  EXPECT_TRUE(SameBytes(ReadFile(b.image), bytes));
  EXPECT_EQ(ReadFile(a.image), "");
  const Result pair = Run({"flash", "--json", "0403:6001", "trx.fw"});
  EXPECT_EQ(pair.code, 0) << pair.err;
  EXPECT_NE(pair.out.find("\"port\":\"COM5\""), std::string::npos);
  EXPECT_NE(pair.out.find("\"serial\":\"A2\""), std::string::npos);
  EXPECT_TRUE(SameBytes(ReadFile(a.image), bytes));
  EXPECT_EQ(ReadFile(c.image), "");

  // Nothing matches: a usage error listing what is there.
  const Result none = Run({"flash", "sn:ZZ", "trx.fw"});
  EXPECT_EQ(none.code, 64);
  EXPECT_NE(none.err.find("no port matches 'sn:ZZ'; the ports that open:\n  COM5 " + a.pty +
                          " 0403:6001"),
            std::string::npos)
      << none.err;
  // A serial two adapters share (cheap clones do): every one named.
  fs::remove_all(sysfs_);
  Adapter(a, "1-1", "0403", "6001", "FT232R USB UART", "A1");
  Adapter(c, "1-3", "10c4", "ea60", "CP2102", "A1");
  const Result twice = Run({"flash", "sn:A1", "trx.fw"});
  EXPECT_EQ(twice.code, 64);
  EXPECT_NE(twice.err.find("'sn:A1' is meant for one board but matches 2 ports:\n  COM5 "),
            std::string::npos)
      << twice.err;
  EXPECT_NE(twice.err.find("\n  COM7 " + c.pty + " 10c4:ea60 Maker CP2102 sn A1"),
            std::string::npos);
}

// --- The station loop ----------------------------------------------------------

TEST_F(CliE2e, StationLoopFlashesBoardAfterBoardAndKeepsATally) {
  if (UnderWine()) GTEST_SKIP() << "plugging is played with links natively";
  // COM7 leads to a link that each simulated board makes while plugged in
  // and removes when it goes. The second board is unplugged mid-upload:
  // that board fails, the loop goes on. Paced, so that the pull comes
  // mid-stream; small, since a terminal takes the whole image at once and
  // the device must read it within the final reply wait.
  const std::string bytes = Firmware("trx.fw", 3000, 26);
  const std::string plug = dir_ + "/board7";
  Map(7, plug);
  Process p;
  StartCli(p, {"flash", "--wait", "--count", "3", "--json", "COM7", "trx.fw"});
  const auto events = [&](const std::string& kind) {
    const std::vector<std::string> lines = Lines(p.out_text);
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find("\"event\":\"" + kind + "\"") != std::string::npos;
    });
  };
  std::vector<std::string> received;
  for (int board = 1; board <= 3; ++board) {
    // Plugged in only once the loop has seen the last one go.
    ASSERT_TRUE(p.PumpUntil([&] { return events("waiting") == board; }, 20000)) << p.out_text;
    Sim sim;
    sim.Start(7, dir_, {"--link", plug, "--pace"});
    if (board == 2) {
      ASSERT_TRUE(p.PumpUntil([&] { return sim.HasReceived(1000); }, 20000))
          << p.out_text << p.err_text << ReadFile(sim.log).size();
      sim.Stop();  // pulled out
    }
    ASSERT_TRUE(p.PumpUntil([&] { return events("tally") == board; }, 30000))
        << board << ": " << p.out_text << p.err_text;
    if (board != 2) sim.Finish();
    received.push_back(ReadFile(sim.image));
  }
  EXPECT_EQ(p.Finish(10000), 5) << p.err_text;
  EXPECT_TRUE(SameBytes(received[0], bytes));
  EXPECT_LT(received[1].size(), bytes.size());
  EXPECT_TRUE(SameBytes(received[2], bytes));
  const std::vector<std::string> lines = Lines(p.out_text);
  EXPECT_NE(p.out_text.find("{\"event\":\"tally\",\"done\":1,\"failed\":0}"), std::string::npos)
      << p.out_text;
  EXPECT_NE(p.out_text.find("{\"event\":\"tally\",\"done\":1,\"failed\":1}"), std::string::npos);
  EXPECT_NE(p.out_text.find("{\"event\":\"tally\",\"done\":2,\"failed\":1}"), std::string::npos);
  const nlohmann::json summary = nlohmann::json::parse(lines.back());
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["boards"], 3);
  EXPECT_EQ(summary["code"], 5);
}

TEST_F(CliE2e, StationLoopEndsOnCtrlCWithTheTally) {
  if (UnderWine()) GTEST_SKIP() << "Ctrl+C is tested natively";
  Firmware("trx.fw", 100, 27);
  Sim sim;
  sim.Start(7, dir_, {"--sessions", "0"});
  Map(sim);
  Process p;
  StartCli(p, {"flash", "--wait", "COM7", "trx.fw"});
  ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Tally: 1 done, 0 failed") != std::string::npos; },
                          20000))
      << p.err_text;
  p.Signal(SIGINT);
  EXPECT_EQ(p.Finish(5000), 130);
  EXPECT_NE(p.err_text.find("Interrupted.\nTally: 1 done, 0 failed\n"), std::string::npos)
      << p.err_text;
}

// --- Nothing destroyed, nothing flashed twice or wrongly, nothing hung -------

// The worker processes of `parent`, as the kernel lists its children.
std::vector<pid_t> Children(pid_t parent) {
  std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                   "/children");
  std::vector<pid_t> pids;
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

// Ended: gone from the process table, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t paren = text.rfind(')');
  return text.empty() || (paren != std::string::npos && text.compare(paren + 2, 1, "Z") == 0);
}

bool FreeToLock(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) close(fd);
  return free;
}

TEST_F(CliE2e, ATranscriptIsRefusedBeforeAnyPortOpensWhereItWouldDestroySomething) {
  if (UnderWine()) GTEST_SKIP() << "links, FIFOs and devices are tested natively";
  const std::string bytes = Firmware("fw.bin", 400, 30);
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  Map(6, name);
  const std::string d = dir_ + "/";
  ASSERT_EQ(mkfifo((d + "fifo").c_str(), 0644), 0);
  fs::create_directory(d + "folder");
  ASSERT_EQ(link((d + "fw.bin").c_str(), (d + "hard.bin").c_str()), 0);
  fs::create_symlink(d + "fw.bin", d + "soft.bin");
  fs::create_symlink(d + "nowhere/x", d + "dangling");
  WriteFile(d + "old.txt", "keep");
  const std::pair<std::string, std::string> cases[] = {
      {"fw.bin", "it is the firmware image"},   {"hard.bin", "it is the firmware image"},
      {"soft.bin", "it is the firmware image"}, {name, "a device, a FIFO or a socket"},
      {"/dev/full", "a device"},                {"fifo", "a FIFO"},
      {"folder", "it is a directory"},          {"old.txt", "it exists; --force overwrites it"},
      {"dangling", "a link to nothing"}};
  OpenWatch watch(name);
  for (const auto& [trace, why] : cases) {
    const Result r = Run({"flash", "--trace", trace, "COM6", "fw.bin"});
    EXPECT_EQ(r.code, 64) << trace << ": " << r.err;
    EXPECT_NE(r.err.find("cannot write the trace file '" + trace + "': "), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << trace << ": " << r.err;
  }
  EXPECT_FALSE(watch.Opened());
  close(master);
  EXPECT_EQ(ReadFile(d + "fw.bin"), bytes);
  EXPECT_EQ(ReadFile(d + "old.txt"), "keep");
  EXPECT_TRUE(fs::is_symlink(d + "dangling"));

  // Asked for, an old transcript is replaced.
  Sim sim;
  sim.Start(5, dir_, {});
  Map(sim);
  const Result forced = Run({"flash", "-q", "--force", "--trace", "old.txt", "COM5", "fw.bin"});
  EXPECT_EQ(forced.code, 0) << forced.err;
  EXPECT_EQ(ReadFile(d + "old.txt").rfind("# update-firmware-cli trace of COM5", 0), 0u);
}

TEST_F(CliE2e, TranscriptsNeverShareAFileAndALostOneFailsTheRun) {
  if (UnderWine()) GTEST_SKIP() << "device paths and file size limits are Linux's";
  const std::string bytes = Firmware("fw.bin", 4000, 31);
  Sim a, b;
  a.Start(5, dir_, {});
  b.Start(6, dir_, {});
  // Two ports whose paths end alike.
  for (const char* sub : {"/a", "/b"}) fs::create_directory(dir_ + sub);
  fs::create_symlink(a.pty, dir_ + "/a/tty");
  fs::create_symlink(b.pty, dir_ + "/b/tty");
  const Result r = Run({"flash", "-q", "--trace", "t.log", dir_ + "/a/tty", dir_ + "/b/tty", "fw.bin"});
  EXPECT_EQ(r.code, 0) << r.err;
  a.Finish();
  b.Finish();
  std::vector<std::string> traces;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("t.", 0) == 0) traces.push_back(entry.path().string());
  }
  ASSERT_EQ(traces.size(), 2u);
  std::sort(traces.begin(), traces.end());
  EXPECT_TRUE(SameBytes(TraceBytes(traces[0], '>'), LoggedBytes(a)));
  EXPECT_TRUE(SameBytes(TraceBytes(traces[1], '>'), LoggedBytes(b)));

  // A transcript cut short by the file system: the board is flashed, the
  // run says the transcript is lost and fails.
  Sim c;
  c.Start(7, dir_, {});
  Map(c);
  Process::Options o;
  o.file_size_limit = 2048;
  const Result lost = Run({"flash", "-q", "--trace", "cut.log", "COM7", "fw.bin"}, o);
  EXPECT_EQ(lost.code, 74) << lost.err;
  EXPECT_NE(lost.err.find("the trace file 'cut.log' could not be written: File too large"),
            std::string::npos)
      << lost.err;
  c.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(c.image), bytes));
}

TEST_F(CliE2e, TheImageSentIsTheFileOpenedWhateverHappensToItsPath) {
  if (UnderWine()) GTEST_SKIP() << "a file open on Windows cannot be deleted or replaced";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> act;
    int code;
    size_t received;  // bytes of the image the device gets
  };
  const Case cases[] = {
      {"cut short", [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 1000), 0); }, 5, 1000},
      {"deleted", [](const std::string& f) { unlink(f.c_str()); }, 0, 3000},
      {"replaced",
       [this](const std::string& f) {
         WriteFile(dir_ + "/other", "tiny");
         ASSERT_EQ(rename((dir_ + "/other").c_str(), f.c_str()), 0);
       },
       0, 3000},
  };
  for (const Case& c : cases) {
    const std::string bytes = Firmware("fw.bin", 3000, 32);
    Sim sim;
    sim.Start(5, dir_, {});
    Map(sim);
    Process p;
    StartCli(p, {"flash", "COM5", "fw.bin"});
    // Within the half second the device is given to settle.
    ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Updating") != std::string::npos; }, 10000));
    c.act(dir_ + "/fw.bin");
    const int64_t acted = NowMs();
    EXPECT_EQ(p.Finish(), c.code) << c.what << ": " << p.err_text;
    // No five-second wait for an answer to an image that is not there.
    EXPECT_LT(NowMs() - acted, 3000) << c.what;
    sim.Finish();
    const std::string got = ReadFile(sim.image);
    if (c.code != 0) {
      // Output still queued when the run ends is dropped, not padded.
      EXPECT_LE(got.size(), c.received) << c.what;
      EXPECT_TRUE(SameBytes(got, bytes.substr(0, got.size()))) << c.what;
      continue;
    }
    EXPECT_TRUE(SameBytes(got, bytes.substr(0, c.received))) << c.what;
    // The size announced is the one of the file opened (3000, B8 0B).
    const std::vector<std::string> line = Lines(ReadFile(sim.log));
    ASSERT_GE(line.size(), 6u);
    EXPECT_EQ(line[4].substr(line[4].find(' ') + 1) + line[5].substr(line[5].find(' ')), "B8 0B")
        << c.what;
  }
}

TEST_F(CliE2e, WhatIsNoRegularFileIsNoImageAndNothingWaitsForIt) {
  if (UnderWine()) GTEST_SKIP() << "FIFOs and Linux devices are tested natively";
  ASSERT_EQ(mkfifo((dir_ + "/pipe.fw").c_str(), 0644), 0);
  for (const std::string file : {"pipe.fw", "/dev/zero", "/dev/urandom", "/proc/self/status"}) {
    const int64_t start = NowMs();
    const Result r = Run({"flash", "COM6", file});
    EXPECT_EQ(r.code, 1) << file << ": " << r.err;
    EXPECT_EQ(r.err.rfind("ERROR:1: Firmware missing! (" + file + ": ", 0), 0u) << r.err;
    EXPECT_LT(NowMs() - start, 5000) << file;
  }
}

TEST_F(CliE2e, OneDeviceUnderSeveralNamesIsFlashedOnce) {
  if (UnderWine()) GTEST_SKIP() << "device paths are for Linux";
  const std::string bytes = Firmware("fw.bin", 600, 33);
  Sim sim;
  sim.Start(5, dir_, {});
  Map(sim);
  fs::create_symlink(sim.pty, dir_ + "/alias");
  const Result r = Run({"flash", "COM5", sim.pty, dir_ + "/alias", "fw.bin"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("COM5 and " + sim.pty + " are the same device; it is flashed once, as COM5"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("busy"), std::string::npos) << r.err;
  sim.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
  EXPECT_EQ(Lines(ReadFile(sim.log)).size(), 8u + 600u);  // one session
}

TEST_F(CliE2e, ADeviceThatStopsTakingDataEndsTheRunAtOnce) {
  if (UnderWine()) GTEST_SKIP() << "tested natively";
  Firmware("fw.bin", 200000, 34);
  Sim sim;
  sim.Start(5, dir_, {"--stop-reading-after", "1000"});
  Map(sim);
  const int64_t start = NowMs();
  const Result r = Run({"flash", "--json", "COM5", "fw.bin"});
  EXPECT_EQ(r.code, 5) << r.err;
  EXPECT_LT(NowMs() - start, 20000);
  const nlohmann::json outcome = nlohmann::json::parse(Lines(r.out)[Lines(r.out).size() - 2]);
  EXPECT_EQ(outcome["event"], "outcome");
  // What the port took, not what was meant to go, and why it stopped.
  EXPECT_GT(outcome["bytes"].get<int64_t>(), 0);
  EXPECT_LT(outcome["bytes"].get<int64_t>(), 200000);
  EXPECT_EQ(outcome["reason"], "stopped");
  EXPECT_NE(outcome["detail"].get<std::string>().find("the device stopped taking data after "),
            std::string::npos);
}

TEST_F(CliE2e, WorkersNeverOutliveTheirParent) {
  if (UnderWine()) GTEST_SKIP() << "process groups are tested natively";
  Firmware("fw.bin", 60000, 35);
  for (const int parent_signal : {SIGINT, SIGKILL}) {
    Sim a, b;
    Process p;
    FlashTwoStuckBoards(a, b, p, "fw.bin");
    if (HasFatalFailure()) return;
    const std::vector<pid_t> workers = Children(p.pid());
    ASSERT_EQ(workers.size(), 2u);
    // A worker that cannot act on its stop signal is ended after its grace.
    if (parent_signal == SIGINT) kill(workers[0], SIGSTOP);
    const int64_t signalled = NowMs();
    p.Signal(parent_signal);
    EXPECT_EQ(p.Finish(10000), parent_signal == SIGINT ? 130 : 1000 + SIGKILL);
    const bool ended = p.PumpUntil([&] { return Ended(workers[0]) && Ended(workers[1]); }, 5000);
    EXPECT_TRUE(ended) << parent_signal;
    EXPECT_LT(NowMs() - signalled, 4000) << parent_signal;
    EXPECT_TRUE(p.PumpUntil([&] { return FreeToLock(a.pty) && FreeToLock(b.pty); }, 3000));
    if (!ended) {
      for (const pid_t w : workers) kill(w, SIGKILL);
    }
  }
}

TEST_F(CliE2e, StationSaysWhyItWaitsAndFlashesABoardSwappedWithinAPoll) {
  if (UnderWine()) GTEST_SKIP() << "plugging is played with links natively";
  const std::string bytes = Firmware("fw.bin", 500, 36);
  WriteFile(dir_ + "/plain", "not a port");
  {
    Process p;
    StartCli(p, {"flash", "--wait", "COM7", dir_ + "/plain", "fw.bin"});
    const std::string said = "Waiting for a board on COM7 " + dir_ + "/plain ...\n  COM7: " +
                             kNowhere + ": no such device\n  " + dir_ + "/plain: not a serial device\n";
    EXPECT_TRUE(p.PumpUntil([&] { return p.err_text.find(said) != std::string::npos; }, 5000))
        << p.err_text;
    p.Signal(SIGINT);
    EXPECT_EQ(p.Finish(5000), 130);
  }
  // The first board is taken out and another put in its place before the
  // loop looks again: the port never goes missing, but the device changes.
  const std::string plug = dir_ + "/board7";
  Map(7, plug);
  Sim first, second;
  first.Start(7, dir_, {"--sessions", "0"});
  fs::create_symlink(first.pty, plug);
  Process p;
  StartCli(p, {"flash", "--wait", "--count", "2", "--json", "COM7", "fw.bin"});
  ASSERT_TRUE(p.PumpUntil([&] { return p.out_text.find("\"tally\"") != std::string::npos; }, 20000))
      << p.out_text;
  second.Start(8, dir_, {});
  fs::create_symlink(second.pty, plug + ".new");
  ASSERT_EQ(rename((plug + ".new").c_str(), plug.c_str()), 0);
  EXPECT_EQ(p.Finish(20000), 0) << p.out_text;
  first.Stop();
  second.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(first.image), bytes));
  EXPECT_TRUE(SameBytes(ReadFile(second.image), bytes));
}

TEST_F(CliE2e, LookingAtPortsChangesNothingOnThem) {
  if (UnderWine()) GTEST_SKIP() << "termios is Linux's";
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios before{};
  tcgetattr(slave, &before);
  cfsetspeed(&before, B115200);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
  // Let go of it (a port another program holds open is busy), keep the
  // master: the terminal keeps its settings.
  close(slave);
  Map(5, name);
  const Result r = Run({"list"});
  slave = open(name, O_RDWR | O_NOCTTY);
  EXPECT_EQ(r.out, "COM5 " + std::string(name) + "\n");
  termios after{};
  tcgetattr(slave, &after);
  EXPECT_EQ(cfgetospeed(&after), B115200);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
  close(slave);
  close(master);
}

TEST_F(CliUsbE2e, NamesFromDevicesAndFilesCannotSteerTheTerminalOrTheReports) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's";
  const std::string bytes = Firmware("fw\xff.bin", 300, 37);
  Sim a;
  a.Start(5, dir_, {"--sessions", "0"});
  Map(a);
  sysfs_fixture::UsbSerialAdapter(sysfs_, fs::path(a.pty).filename().string(), "1-1", "0403",
                                  "6001", "Evil\x1b[2J\xc3", "UART", "S1");
  const Result list = Run({"list"});
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
  EXPECT_NE(list.out.find("Evil\\x1b[2J"), std::string::npos) << list.out;
  const Result json = Run({"list", "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_FALSE(nlohmann::json::parse(json.out, nullptr, false).is_discarded()) << json.out;

  // A port whose name would end the worker's report and make up another.
  const std::string evil = dir_ + "/x\nprogress 1 1 99\n{\"progress\":[1,1,99]}";
  const Result r = Run({"flash", "--json", "COM5", evil, "fw\xff.bin"});
  EXPECT_EQ(r.code, 2) << r.err;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(e.is_discarded()) << line;
    if (e.value("port", "") == evil) {
      EXPECT_NE(e["event"], "progress") << line;
    }
  }
  EXPECT_TRUE(SameBytes(ReadFile(a.image), bytes));
  const Result text = Run({"flash", "COM5", evil, "fw\xff.bin"});
  EXPECT_NE(text.err.find("/x\\x0aprogress 1 1 99\\x0a"), std::string::npos) << text.err;
  EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\x1b'), 0);
}

TEST_F(CliE2e, LostOutputAndInternalTroubleAreNeverSuccess) {
  if (UnderWine()) GTEST_SKIP() << "tested natively";
  const std::string bytes = Firmware("fw.bin", 400, 38);
  Sim sim;
  sim.Start(5, dir_, {"--sessions", "0"});
  Map(sim);
  Process::Options full;
  full.stdout_path = "/dev/full";
  EXPECT_EQ(Run({"list"}, full).code, 74);
  const Result flashed = Run({"flash", "--json", "COM5", "fw.bin"}, full);
  EXPECT_EQ(flashed.code, 74) << flashed.err;
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));

  // The worker mode is no way around the checks.
  const Result worker = Run({"--uf-worker", "COM5", "fw.bin", "fw.bin", "force"});
  EXPECT_EQ(worker.code, 64);
  EXPECT_EQ(ReadFile(dir_ + "/fw.bin"), bytes);
  std::vector<std::string> many = {"flash"};
  for (int i = 0; i < 257; ++i) many.push_back("/dev/null");
  many.push_back("fw.bin");
  const Result too_many = Run(many);
  EXPECT_EQ(too_many.code, 64);
  EXPECT_NE(too_many.err.find("more than the 256"), std::string::npos) << too_many.err;

  // A station loop whose program file is replaced meanwhile flashes on.
  const std::string copy = dir_ + "/cli";
  fs::copy_file(EnvOr("UF_CLI"), copy);
  fs::permissions(copy, fs::perms::owner_all);
  Map(9, dir_ + "/plug9");
  std::vector<std::string> argv = {copy, "flash", "--wait", "--count", "1", "COM9", "fw.bin"};
  Process p;
  Process::Options o;
  o.cwd = dir_;
  o.env = ports_;
  ASSERT_TRUE(p.Start(argv, o));
  ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Waiting") != std::string::npos; }, 5000));
  WriteFile(dir_ + "/junk", "#!/bin/false\n");
  ASSERT_EQ(rename((dir_ + "/junk").c_str(), copy.c_str()), 0);
  Sim late;
  late.Start(9, dir_, {});
  fs::create_symlink(late.pty, dir_ + "/plug9");
  EXPECT_EQ(p.Finish(20000), 0) << p.err_text;
  late.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(late.image), bytes));
}

TEST_F(CliE2e, WordsThatNameNoPortAreUsageErrors) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"flash", "sn:", "fw.bin"}, "'sn:' needs the adapter's serial number"},
      {{"flash", "zzzz:1", "fw.bin"}, "'zzzz:1' is not a VID:PID selector"},
      {{"flash", "1234:", "fw.bin"}, "'1234:' is not a VID:PID selector"},
      {{"flash", "COM0", "fw.bin"}, "'COM0' is no port: the names are COM1 to COM16"},
      {{"flash", "COM17", "fw.bin"}, "'COM17' is no port"},
      {{"flash", "dev/ttyUSB0", "fw.bin"}, "a device path from /"},
      {{"flash", "--wait", "--count", "0x10", "COM5", "fw.bin"}, "in decimal digits"},
      {{"flash", "--wait", "--count", "1e3", "COM5", "fw.bin"}, "in decimal digits"},
  };
  for (const auto& [args, why] : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 64) << args[1];
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
}

TEST_F(CliE2e, HexImagesGoOnTheLineFlattenedAndBadOnesNotAtAll) {
  // An odd-sized image at 0x08000000, as a compiler's HEX file gives it.
  const std::string bytes = Firmware("fw.bin", 3001, 40);
  const std::string objcopy = "objcopy -I binary -O ihex --change-addresses 0x08000000 ";
  ASSERT_EQ(std::system((objcopy + dir_ + "/fw.bin " + dir_ + "/fw.hex").c_str()), 0);
  Sim sim;
  sim.Start(5, dir_, {"--sessions", "0"});
  Map(sim);
  const Result r = Run({"flash", "COM5", "fw.hex"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("fw.hex: Intel HEX, 0x08000000 to 0x08000BB8, 3002 bytes"), std::string::npos)
      << r.err;
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes + "\xFF"));  // one fill byte: whole words

  const Result converted = Run({"convert", "fw.hex", "flat.bin"});
  EXPECT_EQ(converted.code, 0) << converted.err;
  EXPECT_EQ(ReadFile(dir_ + "/flat.bin"), bytes + "\xFF");
  EXPECT_EQ(Run({"convert", "fw.hex", "flat.bin"}).code, 64);  // kept without --force
  EXPECT_EQ(Run({"convert", "fw.hex", "fw.hex"}).code, 64);

  // One wrong checksum: refused with its line, and nothing reaches the device.
  std::string hex = ReadFile(dir_ + "/fw.hex");
  const size_t third_line = hex.find('\n', hex.find('\n') + 1) + 1;
  hex[third_line + 9] = hex[third_line + 9] == '0' ? '1' : '0';
  WriteFile(dir_ + "/bad.hex", hex);
  const size_t logged = Lines(ReadFile(sim.log)).size();
  const Result bad = Run({"flash", "COM5", "bad.hex"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("ERROR:1: Firmware missing! (bad.hex: not a valid Intel HEX file: line 3: "),
            std::string::npos)
      << bad.err;
  EXPECT_EQ(Lines(ReadFile(sim.log)).size(), logged);
}

TEST_F(CliE2e, TheStationsRecordTellsWhichImageWentWhere) {
  if (UnderWine()) GTEST_SKIP() << "the record's file rules and a kill are tested natively";
  Firmware("fw.bin", 801, 41);
  const std::string sha = Sha256Sum(dir_ + "/fw.bin");
  Sim good1, good2, silent;
  good1.Start(5, dir_, {"--sessions", "0"});
  good2.Start(6, dir_, {"--sessions", "0"});
  silent.Start(7, dir_, {"--silent", "--sessions", "0"});
  for (const Sim* s : {&good1, &good2, &silent}) Map(*s);
  const Result r = Run({"flash", "-q", "--log", "station.jsonl", "COM5", "COM6", "COM7", "fw.bin"});
  EXPECT_EQ(r.code, 3) << r.err;
  std::map<std::string, nlohmann::json> records;
  for (const std::string& line : Lines(ReadFile(dir_ + "/station.jsonl"))) {
    const nlohmann::json record = nlohmann::json::parse(line);
    records[record["port"]] = record;
  }
  ASSERT_EQ(records.size(), 3u);
  for (const auto& [port, record] : records) {
    EXPECT_EQ(record["sha256"], sha) << port;
    EXPECT_EQ(record["size"], 801);
    EXPECT_EQ(record["attempts"], 1);
    EXPECT_EQ(record["version"], UF_VERSION);
    EXPECT_EQ(record["time"].get<std::string>().size(), 20u);  // 2026-12-08T16:01:02Z
  }
  EXPECT_EQ(records["COM5"]["code"], 0);
  EXPECT_EQ(records["COM7"]["code"], 3);

  // A wrong image by its hash: refused before any port is opened.
  const size_t logged = Lines(ReadFile(good1.log)).size();
  const Result wrong = Run({"flash", "--expect-sha256", std::string(64, 'a'), "COM5", "fw.bin"});
  EXPECT_EQ(wrong.code, 1);
  EXPECT_NE(wrong.err.find("SHA-256 " + sha + ", not the expected aaaa"), std::string::npos)
      << wrong.err;
  EXPECT_EQ(Lines(ReadFile(good1.log)).size(), logged);
  EXPECT_EQ(Run({"flash", "--log", "fw.bin", "COM5", "fw.bin"}).code, 64);  // never into the image

  // A loop killed outright mid-board leaves only whole records.
  Sim slow;
  slow.Start(8, dir_, {"--pace", "--sessions", "0"});
  Map(slow);
  Firmware("big.bin", 20000, 42);
  Process p;
  StartCli(p, {"flash", "--wait", "--log", "killed.jsonl", "COM8", "COM5", "big.bin"});
  ASSERT_TRUE(p.PumpUntil([&] { return Lines(ReadFile(dir_ + "/killed.jsonl")).size() >= 1; },
                          20000));
  p.Signal(SIGKILL);
  p.Finish(5000);
  for (const std::string& line : Lines(ReadFile(dir_ + "/killed.jsonl"))) {
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
  }
}

TEST_F(CliE2e, AStartCommandMayGoAgainAndTheModemLinesPlayTheirPart) {
  Firmware("fw.bin", 400, 43);
  Sim once, thrice;
  once.Start(5, dir_, {"--ignore-starts", "2"});
  thrice.Start(6, dir_, {"--ignore-starts", "2"});
  Map(once);
  Map(thrice);
  EXPECT_EQ(Run({"flash", "-q", "COM5", "fw.bin"}).code, 3);
  const Result again = Run({"flash", "--json", "--attempts", "3", "COM6", "fw.bin"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("\"attempts\":3"), std::string::npos) << again.out;
  EXPECT_EQ(ReadFile(thrice.image).size(), 400u);
  // A terminal without modem lines: the reset cannot happen, so no update.
  if (UnderWine()) return;
  Sim plain;
  plain.Start(7, dir_, {});
  Map(plain);
  const Result reset = Run({"flash", "--reset", "dtr=0,wait=10", "COM7", "fw.bin"});
  EXPECT_EQ(reset.code, 2);
  EXPECT_NE(reset.err.find("refused step 1 (dtr=0) of --reset"), std::string::npos) << reset.err;
  EXPECT_EQ(Run({"flash", "--reset", "dtr=2", "COM7", "fw.bin"}).code, 64);
}

TEST_F(CliE2e, TheResetSequencePlaysInOrderAndOnTime) {
  const std::string model = EnvOr("UF_LINE_MODEL");
  if (model.empty()) GTEST_SKIP() << "UF_LINE_MODEL names the line model library";
  const std::string bytes = Firmware("fw.bin", 200, 44);
  Sim sim;
  sim.Start(5, dir_, {});
  Map(sim);
  Process::Options o;
  o.env["LD_PRELOAD"] = model;
  o.env["LINE_MODEL_DEVICE"] = sim.pty;
  o.env["LINE_MODEL_MODEM"] = dir_ + "/modem.log";
  const Result r =
      Run({"flash", "-q", "--reset", "dtr=0,rts=1,wait=100,rts=0,wait=50", "COM5", "fw.bin"}, o);
  EXPECT_EQ(r.code, 0) << r.err;
  std::vector<std::pair<std::string, int64_t>> changes;  // dtr/rts state, ns
  for (const std::string& line : Lines(ReadFile(dir_ + "/modem.log"))) {
    const size_t ns = line.find(" ns=");
    const size_t state = line.find(" dtr=");
    if (ns == std::string::npos || state == std::string::npos) continue;
    changes.emplace_back(line.substr(state + 1), std::stoll(line.substr(ns + 4)));
  }
  ASSERT_GE(changes.size(), 3u) << ReadFile(dir_ + "/modem.log");
  const size_t n = changes.size();
  EXPECT_EQ(changes[n - 3].first, "dtr=0 rts=0");  // the open holds RTS inactive, DTR drops
  EXPECT_EQ(changes[n - 2].first, "dtr=0 rts=1");
  EXPECT_EQ(changes[n - 1].first, "dtr=0 rts=0");
  const int64_t waited_ms = (changes[n - 1].second - changes[n - 2].second) / 1000000;
  EXPECT_GE(waited_ms, 100 - 20);
  EXPECT_LE(waited_ms, 100 + 20);
  sim.Finish();
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
}

TEST_F(CliUsbE2e, ALocationSelectsTheSlotWhateverTheAdapterIsCalledNow) {
  if (UnderWine()) GTEST_SKIP() << "sysfs is Linux's; SetupAPI locations are tested apart";
  const std::string bytes = Firmware("fw.bin", 300, 45);
  Sim before, after;
  before.Start(5, dir_, {"--sessions", "0"});
  after.Start(6, dir_, {"--sessions", "0"});
  Map(before);
  Map(after);
  // Cheap adapters without serial numbers, in slots 1-2.1 and 1-2.2.
  Adapter(before, "1-2.1", "1a86", "7523", "CH340", "");
  Adapter(after, "1-2.2", "1a86", "7523", "CH340", "");
  EXPECT_EQ(Run({"flash", "-q", "loc:1-2.1", "fw.bin"}).code, 0);
  EXPECT_TRUE(SameBytes(ReadFile(before.image), bytes));
  // Replugged: slot 1-2.1 now holds the adapter that had another name.
  fs::remove_all(sysfs_);
  Adapter(after, "1-2.1", "1a86", "7523", "CH340", "");
  EXPECT_EQ(Run({"flash", "-q", "loc:1-2.1", "fw.bin"}).code, 0);
  EXPECT_TRUE(SameBytes(ReadFile(after.image), bytes));
  EXPECT_EQ(Run({"flash", "loc:9-9", "fw.bin"}).code, 64);
}

TEST_F(CliE2e, DoctorSaysWhatStopsFlashingAndTheExitCodeAgrees) {
  // A machine with one serial device, which nobody may open.
  fs::create_directories(dir_ + "/dev");
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  fs::create_symlink(name, dir_ + "/dev/ttyUSB0");
  chmod(name, 0);
  Process::Options o;
  o.env["UPDATE_FIRMWARE_DEV"] = dir_ + "/dev";
  // Root opens anything; nobody does not. Wine's prefix is root's.
  o.as_nobody = geteuid() == 0 && !UnderWine();
  const Result r = Run({"doctor", "--json"}, o);
  close(master);
  bool blocking = false;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json f = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(f.is_discarded()) << line;
    EXPECT_EQ(f["event"], "finding");
    blocking = blocking || f["severity"] == "blocking";
  }
  EXPECT_FALSE(Lines(r.out).empty());
  EXPECT_EQ(r.code, blocking ? 1 : 0) << r.out;
  if (!UnderWine()) {
    EXPECT_TRUE(blocking) << r.out;  // the device nobody may open
  }
}

}  // namespace
