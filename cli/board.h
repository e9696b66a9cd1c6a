// One board, flashed in this process: the file checked and opened, the
// transcript started, the port opened, the upload run, everything closed.
// It tells a Reporter as it goes and prints nothing.
#pragma once

#include <cstddef>
#include <string>

#include "cli/image_source.h"
#include "cli/reporter.h"

struct BoardJob {
  std::string port;
  std::string file;
  std::string trace;   // the transcript's file; empty: none
  bool force = false;  // the transcript may replace an existing file
  ImageReading image;     // how the file is read
  int32_t attempts = 1;  // start commands at most
  std::string reset;     // modem-line sequence played once the port is open; empty: none
};

// Flashes `job` as board `board` of `reporter`'s batch, and tells its
// Opened and Progress; the outcome is returned, not told, so that the
// caller times it and tells it once.
BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board);
