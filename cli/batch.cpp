// Many boards at once, and the station loop. Each board is flashed by a
// worker: this program started again in its worker mode, reporting on a
// pipe. The parent only reads, draws and sums up.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>

#include "cli/cli_internal.h"
#include "cli/cli_backend.h"
#include "common/delay.h"
#include "serial/serial.h"
#include "update/update.h"

using cli_backend::DiagnosePort;
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

// --- The worker's report, one line each -------------------------------------
//   start SIZE                      the port is open, the upload begins
//   progress INDEX COUNT ANNOUNCED  a word whose percentage is new
//   detail TEXT                     what went wrong, for a file or port problem
//   done CODE SENT                  the outcome, and the image bytes sent

void Report(const std::string& line) { Print(stdout, line + "\n"); }

struct Board {
  PresentPort port;
  std::string trace;
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
  if (!usb.empty()) return usb;
  return port.device.empty() ? "-" : port.device;
}

json UsbJson(const UsbIdentity& usb) {
  if (!usb.IsUsb()) return nullptr;
  return {{"vid", usb.vendor_id}, {"pid", usb.product_id}, {"manufacturer", usb.manufacturer},
          {"product", usb.product}, {"serial", usb.serial}};
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
      return PortUnavailableMessage(port);
    case 3:
      return UploadOutcomeMessage(UploadOutcome::NoReplyToStart);
    case 4:
      return UploadOutcomeMessage(UploadOutcome::WrongReplyToStart);
    case 6:
      return UploadOutcomeMessage(UploadOutcome::WrongFinalReply);
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
    std::istringstream line(out.substr(0, end));
    std::string word;
    line >> word;
    if (word == "start") {
      line >> b->announced;
      b->open = true;
    } else if (word == "progress") {
      line >> b->index >> b->count >> b->announced;
      on_progress(*b);
    } else if (word == "detail") {
      std::getline(line >> std::ws, b->detail);
    } else if (word == "done") {
      line >> b->code >> b->sent;
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
        Print(stdout, e.dump() + "\n");
      }
    }
    if (!args_.json && !args_.quiet) {
      Print(stderr, "Updating " + std::to_string(boards.size()) + " device" +
                        (boards.size() == 1 ? "" : "s") + " with " + args_.file + " (" +
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
    const int64_t bytes = 2 * static_cast<int64_t>(b.index);
    if (args_.json) {
      json e = PortJson("progress", b.port);
      e["percent"] = percent;
      e["bytes"] = bytes;
      e["of"] = b.announced;
      e["seconds"] = Seconds(b.started_ms);
      Print(stdout, e.dump() + "\n");
    } else if (!redraw_ && !args_.quiet) {
      Print(stderr, b.port.name + ": Sent " + std::to_string(bytes) + " of " +
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
    for (const Board& b : boards) width = std::max(width, b.port.name.size());
    for (const Board& b : boards) {
      text += "\r" + Pad(b.port.name, width) + "  " + Line(b) + "\x1b[K\n";
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
      e["bytes"] = b.sent;
      e["seconds"] = b.seconds;
      Print(stdout, e.dump() + "\n");
    } else if (!redraw_ && (!args_.quiet || b.code != 0)) {
      Print(stderr, b.port.name + ": " + Outcome(b) + "\n");
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
      Print(stdout, e.dump() + "\n");
      return;
    }
    if (args_.quiet) return;
    size_t port_w = 4, device_w = 6, outcome_w = 7;
    for (const Board& b : boards) {
      port_w = std::max(port_w, b.port.name.size());
      device_w = std::max(device_w, DeviceText(b.port).size());
      outcome_w = std::max(outcome_w, OutcomeLine(MessageForCode(b.code, b.port.name)).size());
    }
    std::string table = "\n" + Pad("PORT", port_w) + "  " + Pad("DEVICE", device_w) + "  " +
                        Pad("OUTCOME", outcome_w) + "  SECONDS\n";
    for (const Board& b : boards) {
      table += Pad(b.port.name, port_w) + "  " + Pad(DeviceText(b.port), device_w) + "  " +
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
    const int64_t left = LineSeconds(2 * static_cast<int64_t>(b.count - b.index));
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
           std::string(percent < 10 ? "  " : percent < 100 ? " " : "") + std::to_string(percent) +
           "%  " + std::to_string(2 * static_cast<int64_t>(b.index)) + "/" +
           std::to_string(b.announced) + " bytes  " + ClockText(left) + " left";
  }

  const CliArguments& args_;
  int64_t size_;
  bool redraw_;
  int drawn_ = 0;
  uint64_t last_draw_ = 0;
};

// Flashes `ports` at once; their codes, in the same order.
// In a round of the station loop the JSON summary waits for the end.
std::vector<int> FlashBoards(const CliArguments& args, const std::vector<PresentPort>& ports,
                             int64_t size, bool station_round) {
  std::vector<Board> boards(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    boards[i].port = ports[i];
    if (!args.trace.empty()) {
      boards[i].trace = ports.size() == 1 ? args.trace : TracePathFor(args.trace, ports[i].name);
    }
  }
  BatchView view(args, size);
  view.Begin(boards);
  const uint64_t batch_start = MonotonicMs();
  for (Board& b : boards) {
    b.started_ms = MonotonicMs();
    std::vector<std::string> worker_args = {kWorkerFlag, b.port.name, args.file, b.trace};
    if (!StartWorker(worker_args, &b.worker)) {
      b.done = true;
      b.code = 2;
      b.detail = "could not start a worker process";
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
        // It ended without a verdict: killed, or crashed.
        b.code = 5;
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
  for (const Board& b : boards) codes.push_back(b.code);
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
  if (args.json) {
    for (const PresentPort& p : ports) {
      json e = PortJson("outcome", p);
      e["code"] = m.code;
      e["title"] = m.title;
      e["text"] = m.text;
      e["detail"] = args.file + ": " + problem;
      e["bytes"] = 0;
      e["seconds"] = 0.0;
      Print(stdout, e.dump() + "\n");
    }
    const json s = {{"event", "summary"}, {"boards", ports.size()}, {"succeeded", 0},
                    {"failed", ports.size()}, {"code", m.code}, {"seconds", 0.0}};
    Print(stdout, s.dump() + "\n");
  } else {
    Print(stderr, OutcomeLine(m) + " (" + args.file + ": " + problem + ")\n");
  }
  return m.code;
}

}  // namespace

int RunWorker(const std::vector<std::string>& args) {
  if (args.size() < 3) return kExitUsage;
  const std::string& port = args[0];
  const std::string& file = args[1];
  const std::string& trace = args[2];
  int32_t last_percent = -1;
  FlashHooks hooks;
  hooks.started = [](int64_t size) { Report("start " + std::to_string(size)); };
  hooks.progress = [&](int32_t index, int32_t count, int64_t announced) {
    const int32_t percent = ProgressPercent(index, count);
    if (percent == last_percent) return;
    last_percent = percent;
    Report("progress " + std::to_string(index) + " " + std::to_string(count) + " " +
           std::to_string(announced));
  };
  const FlashResult r = FlashPort(port, file, trace, hooks);
  if (!r.detail.empty()) Report("detail " + r.detail);
  Report("done " + std::to_string(r.message.code) + " " + std::to_string(r.sent));
  return r.message.code;
}

int RunBoards(const CliArguments& args, const std::vector<PresentPort>& boards) {
  int64_t size = 0;
  const std::string problem = CheckFirmware(args.file, &size);
  if (!problem.empty()) return FirmwareProblem(args, boards, problem);
  return FirstFailure(FlashBoards(args, boards, size, false));
}

int RunStation(const CliArguments& args) {
  int64_t size = 0;
  const std::string problem = CheckFirmware(args.file, &size);
  if (!problem.empty()) return FirmwareProblem(args, {}, problem);

  int64_t done = 0;
  int64_t failed = 0;
  int first_failure = 0;
  const uint64_t start = MonotonicMs();
  const auto tally = [&] {
    return "Tally: " + std::to_string(done) + " done, " + std::to_string(failed) + " failed\n";
  };
  SetInterruptNote(tally());
  while (args.count == 0 || done + failed < args.count) {
    // Wait until some of the boards are there.
    bool said = false;
    std::vector<PresentPort> boards;
    for (;;) {
      const std::vector<PresentPort> present =
          HasSelector(args.ports) ? ScanPresentPorts() : std::vector<PresentPort>{};
      std::vector<PresentPort> picked;
      const std::string error = ResolvePorts(args.ports, present, DescribePort, &picked);
      const bool nothing_matches = error.rfind("no port matches", 0) == 0;
      if (!error.empty() && !nothing_matches) {
        Print(stderr, "update-firmware-cli: " + error + "\n");
        return kExitUsage;
      }
      if (error.empty()) {
        for (const PresentPort& p : picked) {
          if (OpenUpdatePort(0, p.name) != 0) {
            ClosePort(0);
            boards.push_back(p);
          }
        }
      }
      if (args.count > 0 && static_cast<int64_t>(boards.size()) > args.count - done - failed) {
        boards.resize(static_cast<size_t>(args.count - done - failed));
      }
      if (!boards.empty()) break;
      if (!said && args.json) {
        Print(stdout, json({{"event", "waiting"}, {"ports", args.ports}}).dump() + "\n");
      } else if (!said && !args.quiet) {
        std::string names;
        for (const std::string& w : args.ports) names += (names.empty() ? "" : " ") + w;
        Print(stderr, "Waiting for a board on " + names + " ...\n");
      }
      said = true;
      Delay(kPresencePollMs);
    }

    const std::vector<int> codes = FlashBoards(args, boards, size, true);
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
      Print(stdout, e.dump() + "\n");
    } else if (!args.quiet) {
      Print(stderr, tally());
    }
    if (args.count > 0 && done + failed >= args.count) break;

    // Wait until every board of the round has been unplugged: a port that
    // opens, or one that is there but busy, is still plugged in.
    for (bool all_gone = false; !all_gone;) {
      all_gone = true;
      for (const PresentPort& p : boards) {
        if (OpenUpdatePort(0, p.name) != 0) {
          ClosePort(0);
          all_gone = false;
          break;
        }
        const PortTrouble trouble = DiagnosePort(p.name).trouble;
        if (trouble != PortTrouble::Absent && trouble != PortTrouble::None) {
          all_gone = false;
          break;
        }
      }
      if (!all_gone) Delay(kPresencePollMs);
    }
  }
  SetInterruptNote(std::string());
  if (args.json) {
    const json e = {{"event", "summary"}, {"boards", done + failed}, {"succeeded", done},
                    {"failed", failed},   {"code", first_failure},   {"seconds", Seconds(start)}};
    Print(stdout, e.dump() + "\n");
  }
  return first_failure;
}
