// The upload conversation against a scripted device, port and clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "protocol/protocol.h"
#include "tests/protocol/scripted_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A bootloader: answers "BL10" with `start_reply` and, once the size and all
// the words it announces have come in, answers with `final_reply`. An empty
// reply is no answer at all. The first start commands get `first_replies`
// instead, one each.
struct Device {
  std::string start_reply = "OK";
  uint64_t start_after_ms = 20;
  std::string final_reply = "OK";
  uint64_t final_after_ms = 20;
  std::vector<std::string> first_replies;
};

void Attach(ScriptedLine& line, const Device& d) {
  line.on_write = [d](ScriptedLine& l) {
    size_t at = 0;  // past the start commands at the front of the wire: the size
    while (l.wire.size() >= at + 4 && std::equal(&l.wire[at], &l.wire[at + 3] + 1, "BL10")) at += 4;
    if (at > 0 && l.wire.size() == at) {
      const size_t n = at / 4;
      const std::string& reply =
          n <= d.first_replies.size() ? d.first_replies[n - 1] : d.start_reply;
      if (!reply.empty()) l.Arrive(reply, d.start_after_ms);
      return;
    }
    if (at == 0 || l.wire.size() < at + 4) return;
    const uint8_t* w = &l.wire[at];
    const int32_t size =
        static_cast<int32_t>(w[0] | w[1] << 8 | w[2] << 16 | static_cast<uint32_t>(w[3]) << 24);
    const size_t expected = at + 4 + 2 * static_cast<size_t>(std::max(size / 2, 0));
    if (l.wire.size() == expected && !d.final_reply.empty()) l.Arrive(d.final_reply, d.final_after_ms);
  };
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes SizeField(int32_t size) {
  const auto u = static_cast<uint32_t>(size);
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Image(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(0xFF - i * 13);
  return v;
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    g_line = &line_;
    Attach(line_, device_);
  }
  void TearDown() override {
    EXPECT_FALSE(line_.wrong_slot) << "the engine used a slot it was not given";
    EXPECT_FALSE(line_.read_starved) << "a read would have blocked forever";
    g_line = nullptr;
  }

  // A fresh line and run state, for tests that loop over cases.
  void Reset(const Device& d = Device{}) {
    line_ = ScriptedLine{};
    device_ = d;
    Attach(line_, device_);
    size_asked_ = 0;
    progress_.clear();
  }

  // Runs one upload of `file`, telling the engine its size is `size`; with
  // `options` through the call that takes them, keeping its report.
  UploadOutcome Run(const Bytes& file, int32_t size, std::optional<UploadOptions> options = {}) {
    line_.file = file;
    const SizeSource size_source = [&] {
      ++size_asked_;
      line_.log.push_back("size");
      return size;
    };
    const ProgressHook progress = [&](int32_t i, int32_t n) {
      progress_.emplace_back(i, n);
      line_.log.push_back("progress");
      EXPECT_EQ(line_.drain_queries.back(), 0) << "progress must come before the drain";
    };
    if (!options) {
      return RunUpload(ScriptedLine::kPort, ScriptedLine::kFile, send_.data(), receive_.data(),
                       size_source, progress);
    }
    report_ = RunUpload(ScriptedLine::kPort, ScriptedLine::kFile, send_.data(), receive_.data(),
                        size_source, progress, *options);
    return report_.outcome;
  }
  UploadOutcome Run(const Bytes& file) { return Run(file, static_cast<int32_t>(file.size())); }

  size_t PollCount() const { return std::count(line_.delays.begin(), line_.delays.end(), 10u); }

  ScriptedLine line_;
  Device device_;
  // Exactly the size the caller promises, so a sanitizer build catches any
  // read or write past it.
  std::vector<uint8_t> send_ = std::vector<uint8_t>(kTransferBufferSize);
  std::vector<uint8_t> receive_ = std::vector<uint8_t>(kTransferBufferSize);
  int size_asked_ = 0;
  UploadReport report_;
  std::vector<std::pair<int32_t, int32_t>> progress_;
};

}  // namespace

