#include "cli/worker.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "cli/board.h"
#include "cli/report_json.h"
#include "protocol/reset_sequence.h"

namespace {

using json = nlohmann::ordered_json;

constexpr const char* kForce = "force";

void Send(const json& record) {
  const std::string line = JsonText(record) + "\n";
  if (std::fputs(line.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
    // Nobody reads us any more: the parent has gone. Flashing on unseen,
    // holding the port, helps no one; the stop handler releases the port.
    std::raise(SIGTERM);
  }
}

// The worker's reporter: what the parent needs, on the wire.
class WireReporter : public Reporter {
 public:
  void Listed(const PresentPort&) override {}
  void Found(const std::string&, const std::string&, const std::string&) override {}
  void Converted(const std::string&, const std::string&, const ImageFacts&) override {}
  void Unusable(const std::string&, const std::string&, const std::string&) override {}
  void SameDevice(const std::string&) override {}
  void FileProblem(const std::vector<PresentPort>&, const std::string&,
                   const std::string&) override {}
  void Started(const std::vector<PresentPort>&, const std::string&, int64_t,
               const ImageFacts&) override {}
  void Opened(size_t, int64_t announced) override { Send({{"opened", announced}}); }
  void Progress(size_t, int32_t index, int32_t count, int64_t announced) override {
    const int32_t percent = ProgressPercent(index, count);
    if (percent == last_percent_) return;
    last_percent_ = percent;
    Send({{"progress", {index, count, announced}}});
  }
  void Finished(size_t, const BoardOutcome& o) override {
    Send({{"outcome",
           {{"code", o.message.code}, {"title", o.message.title}, {"text", o.message.text},
            {"detail", o.detail}, {"trace", o.trace}, {"trace_error", o.trace_error},
            {"bytes", o.bytes}, {"attempts", o.attempts}, {"reason", o.reason}}}});
  }
  void Summary(const std::vector<BoardOutcome>&, int, double, bool) override {}
  void Waiting(const std::vector<std::string>&, const WaitReasons&) override {}
  void Tally(int64_t, int64_t) override {}
  void StationSummary(int64_t, int64_t, int, double) override {}

 private:
  int32_t last_percent_ = -1;
};

std::string Text(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t Number(const json& value) { return value.is_number_integer() ? value.get<int64_t>() : 0; }

}  // namespace

std::vector<std::string> WorkerArguments(const BoardJob& job) {
  return {kWorkerFlag,         job.port,       job.file,
          job.trace,           job.force ? kForce : "-", ReadingWord(job.image),
          std::to_string(job.attempts), job.reset.empty() ? "-" : job.reset};
}

int RunWorker(const std::vector<std::string>& args) {
  BoardJob job;
  if (args.size() != 7 || !ParseReadingWord(args[4], &job.image)) return kExitUsage;
  job.port = args[0];
  job.file = args[1];
  job.trace = args[2];
  job.force = args[3] == kForce;
  job.attempts = static_cast<int32_t>(std::strtol(args[5].c_str(), nullptr, 10));
  job.reset = args[6] == "-" ? std::string() : args[6];
  if (!job.reset.empty() && !ParseResetSequence(job.reset).error.empty()) return kExitUsage;
  WireReporter wire;
  // The same word checks as the command line itself makes.
  BoardOutcome o;
  o.detail = CheckPortWords({job.port});
  if (!o.detail.empty()) {
    o.message = {kExitUsage, "update-firmware-cli", "no such port"};
  } else {
    o = FlashBoard(job, wire, 0);
  }
  wire.Finished(0, o);
  return o.code();
}

WireRecord ReadWireRecord(const std::string& line) {
  WireRecord r;
  const json record = json::parse(line, nullptr, false);
  if (!record.is_object() || record.size() != 1) return r;
  const std::string key = record.begin().key();
  const json& value = record.begin().value();
  if (key == "opened") {
    r.kind = WireRecord::Opened;
    r.announced = Number(value);
  } else if (key == "progress" && value.is_array() && value.size() == 3) {
    r.kind = WireRecord::Progress;
    r.index = static_cast<int32_t>(Number(value[0]));
    r.count = static_cast<int32_t>(Number(value[1]));
    r.announced = Number(value[2]);
  } else if (key == "outcome" && value.is_object()) {
    r.kind = WireRecord::Outcome;
    const auto code = value.find("code");
    r.outcome.message = {static_cast<int32_t>(code != value.end() ? Number(*code) : 0),
                         Text(value, "title"), Text(value, "text")};
    r.outcome.detail = Text(value, "detail");
    r.outcome.trace = Text(value, "trace");
    r.outcome.trace_error = Text(value, "trace_error");
    r.outcome.reason = Text(value, "reason");
    const auto bytes = value.find("bytes");
    r.outcome.bytes = bytes != value.end() ? Number(*bytes) : 0;
    const auto attempts = value.find("attempts");
    r.outcome.attempts = static_cast<int32_t>(attempts != value.end() ? Number(*attempts) : 0);
  }
  return r;
}
