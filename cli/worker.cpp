#include "cli/worker.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "cli/board.h"
#include "cli/report_json.h"
#include "cli/platform.h"
#include "cli/stop_records.h"
#include "cli/workers.h"
#include "protocol/reset_sequence.h"

namespace {

using json = nlohmann::ordered_json;

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
  void Opened(size_t, int64_t announced) override { Send({{"opened", announced}}); }
  void Progress(size_t, int32_t index, int32_t count, int64_t announced) override {
    stop_records::SetOwnBytes(kBytesPerWord * int64_t{index});
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

 private:
  int32_t last_percent_ = -1;
};

std::string Text(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t Number(const json& value) { return value.is_number_integer() ? value.get<int64_t>() : 0; }

}  // namespace

std::string WorkerInput(const BoardJob& job) {
  const Image& image = *job.image;
  const ImageFacts& f = image.facts;
  json reset = json::array();
  for (const ResetStep& step : job.reset) reset.push_back({static_cast<int>(step.kind), step.value});
  const json header = {
      {"port", job.port},
      {"trace", job.trace},
      {"force", job.force},
      {"attempts", job.attempts},
      {"reset", reset},
      {"path", image.path},
      {"size", image.size()},
      {"sha256", f.sha256},
      {"facts",
       {{"flattened", f.flattened}, {"format", f.format}, {"first_address", f.first_address},
        {"end_address", f.end_address}, {"padded", f.padded}, {"description", f.description}}}};
  std::string input = JsonText(header) + "\n";
  input.append(image.bytes.begin(), image.bytes.end());
  return input;
}

namespace {

// The job and the image from the parent's input; false when it is not
// whole, or the bytes are not the ones whose hash came with them.
bool ReadJob(const std::string& input, BoardJob* job, Image* image, std::string* why) {
  const size_t end = input.find('\n');
  const json header = end == std::string::npos ? json()
                                               : json::parse(input.substr(0, end), nullptr, false);
  if (!header.is_object()) {
    *why = "no job from the parent";
    return false;
  }
  job->port = Text(header, "port");
  job->trace = Text(header, "trace");
  job->force = header.value("force", false);
  job->attempts = header.value("attempts", 1);
  for (const json& step : header.value("reset", json::array())) {
    const int kind = step.at(0).get<int>();
    if (kind < 0 || kind > static_cast<int>(ResetStep::Kind::Wait)) return false;
    job->reset.push_back({static_cast<ResetStep::Kind>(kind), step.at(1).get<uint32_t>()});
  }
  image->path = Text(header, "path");
  const json facts = header.value("facts", json::object());
  image->facts.flattened = facts.value("flattened", false);
  image->facts.format = facts.value("format", std::string());
  image->facts.first_address = facts.value("first_address", uint32_t{0});
  image->facts.end_address = facts.value("end_address", uint64_t{0});
  image->facts.padded = facts.value("padded", false);
  image->facts.description = facts.value("description", std::string());
  const int64_t size = header.value("size", int64_t{-1});
  if (size < 0 || input.size() - end - 1 != static_cast<uint64_t>(size)) {
    *why = "the image came short from the parent";
    return false;
  }
  image->bytes.assign(input.begin() + static_cast<std::ptrdiff_t>(end + 1), input.end());
  SealImage(image);
  if (image->facts.sha256 != Text(header, "sha256")) {
    *why = "the image the worker received is not the one that was checked";
    return false;
  }
  job->image = image;
  return true;
}

}  // namespace

// The worker's last word when it is stopped: how far its board got.
void ReportOwnBytes() {
  char line[64];
  cli_platform::WriteStdoutRaw(line, stop_records::OwnReport(line, sizeof line));
}

int RunWorker() {
  cli_platform::SetStopHook(ReportOwnBytes);
  WireReporter wire;
  BoardOutcome o;
  BoardJob job;
  Image image;
  std::string input;
  std::string why;
  bool read = false;
  try {
    read = cli_workers::ReadWorkerInput(&input) && ReadJob(input, &job, &image, &why);
  } catch (const json::exception&) {
    why = "the parent's job could not be read";
  }
  input.clear();
  if (!read) {
    o.message = {kExitInternal, "update-firmware-cli", "internal error"};
    o.detail = why.empty() ? "no job from the parent" : why;
  } else {
    // The same word checks as the command line itself makes.
    o.detail = CheckPortWords({job.port});
    if (!o.detail.empty()) {
      o.message = {kExitUsage, "update-firmware-cli", "no such port"};
    } else {
      o = FlashBoard(job, wire, 0);
    }
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
