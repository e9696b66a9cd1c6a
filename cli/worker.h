// The worker's side of several boards at once: one board flashed in a
// process of its own, told to the parent as one JSON object a line on
// standard output; and the parent's reading of those lines.
//
// The worker gets its board on standard input: one JSON line with the job
// and the image's facts, its hash among them, then the image's bytes. It
// never reads the image's file: the bytes are the parent's, checked once,
// and the worker checks their hash again before it opens the port.
//   {"opened": SIZE}                          the port is open
//   {"progress": [INDEX, COUNT, ANNOUNCED]}   a word whose percentage is new
//   {"outcome": {code, title, text, detail, trace, trace_error, bytes}}
// JSON escapes every control character, so no name or message that a field
// carries can end a record or make one up.
#pragma once

#include <string>
#include <vector>

#include "cli/image_source.h"
#include "cli/reporter.h"

// The first argument that starts the worker mode.
constexpr const char* kWorkerFlag = "--uf-worker";

// What a worker for `job` reads on its standard input.
struct BoardJob;
std::string WorkerInput(const BoardJob& job);

// The worker mode: reads its job (WorkerInput's text) on standard input,
// flashes the port and reports on standard output; its exit code is the
// board's.
int RunWorker();

// One line of a worker's report, read back.
struct WireRecord {
  enum Kind { None, Opened, Progress, Outcome } kind = None;
  int64_t announced = 0;
  int32_t index = 0;
  int32_t count = 0;
  BoardOutcome outcome;
};

// Reads one line; None for anything that is not a record.
WireRecord ReadWireRecord(const std::string& line);
