// The station loop (flash --wait): wait until the boards are there, flash
// them, wait until they are gone, and again; a running tally.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/image_source.h"
#include "cli/reporter.h"
#include "cli/serials.h"
#include "protocol/reset_sequence.h"

struct StationJob {
  std::vector<PortSelector> words;  // port names and selectors, read
  std::string file;
  std::string trace;               // --trace base; empty: none
  bool force = false;
  int64_t count = 0;               // boards before stopping; 0: no limit
  ImageReading image;                 // how the file is read
  std::string expect_sha256;       // refuse any other image; empty: any
  int32_t attempts = 1;
  std::vector<ResetStep> reset;
  SerialPlan serial;               // each board's own value; off: none
};

// Runs the loop until `count` boards are done (or for ever); the exit code
// of the first board that failed, 0 when none did, 64 when the words cannot
// pick boards or a transcript must not be written (after `usage_error` is
// told why).
int RunStation(const StationJob& job, Reporter& reporter,
               const std::function<void(const std::string&)>& usage_error);
