// update-firmware-cli end to end at a station: the --wait loop, board after
// board, and the --log record of which image went where.
#include <nlohmann/json.hpp>

#include <algorithm>

#include "tests/support/cli_harness.h"

namespace {

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
  Sim sim = Board(7, {"--sessions", "0"});
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

TEST_F(CliE2e, AnImageRefusedBeforeAnyBoardSaysWhyInJson) {
  // The station and convert refuse before there is a board to name: the
  // outcome comes all the same, without a port, as flash gives it per port.
  Firmware("fw.bin", 100, 63);
  WriteFile(dir_ + "/bad.hex", ":10000000ZZ\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"flash", "--wait", "--json", "COM7", "bad.hex"},
           {"flash", "--wait", "--json", "--expect-sha256", std::string(64, 'a'), "COM7", "fw.bin"},
           {"convert", "--json", "bad.hex", "flat.bin"}}) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 1) << args[1];
    const std::vector<nlohmann::json> outcomes = Events(r.out, "outcome");
    ASSERT_EQ(outcomes.size(), 1u) << r.out;
    EXPECT_EQ(outcomes[0]["port"], nullptr);
    EXPECT_EQ(outcomes[0]["code"], 1);
    const std::string detail = outcomes[0].value("detail", "");
    EXPECT_TRUE(detail.find("not a valid Intel HEX file: line 1") != std::string::npos ||
                detail.find("not the expected aaaa") != std::string::npos)
        << r.out;
    EXPECT_EQ(Events(r.out, "summary").size(), 1u) << r.out;
  }
}

TEST_F(CliE2e, TheStationsRecordTellsWhichImageWentWhere) {
  if (UnderWine()) GTEST_SKIP() << "the record's file rules and a kill are tested natively";
  Firmware("fw.bin", 801, 41);
  // An odd length: the record's hash is of the 800 bytes that were sent.
  const std::string sha = Sha256Sum(dir_ + "/fw.bin", 800);
  Sim good1 = Board(5, {"--sessions", "0"});
  Sim good2 = Board(6, {"--sessions", "0"});
  Sim silent = Board(7, {"--silent", "--sessions", "0"});
  const Result r =
      Run({"flash", "--json", "--log", "station.jsonl", "COM5", "COM6", "COM7", "fw.bin"});
  EXPECT_EQ(r.code, 3) << r.err;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json e = nlohmann::json::parse(line);
    if (e["event"] == "start" || e["event"] == "outcome") {
      EXPECT_EQ(e["odd_length"], true) << line;
    }
    if (e["event"] == "outcome" && e["code"] == 0) {
      EXPECT_EQ(e["bytes"], 800) << line;
    }
  }
  std::map<std::string, nlohmann::json> records;
  for (const std::string& line : Lines(ReadFile(dir_ + "/station.jsonl"))) {
    const nlohmann::json record = nlohmann::json::parse(line);
    records[record["port"]] = record;
  }
  ASSERT_EQ(records.size(), 3u);
  for (const auto& [port, record] : records) {
    EXPECT_EQ(record["sha256"], sha) << port;
    EXPECT_EQ(record["size"], 801);
    EXPECT_EQ(record["odd_length"], true);
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
  Sim slow = Board(8, {"--pace", "--sessions", "0"});
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

TEST_F(CliE2e, AnInterruptedStationOwesARecordForEveryBoardItTouched) {
  if (UnderWine()) GTEST_SKIP() << "signals and inotify are tested natively";
  const std::string bytes = Firmware("fw.bin", 4000, 61);
  const std::string sha = Sha256Sum(dir_ + "/fw.bin");
  const std::string sent = std::string("BL10") + std::string("\xA0\x0F\x00\x00", 4) + bytes;
  // One board in the process itself, two in workers of their own; each stopped
  // while it waits for the final reply, its whole image taken by the port.
  for (const auto& [signal, ports] :
       std::vector<std::pair<int, std::vector<std::string>>>{{SIGINT, {"COM5"}},
                                                             {SIGTERM, {"COM5", "COM6"}}}) {
    SCOPED_TRACE(ports.size());
    fs::remove(dir_ + "/st.jsonl");
    Firmware("fw.bin", 4000, 61);
    std::vector<Sim> sims;
    for (size_t i = 0; i < ports.size(); ++i) sims.push_back(Board(5 + int(i), {"--no-final"}));
    OpenWatch opens(dir_ + "/fw.bin");
    std::vector<std::string> args = {"flash", "--wait", "--log", "st.jsonl", "--trace", "tr.txt",
                                     "--force"};
    args.insert(args.end(), ports.begin(), ports.end());
    args.push_back("fw.bin");
    Process p;
    StartCli(p, args);
    // Rewritten in place once it has been read: the station sends what it read.
    ASSERT_TRUE(p.PumpUntil([&] { return p.err_text.find("Updating") != std::string::npos; }, 10000));
    WriteFile(dir_ + "/fw.bin", RandomBytes(4000, 62));
    ASSERT_TRUE(p.PumpUntil([&] {
      size_t done = 0;
      for (size_t at = 0; (at = p.err_text.find("(100%)", at)) != std::string::npos; ++at) ++done;
      return done == ports.size();
    }, 20000)) << p.err_text;
    p.Signal(signal);
    EXPECT_EQ(p.Finish(5000), 128 + signal) << p.err_text;
    EXPECT_EQ(opens.Count(), 2u) << "read once, and rewritten once by the test";
    const std::vector<std::string> lines = Lines(ReadFile(dir_ + "/st.jsonl"));
    ASSERT_EQ(lines.size(), ports.size());
    for (const std::string& line : lines) {
      const nlohmann::json r = nlohmann::json::parse(line);
      EXPECT_EQ(r["code"], 130) << line;
      EXPECT_EQ(r["bytes"], 4000) << line;
      EXPECT_EQ(r["sha256"], sha) << line;
      EXPECT_EQ(r["reason"], "interrupted") << line;
      EXPECT_GT(r["seconds"].get<double>(), 0.4) << line;
    }
    for (const std::string& port : ports) {
      const std::string trace = ports.size() == 1 ? "tr.txt" : "tr." + port + ".txt";
      EXPECT_EQ(TraceBytes(dir_ + "/" + trace, '>'), sent) << trace << " is whole";
    }
  }
}

}  // namespace

