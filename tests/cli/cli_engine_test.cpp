// The command line's engines run in this process against the simulated
// device: one board, a batch (whose workers are this very program started
// again in its worker mode), and the station's rounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "cli/batch.h"
#include "cli/board.h"
#include "cli/station.h"
#include "fileio/fileio.h"
#include "serial/serial.h"
#include "tests/fileio/temp_dir.h"
#include "tests/support/cli_harness.h"
#include "tests/support/recording_reporter.h"

namespace {

class Engines : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseAllPorts();
    CloseAllFiles();
  }
  Sim Device(int n, const std::vector<std::string>& args = {}) {
    Sim sim;
    sim.Start(n, dir_, args);
    return sim;
  }
  // An image made in memory, never in a file: what a board gets can only
  // have come from here.
  static Image InMemory(const std::string& bytes) {
    Image image;
    image.path = "/nonexistent/in-memory.bin";
    image.bytes.assign(bytes.begin(), bytes.end());
    SealImage(&image);
    return image;
  }
  static BoardJob Job(const std::string& port, const Image& image) {
    BoardJob job;
    job.port = port;
    job.image = &image;
    return job;
  }
  TempDir scratch_;
  const std::string dir_ = scratch_.Root();
};

TEST_F(Engines, OneBoardTellsWhatThePortTookAndWhyItStopped) {
  const std::string bytes = RandomBytes(3001, 71);
  const Image image = InMemory(bytes);
  EXPECT_TRUE(image.facts.odd_length);
  {
    Sim sim = Device(5);
    RecordingReporter r;
    const BoardOutcome o = FlashBoard(Job(sim.pty, image), r, 0);
    EXPECT_EQ(o.code(), 0) << o.detail;
    EXPECT_EQ(o.bytes, 3000);  // the last byte of an odd image is never sent
    EXPECT_EQ(r.calls, std::vector<std::string>{"opened 0"});
    sim.Finish();
    EXPECT_TRUE(SameBytes(ReadFile(sim.image), bytes.substr(0, 3000)));
  }
  // Larger than all a pseudo-terminal buffers (it never paces the host):
  // a smaller image could be taken whole before the device is gone.
  const Image large = InMemory(RandomBytes(400000, 73));
  Sim gone = Device(6, {"--vanish-after", "1000"});
  RecordingReporter r;
  const BoardOutcome o = FlashBoard(Job(gone.pty, large), r, 0);
  EXPECT_EQ(o.code(), 5);
  EXPECT_EQ(o.reason, "vanished");
  EXPECT_GE(o.bytes, 1000);
  EXPECT_LT(o.bytes, 400000);
  EXPECT_NE(o.detail.find(" of 400000 bytes"), std::string::npos) << o.detail;
}

TEST_F(Engines, ABatchSendsEveryBoardTheBytesItWasGiven) {
  const std::string bytes = RandomBytes(2000, 72);
  const Image image = InMemory(bytes);
  Sim a = Device(5);
  Sim b = Device(6);
  Sim silent = Device(7, {"--silent"});
  RecordingReporter r;
  BatchJob job;
  job.boards = {DescribeName(a.pty), DescribeName(b.pty), DescribeName(silent.pty)};
  job.traces.assign(3, std::string());
  job.image = &image;
  EXPECT_EQ(FlashBatch(job, r), (std::vector<int>{0, 0, 3}));
  EXPECT_EQ(r.calls.front(), "started 3");
  EXPECT_EQ(r.calls.back(), "summary 3");
  EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), "opened 1"), 1);
  EXPECT_EQ(r.facts.sha256, image.facts.sha256);
  EXPECT_EQ(r.outcomes[0].bytes, 2000);
  EXPECT_EQ(r.last_index[1], 1000);
  for (Sim* sim : {&a, &b}) {
    sim->Finish();
    EXPECT_TRUE(SameBytes(ReadFile(sim->image), bytes)) << sim->pty;
  }
}

TEST_F(Engines, TheStationReadsItsImageOnceAndKeepsATally) {
  const std::string bytes = RandomBytes(1000, 73);
  WriteFile(dir_ + "/fw.bin", bytes);
  Sim a = Device(5);
  Sim b = Device(6);
  StationJob job;
  job.words = ParsePortWords({a.pty, b.pty}, nullptr);
  job.file = dir_ + "/fw.bin";
  job.count = 2;
  RecordingReporter r;
  std::string usage;
  EXPECT_EQ(RunStation(job, r, [&](const std::string& why) { usage = why; }), 0) << usage;
  EXPECT_EQ(r.calls.back(), "station 2 0 0");
  EXPECT_NE(std::find(r.calls.begin(), r.calls.end(), "tally 2 0"), r.calls.end());

  // A wrong hash: refused before any board is touched.
  job.expect_sha256 = std::string(64, '0');
  RecordingReporter refused;
  EXPECT_EQ(RunStation(job, refused, [](const std::string&) {}), 1);
  ASSERT_EQ(refused.calls.size(), 1u);
  EXPECT_EQ(refused.calls[0].rfind("file problem ", 0), 0u) << refused.calls[0];
}

}  // namespace

// The batch's workers are forks of this program that flash their one board.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
