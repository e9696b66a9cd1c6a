// update-firmware-cli flash end to end, one board or several: what reaches
// the device, the errors from the device, the file and the port, Ctrl+C,
// the reports (JSON, traces), HEX images, further attempts and the reset.
#include <sys/file.h>
#include <sys/inotify.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/cli_harness.h"

namespace {

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

// --- Success, and what the line carried ------------------------------------

TEST_F(CliE2e, FlashSendsTheImageAndReportsSuccessWithPlainProgress) {
  // An odd size: the last byte is announced but never sent.
  const std::string bytes = Firmware("trx.fw", 4001);
  Sim sim = Board(7);

  const Result r = Run({"flash", "COM7", "trx.fw"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  // The hash is of what goes on the line, and the start says what is left.
  EXPECT_EQ(Lines(r.err),
            (std::vector<std::string>{
                "trx.fw: odd length: the last byte is not sent (the line takes whole words); "
                "the SHA-256 is of the 4000 bytes sent",
                "Updating the device on COM7 with trx.fw (4001 bytes, about 0:05 on the line, "
                "SHA-256 " + Sha256Sum(dir_ + "/trx.fw", 4000) + ")",
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
  Sim sim = Board(9);
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
  // Paced at the line rate, so the run lasts long enough to redraw.
  Sim sim = Board(4, {"--pace"});
  Pty terminal;
  ASSERT_FALSE(terminal.path.empty());
  terminal.MakeRaw();

  Process p;
  Process::Options o;
  o.stderr_fd = terminal.slave;
  StartCli(p, {"flash", "COM4", "trx.fw"}, o);
  terminal.CloseSlave();
  std::string shown;
  ReadTerminal(terminal.master, p, 30000, &shown);
  terminal.CloseMaster();
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
  Sim sim = Board(15);
  const std::string stats = dir_ + "/line.stats";
  Process::Options o;
  o.env["LD_PRELOAD"] = model;
  o.env["LINE_MODEL_DEVICE"] = sim.pty;
  o.env["LINE_MODEL_STATS"] = stats;

  // Natively the progress goes to a terminal, which redraws the bar with the
  // bytes sent at every percent; under Wine to a pipe, one line a quarter.
  std::unique_ptr<Pty> terminal;
  if (!UnderWine()) {
    terminal = std::make_unique<Pty>();
    ASSERT_FALSE(terminal->path.empty());
    terminal->MakeRaw();
    o.stderr_fd = terminal->slave;
  }
  Process p;
  StartCli(p, {"flash", "COM15", "trx.fw"}, o);
  if (terminal) terminal->CloseSlave();

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
  if (terminal) {
    ReadTerminal(terminal->master, p, give_up - NowMs(), &shown, take_new);
    terminal->CloseMaster();
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
    Sim sim = Board(8, c.sim_args);
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
  Sim sim = Board(8, {"--silent"});
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
TEST_F(CliE2e, FileProblemsAreErrorOneAndThePortIsNeverOpened) {
  // A bare terminal: nothing but the program under test opens it.
  Pty bare;
  ASSERT_FALSE(bare.path.empty());
  bare.CloseSlave();
  Map(6, bare.path);
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
  OpenWatch watch(bare.path);
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
  Sim sim = Board(10, {"--sessions", "0"});
  const int holder = open(sim.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Result r = Run({"flash", "COM10", "trx.fw"});
  close(holder);
  // A UUCP lock naming a live process holds the port as well.
  LockPort(dir_, sim.pty, getpid());
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

// A holder's name comes from the system: escaped on the terminal, and once,
// JSON's way alone, in JSON.
TEST_F(CliE2e, AHolderNameIsShownEscapedOnceForEachOutput) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not name a port's holder";
  Firmware("trx.fw", 10, 8);
  Sim sim = Board(10, {"--sessions", "0"});
  HeldElsewhere held(sim.pty, "mini\xc2\x9b" "2J\xe2\x80\xae" "moc");
  ASSERT_GT(held.pid, 0);
  const std::string why = sim.pty + ": busy, in use by mini\\xc2\\x9b2J\\xe2\\x80\\xaemoc (pid " +
                          std::to_string(held.pid) + ")";
  EXPECT_EQ(Run({"flash", "COM10", "trx.fw"}).err,
            "ERROR:2: Can't open the serial port: COM10 (" + why + ")\n");
  EXPECT_EQ(Run({"list"}).err, "COM10 " + why + "\n");
  const std::string json = Run({"flash", "--json", "COM10", "trx.fw"}).out;
  const std::string once = "\"detail\":\"" + sim.pty + ": busy, in use by mini\\u009b2J\\u202emoc";
  EXPECT_NE(json.find(once), std::string::npos) << json;
}

// --- Ctrl+C: 130, and the port is free again ------------------------------

TEST_F(CliE2e, InterruptMidStreamExitsWith130AndFreesThePort) {
  // Under Wine, SIGINT reaches the program as Ctrl+C (CTRL_C_EVENT).
  // The device stops reading early, so once the terminal's buffer is full
  // every word waits out its write time-out: the program is stuck
  // mid-stream, as with a device that hangs, when Ctrl+C comes.
  Firmware("trx.fw", 60000, 10);
  Sim sim = Board(11, {"--stop-reading-after", "1000", "--sessions", "0"});
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
  Pty bare;
  ASSERT_FALSE(bare.path.empty());
  bare.CloseSlave();
  chmod(bare.path.c_str(), 0666);
  Firmware("trx.fw", 10, 11);
  Map(13, bare.path);
  Process p;
  Process::Options o;
  o.as_nobody = geteuid() == 0;
  StartCli(p, {"flash", "COM13", "trx.fw"}, o);
  // Wait for "BL10": the program is in the reply wait.
  std::string line;
  const int64_t end = NowMs() + 10000;
  while (line.size() < 4 && NowMs() < end) {
    pollfd pfd = {bare.master, POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      char buf[64];
      const ssize_t n = read(bare.master, buf, sizeof buf);
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
    const int fd = open(bare.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) _exit(errno == EBUSY ? 1 : 2);
    _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: exclusive mode left set, 4: still locked";
}

// --- Several boards at once ---------------------------------------------------

// What the device received, from its log.
std::string LoggedBytes(const Sim& sim) {
  std::string bytes;
  for (const std::string& line : Lines(ReadFile(sim.log))) {
    bytes.push_back(static_cast<char>(std::stoi(line.substr(line.find(' ') + 1), nullptr, 16)));
  }
  return bytes;
}

TEST_F(CliE2e, EveryBoardGetsTheOneImageThatWasReadAndChecked) {
  // The file is closed once read, on Windows too: swapping it is up to anyone.
  const std::string bytes = Firmware("fw.bin", 3000, 51);
  const std::string sha = Sha256Sum(dir_ + "/fw.bin");
  Firmware("other.bin", 3000, 52);
  Sim a = Board(5, {"--sessions", "2"});
  Sim b = Board(6, {"--sessions", "2"});
  Sim c = Board(7, {"--sessions", "2"});
  {
    OpenWatch opens(dir_ + "/fw.bin");
    EXPECT_EQ(Run({"flash", "-q", "COM5", "COM6", "COM7", "fw.bin"}).code, 0);
    EXPECT_EQ(opens.Count(), 1u) << "the image is read once, whatever the number of boards";
  }
  Process p;
  StartCli(p, {"flash", "--expect-sha256", sha, "--log", "st.jsonl", "COM5", "COM6", "COM7",
               "fw.bin"});
  // Swapped for other bytes once it has been checked, while the workers start.
  ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Updating") != std::string::npos; }, 10000));
  ASSERT_EQ(rename((dir_ + "/other.bin").c_str(), (dir_ + "/fw.bin").c_str()), 0);
  EXPECT_EQ(p.Finish(), 0) << p.err_text;
  for (Sim* sim : {&a, &b, &c}) {
    sim->Finish();
    EXPECT_TRUE(SameBytes(ReadFile(sim->image), bytes)) << sim->pty;
  }
  for (const std::string& line : Lines(ReadFile(dir_ + "/st.jsonl"))) {
    EXPECT_EQ(nlohmann::json::parse(line)["sha256"], sha) << line;
  }
}

TEST_F(CliE2e, SeveralBoardsAtOnceEachWithItsOwnVerdict) {
  // Given in this order: a board that never answers (3, known only after
  // the 5 s wait), one with a wrong start reply (4, at once), two good
  // ones. The good ones finish while the silent one still waits, and the
  // exit code is the first failure in the order given, not in time.
  const std::string bytes = Firmware("trx.fw", 2001, 21);
  Sim silent = Board(8, {"--silent"});
  Sim wrong = Board(6, {"--start-reply", "4F4C"});
  Sim good1 = Board(5);
  Sim good2 = Board(7);

  const Result r = Run({"flash", "COM8", "COM6", "COM5", "COM7", "trx.fw"});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> lines = Lines(r.err);
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto missing = static_cast<long>(lines.size());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Updating 4 devices with trx.fw (2001 bytes, about 0:03 on the line, "
                      "SHA-256 " + Sha256Sum(dir_ + "/trx.fw", 2000) + ")");
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
  Sim good = Board(5);
  Sim bad = Board(6, {"--final-reply", "6F6B"});
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
    Sim sim = Board(5);
    const Result r = Run({"flash", "-q", "--trace", "one.txt", "COM5", "trx.fw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sim.Finish(), 0);
    const std::string trace = dir_ + "/one.txt";
    EXPECT_EQ(ReadFile(trace).rfind("# update-firmware-cli trace of COM5: ", 0), 0u);
    EXPECT_TRUE(SameBytes(TraceBytes(trace, '>'), LoggedBytes(sim)));
    EXPECT_EQ(TraceBytes(trace, '<'), "OKOK");
  }
  Sim a = Board(5);
  Sim b = Board(6, {"--start-reply", "4F4C"});
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

TEST_F(CliE2e, AnInterruptIsToldAsOneEveryTimeNeverAsTheDevicesFault) {
  // A stop while the ports' queues are full races the writes it cuts short
  // (and, with workers, their ends): over many runs the stop must always
  // win. One board in the process and two in workers, in turn; under Wine,
  // where a run costs seconds, the two in workers alone, where it was lost.
  Firmware("trx.fw", 60000, 25);
  for (int run = 0; run < (UnderWine() ? 12 : 20); ++run) {
    SCOPED_TRACE(run);
    Sim a, b;
    Process p;
    if (run % 2 == 0 && !UnderWine()) {
      a = Board(11, {"--stop-reading-after", "1000", "--sessions", "0"});
      StartCli(p, {"flash", "COM11", "trx.fw"});
      ASSERT_TRUE(p.PumpUntil([&] { return a.HasReceived(1000); }, 30000)) << p.err_text;
    } else {
      // The records the stop still owes hold it up the longest.
      FlashTwoStuckBoards(a, b, p, "trx.fw", {"--log", "st.jsonl"});
      if (HasFatalFailure()) return;
    }
    p.Signal(SIGINT);
    EXPECT_EQ(p.Finish(10000), 130) << p.err_text;
    EXPECT_NE(p.err_text.find("Interrupted."), std::string::npos) << p.err_text;
    EXPECT_EQ(p.err_text.find("ERROR"), std::string::npos) << p.err_text;
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

TEST_F(CliE2e, ATranscriptIsRefusedBeforeAnyPortOpensWhereItWouldDestroySomething) {
  if (UnderWine()) GTEST_SKIP() << "links, FIFOs and devices are tested natively";
  const std::string bytes = Firmware("fw.bin", 400, 30);
  Pty bare;
  ASSERT_FALSE(bare.path.empty());
  bare.CloseSlave();
  Map(6, bare.path);
  const std::string d = dir_ + "/";
  ASSERT_EQ(mkfifo((d + "fifo").c_str(), 0644), 0);
  fs::create_directory(d + "folder");
  ASSERT_EQ(link((d + "fw.bin").c_str(), (d + "hard.bin").c_str()), 0);
  fs::create_symlink(d + "fw.bin", d + "soft.bin");
  fs::create_symlink(d + "nowhere/x", d + "dangling");
  WriteFile(d + "old.txt", "keep");
  const std::pair<std::string, std::string> cases[] = {
      {"fw.bin", "it is the firmware image"},   {"hard.bin", "it is the firmware image"},
      {"soft.bin", "it is the firmware image"}, {bare.path, "a device, a FIFO or a socket"},
      {"/dev/full", "a device"},                {"fifo", "a FIFO"},
      {"folder", "it is a directory"},          {"old.txt", "it exists; --force overwrites it"},
      {"dangling", "a link to nothing"}};
  OpenWatch watch(bare.path);
  for (const auto& [trace, why] : cases) {
    const Result r = Run({"flash", "--trace", trace, "COM6", "fw.bin"});
    EXPECT_EQ(r.code, 64) << trace << ": " << r.err;
    EXPECT_NE(r.err.find("cannot write the trace file '" + trace + "': "), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << trace << ": " << r.err;
  }
  EXPECT_FALSE(watch.Opened());
  bare.CloseMaster();
  EXPECT_EQ(ReadFile(d + "fw.bin"), bytes);
  EXPECT_EQ(ReadFile(d + "old.txt"), "keep");
  EXPECT_TRUE(fs::is_symlink(d + "dangling"));

  // Asked for, an old transcript is replaced.
  Sim sim = Board(5);
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
  Sim c = Board(7);
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
  // The file is closed once read, on Windows too, so it may be changed meanwhile.
  // The image was read whole before the port opened: whatever is done to
  // the file afterwards, the device gets the bytes that were hashed.
  struct Case {
    const char* what;
    std::function<void(const std::string&)> act;
  };
  const Case cases[] = {
      {"cut short", [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 1000), 0); }},
      {"rewritten in place", [](const std::string& f) { WriteFile(f, RandomBytes(3000, 99)); }},
      {"deleted", [](const std::string& f) { unlink(f.c_str()); }},
      {"replaced",
       [this](const std::string& f) {
         WriteFile(dir_ + "/other", "tiny");
         ASSERT_EQ(rename((dir_ + "/other").c_str(), f.c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    const std::string bytes = Firmware("fw.bin", 3000, 32);
    Sim sim = Board(5);
    Process p;
    StartCli(p, {"flash", "COM5", "fw.bin"});
    // Within the half second the device is given to settle.
    ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Updating") != std::string::npos; }, 10000));
    c.act(dir_ + "/fw.bin");
    const int64_t acted = NowMs();
    EXPECT_EQ(p.Finish(), 0) << c.what << ": " << p.err_text;
    EXPECT_LT(NowMs() - acted, 3000) << c.what;
    sim.Finish();
    EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes)) << c.what;
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
  Sim sim = Board(5);
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
  Sim sim = Board(5, {"--stop-reading-after", "1000"});
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
    EXPECT_TRUE(p.PumpUntil([&] { return FreeForOthers(a.pty) && FreeForOthers(b.pty); }, 3000));
    if (!ended) {
      for (const pid_t w : workers) kill(w, SIGKILL);
    }
  }
}

TEST_F(CliE2e, LostOutputAndInternalTroubleAreNeverSuccess) {
  if (UnderWine()) GTEST_SKIP() << "tested natively";
  const std::string bytes = Firmware("fw.bin", 400, 38);
  Sim sim = Board(5, {"--sessions", "0"});
  Process::Options full;
  full.stdout_path = "/dev/full";
  EXPECT_EQ(Run({"list"}, full).code, 74);
  const Result flashed = Run({"flash", "--json", "COM5", "fw.bin"}, full);
  EXPECT_EQ(flashed.code, 74) << flashed.err;
  EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes));
  // A board flashed whose record cannot reach the log: the run fails.
  Firmware("full.jsonl", 1024, 39);
  Process::Options capped;
  capped.file_size_limit = 1024;
  const Result unlogged = Run({"flash", "-q", "--log", "full.jsonl", "COM5", "fw.bin"}, capped);
  EXPECT_EQ(unlogged.code, 74) << unlogged.err;
  EXPECT_NE(unlogged.err.find("the record of COM5 could not be written to the log"),
            std::string::npos) << unlogged.err;

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

TEST_F(CliE2e, HexImagesGoOnTheLineFlattenedAndBadOnesNotAtAll) {
  // An odd-sized image at 0x08000000, as a compiler's HEX file gives it.
  const std::string bytes = Firmware("fw.bin", 3001, 40);
  const std::string objcopy = "objcopy -I binary -O ihex --change-addresses 0x08000000 ";
  ASSERT_EQ(std::system((objcopy + dir_ + "/fw.bin " + dir_ + "/fw.hex").c_str()), 0);
  Sim sim = Board(5, {"--sessions", "0"});
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

TEST_F(CliE2e, AStartCommandMayGoAgainAndTheModemLinesPlayTheirPart) {
  Firmware("fw.bin", 400, 43);
  Sim once = Board(5, {"--ignore-starts", "2"});
  Sim thrice = Board(6, {"--ignore-starts", "2"});
  EXPECT_EQ(Run({"flash", "-q", "COM5", "fw.bin"}).code, 3);
  const Result again = Run({"flash", "--json", "--attempts", "3", "COM6", "fw.bin"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("\"attempts\":3"), std::string::npos) << again.out;
  EXPECT_EQ(ReadFile(thrice.image).size(), 400u);
  // A terminal without modem lines: the reset cannot happen, so no update.
  if (UnderWine()) return;
  Sim plain = Board(7);
  const Result reset = Run({"flash", "--reset", "dtr=0,wait=10", "COM7", "fw.bin"});
  EXPECT_EQ(reset.code, 2);
  EXPECT_NE(reset.err.find("refused step 1 (dtr=0) of --reset"), std::string::npos) << reset.err;
  EXPECT_EQ(Run({"flash", "--reset", "dtr=2", "COM7", "fw.bin"}).code, 64);
}

TEST_F(CliE2e, TheResetSequencePlaysInOrderAndOnTime) {
  const std::string model = EnvOr("UF_LINE_MODEL");
  if (model.empty()) GTEST_SKIP() << "UF_LINE_MODEL names the line model library";
  const std::string bytes = Firmware("fw.bin", 200, 44);
  Sim sim = Board(5);
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

TEST_F(CliE2e, OutputsAreWholeRealFilesAndNeverOneAnother) {
  if (UnderWine()) GTEST_SKIP() << "file size limits, /proc and /sys are Linux's";
  const std::string bytes = Firmware("big.bin", 100000, 50);
  const std::string objcopy = "objcopy -I binary -O ihex --change-addresses 0x08000000 ";
  ASSERT_EQ(std::system((objcopy + dir_ + "/big.bin " + dir_ + "/big.hex").c_str()), 0);
  // A disk that fills half-way leaves the old OUT whole, and nothing beside it.
  const std::string good = RandomBytes(100000, 51);
  WriteFile(dir_ + "/out.bin", good);
  Process::Options capped;
  capped.file_size_limit = 65536;
  EXPECT_EQ(Run({"convert", "--force", "big.hex", "out.bin"}, capped).code, 74);
  EXPECT_TRUE(SameBytes(ReadFile(dir_ + "/out.bin"), good));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 3u);  // big.bin, big.hex, out.bin
  EXPECT_EQ(Run({"convert", "--force", "big.hex", "out.bin"}).code, 0);
  EXPECT_TRUE(SameBytes(ReadFile(dir_ + "/out.bin"), bytes));

  // Links into the kernel's file systems: no output there, no image from there.
  Firmware("fw.bin", 400, 52);
  Sim sim = Board(5, {"--sessions", "0"});
  fs::create_symlink("/proc/self/comm", dir_ + "/comm");
  EXPECT_EQ(Run({"convert", "--force", "big.hex", "comm"}).code, 64);
  EXPECT_EQ(Run({"flash", "-q", "--trace", "comm", "--force", "COM5", "fw.bin"}).code, 64);
  EXPECT_EQ(Run({"flash", "-q", "--log", "comm", "COM5", "fw.bin"}).code, 64);
  fs::create_symlink("/sys/kernel/address_bits", dir_ + "/sys.bin");
  const Result knob = Run({"flash", "-q", "COM5", "sys.bin"});
  EXPECT_EQ(knob.code, 1);
  EXPECT_NE(knob.err.find("not a firmware image"), std::string::npos) << knob.err;
  EXPECT_EQ(Lines(ReadFile(sim.log)).size(), 0u);

  // Two outputs of one run that are one file, by name or through a link.
  const std::string kept = "{\"kept\":1}\n";
  WriteFile(dir_ + "/st.jsonl", kept);
  fs::create_symlink("st.jsonl", dir_ + "/alias");
  for (const char* trace : {"st.jsonl", "alias"}) {
    EXPECT_EQ(Run({"flash", "-q", "--log", "st.jsonl", "--trace", trace, "--force", "COM5",
                   "fw.bin"}).code, 64) << trace;
    EXPECT_EQ(ReadFile(dir_ + "/st.jsonl"), kept) << trace;
  }

  // A record the disk cut short is taken back: the log stays JSON Lines.
  Process::Options near;
  near.file_size_limit = static_cast<off_t>(kept.size()) + 40;
  EXPECT_EQ(Run({"flash", "-q", "--log", "st.jsonl", "COM5", "fw.bin"}, near).code, 74);
  EXPECT_EQ(Run({"flash", "-q", "--log", "st.jsonl", "COM5", "fw.bin"}).code, 0);
  const std::vector<std::string> lines = Lines(ReadFile(dir_ + "/st.jsonl"));
  EXPECT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
  }
}

}  // namespace
