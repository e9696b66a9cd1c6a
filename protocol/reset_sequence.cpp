// The reset sequence: parsed once, portably; played through the serial
// layer's modem-line calls and the delay, which the program links.
#include "protocol/reset_sequence.h"

#include "common/delay.h"
#include "serial/serial.h"

namespace {

// Decimal digits only, at most `max`; false for anything else.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > max) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

// The step in `item`, or why it is none.
std::string ParseStep(const std::string& item, ResetStep* step) {
  const size_t equals = item.find('=');
  if (equals == std::string::npos) return "not NAME=VALUE (dtr=0|1, rts=0|1 or wait=MS)";
  const std::string name = item.substr(0, equals);
  const std::string value = item.substr(equals + 1);
  if (name == "dtr" || name == "rts") {
    step->kind = name == "dtr" ? ResetStep::Kind::Dtr : ResetStep::Kind::Rts;
    if (!ParseNumber(value, 1, &step->value)) return name + " takes 0 or 1";
    return std::string();
  }
  if (name == "wait") {
    step->kind = ResetStep::Kind::Wait;
    if (!ParseNumber(value, kMaxResetWaitMs, &step->value)) {
      return "wait takes milliseconds, 0 to " + std::to_string(kMaxResetWaitMs);
    }
    return std::string();
  }
  return "unknown name \"" + name + "\": the names are dtr, rts and wait";
}

}  // namespace

ResetSequence ParseResetSequence(const std::string& text) {
  ResetSequence sequence;
  if (text.empty()) {
    sequence.error = "the reset sequence is empty";
    return sequence;
  }
  size_t start = 0;
  for (size_t number = 1;; ++number) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    ResetStep step;
    const std::string why =
        item.empty() ? "empty (two commas in a row, or one at an end)" : ParseStep(item, &step);
    if (!why.empty()) {
      sequence.steps.clear();
      sequence.error = "step " + std::to_string(number) + " \"" + item + "\": " + why;
      return sequence;
    }
    sequence.steps.push_back(step);
    if (comma == std::string::npos) return sequence;
    start = comma + 1;
  }
}

std::string ResetStepText(const ResetStep& step) {
  switch (step.kind) {
    case ResetStep::Kind::Dtr: return "dtr=" + std::to_string(step.value);
    case ResetStep::Kind::Rts: return "rts=" + std::to_string(step.value);
    case ResetStep::Kind::Wait: break;
  }
  return "wait=" + std::to_string(step.value);
}

int32_t PlayResetSequence(int32_t slot, const std::vector<ResetStep>& steps,
                          size_t* failed_step) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const ResetStep& step = steps[i];
    int32_t done = 1;
    switch (step.kind) {
      case ResetStep::Kind::Dtr: done = SetPortDtr(slot, static_cast<int32_t>(step.value)); break;
      case ResetStep::Kind::Rts: done = SetPortRts(slot, static_cast<int32_t>(step.value)); break;
      case ResetStep::Kind::Wait: Delay(step.value); break;
    }
    if (done == 0) {
      if (failed_step != nullptr) *failed_step = i;
      return 0;
    }
  }
  return 1;
}
