// What flash and the station tell while they work, and the one place that
// decides how it is shown: terminal text, quiet text, JSON Lines, or a
// worker's report to its parent. Engines call a Reporter and print nothing.
// (list, doctor and convert return what they found; a Printer shows it.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "cli/image_source.h"
#include "cli/ports.h"
#include "update/update.h"

// How one board ended.
struct BoardOutcome {
  OutcomeMessage message = {0, "", ""};
  std::string detail;       // for a file, port or transcript problem: what went wrong
  std::string trace;        // the transcript's file; empty: none
  std::string trace_error;  // why the transcript is incomplete; empty: it is whole
  int64_t bytes = 0;        // image bytes the port took
  double seconds = 0;
  int32_t attempts = 0;     // start commands sent
  std::string reason;       // for a run cut short: "vanished" or "stopped"; empty otherwise

  // The board's exit code: its outcome, else a transcript that failed.
  int code() const { return message.code != 0 || trace_error.empty() ? message.code : kExitOutput; }
};

// Why the station waits for a word: the word and, in plain words, why.
using WaitReasons = std::vector<std::pair<std::string, std::string>>;

// Every method does nothing unless a reporter shows it: each says only what
// its own output carries.
class Reporter {
 public:
  virtual ~Reporter() = default;

  // Two names the user gave were one device.
  virtual void SameDevice(const std::string& /*note*/) {}
  // The image cannot be flashed; nothing was flashed on `boards`.
  virtual void FileProblem(const std::vector<PresentPort>& /*boards*/,
                           const std::string& /*file*/, const std::string& /*detail*/) {}

  // `boards` are about to be flashed with `file` of `size` bytes; board i
  // below is boards[i].
  virtual void Started(const std::vector<PresentPort>& /*boards*/, const std::string& /*file*/,
                       int64_t /*size*/, const ImageFacts& /*image*/) {}
  // Board i gets its own image, with `serial` written into it; told before
  // its port is opened.
  virtual void Serialized(size_t /*board*/, const BoardSerial& /*serial*/) {}
  // Board i's port is open; the upload begins.
  virtual void Opened(size_t /*board*/, int64_t /*announced*/) {}
  // Word `index` of `count` of board i has gone to the port.
  virtual void Progress(size_t /*board*/, int32_t /*index*/, int32_t /*count*/,
                        int64_t /*announced*/) {}
  virtual void Finished(size_t /*board*/, const BoardOutcome& /*outcome*/) {}
  // Every board has finished; `code` is the batch's exit code. A round of
  // the station loop says so.
  virtual void Summary(const std::vector<BoardOutcome>& /*outcomes*/, int /*code*/,
                       double /*seconds*/, bool /*station_round*/) {}

  // The station loop: waiting for boards (once per wait), the running
  // count after each round, and the end.
  virtual void Waiting(const std::vector<std::string>& /*words*/,
                       const WaitReasons& /*reasons*/) {}
  virtual void Tally(int64_t /*done*/, int64_t /*failed*/) {}
  virtual void StationSummary(int64_t /*done*/, int64_t /*failed*/, int /*code*/,
                              double /*seconds*/) {}
};

// The reporter the command line asked for: JSON Lines on standard output
// (--json), nothing but failures (--quiet), or text on standard error.
// `station`: the boards come in rounds of the station loop.
std::unique_ptr<Reporter> MakeReporter(const CliArguments& args, bool station);
