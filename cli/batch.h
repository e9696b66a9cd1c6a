// Several boards at once: one in this process, more with a worker process
// each, whose reports are replayed into the same Reporter. One board that
// fails, vanishes or hangs holds up nothing but itself.
#pragma once

#include <string>
#include <vector>

#include "cli/reporter.h"

struct BatchJob {
  std::vector<PresentPort> boards;
  std::vector<std::string> traces;  // one per board; empty: no transcript
  std::string file;
  bool force = false;               // transcripts may replace existing files
  bool station_round = false;
  ImageReading image;                  // how the file is read
  std::string expect_sha256;        // refuse any other image; empty: any
  int32_t attempts = 1;             // start commands at most
  std::string reset;                // modem-line sequence; empty: none
};

// Flashes every board of `job`; their exit codes, in the order of the
// boards. The image is checked first; a problem with it is told once and
// gives every board code 1.
std::vector<int> FlashBatch(const BatchJob& job, Reporter& reporter);

// The first code that is not 0, in order; 0 when there is none.
int FirstFailure(const std::vector<int>& codes);
