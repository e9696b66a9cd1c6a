// Serial numbers end to end: every board gets its own value in its image,
// no value is ever given twice, and the records name what each board got.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include <nlohmann/json.hpp>

#include "tests/support/cli_harness.h"

namespace {

class CliSerial : public CliE2e {
 protected:
  // `n` boards, numbered from `first` (their files' names), named by their
  // terminals on the command line.
  std::vector<Sim> Boards(int n, int first, const std::vector<std::string>& args = {}) {
    std::vector<Sim> sims(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> a = {"--sessions", "0"};
      a.insert(a.end(), args.begin(), args.end());
      sims[static_cast<size_t>(i)].Start(first + i, dir_, a);
    }
    return sims;
  }
  static std::vector<std::string> Command(std::vector<std::string> head,
                                          const std::vector<Sim>& sims) {
    for (const Sim& s : sims) head.push_back(s.pty);
    head.push_back("fw.bin");
    return head;
  }
  std::vector<nlohmann::json> Records(const std::string& log) {
    std::vector<nlohmann::json> records;
    for (const std::string& line : Lines(ReadFile(dir_ + "/" + log))) {
      records.push_back(nlohmann::json::parse(line));
    }
    return records;
  }
  // Each flashed board received the base image with its own value at
  // `offset`, and its record's hash is of what it received.
  void ExpectEachGotItsOwn(const std::vector<Sim>& sims, const std::vector<nlohmann::json>& recs,
                           const std::string& base, size_t offset, std::set<uint32_t>* values) {
    std::map<std::string, const Sim*> by_port;
    for (const Sim& s : sims) by_port[s.pty] = &s;
    for (const nlohmann::json& r : recs) {
      if (r["code"] != 0) continue;
      const Sim& sim = *by_port.at(r["port"].get<std::string>());
      const uint32_t value = static_cast<uint32_t>(std::stoul(r["serial"].get<std::string>()));
      EXPECT_TRUE(values->insert(value).second) << "given twice: " << value;
      std::string want = base;
      for (int i = 0; i < 4; ++i) want[offset + i] = static_cast<char>(value >> (8 * i));
      EXPECT_TRUE(SameBytes(ReadFile(sim.image), want)) << r.dump();
      EXPECT_EQ(r["sha256"], Sha256Sum(sim.image)) << r.dump();
      EXPECT_EQ(r["image_sha256"], Sha256Sum(dir_ + "/fw.bin"));
    }
  }
};

TEST_F(CliSerial, ACounterNeverGivesAValueTwice) {
  if (UnderWine()) GTEST_SKIP() << "the boards are named by their terminals";
  const std::string base = Firmware("fw.bin", 600, 25);
  const std::vector<std::string> counter = {"flash", "-q", "--serial-at", "0x100",
                                            "--serial-state", "st", "--serial-first", "1000"};
  std::set<uint32_t> values;

  // 32 boards of one run.
  const std::vector<Sim> one = Boards(32, 1);
  std::vector<std::string> args = counter;
  args.insert(args.end(), {"--log", "one.jsonl"});
  ASSERT_EQ(Run(Command(args, one)).code, 0);
  ExpectEachGotItsOwn(one, Records("one.jsonl"), base, 0x100, &values);

  // Three runs of 8 boards started at once, on the one state file.
  std::vector<std::vector<Sim>> sets;
  for (int run = 0; run < 3; ++run) sets.push_back(Boards(8, 40 + 8 * run));
  Process runs[3];
  for (int run = 0; run < 3; ++run) {
    args = counter;
    args.insert(args.end(), {"--log", "run" + std::to_string(run) + ".jsonl"});
    StartCli(runs[run], Command(args, sets[run]));
  }
  for (int run = 0; run < 3; ++run) {
    EXPECT_EQ(runs[run].Finish(120000), 0) << runs[run].err_text;
    ExpectEachGotItsOwn(sets[run], Records("run" + std::to_string(run) + ".jsonl"), base,
                        0x100, &values);
  }
  ASSERT_EQ(values.size(), 56u);
  EXPECT_EQ(*values.begin(), 1000u);
  EXPECT_EQ(*values.rbegin(), 1055u);  // none skipped

  // A run killed mid-batch has burnt what it took; the next run goes on
  // after it.
  const std::vector<Sim> stuck = Boards(2, 70, {"--stop-reading-after", "300"});
  Process killed;
  StartCli(killed, Command(counter, stuck));
  ASSERT_TRUE(killed.PumpUntil(
      [&] { return stuck[0].HasReceived(300) && stuck[1].HasReceived(300); }, 30000));
  kill(-killed.pid(), SIGKILL);
  killed.Finish();
  const std::vector<Sim> after = Boards(2, 72);
  args = counter;
  args.insert(args.end(), {"--log", "after.jsonl"});
  ASSERT_EQ(Run(Command(args, after)).code, 0);
  ExpectEachGotItsOwn(after, Records("after.jsonl"), base, 0x100, &values);
  EXPECT_EQ(*values.rbegin(), 1059u);  // 1056 and 1057 went to the killed run
}

TEST_F(CliSerial, AListGivesEachValueOnceAndRefusesPastItsEnd) {
  if (UnderWine()) GTEST_SKIP() << "the boards are named by their terminals";
  const std::string base = Firmware("fw.bin", 400, 26);
  std::string list;
  for (int v = 0; v < 10; ++v) list += std::to_string(7000 + v) + (v % 2 ? "\r\n" : "\n");
  WriteFile(dir_ + "/serials.txt", list);
  const std::vector<Sim> sims = Boards(12, 1);
  const Result r = Run(Command({"flash", "-q", "--serial-at", "8", "--serial-list",
                                "serials.txt", "--log", "l.jsonl"},
                               sims));
  EXPECT_EQ(r.code, 1) << r.err;
  std::set<uint32_t> values;
  const std::vector<nlohmann::json> records = Records("l.jsonl");
  ExpectEachGotItsOwn(sims, records, base, 8, &values);
  EXPECT_EQ(values.size(), 10u);
  size_t refused = 0;
  for (const nlohmann::json& rec : records) {
    if (rec["code"] == 0) continue;
    ++refused;
    EXPECT_NE(rec["detail"].get<std::string>().find("no value left"), std::string::npos);
    EXPECT_EQ(rec["bytes"], 0);
  }
  EXPECT_EQ(refused, 2u);
  size_t untouched = 0;
  for (const Sim& s : sims) untouched += Lines(ReadFile(s.log)).empty() ? 1 : 0;
  EXPECT_EQ(untouched, 2u);  // nothing was sent to the refused boards
  EXPECT_EQ(Lines(ReadFile(dir_ + "/serials.txt.used")).size(), 10u);

  // Refused before a port is opened: a field outside the image, a value
  // that does not fit its format.
  const std::vector<Sim> boards = Boards(1, 20);
  const Sim& board = boards[0];
  const Result outside = Run({"flash", "--serial-at", "398", "--serial-list", "serials.txt",
                              board.pty, "fw.bin"});
  EXPECT_EQ(outside.code, 64);
  EXPECT_NE(outside.err.find("offset 398"), std::string::npos) << outside.err;
  EXPECT_NE(outside.err.find("0 to 399"), std::string::npos) << outside.err;
  const Result misfit = Run({"flash", "--serial-at", "8", "--serial-format", "ascii:3",
                             "--serial-list", "serials.txt", board.pty, "fw.bin"});
  EXPECT_EQ(misfit.code, 64);
  EXPECT_NE(misfit.err.find("line 1"), std::string::npos) << misfit.err;
  EXPECT_TRUE(Lines(ReadFile(board.log)).empty());

  // One serialized image, to look at.
  EXPECT_EQ(Run({"convert", "--format", "bin", "--serial-at", "2", "--serial-format", "hex:6",
                 "--serial-value", "0xbeef", "fw.bin", "one.bin"})
                .code,
            0);
  std::string want = base;
  want.replace(2, 6, "00BEEF");
  EXPECT_TRUE(SameBytes(ReadFile(dir_ + "/one.bin"), want));
}

}  // namespace
