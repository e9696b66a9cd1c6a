// One board, flashed in this process from the run's image: the transcript
// started, the port opened, the upload run, everything closed.
// It tells a Reporter as it goes and prints nothing.
#pragma once

#include <cstddef>
#include <string>

#include "cli/image_source.h"
#include "cli/reporter.h"
#include "protocol/reset_sequence.h"

struct BoardJob {
  std::string port;
  const Image* image = nullptr;  // the run's image, sent as it is
  std::string trace;   // the transcript's file; empty: none
  bool force = false;  // the transcript may replace an existing file
  int32_t attempts = 1;  // start commands at most
  std::vector<ResetStep> reset;  // played once the port is open; empty: none
};

// Flashes `job` as board `board` of `reporter`'s batch, and tells its
// Opened and Progress; the outcome is returned, not told, so that the
// caller times it and tells it once.
BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board);
