// The reset sequence: which texts are one, and how one is played on the
// scripted port and clock.
#include <gtest/gtest.h>

#include "protocol/reset_sequence.h"
#include "tests/protocol/scripted_line.h"

namespace {

using Kind = ResetStep::Kind;
using Log = std::vector<std::string>;

TEST(ResetSequence, StepsComeInOrderAndAFaultNamesItsStepAndReason) {
  const ResetSequence good = ParseResetSequence("dtr=0,rts=1,wait=100,dtr=1,wait=60000");
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.steps, (std::vector<ResetStep>{{Kind::Dtr, 0}, {Kind::Rts, 1}, {Kind::Wait, 100},
                                                {Kind::Dtr, 1}, {Kind::Wait, 60000}}));
  EXPECT_EQ(ResetStepText(good.steps[2]), "wait=100");
  const std::pair<const char*, const char*> faults[] = {
      {"", "the reset sequence is empty"},
      {"dtr=0,", "step 2 \"\": empty"},
      {"dtr", "step 1 \"dtr\": not NAME=VALUE"},
      {"dtr=0,DTR=1", "step 2 \"DTR=1\": unknown name \"DTR\""},
      {"rts=2", "step 1 \"rts=2\": rts takes 0 or 1"},
      {"wait=60001", "wait takes milliseconds, 0 to 60000"},
      {"wait=18446744073709551617", "wait takes"},  // 2^64 + 1 must not wrap to 1
  };
  for (const auto& [text, error] : faults) {
    const ResetSequence s = ParseResetSequence(text);
    EXPECT_TRUE(s.steps.empty()) << text;
    EXPECT_NE(s.error.find(error), std::string::npos) << text << " gave: " << s.error;
  }
}

TEST(ResetSequence, PlaysLinesAndWaitsInOrderAndStopsAtARefusedLine) {
  ScriptedLine line;
  g_line = &line;
  size_t failed = 99;
  const ResetSequence reset = ParseResetSequence("dtr=0,rts=1,wait=100,rts=0,wait=50");
  EXPECT_NE(PlayResetSequence(ScriptedLine::kPort, reset.steps, &failed), 0);
  EXPECT_EQ(line.log, (Log{"dtr 0", "rts 1", "delay 100", "rts 0", "delay 50"}));
  line = ScriptedLine{};
  line.modem_lines = false;
  EXPECT_EQ(PlayResetSequence(ScriptedLine::kPort, ParseResetSequence("wait=10,rts=1,dtr=0").steps,
                              &failed),
            0);
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(line.log, (Log{"delay 10", "rts 1"}));
  g_line = nullptr;
}

}  // namespace
