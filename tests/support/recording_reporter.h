// A Reporter that keeps what the command line's engines told it, for tests
// that run an engine in their own process.
#pragma once

#include <string>
#include <vector>

#include "cli/reporter.h"

class RecordingReporter : public Reporter {
 public:
  std::vector<std::string> calls;  // "started 2", "opened 0", "finished 1", "tally 2 0", ...
  std::vector<BoardOutcome> outcomes;  // by board, as finished
  ImageFacts facts;
  int64_t size = 0;
  std::vector<int32_t> last_index;  // by board: the last word told

  void FileProblem(const std::vector<PresentPort>&, const std::string&,
                   const std::string& detail) override {
    calls.push_back("file problem " + detail);
  }
  void Started(const std::vector<PresentPort>& boards, const std::string&, int64_t announced,
               const ImageFacts& image) override {
    calls.push_back("started " + std::to_string(boards.size()));
    facts = image;
    size = announced;
    outcomes.assign(boards.size(), BoardOutcome{});
    last_index.assign(boards.size(), 0);
  }
  void Opened(size_t board, int64_t) override { calls.push_back("opened " + std::to_string(board)); }
  void Progress(size_t board, int32_t index, int32_t, int64_t) override {
    if (board < last_index.size()) last_index[board] = index;
  }
  void Finished(size_t board, const BoardOutcome& o) override {
    calls.push_back("finished " + std::to_string(board));
    if (board < outcomes.size()) outcomes[board] = o;
  }
  void Summary(const std::vector<BoardOutcome>&, int code, double, bool) override {
    calls.push_back("summary " + std::to_string(code));
  }
  void Tally(int64_t done, int64_t failed) override {
    calls.push_back("tally " + std::to_string(done) + " " + std::to_string(failed));
  }
  void StationSummary(int64_t done, int64_t failed, int code, double) override {
    calls.push_back("station " + std::to_string(done) + " " + std::to_string(failed) + " " +
                    std::to_string(code));
  }
};
