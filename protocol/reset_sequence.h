// Putting a board into its bootloader by its modem lines before an update.
// Many boards wire DTR and RTS to their reset and boot pins, each in its own
// way, so the moves are the user's: "dtr=0,rts=1,wait=100,rts=0,wait=50"
// drops DTR, raises RTS, waits 100 ms, drops RTS and waits 50 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ResetStep {
  enum class Kind : uint8_t { Dtr, Rts, Wait };
  Kind kind = Kind::Wait;
  uint32_t value = 0;  // 0 or 1 for a line, milliseconds for a wait

  bool operator==(const ResetStep& other) const {
    return kind == other.kind && value == other.value;
  }
};

// The longest wait one step may ask for: a minute is already far more than
// any board takes to reset, so more is a typing mistake.
constexpr uint32_t kMaxResetWaitMs = 60000;

struct ResetSequence {
  std::vector<ResetStep> steps;
  std::string error;  // why the text is no sequence, naming the step; empty when it is one
};

// Reads a comma list of dtr=0|1, rts=0|1 and wait=MS (0 to kMaxResetWaitMs)
// in the order given. Nothing else: no spaces, no empty steps, lower-case
// names, decimal digits. At least one step.
ResetSequence ParseResetSequence(const std::string& text);

// The step as it is written, e.g. "wait=100".
std::string ResetStepText(const ResetStep& step);

// Plays `steps` on the open port in `slot`, in order, the waits through
// Delay. Non-zero when every step was played; 0 when the port refused a line
// (not open, or no modem lines), with that step's index in `failed_step`
// (may be null). The steps after a refused one are not played: half a reset
// leaves the board in a state nobody asked for.
int32_t PlayResetSequence(int32_t slot, const std::vector<ResetStep>& steps,
                          size_t* failed_step);
