// What the engines tell while they work, and the one place that decides
// how it is shown: terminal text, quiet text, JSON Lines, or a worker's
// report to its parent. Engines call a Reporter and print nothing.
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

class Reporter {
 public:
  virtual ~Reporter() = default;

  // `list`: a port that is there and free; one that is there but unusable.
  virtual void Listed(const PresentPort& port) = 0;
  virtual void Unusable(const std::string& name, const std::string& device,
                        const std::string& why) = 0;

  // `convert`: `in` was flattened into `out`.
  virtual void Converted(const std::string& in, const std::string& out,
                         const ImageFacts& image) = 0;

  // `doctor`: one finding and, where something is wrong, its fix.
  virtual void Found(const std::string& severity, const std::string& what,
                     const std::string& fix) = 0;

  // Two names the user gave were one device.
  virtual void SameDevice(const std::string& note) = 0;
  // The image cannot be flashed; nothing was flashed on `boards`.
  virtual void FileProblem(const std::vector<PresentPort>& boards, const std::string& file,
                           const std::string& detail) = 0;

  // `boards` are about to be flashed with `file` of `size` bytes; board i
  // below is boards[i].
  virtual void Started(const std::vector<PresentPort>& boards, const std::string& file,
                       int64_t size, const ImageFacts& image) = 0;
  // Board i's port is open; the upload begins.
  virtual void Opened(size_t board, int64_t announced) = 0;
  // Word `index` of `count` of board i has gone to the port.
  virtual void Progress(size_t board, int32_t index, int32_t count, int64_t announced) = 0;
  virtual void Finished(size_t board, const BoardOutcome& outcome) = 0;
  // Every board has finished; `code` is the batch's exit code. A round of
  // the station loop says so.
  virtual void Summary(const std::vector<BoardOutcome>& outcomes, int code, double seconds,
                       bool station_round) = 0;

  // The station loop: waiting for boards (once per wait), the running
  // count after each round, and the end.
  virtual void Waiting(const std::vector<std::string>& words, const WaitReasons& reasons) = 0;
  virtual void Tally(int64_t done, int64_t failed) = 0;
  virtual void StationSummary(int64_t done, int64_t failed, int code, double seconds) = 0;
};

// The reporter the command line asked for: JSON Lines on standard output
// (--json), nothing but failures (--quiet), or text on standard error.
// `station`: the boards come in rounds of the station loop.
std::unique_ptr<Reporter> MakeReporter(const CliArguments& args, bool station);
