// For the modem-line test, in both builds: opens PORT with the update's
// settings, plays SEQUENCE on it and closes it.
//   play_reset PORT SEQUENCE
// Exit codes: 0 played, 1 usage or no sequence, 2 no open, 3 a line refused.
#include <cstdio>

#include "protocol/reset_sequence.h"
#include "serial/serial.h"
#include "update/update.h"

int main(int argc, char** argv) {
  const ResetSequence sequence = ParseResetSequence(argc == 3 ? argv[2] : "");
  if (!sequence.error.empty()) {
    std::fprintf(stderr, "usage: play_reset PORT SEQUENCE (%s)\n", sequence.error.c_str());
    return 1;
  }
  if (OpenUpdatePort(0, argv[1]) == 0) return 2;
  size_t failed = 0;
  const int32_t played = PlayResetSequence(0, sequence.steps, &failed);
  ClosePort(0);
  if (played == 0) std::fprintf(stderr, "play_reset: step %zu refused\n", failed + 1);
  return played ? 0 : 3;
}
