// The --reset text, read into steps. A sequence it takes must say itself
// again the same way, within the rules the parser states.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/reset_sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ResetSequence sequence = ParseResetSequence(text);
  if (!sequence.error.empty()) {
    if (!sequence.steps.empty()) __builtin_trap();
    return 0;
  }
  if (sequence.steps.empty()) __builtin_trap();
  std::string again;
  for (const ResetStep& step : sequence.steps) {
    if (step.kind == ResetStep::Kind::Wait ? step.value > kMaxResetWaitMs : step.value > 1) {
      __builtin_trap();
    }
    again += (again.empty() ? "" : ",") + ResetStepText(step);
  }
  const ResetSequence reread = ParseResetSequence(again);
  if (!reread.error.empty() || !(reread.steps == sequence.steps)) __builtin_trap();
  return 0;
}
