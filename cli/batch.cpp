// Many boards at once, and the station loop. Each board is flashed by a
// worker: this program started again in its worker mode, reporting on a
// pipe. The parent only reads, draws and sums up.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <set>

#include "cli/cli_internal.h"
#include "cli/cli_backend.h"
#include "common/delay.h"
#include "serial/serial.h"
#include "update/update.h"

using cli_backend::ForgetWorkers;
using cli_backend::PumpWorkers;
using cli_backend::SetInterruptNote;
using cli_backend::StartWorker;
using cli_backend::StderrIsTerminal;
using cli_backend::StderrMovesCursor;
using cli_backend::WorkerState;

namespace {

using json = nlohmann::ordered_json;

constexpr int kPumpMs = 100;        // longest wait for news from the workers
constexpr uint64_t kRedrawMs = 100;  // terminal redraws, at most this often
constexpr uint32_t kPresencePollMs = 250;
constexpr int kBarWidth = 20;

// --- The worker's report: one JSON object a line ----------------------------
//   {"start": SIZE}                   the port is open, the upload begins
//   {"progress": [INDEX, COUNT, ANNOUNCED]}  a word whose percentage is new
//   {"detail": TEXT}                  what went wrong, for a file or port problem
//   {"trace_error": TEXT}             the transcript is incomplete, and why
//   {"done": [CODE, SENT]}            the outcome, and the image bytes the port took
// JSON escapes every control character, so no name or message that a field
// carries can end a record or make one up.

void Report(const json& record) {
  const std::string line = JsonText(record) + "\n";
  if (std::fputs(line.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
    // Nobody reads us any more: the parent has gone. Flashing on unseen,
    // holding the port, helps no one; the stop handler releases the port.
    std::raise(SIGTERM);
  }
}

struct Board {
  PresentPort port;
  std::string trace;
  bool force = false;
  std::string trace_error;
  WorkerState worker;
  uint64_t started_ms = 0;
  double seconds = 0;
  bool open = false;
  int32_t index = 0;
  int32_t count = 0;
  int64_t announced = 0;
  int quarters_shown = 0;
  bool done = false;
  bool reported = false;
  int code = -1;
  std::string detail;
  int64_t sent = 0;
};

std::string DeviceText(const PresentPort& port) {
  const std::string usb = UsbIdentityText(port.usb);
  if (!usb.empty()) return Printable(usb);
  return port.device.empty() ? "-" : Printable(port.device);
}

json PortJson(const std::string& event, const PresentPort& port) {
  return {{"event", event},
          {"port", port.name},
          {"device", port.device.empty() ? json(nullptr) : json(port.device)},
          {"usb", UsbJson(port.usb)}};
}

OutcomeMessage MessageForCode(int code, const std::string& port) {
  switch (code) {
    case 0:
      return UploadOutcomeMessage(UploadOutcome::Success);
    case 1:
      return FirmwareMissingMessage();
    case 2:
      return PortUnavailableMessage(Printable(port));
    case 3:
      return UploadOutcomeMessage(UploadOutcome::NoReplyToStart);
    case 4:
      return UploadOutcomeMessage(UploadOutcome::WrongReplyToStart);
    case 6:
      return UploadOutcomeMessage(UploadOutcome::WrongFinalReply);
    case kExitOutput:
      return TraceFailedMessage();
    case kExitInternal:
      return InternalErrorMessage();
    default:
      return UploadOutcomeMessage(UploadOutcome::NoFinalReply);
  }
}

double Seconds(uint64_t from_ms) { return static_cast<double>(MonotonicMs() - from_ms) / 1000.0; }

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// Takes the worker's complete lines; `on_progress` sees every progress
// report, so that no quarter is missed when several arrive at once.
void ReadReports(Board* b, const std::function<void(Board&)>& on_progress) {
  std::string& out = b->worker.output;
  for (size_t end; (end = out.find('\n')) != std::string::npos; out.erase(0, end + 1)) {
    const json record = json::parse(out.substr(0, end), nullptr, false);
    if (!record.is_object()) continue;
    if (record.contains("start") && record["start"].is_number_integer()) {
      b->announced = record["start"].get<int64_t>();
      b->open = true;
    } else if (record.contains("progress") && record["progress"].is_array() &&
               record["progress"].size() == 3) {
      b->index = record["progress"][0].get<int32_t>();
      b->count = record["progress"][1].get<int32_t>();
      b->announced = record["progress"][2].get<int64_t>();
      on_progress(*b);
    } else if (record.contains("detail") && record["detail"].is_string()) {
      b->detail = record["detail"].get<std::string>();
    } else if (record.contains("trace_error") && record["trace_error"].is_string()) {
      b->trace_error = record["trace_error"].get<std::string>();
    } else if (record.contains("done") && record["done"].is_array() &&
               record["done"].size() == 2) {
      b->code = record["done"][0].get<int>();
      b->sent = record["done"][1].get<int64_t>();
    }
  }
}

class BatchView {
 public:
  BatchView(const CliArguments& args, int64_t size)
      : args_(args),
        size_(size),
        redraw_(!args.json && !args.quiet && StderrIsTerminal() && StderrMovesCursor()) {}

  void Begin(const std::vector<Board>& boards) {
    for (const Board& b : boards) {
      if (args_.json) {
        json e = PortJson("start", b.port);
        e["file"] = args_.file;
        e["bytes"] = size_;
        Print(stdout, JsonText(e) + "\n");
      }
    }
    if (!args_.json && !args_.quiet) {
      Print(stderr, "Updating " + std::to_string(boards.size()) + " device" +
                        (boards.size() == 1 ? "" : "s") + " with " + Printable(args_.file) + " (" +
                        std::to_string(size_) + " bytes, about " +
                        ClockText(LineSeconds(size_)) + " on the line)\n");
    }
  }

  // After each progress report of a worker.
  void Progress(Board& b) {
    const int32_t percent = ProgressPercent(b.index, b.count);
    const int quarters = b.count > 0 ? percent / 25 : 0;
    if (quarters <= b.quarters_shown) return;
    b.quarters_shown = quarters;
    const int64_t bytes = kBytesPerWord * static_cast<int64_t>(b.index);
    if (args_.json) {
      json e = PortJson("progress", b.port);
      e["percent"] = percent;
      e["bytes"] = bytes;
      e["of"] = b.announced;
      e["seconds"] = Seconds(b.started_ms);
      Print(stdout, JsonText(e) + "\n");
    } else if (!redraw_ && !args_.quiet) {
      Print(stderr, Printable(b.port.name) + ": Sent " + std::to_string(bytes) + " of " +
                        std::to_string(std::max<int64_t>(b.announced, bytes)) + " bytes (" +
                        std::to_string(percent) + "%)\n");
    }
  }

  // After news from the workers: the terminal's lines.
  void Update(const std::vector<Board>& boards, bool force) {
    if (!redraw_) return;
    const uint64_t now = MonotonicMs();
    if (!force && now - last_draw_ < kRedrawMs) return;
    last_draw_ = now;
    std::string text;
    if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
    size_t width = 0;
    for (const Board& b : boards) width = std::max(width, Printable(b.port.name).size());
    for (const Board& b : boards) {
      text += "\r" + Pad(Printable(b.port.name), width) + "  " + Line(b) + "\x1b[K\n";
    }
    drawn_ = static_cast<int>(boards.size());
    Print(stderr, text);
  }

  void Finished(const Board& b) {
    const OutcomeMessage m = MessageForCode(b.code, b.port.name);
    if (args_.json) {
      json e = PortJson("outcome", b.port);
      e["code"] = b.code;
      e["title"] = m.title;
      e["text"] = m.text;
      if (!b.detail.empty()) e["detail"] = b.detail;
      if (!b.trace_error.empty()) e["trace_error"] = b.trace_error;
      e["bytes"] = b.sent;
      e["seconds"] = b.seconds;
      Print(stdout, JsonText(e) + "\n");
    } else if (!redraw_ && (!args_.quiet || b.code != 0)) {
      Print(stderr, Printable(b.port.name) + ": " + Outcome(b) + "\n");
    }
    if (!args_.json && !b.trace_error.empty() && b.code != kExitOutput) {
      Print(stderr, Printable(b.port.name) + ": the trace file '" + Printable(b.trace) +
                        "' could not be written: " + b.trace_error + "\n");
    }
  }

  void Summary(const std::vector<Board>& boards, int code, double seconds) {
    int failed = 0;
    for (const Board& b : boards) failed += b.code != 0 ? 1 : 0;
    if (args_.json) {
      const json e = {{"event", "summary"},
                      {"boards", boards.size()},
                      {"succeeded", static_cast<int>(boards.size()) - failed},
                      {"failed", failed},
                      {"code", code},
                      {"seconds", seconds}};
      Print(stdout, JsonText(e) + "\n");
      return;
    }
    if (args_.quiet) return;
    size_t port_w = 4, device_w = 6, outcome_w = 7;
    for (const Board& b : boards) {
      port_w = std::max(port_w, Printable(b.port.name).size());
      device_w = std::max(device_w, DeviceText(b.port).size());
      outcome_w = std::max(outcome_w, OutcomeLine(MessageForCode(b.code, b.port.name)).size());
    }
    std::string table = "\n" + Pad("PORT", port_w) + "  " + Pad("DEVICE", device_w) + "  " +
                        Pad("OUTCOME", outcome_w) + "  SECONDS\n";
    for (const Board& b : boards) {
      table += Pad(Printable(b.port.name), port_w) + "  " + Pad(DeviceText(b.port), device_w) + "  " +
               Pad(OutcomeLine(MessageForCode(b.code, b.port.name)), outcome_w) + "  " +
               std::string(b.seconds < 10 ? "   " : b.seconds < 100 ? "  " : " ") +
               Fixed1(b.seconds) + "\n";
    }
    table += std::to_string(boards.size() - static_cast<size_t>(failed)) + " of " +
             std::to_string(boards.size()) + " updated\n";
    Print(stderr, table);
  }

 private:
  static std::string Outcome(const Board& b) {
    std::string text = OutcomeLine(MessageForCode(b.code, b.port.name));
    if (!b.detail.empty()) text += " (" + b.detail + ")";
    return text;
  }

  std::string Line(const Board& b) const {
    if (b.done) return Outcome(b);
    if (!b.open) return "opening the port";
    if (b.count == 0) return "waiting for the device";
    const int32_t percent = ProgressPercent(b.index, b.count);
    const int filled = b.count > 0 ? static_cast<int>(int64_t{b.index} * kBarWidth / b.count) : 0;
    const int64_t left = LineSeconds(kBytesPerWord * static_cast<int64_t>(b.count - b.index));
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
           std::string(percent < 10 ? "  " : percent < 100 ? " " : "") + std::to_string(percent) +
           "%  " + std::to_string(kBytesPerWord * static_cast<int64_t>(b.index)) + "/" +
           std::to_string(b.announced) + " bytes  " + ClockText(left) + " left";
  }

  const CliArguments& args_;
  int64_t size_;
  bool redraw_;
  int drawn_ = 0;
  uint64_t last_draw_ = 0;
};

// Flashes `ports` at once, each with its transcript of `traces`; their
// codes, in the same order. In a round of the station loop the JSON
// summary waits for the end.
std::vector<int> FlashBoards(const CliArguments& args, const std::vector<PresentPort>& ports,
                             const std::vector<std::string>& traces, bool force, int64_t size,
                             bool station_round) {
  std::vector<Board> boards(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    boards[i].port = ports[i];
    boards[i].trace = traces[i];
    boards[i].force = force;
  }
  BatchView view(args, size);
  view.Begin(boards);
  const uint64_t batch_start = MonotonicMs();
  for (Board& b : boards) {
    b.started_ms = MonotonicMs();
    std::vector<std::string> worker_args = {kWorkerFlag, b.port.name, args.file, b.trace,
                                            b.force ? "force" : "-"};
    std::string why;
    if (!StartWorker(worker_args, &b.worker, &why)) {
      b.done = true;
      b.code = kExitInternal;
      b.detail = "could not start a worker process: " + why;
    }
  }
  for (;;) {
    std::vector<WorkerState*> running;
    for (Board& b : boards) {
      if (!b.done) running.push_back(&b.worker);
    }
    if (running.empty()) break;
    PumpWorkers(running, kPumpMs);
    bool ended = false;
    for (Board& b : boards) {
      if (b.done) continue;
      ReadReports(&b, [&view](Board& board) { view.Progress(board); });
      if (!b.worker.ended) continue;
      b.done = true;
      b.seconds = Seconds(b.started_ms);
      if (b.code < 0) {
        // It ended without a verdict: killed, or crashed. That is the
        // tool's failure, not a verdict on the board.
        b.code = kExitInternal;
        b.detail = "the worker stopped without a verdict (exit " +
                   std::to_string(b.worker.exit_code) + ")";
      }
      ended = true;
    }
    view.Update(boards, ended);
    for (Board& b : boards) {
      if (b.done && !b.reported) view.Finished(b);
      b.reported = b.done;
    }
  }
  ForgetWorkers();
  std::vector<int> codes;
  for (const Board& b : boards) {
    codes.push_back(b.code != 0 || b.trace_error.empty() ? b.code : kExitOutput);
  }
  int code = 0;
  for (int c : codes) {
    if (c != 0) {
      code = c;
      break;
    }
  }
  if (!(station_round && args.json)) view.Summary(boards, code, Seconds(batch_start));
  return codes;
}

int FirstFailure(const std::vector<int>& codes) {
  for (int c : codes) {
    if (c != 0) return c;
  }
  return 0;
}

// The file problem, said once for the whole batch; its code.
int FirmwareProblem(const CliArguments& args, const std::vector<PresentPort>& ports,
                    const std::string& problem) {
  const OutcomeMessage m = FirmwareMissingMessage();
  const std::string detail = Printable(args.file) + ": " + problem;
  if (args.json) {
    for (const PresentPort& p : ports) {
      json e = PortJson("outcome", p);
      e["code"] = m.code;
      e["title"] = m.title;
      e["text"] = m.text;
      e["detail"] = detail;
      e["bytes"] = 0;
      e["seconds"] = 0.0;
      Print(stdout, JsonText(e) + "\n");
    }
    const json s = {{"event", "summary"}, {"boards", ports.size()}, {"succeeded", 0},
                    {"failed", ports.size()}, {"code", m.code}, {"seconds", 0.0}};
    Print(stdout, JsonText(s) + "\n");
  } else {
    Print(stderr, OutcomeLine(m) + " (" + detail + ")\n");
  }
  return m.code;
}

// Lines that say two names were one device: on standard error, or as
// "same-device" events.
void SayNotes(const CliArguments& args, const std::vector<std::string>& notes) {
  for (const std::string& note : notes) {
    if (args.json) {
      Print(stdout, JsonText({{"event", "same-device"}, {"text", note}}) + "\n");
    } else if (!args.quiet) {
      Print(stderr, "update-firmware-cli: " + note + "\n");
    }
  }
}

// Why the station waits for the ports of `words`: for each port name that
// is not there or not usable, the reason.
json WaitingReasons(const std::vector<std::string>& words) {
  json reasons = json::object();
  for (const std::string& word : words) {
    if (ParsePortSelector(word).kind != PortSelector::Name) {
      reasons[word] = "no USB adapter that matches is there";
      continue;
    }
    if (ProbePort(word.c_str()) != 0) continue;
    int32_t system_error = 0;
    const PortError error = LastPortError(&system_error);
    const std::string device = cli_backend::PortDevice(word);
    std::string why = PortErrorText(error, system_error, true);
    if (!device.empty() && device != word) why = device + ": " + why;
    reasons[word] = why;
  }
  return reasons;
}

// Whether `board` is still plugged in: the same device, still there (free,
// or held by someone). One swapped for another within a poll is gone.
bool StillPlugged(const PresentPort& board) {
  const bool there = ProbePort(board.name.c_str()) != 0 || [] {
    const PortError error = LastPortError(nullptr);
    return error != PortErrorAbsent && error != PortErrorNone;
  }();
  return there && FindDeviceKey(board.name, SysfsRoot()) == board.key;
}

}  // namespace

int RunWorker(const std::vector<std::string>& args) {
  if (args.size() != 4) return kExitUsage;
  const std::string& port = args[0];
  const std::string& file = args[1];
  const std::string& trace = args[2];
  const bool force = args[3] == "force";
  // The same word checks as the command line itself makes.
  const std::string bad = CheckPortWords({port});
  if (!bad.empty()) {
    Report({{"detail", bad}});
    Report({{"done", {kExitUsage, 0}}});
    return kExitUsage;
  }
  int32_t last_percent = -1;
  FlashHooks hooks;
  hooks.started = [](int64_t size) { Report({{"start", size}}); };
  hooks.progress = [&](int32_t index, int32_t count, int64_t announced) {
    const int32_t percent = ProgressPercent(index, count);
    if (percent == last_percent) return;
    last_percent = percent;
    Report({{"progress", {index, count, announced}}});
  };
  const FlashResult r = FlashPort(port, file, trace, force, hooks);
  if (!r.detail.empty()) Report({{"detail", r.detail}});
  if (!r.trace_error.empty()) Report({{"trace_error", r.trace_error}});
  Report({{"done", {r.message.code, r.sent}}});
  return ResultCode(r);
}

int RunBoards(const CliArguments& args, const std::vector<PresentPort>& boards,
              const std::vector<std::string>& traces) {
  int64_t size = 0;
  const std::string problem = CheckFirmware(args.file, &size);
  if (!problem.empty()) return FirmwareProblem(args, boards, problem);
  return FirstFailure(FlashBoards(args, boards, traces, args.force, size, false));
}

int RunStation(const CliArguments& args) {
  int64_t size = 0;
  const std::string problem = CheckFirmware(args.file, &size);
  if (!problem.empty()) return FirmwareProblem(args, {}, problem);

  int64_t done = 0;
  int64_t failed = 0;
  int first_failure = 0;
  const uint64_t start = MonotonicMs();
  // Transcripts this run has written: a later board on the same port may
  // write over its own run's file, never over anything else.
  std::set<std::string> written;
  const auto tally = [&] {
    return "Tally: " + std::to_string(done) + " done, " + std::to_string(failed) + " failed\n";
  };
  SetInterruptNote(tally());
  while (args.count == 0 || done + failed < args.count) {
    // Wait until some of the boards are there.
    bool said = false;
    std::vector<PresentPort> boards;
    std::vector<std::string> notes;
    for (;;) {
      const std::vector<PresentPort> present =
          HasSelector(args.ports) ? ScanPresentPorts() : std::vector<PresentPort>{};
      std::vector<PresentPort> picked;
      notes.clear();
      const std::string error = ResolvePorts(args.ports, present, DescribePort, &picked, &notes);
      const bool nothing_matches = error.rfind("no port matches", 0) == 0;
      if (!error.empty() && !nothing_matches) {
        PrintUsageError(error);
        return kExitUsage;
      }
      if (error.empty()) {
        for (const PresentPort& p : picked) {
          if (ProbePort(p.name.c_str()) != 0) boards.push_back(p);
        }
      }
      if (args.count > 0 && static_cast<int64_t>(boards.size()) > args.count - done - failed) {
        boards.resize(static_cast<size_t>(args.count - done - failed));
      }
      if (!boards.empty()) break;
      if (!said) {
        // Said once: a port that never appears, or a file given as a port,
        // must not leave the operator looking at a silent terminal.
        const json reasons = WaitingReasons(args.ports);
        if (args.json) {
          Print(stdout, JsonText({{"event", "waiting"}, {"ports", args.ports}, {"why", reasons}}) +
                            "\n");
        } else if (!args.quiet) {
          std::string names;
          for (const std::string& w : args.ports) names += (names.empty() ? "" : " ") + Printable(w);
          std::string why;
          for (const auto& [word, reason] : reasons.items()) {
            why += "\n  " + Printable(word) + ": " + Printable(reason.get<std::string>());
          }
          Print(stderr, "Waiting for a board on " + names + " ..." + why + "\n");
        }
      }
      said = true;
      Delay(kPresencePollMs);
    }
    SayNotes(args, notes);

    std::vector<std::string> traces = BoardTraces(args, boards);
    for (const std::string& t : traces) {
      if (t.empty() || written.count(t) != 0) continue;
      const std::string why = TraceProblem(t, args.file, boards, args.force);
      if (!why.empty()) {
        PrintUsageError("cannot write the trace file '" + Printable(t) + "': " + why);
        return kExitUsage;
      }
    }
    const std::vector<int> codes =
        FlashBoards(args, boards, traces, true, size, true);
    for (const std::string& t : traces) {
      if (!t.empty()) written.insert(t);
    }
    for (int c : codes) {
      if (c == 0) {
        ++done;
      } else {
        ++failed;
        if (first_failure == 0) first_failure = c;
      }
    }
    SetInterruptNote(tally());
    if (args.json) {
      const json e = {{"event", "tally"}, {"done", done}, {"failed", failed}};
      Print(stdout, JsonText(e) + "\n");
    } else if (!args.quiet) {
      Print(stderr, tally());
    }
    if (args.count > 0 && done + failed >= args.count) break;

    // Wait until every board of the round has been unplugged (or swapped
    // for another): a port that opens, or one that is there but busy, is
    // still plugged in if it is the same device.
    for (bool all_gone = false; !all_gone;) {
      all_gone = std::none_of(boards.begin(), boards.end(), StillPlugged);
      if (!all_gone) Delay(kPresencePollMs);
    }
  }
  SetInterruptNote(std::string());
  if (args.json) {
    const json e = {{"event", "summary"}, {"boards", done + failed}, {"succeeded", done},
                    {"failed", failed},   {"code", first_failure},   {"seconds", Seconds(start)}};
    Print(stdout, JsonText(e) + "\n");
  }
  return first_failure;
}
