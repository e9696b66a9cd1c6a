// What a person sees: text on standard error (the list on standard output),
// and the same with nothing but failures for --quiet.
#include <algorithm>
#include <cstdio>

#include "cli/platform.h"
#include "cli/printer.h"
#include "cli/report_json.h"
#include "cli/reporter.h"
#include "cli/text.h"
#include "common/delay.h"

namespace {

constexpr uint64_t kRedrawMs = 100;  // terminal redraws, at most this often
constexpr int kQuarter = 25;

void Say(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::string DeviceText(const PresentPort& port) {
  const std::string usb = UsbIdentityText(port.usb);
  if (!usb.empty()) return Printable(usb);
  return port.device.empty() ? "-" : Printable(port.device);
}

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// What both text reporters say alike.
// An image that cannot be flashed or converted, for both alike.
void SayFileProblem(const std::string& detail) {
  Say(stderr, BoardLine("", FirmwareMissingMessage(), detail));
}

class TextBase : public Reporter {
 public:
  explicit TextBase(bool station) : station_(station) {}

  void FileProblem(const std::vector<PresentPort>&, const std::string&,
                   const std::string& detail) override {
    SayFileProblem(detail);
  }
  void Started(const std::vector<PresentPort>& boards, const std::string& file, int64_t size,
               const ImageFacts& image) override {
    boards_ = boards;
    file_ = file;
    size_ = size;
    sha256_ = image.sha256;
    single_ = !station_ && boards.size() == 1;
  }

 protected:
  // The port's name before a line, where there are several boards.
  std::string Prefix(size_t board) const { return single_ ? "" : boards_[board].name; }
  void SayTraceLost(size_t board, const BoardOutcome& o) const {
    if (!o.trace_error.empty() && o.message.code != kExitOutput) {
      Say(stderr, TraceLostLine(Prefix(board), o.trace, o.trace_error));
    }
  }

  bool station_;
  bool single_ = false;
  std::vector<PresentPort> boards_;
  std::string file_;
  int64_t size_ = 0;
  std::string sha256_;

  // "4001 bytes, about 0:05 on the line, SHA-256 ab12..."
  std::string About(int64_t size) const {
    return SizeText(size) + (sha256_.empty() ? "" : ", SHA-256 " + sha256_);
  }
};

class TextReporter : public TextBase {
 public:
  explicit TextReporter(bool station)
      : TextBase(station),
        tty_(cli_platform::StderrIsTerminal()),
        moves_cursor_(tty_ && cli_platform::StderrMovesCursor()) {}

  void SameDevice(const std::string& note) override {
    Say(stderr, "update-firmware-cli: " + note + "\n");
  }
  void Started(const std::vector<PresentPort>& boards, const std::string& file, int64_t size,
               const ImageFacts& image) override {
    TextBase::Started(boards, file, size, image);
    if (image.flattened) {
      Say(stderr, Printable(file) + ": " + (image.format == "ihex" ? "Intel HEX" : "S-records") +
                      ", " + image.description + "\n");
    }
    if (image.odd_length) {
      Say(stderr, Printable(file) + ": odd length: the last byte is not sent (the line takes "
                                    "whole words); the SHA-256 is of the " +
                      std::to_string(size - 1) + " bytes sent\n");
    }
    lines_.assign(boards.size(), Line{});
    drawn_ = 0;
    redraw_ = moves_cursor_ && !single_;
    if (single_) return;
    Say(stderr, "Updating " + std::to_string(boards.size()) + " device" +
                    (boards.size() == 1 ? "" : "s") + " with " + Printable(file) + " (" +
                    About(size) + ")\n");
  }
  void Serialized(size_t board, const BoardSerial& serial) override {
    if (redraw_) return;
    const std::string who = single_ ? "This board" : Printable(boards_[board].name);
    Say(stderr, who + " gets serial number " + Printable(serial.value) + " at " + serial.at +
                    " (its image's SHA-256 " + serial.sha256 + ")\n");
  }
  void Opened(size_t board, int64_t announced) override {
    lines_[board].state = "waiting for the device";
    if (single_) {
      Say(stderr, "Updating the device on " + Printable(boards_[board].name) + " with " +
                      Printable(file_) + " (" + About(announced) + ")\n");
    }
    Draw(false);
  }
  void Progress(size_t board, int32_t index, int32_t count, int64_t announced) override {
    if (single_) {
      const std::string text = ProgressText(index, count, announced, tty_);
      if (!text.empty()) Say(stderr, text);
      return;
    }
    Line& line = lines_[board];
    line.state = ProgressBar(index, count, announced);
    const int quarters = ProgressPercent(index, count) / kQuarter;
    if (!redraw_ && quarters > line.quarters) {
      Say(stderr, Printable(boards_[board].name) + ": " + SentText(index, count, announced) +
                      "\n");
    }
    line.quarters = std::max(line.quarters, quarters);
    Draw(false);
  }
  void Finished(size_t board, const BoardOutcome& o) override {
    lines_[board].state = BoardLine("", o.message, o.detail);
    lines_[board].state.pop_back();
    if (!redraw_) Say(stderr, BoardLine(Prefix(board), o.message, o.detail));
    SayTraceLost(board, o);
    Draw(true);
  }
  void Summary(const std::vector<BoardOutcome>& outcomes, int, double, bool) override {
    if (!single_) Say(stderr, Table(outcomes));
  }
  void Waiting(const std::vector<std::string>& words, const WaitReasons& reasons) override {
    std::string names;
    for (const std::string& w : words) names += (names.empty() ? "" : " ") + Printable(w);
    std::string why;
    for (const auto& [word, reason] : reasons) {
      why += "\n  " + Printable(word) + ": " + Printable(reason);
    }
    Say(stderr, "Waiting for a board on " + names + " ..." + why + "\n");
  }
  void Tally(int64_t done, int64_t failed) override { Say(stderr, TallyText(done, failed)); }

 private:
  struct Line {
    std::string state = "opening the port";
    int quarters = 0;
  };

  // One line per port, redrawn in place; at most every kRedrawMs unless a
  // board has just finished.
  void Draw(bool force) {
    if (!redraw_) return;
    const uint64_t now = MonotonicMs();
    if (!force && now - last_draw_ < kRedrawMs) return;
    last_draw_ = now;
    size_t width = 0;
    for (const PresentPort& b : boards_) width = std::max(width, Printable(b.name).size());
    std::string text;
    if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
    for (size_t i = 0; i < boards_.size(); ++i) {
      text += "\r" + Pad(Printable(boards_[i].name), width) + "  " + lines_[i].state + "\x1b[K\n";
    }
    drawn_ = static_cast<int>(boards_.size());
    Say(stderr, text);
  }

  std::string Table(const std::vector<BoardOutcome>& outcomes) const {
    size_t port_w = 4, device_w = 6, outcome_w = 7;
    for (size_t i = 0; i < boards_.size(); ++i) {
      port_w = std::max(port_w, Printable(boards_[i].name).size());
      device_w = std::max(device_w, DeviceText(boards_[i]).size());
      outcome_w = std::max(outcome_w, OutcomeLine(outcomes[i].message).size());
    }
    std::string table = "\n" + Pad("PORT", port_w) + "  " + Pad("DEVICE", device_w) + "  " +
                        Pad("OUTCOME", outcome_w) + "  SECONDS\n";
    size_t failed = 0;
    for (size_t i = 0; i < boards_.size(); ++i) {
      table += Pad(Printable(boards_[i].name), port_w) + "  " +
               Pad(DeviceText(boards_[i]), device_w) + "  " +
               Pad(OutcomeLine(outcomes[i].message), outcome_w) + "  " +
               PadLeft(Fixed1(outcomes[i].seconds), 6) + "\n";
      failed += outcomes[i].code() != 0 ? 1 : 0;
    }
    return table + std::to_string(boards_.size() - failed) + " of " +
           std::to_string(boards_.size()) + " updated\n";
  }

  bool tty_;
  bool moves_cursor_;
  bool redraw_ = false;
  std::vector<Line> lines_;
  int drawn_ = 0;
  uint64_t last_draw_ = 0;
};

// --quiet: nothing but what went wrong.
class QuietReporter : public TextBase {
 public:
  explicit QuietReporter(bool station) : TextBase(station) {}
  void Finished(size_t board, const BoardOutcome& o) override {
    if (o.message.code != 0) Say(stderr, BoardLine(Prefix(board), o.message, o.detail));
    SayTraceLost(board, o);
  }
};

// list, doctor and convert for a person; with `quiet`, what is fine is
// left out.
class TextPrinter : public Printer {
 public:
  explicit TextPrinter(bool quiet) : quiet_(quiet) {}

  void PrintList(const std::vector<ListedPort>& ports) override {
    for (const ListedPort& p : ports) {
      if (p.free) {
        Say(stdout, PresentPortText(p.port) + "\n");
      } else if (!quiet_) {
        Say(stderr, Printable(p.port.name) + " " + Printable(p.port.device) + ": " +
                        Printable(p.why) + "\n");
      }
    }
  }
  void PrintFindings(const std::vector<Finding>& findings) override {
    for (const Finding& f : findings) {
      if (quiet_ && f.severity == Finding::Ok) continue;
      Say(stdout, FindingText(f));
    }
  }
  void PrintConverted(const Conversion& c) override {
    if (!c.refusal.empty()) SayFileProblem(c.refusal);
    if (c.code != 0 || quiet_) return;
    Say(stderr, Printable(c.in) + " -> " + Printable(c.out) + ": " + c.image.description + "\n");
  }
  void PrintStationPlan(const StationPlan& p) override {
    if (!p.refusal.empty()) SayFileProblem(p.refusal);
    if (p.code != 0 || quiet_) return;
    const CliArguments& f = p.flash;
    std::string ports;
    for (const std::string& port : f.ports) ports += (ports.empty() ? "" : " ") + Printable(port);
    const auto or_none = [](const std::string& path) {
      return path.empty() ? std::string("none") : Printable(path);
    };
    std::string text = Printable(p.profile) + ": the profile is good; the station would:\n" +
                       "  ports:    " + ports + "\n" +
                       "  image:    " + Printable(f.file) + ", " + std::to_string(p.image.size()) +
                       " bytes" +
                       (p.image.facts.flattened ? " (" + p.image.facts.description + ")" : "") +
                       "\n  sha256:   " + p.image.facts.sha256 + "\n" +
                       "  log:      " + or_none(f.log) + "\n" +
                       "  trace:    " + or_none(f.trace) + "\n" +
                       "  count:    " + (f.count > 0 ? std::to_string(f.count) : "no limit") + "\n" +
                       "  attempts: " + std::to_string(f.attempts) + "\n";
    if (f.serial.on()) {
      text += "  serial:   " + f.serial.format_name + " at " + p.serial_at + ", from " +
              (f.serial.state.empty() ? "the list " + Printable(f.serial.list)
                                      : "the counter " + Printable(f.serial.state)) +
              "\n";
    } else {
      text += "  serial:   none\n";
    }
    Say(stdout, text);
  }

 private:
  bool quiet_;
};

}  // namespace

std::unique_ptr<Reporter> MakeReporter(const CliArguments& args, bool station) {
  if (args.json) return MakeJsonReporter();
  if (args.quiet) return std::make_unique<QuietReporter>(station);
  return std::make_unique<TextReporter>(station);
}

std::unique_ptr<Printer> MakePrinter(const CliArguments& args) {
  if (args.json) return MakeJsonPrinter();
  return std::make_unique<TextPrinter>(args.quiet);
}

const char* SeverityWord(Finding::Severity severity) {
  return severity == Finding::Blocking ? "blocking"
         : severity == Finding::Warning ? "warning"
                                        : "ok";
}

std::string FindingText(const Finding& finding) {
  // A space after the widest word too, and the fix under what was found.
  const size_t column = std::string("blocking").size() + 1;
  return Pad(SeverityWord(finding.severity), column) + Printable(finding.what) + "\n" +
         (finding.fix.empty() ? ""
                              : std::string(column, ' ') + "fix: " + Printable(finding.fix) + "\n");
}