TEST_F(CliE2e, AStationProfileRunsItsBoardsFromItsOwnFolderWhereverItLies) {
  const std::string bytes =
      StationFolder("line1", "ports = [\"COM5\", \"COM6\"]\nlog = \"station.jsonl\"\ncount = 2\n");
  // The folder is copied to the next machine as it is: its paths follow it.
  for (const std::string& folder : {std::string("line1"), std::string("elsewhere/line1")}) {
    if (folder != "line1") {
      fs::create_directories(dir_ + "/elsewhere");
      fs::rename(dir_ + "/line1", dir_ + "/" + folder);
    }
    Sim a = Board(5);
    Sim b = Board(6);
    const Result r = Run({"station", "--quiet", folder + "/station.toml"});
    EXPECT_EQ(r.code, 0) << folder << ": " << r.err;
    EXPECT_EQ(a.Finish(), 0);
    EXPECT_EQ(b.Finish(), 0);
    EXPECT_TRUE(SameBytes(ReadFile(a.image), bytes)) << folder;
    EXPECT_TRUE(SameBytes(ReadFile(b.image), bytes)) << folder;
  }
  EXPECT_EQ(Lines(ReadFile(dir_ + "/elsewhere/line1/station.jsonl")).size(), 4u);
}

TEST_F(CliE2e, AStationProfileIsRefusedByLineAndLockedBeforeAnyPortOpens) {
  Pty bare;
  ASSERT_FALSE(bare.path.empty());
  bare.CloseSlave();
  Map(5, bare.path);
  OpenWatch watch(bare.path);
  StationFolder("good", "ports = [\"COM5\"]\nlog = \"station.jsonl\"\ncount = 2\n", 300);
  StationFolder("unknown", "ports = [\"COM5\"]\n\nspeed = 115200\n");
  StationFolder("typed", "ports = \"COM5\"\n");
  StationFolder("sized", "ports = [\"COM5\"]\nbase = 0x100\nfill = 1000\n");
  StationFolder("misnamed", "\nports = [\"COM5\", \"COM99\"]\n");
  fs::create_directories(dir_ + "/unhashed");
  WriteFile(dir_ + "/unhashed/station.toml", "ports = [\"COM5\"]\nimage = \"fw.bin\"\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"unknown/station.toml"}, "unknown/station.toml:3: unknown key 'speed'"},
      {{"typed/station.toml"}, "typed/station.toml:1: ports takes a list of strings"},
      {{"sized/station.toml"}, "sized/station.toml:3: fill takes a byte, 0 to 255"},
      {{"misnamed/station.toml"}, "misnamed/station.toml:2: 'COM99' is no port"},
      {{"unhashed/station.toml"},
       "unhashed/station.toml:2: image has no expect_sha256 beside it"},
      {{"--log", "other.jsonl", "good/station.toml"}, "--log cannot be given with a profile"},
      {{"good/station.toml", "--count", "1"}, "--count cannot be given with a profile"},
      {{"--check", "good/station.toml", "--serial-at", "0"},
       "--serial-at cannot be given with a profile"},
  };
  for (const auto& [words, said] : cases) {
    std::vector<std::string> args = {"station", "--json"};
    args.insert(args.end(), words.begin(), words.end());
    const Result r = Run(args);
    EXPECT_EQ(r.code, 64) << said;
    EXPECT_EQ(r.err.find("update-firmware-cli: " + said), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const Result check = Run({"station", "--check", "good/station.toml"});
  EXPECT_EQ(check.code, 0) << check.err;
  // The paths joined to the profile's folder, as the system writes them.
  const std::string folder = UnderWine() ? "good\\" : "good/";
  EXPECT_NE(check.out.find("  ports:    COM5\n  image:    " + folder + "fw.bin, 300 bytes\n  sha256:   " +
                           Sha256Sum(dir_ + "/good/fw.bin") + "\n  log:      " + folder +
                           "station.jsonl\n"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("  count:    2\n"), std::string::npos) << check.out;
  EXPECT_EQ(watch.Count(), 0u) << "a port was opened";
  EXPECT_FALSE(fs::exists(dir_ + "/good/station.jsonl")) << "--check writes nothing";
}
