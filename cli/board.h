// One board, flashed in this process: the file checked and opened, the
// transcript started, the port opened, the upload run, everything closed.
// It tells a Reporter as it goes and prints nothing.
#pragma once

#include <cstddef>
#include <string>

#include "cli/reporter.h"

struct BoardJob {
  std::string port;
  std::string file;
  std::string trace;   // the transcript's file; empty: none
  bool force = false;  // the transcript may replace an existing file
};

// Flashes `job` as board `board` of `reporter`'s batch, and tells its
// Opened and Progress; the outcome is returned, not told, so that the
// caller times it and tells it once.
BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board);

// Why `path` cannot be flashed, in plain words, after the file layer
// refused it or its size (`size`, when it opened).
std::string FileProblemText(const std::string& path, int64_t size);

// Whether the image can be flashed: empty when it can, else why; `size`
// is its size. Nothing stays open.
std::string CheckImage(const std::string& path, int64_t* size);