TEST_F(Upload, FourByteImageGoesOutAsStartSizeAndTwoWords) {
  line_.busy_queries = 3;  // the driver takes a while to send each write
  EXPECT_EQ(Run({0xAA, 0xBB, 0xCC, 0xDD}), UploadOutcome::Success);
  EXPECT_EQ(line_.wire, Bytes({'B', 'L', '1', '0', 0x04, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ(progress_, (std::vector<std::pair<int32_t, int32_t>>{{1, 2}, {2, 2}}));
  EXPECT_EQ(size_asked_, 1);
  // Each drain queried until the queue was empty: three busy answers, one 0,
  // with a 1 ms sleep after each busy answer.
  EXPECT_EQ(line_.drain_queries, (std::vector<int32_t>{4, 4, 4, 4}));
  EXPECT_EQ(line_.log, (std::vector<std::string>{
                           "delay 500", "in 0",                             // settle, flush
                           "write 4", "delay 1", "delay 1", "delay 1",      // BL10, drain
                           "delay 10", "in 0", "delay 10", "in 2", "read 2",  // acknowledgement
                           "size", "write 4", "delay 1", "delay 1", "delay 1",  // size, drain
                           "delay 100",                                     // pause
                           "write 2", "progress", "delay 1", "delay 1", "delay 1",  // word 1
                           "write 2", "progress", "delay 1", "delay 1", "delay 1",  // word 2
                           "delay 10", "in 0", "delay 10", "in 2", "read 2",  // final
                       }));
}

TEST_F(Upload, SendsSizeThenWholeWordsOnlyForEveryFileSize) {
  for (size_t size : {0u, 1u, 2u, 3u, 101u, 4097u}) {
    SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
    Reset();
    const Bytes file = Image(size);
    const size_t words = size / 2;
    EXPECT_EQ(Run(file), UploadOutcome::Success);
    EXPECT_EQ(line_.wire, Concat({Text("BL10"), SizeField(static_cast<int32_t>(size)),
                                  Bytes(file.begin(), file.begin() + 2 * words)}));
    EXPECT_EQ(line_.file_reads, static_cast<int32_t>(2 * words)) << "the odd last byte is never read";
    ASSERT_EQ(progress_.size(), words);
    if (words) {
      EXPECT_EQ(progress_.back(), std::make_pair(int32_t(words), int32_t(words)));
    }
  }
}

TEST_F(Upload, NegativeSizeGoesOutLittleEndianAndSendsNoWords) {
  // FE FD FC FC: four different bytes, so the byte order shows.
  const int32_t size = -0x01020304;
  EXPECT_EQ(Run(Image(8), size), UploadOutcome::Success);
  EXPECT_EQ(line_.wire, Concat({Text("BL10"), Bytes{0xFC, 0xFC, 0xFD, 0xFE}}));
  EXPECT_EQ(line_.file_reads, 0);
  EXPECT_TRUE(progress_.empty());
}

TEST_F(Upload, StaleBytesArrivingDuringTheSettleAreFlushedInBufferSizedPieces) {
  line_.Arrive(Bytes(40, 0x55), 200);
  EXPECT_EQ(Run({1, 2}), UploadOutcome::Success);
  const std::vector<std::string> start(line_.log.begin(), line_.log.begin() + 7);
  EXPECT_EQ(start, (std::vector<std::string>{"delay 500", "in 40", "in 40", "read 17", "read 17",
                                             "read 6", "write 4"}));
}

TEST_F(Upload, DelaysAre500ThenTenMsPollsThen100ThenPolls) {
  EXPECT_EQ(Run(Image(6)), UploadOutcome::Success);
  EXPECT_EQ(line_.delays, (std::vector<uint32_t>{500, 10, 10, 100, 10, 10}));
}

TEST_F(Upload, AReplyIsAcceptedUpToPoll500AndNotAtPoll501) {
  struct Case {
    uint64_t start_after, final_after;
    UploadOutcome expected;
  };
  // Without drain time the wait starts at the write, so a reply d ms after
  // it becomes visible at poll d / 10.
  for (const Case& c : {Case{5000, 20, UploadOutcome::Success},
                        Case{5001, 20, UploadOutcome::NoReplyToStart},
                        Case{20, 5000, UploadOutcome::Success},
                        Case{20, 5001, UploadOutcome::NoFinalReply}}) {
    SCOPED_TRACE("start after " + std::to_string(c.start_after) + " ms, final after " +
                 std::to_string(c.final_after) + " ms");
    Device d;
    d.start_after_ms = c.start_after;
    d.final_after_ms = c.final_after;
    Reset(d);
    EXPECT_EQ(Run({7, 8}), c.expected);
    if (c.expected == UploadOutcome::NoReplyToStart) {
      EXPECT_EQ(PollCount(), 501u);
    } else if (c.expected == UploadOutcome::NoFinalReply) {
      EXPECT_EQ(PollCount(), 2u + 501u);
    }
  }
}

TEST_F(Upload, StartReplyFaultsStopBeforeTheSizeIsAsked) {
  struct Case {
    const char* reply;
    UploadOutcome expected;
  };
  for (const Case& c : {Case{"", UploadOutcome::NoReplyToStart},
                        Case{"O", UploadOutcome::NoReplyToStart},
                        Case{"OK\r\n", UploadOutcome::NoReplyToStart},
                        Case{"ok", UploadOutcome::WrongReplyToStart},
                        Case{"KO", UploadOutcome::WrongReplyToStart},
                        Case{"OL", UploadOutcome::WrongReplyToStart}}) {
    SCOPED_TRACE(std::string("start reply \"") + c.reply + "\"");
    Device d;
    d.start_reply = c.reply;
    Reset(d);
    EXPECT_EQ(Run(Image(4)), c.expected);
    EXPECT_EQ(size_asked_, 0);
    EXPECT_EQ(line_.wire, Text("BL10"));
  }
}

TEST_F(Upload, FinalReplyFaults) {
  struct Case {
    std::string reply;
    UploadOutcome expected;
  };
  for (const Case& c : {Case{"", UploadOutcome::NoFinalReply},
                        Case{"OK\n", UploadOutcome::NoFinalReply},
                        Case{"Ok", UploadOutcome::WrongFinalReply},
                        Case{std::string("\0K", 2), UploadOutcome::WrongFinalReply},
                        Case{"OK", UploadOutcome::Success}}) {
    SCOPED_TRACE("final reply of " + std::to_string(c.reply.size()) + " bytes: " + c.reply);
    Device d;
    d.final_reply = c.reply;
    Reset(d);
    EXPECT_EQ(Run(Image(4)), c.expected);
    EXPECT_EQ(size_asked_, 1);
    EXPECT_EQ(line_.wire.size(), 12u);
  }
}

TEST_F(Upload, AnOutputQueueThatNeverEmptiesHoldsEachDrainOnlyForTheWriteTimeout) {
  for (int32_t stuck : {5, -1}) {
    SCOPED_TRACE("output count stuck at " + std::to_string(stuck));
    Reset();
    line_.stuck_output = stuck;
    EXPECT_EQ(Run({1, 2, 3, 4}), UploadOutcome::Success);
    // The drain's own 1 ms sleeps are all that moves the clock: it gives up
    // at the first check after more than 100 ms per byte plus 10 ms have
    // passed, that is after (limit + 1) sleeps, each followed by a look at
    // the count, plus the look that started the clock.
    ASSERT_EQ(line_.drain_queries.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      const int32_t bytes = i < 2 ? 4 : 2;
      EXPECT_EQ(line_.drain_queries[i], 100 * bytes + 10 + 2) << "drain " << i;
    }
    const auto sleeps = std::count(line_.delays.begin(), line_.delays.end(), 1u);
    EXPECT_EQ(sleeps, (410 + 1) * 2 + (210 + 1) * 2);
  }
}

TEST_F(Upload, TheDrainSleepsBetweenLooksAtTheCountAndStillEndsAtTheTimeout) {
  // Each look at the count costs 1 ms of its own, as a slow status query
  // would: the bound is still the port's write time-out, measured on the
  // clock, whatever the looks and sleeps take.
  line_.stuck_output = 7;
  line_.output_query_us = 1000;
  EXPECT_EQ(Run({1, 2}), UploadOutcome::Success);
  ASSERT_EQ(line_.drain_queries.size(), 3u);
  // 2 ms per round (a sleep and a look): the drain of a 4-byte write ends at
  // the check that first sees more than 410 ms gone, after 206 rounds.
  EXPECT_EQ(line_.drain_queries[0], 1 + 206);
  EXPECT_EQ(line_.drain_queries[2], 1 + 106);
}

TEST_F(Upload, ADrainThatFindsTheQueueEmptyDoesNotSleep) {
  EXPECT_EQ(Run(Image(8)), UploadOutcome::Success);
  EXPECT_EQ(std::count(line_.delays.begin(), line_.delays.end(), 1u), 0);
  EXPECT_EQ(line_.drain_queries, (std::vector<int32_t>(6, 1)));
}

TEST_F(Upload, AShortWriteEndsTheRunAtOnce) {
  struct Case {
    size_t write;  // 0: "BL10", 1: the size, 2 and on: the words
    int32_t takes;
    UploadOutcome expected;
  };
  for (const Case& c : {Case{0, 3, UploadOutcome::NoReplyToStart},
                        Case{0, 0, UploadOutcome::NoReplyToStart},
                        Case{1, 2, UploadOutcome::NoFinalReply},
                        Case{3, 1, UploadOutcome::NoFinalReply}}) {
    SCOPED_TRACE("write " + std::to_string(c.write) + " takes " + std::to_string(c.takes));
    Reset();
    line_.short_writes[c.write] = c.takes;
    EXPECT_EQ(Run(Image(8), 8, UploadOptions{}), c.expected);
    // The report says why, and counts what the port took of the words only.
    EXPECT_EQ(report_.cut, UploadCut::DeviceStopped);
    EXPECT_EQ(report_.image_bytes, c.write < 2 ? 0 : 2 * int64_t(c.write - 2) + c.takes);
    // Nothing after it: no drain, no progress for it, no reply wait.
    EXPECT_EQ(line_.log.back(), c.write < 2 ? "write 4" : "write 2");
    EXPECT_EQ(PollCount(), c.write == 0 ? 0u : 2u);
    EXPECT_EQ(progress_.size(), c.write < 2 ? 0u : c.write - 2);
  }
}

TEST_F(Upload, AFileShorterThanItsAnnouncedSizeEndsTheRunWithoutPadding) {
  EXPECT_EQ(Run({1, 2, 3}, 8, UploadOptions{}), UploadOutcome::NoFinalReply);
  EXPECT_EQ(line_.wire, Concat({Text("BL10"), SizeField(8), Bytes{1, 2}}));
  EXPECT_EQ(report_.cut, UploadCut::FileShort);
  EXPECT_EQ(report_.image_bytes, 2);
  EXPECT_EQ(progress_.size(), 1u);
  EXPECT_EQ(PollCount(), 2u) << "no final reply wait";
}

// --- Start attempts ---------------------------------------------------------

TEST_F(Upload, AFirstTrySucceedsWithTheSameCallsWhateverTheAttempts) {
  line_.busy_queries = 2;
  ASSERT_EQ(Run(Image(6)), UploadOutcome::Success);
  const ScriptedLine one_try = line_;
  Reset();
  line_.busy_queries = 2;
  EXPECT_EQ(Run(Image(6), 6, UploadOptions{3}), UploadOutcome::Success);
  EXPECT_EQ(report_.attempts, 1);
  EXPECT_EQ(line_.log, one_try.log);
  EXPECT_EQ(line_.wire, one_try.wire);
}

TEST_F(Upload, TheStartCommandGoesAgainAfterNoReplyOrAWrongOneUpToTheAttempts) {
  struct Case {
    std::vector<std::string> first_replies;
    int32_t attempts;
    UploadOutcome expected;
    int32_t made;
  };
  // "OK\r\n" is no reply: the input count never reads exactly 2.
  for (const Case& c : {Case{{""}, 2, UploadOutcome::Success, 2},
                        Case{{"OK\r\n", "KO"}, 3, UploadOutcome::Success, 3},
                        Case{{"", "KO"}, 2, UploadOutcome::WrongReplyToStart, 2},
                        Case{{"KO"}, 0, UploadOutcome::WrongReplyToStart, 1}}) {
    SCOPED_TRACE(std::to_string(c.attempts) + " attempts, first reply " + c.first_replies[0]);
    Device d;
    d.first_replies = c.first_replies;
    Reset(d);
    EXPECT_EQ(Run(Image(4), 4, UploadOptions{c.attempts}), c.expected);
    EXPECT_EQ(report_.attempts, c.made);
    Bytes sent;
    for (int32_t i = 0; i < c.made; ++i) sent = Concat({sent, Text("BL10")});
    if (c.expected == UploadOutcome::Success) sent = Concat({sent, SizeField(4), Image(4)});
    EXPECT_EQ(line_.wire, sent);
  }
}

TEST_F(Upload, WhatArrivedAfterAFailedStartIsFlushedBeforeTheNextAndAShortOneEndsTheRun) {
  Device d;
  d.first_replies = {"OK\r\n"};
  Reset(d);
  ASSERT_EQ(Run(Image(2), 2, UploadOptions{2}), UploadOutcome::Success);
  // The last poll of the first wait, the flush, the second start command.
  const auto second = std::find(line_.log.begin() + 3, line_.log.end(), "write 4");
  ASSERT_NE(second, line_.log.end());
  EXPECT_EQ(std::vector<std::string>(second - 4, second + 1),
            (std::vector<std::string>{"in 4", "in 4", "in 4", "read 4", "write 4"}));

  Reset();
  line_.short_writes[0] = 2;
  EXPECT_EQ(Run(Image(4), 4, UploadOptions{3}), UploadOutcome::NoReplyToStart);
  EXPECT_EQ(report_.attempts, 1);
  EXPECT_EQ(line_.log.back(), "write 4");
}

TEST_F(Upload, ALateReplyBeforeARetryAnswersTheStartItFollows) {
  // Replies come 150 ms after the reply window. A late "OK" is the first
  // start's: the device now waits for the size, which goes out at once.
  // A late wrong reply still counts as one when the retry goes unanswered.
  struct Case {
    std::string reply;
    UploadOutcome expected;
    int32_t made;
  };
  for (const Case& c : {Case{"OK", UploadOutcome::Success, 1},
                        Case{"KO", UploadOutcome::WrongReplyToStart, 3}}) {
    SCOPED_TRACE("late reply " + c.reply);
    Device d;
    d.start_reply = c.reply;
    d.start_after_ms = 5150;
    Reset(d);
    UploadOptions options{3};
    options.late_reply_ms = 500;
    EXPECT_EQ(Run(Image(4), 4, options), c.expected);
    EXPECT_EQ(report_.attempts, c.made);
    if (c.expected == UploadOutcome::Success) {
      EXPECT_EQ(line_.wire, Concat({Text("BL10"), SizeField(4), Image(4)}));
    } else {
      EXPECT_EQ(line_.wire, Concat({Text("BL10"), Text("BL10"), Text("BL10")}));
    }
  }
}

TEST_F(Upload, AnOutputCountThatStopsFallingEndsTheRunWithTheStallWatch) {
  // From the tenth write (the eighth word) on, the count never falls.
  line_.stuck_output = 6;
  line_.stuck_from_write = 9;
  line_.busy_queries = 2;
  UploadOptions options;
  options.stall_ms = 1500;
  uint64_t stuck_at_us = 0;
  line_.on_write = [&, device = line_.on_write](ScriptedLine& l) {
    device(l);
    if (l.writes == 10) stuck_at_us = l.now_us;
  };
  EXPECT_EQ(Run(Image(400), 400, options), UploadOutcome::NoFinalReply);
  EXPECT_EQ(report_.cut, UploadCut::DeviceStopped);
  ASSERT_GT(stuck_at_us, 0u);
  const uint64_t stalled_ms = (line_.now_us - stuck_at_us) / 1000;
  EXPECT_GE(stalled_ms, 1500u);
  EXPECT_LE(stalled_ms, 2000u);
  EXPECT_LT(report_.image_bytes, 400);
  EXPECT_EQ(PollCount(), 2u) << "no final reply wait";
}

// --- Writing ahead ----------------------------------------------------------

TEST_F(Upload, WritingAheadSendsTheSameBytesWithAFractionOfTheWakeUpsAndTheLineNeverIdle) {
  const Bytes image = Image(4001);
  UploadOptions ahead;
  ahead.write_ahead = 64;
  ahead.stall_ms = 1500;
  std::vector<Bytes> wires;
  std::vector<size_t> sleeps;
  for (const UploadOptions& options : {UploadOptions{}, ahead}) {
    SCOPED_TRACE("write_ahead " + std::to_string(options.write_ahead));
    Reset();
    line_.byte_us = 1042;  // 9600 baud, 10 bits a byte
    EXPECT_EQ(Run(image, 4001, options), UploadOutcome::Success);
    ASSERT_EQ(progress_.size(), 2000u);
    EXPECT_EQ(progress_.back(), std::make_pair(2000, 2000));
    EXPECT_EQ(report_.image_bytes, 4000);
    wires.push_back(line_.wire);
    sleeps.push_back(line_.delays.size());
    if (options.write_ahead == 0) continue;
    // The driver never holds more than the mark, a write is at most what
    // the send buffer holds, and the line has the next bytes before it
    // runs dry.
    EXPECT_LE(line_.max_queued, 64);
    for (const std::string& call : line_.log) {
      if (call.rfind("write ", 0) == 0) {
        EXPECT_LE(std::stoi(call.substr(6)), 16) << call;
      }
    }
    EXPECT_EQ(line_.idle_us, 0u);
  }
  EXPECT_EQ(wires[1], wires[0]);
  EXPECT_LT(sleeps[1] * 20, sleeps[0]) << sleeps[1] << " wake-ups against " << sleeps[0];
}

TEST_F(Upload, WritingAheadStillSendsOnlyWholeWordsAndCountsOnlyWhatThePortTook) {
  UploadOptions ahead;
  ahead.write_ahead = 64;
  // The file ends inside the sixth word: the five before it go, in one write.
  EXPECT_EQ(Run(Image(11), 40, ahead), UploadOutcome::NoFinalReply);
  const Bytes image = Image(11);
  EXPECT_EQ(line_.wire, Concat({Text("BL10"), SizeField(40), Bytes(image.begin(), image.begin() + 10)}));
  EXPECT_EQ(report_.cut, UploadCut::FileShort);
  EXPECT_EQ(report_.image_bytes, 10);
  EXPECT_EQ(progress_.size(), 5u);
  // A write of 16 bytes of which the port takes 5: 5 are told, and no word
  // of that write counts as sent.
  Reset();
  line_.short_writes[2] = 5;
  EXPECT_EQ(Run(Image(64), 64, ahead), UploadOutcome::NoFinalReply);
  EXPECT_EQ(report_.image_bytes, 5);
  EXPECT_TRUE(progress_.empty());
}
