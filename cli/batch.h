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
  const Image* image = nullptr;     // the run's image, read and checked
  bool force = false;               // transcripts may replace existing files
  bool station_round = false;
  int32_t attempts = 1;             // start commands at most
  std::vector<ResetStep> reset;     // modem-line sequence; empty: none
  RunSerials* serials = nullptr;    // each board's own value; null: none
};

// Reads and checks the run's image before any port is opened: false when it
// cannot be flashed (or is not the one `expect_sha256` names, when given),
// after telling `reporter` why, as a problem of every one of `boards`.
bool ReadyImage(const std::string& path, const ImageReading& reading,
                const std::string& expect_sha256, const std::vector<PresentPort>& boards,
                Reporter& reporter, Image* image);

// Flashes every board of `job` with its image; their exit codes, in the
// order of the boards.
std::vector<int> FlashBatch(const BatchJob& job, Reporter& reporter);

// The first code that is not 0, in order; 0 when there is none.
int FirstFailure(const std::vector<int>& codes);
