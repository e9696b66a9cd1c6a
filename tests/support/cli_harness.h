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
#pragma once

#include <sys/inotify.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process_posix.h"
#include "tests/support/pty.h"
#include "tools/bootloader-sim/sim_process.h"

namespace fs = std::filesystem;

constexpr const char* kNowhere = "/nonexistent/uf-cli-test";

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

// The transcript's bytes in one direction ('>' sent, '<' received).
inline std::string TraceBytes(const std::string& path, char direction) {
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

// A UUCP lock in `dir` naming `pid` for `device` (a path below /dev).
inline void LockPort(const std::string& dir, const std::string& device, int pid) {
  std::string base = device.substr(std::string("/dev/").size());
  std::replace(base.begin(), base.end(), '/', '_');
  WriteFile(dir + "/LCK.." + base, std::to_string(pid) + "\n");
}

// Opens of one file, as inotify counts them. The closes are watched too,
// though not counted: inotify folds an event into an identical one still
// unread, so two opens in a row would count as one.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
  }
  ~OpenWatch() { close(fd_); }
  bool Opened() { return Count() > 0; }
  // The opens since the last look.
  size_t Count() {
    alignas(inotify_event) char buf[4096];
    size_t opens = 0;
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        opens += (e->mask & IN_OPEN) ? 1 : 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    return opens;
  }

 private:
  int fd_;
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

  // A simulated board on COMn, where the program under test finds it.
  Sim Board(int com, const std::vector<std::string>& args = {}) {
    Sim sim;
    sim.Start(com, dir_, args);
    Map(sim);
    return sim;
  }

  std::string Firmware(const std::string& name, size_t size, unsigned seed = 1) {
    const std::string bytes = RandomBytes(size, seed);
    WriteFile(dir_ + "/" + name, bytes);
    chmod((dir_ + "/" + name).c_str(), 0644);
    return bytes;
  }

  // A station's folder below the test's: the image `fw.bin` (`size` bytes)
  // and the profile `station.toml`, which names the image and its hash
  // after the lines of `toml`. Returns the image's bytes.
  std::string StationFolder(const std::string& folder, const std::string& toml,
                            size_t size = 500, unsigned seed = 1) {
    fs::create_directories(dir_ + "/" + folder);
    const std::string bytes = RandomBytes(size, seed);
    const std::string image = dir_ + "/" + folder + "/fw.bin";
    WriteFile(image, bytes);
    WriteFile(dir_ + "/" + folder + "/station.toml",
              toml + "image = \"fw.bin\"\nexpect_sha256 = \"" + Sha256Sum(image) + "\"\n");
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
  // flashed with `file` by `p` (with `options`); returns once both uploads
  // are stuck there.
  void FlashTwoStuckBoards(Sim& a, Sim& b, Process& p, const std::string& file,
                           const std::vector<std::string>& options = {}) {
    a.Start(5, dir_, {"--stop-reading-after", "1000", "--sessions", "0"});
    b.Start(6, dir_, {"--stop-reading-after", "1000", "--sessions", "0"});
    Map(a);
    Map(b);
    std::vector<std::string> args = {"flash"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"COM5", "COM6", file});
    StartCli(p, args);
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

  // The JSON events of kind `event` in `out`, in order.
  static std::vector<nlohmann::json> Events(const std::string& out, const std::string& event) {
    std::vector<nlohmann::json> found;
    for (const std::string& line : Lines(out)) {
      const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      if (e.is_object() && e.value("event", "") == event) found.push_back(e);
    }
    return found;
  }

  static std::string Plain(std::string s) {
    for (size_t at; (at = s.find("\r\n")) != std::string::npos;) s.erase(at, 1);
    return s;
  }

  std::string dir_;
  std::map<std::string, std::string> ports_;
  std::vector<std::string> links_;
};
