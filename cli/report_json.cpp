#include "cli/report_json.h"

#include <cstdio>

#include "common/delay.h"

namespace {

using json = nlohmann::ordered_json;

void Emit(const json& value) {
  const std::string line = JsonText(value) + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

json UsbJson(const UsbIdentity& usb) {
  if (!usb.IsUsb()) return nullptr;
  return {{"vid", usb.vendor_id},   {"pid", usb.product_id}, {"manufacturer", usb.manufacturer},
          {"product", usb.product}, {"serial", usb.serial},   {"location", usb.location}};
}

json PortJson(const PresentPort& port) {
  return {{"port", port.name},
          {"device", port.device.empty() ? json(nullptr) : json(port.device)},
          {"usb", UsbJson(port.usb)}};
}

json Event(const std::string& event, const PresentPort& port) {
  json e = {{"event", event}};
  e.update(PortJson(port));
  return e;
}

json SummaryJson(size_t boards, size_t succeeded, int code, double seconds) {
  return {{"event", "summary"},     {"boards", boards}, {"succeeded", succeeded},
          {"failed", boards - succeeded}, {"code", code}, {"seconds", seconds}};
}

double Since(uint64_t ms) { return static_cast<double>(MonotonicMs() - ms) / 1000.0; }

// An image that cannot be flashed or converted: the outcome of each of
// `boards`, none of them touched, and the summary. With no board yet (the
// station before its first round, convert) one outcome without a port
// still says why, so that a reader of the events alone learns it.
void EmitFileProblem(const std::vector<PresentPort>& boards, const std::string& detail) {
  const OutcomeMessage m = FirmwareMissingMessage();
  const std::vector<PresentPort> nobody = {PresentPort{}};
  for (const PresentPort& p : boards.empty() ? nobody : boards) {
    json e = Event("outcome", p);
    if (boards.empty()) e["port"] = nullptr;
    e["code"] = m.code;
    e["title"] = m.title;
    e["text"] = m.text;
    e["detail"] = detail;
    e["bytes"] = 0;
    e["seconds"] = 0.0;
    Emit(e);
  }
  Emit(SummaryJson(boards.size(), 0, m.code, 0.0));
}

class JsonReporter : public Reporter {
 public:
  void SameDevice(const std::string& note) override {
    Emit({{"event", "same-device"}, {"text", note}});
  }
  void FileProblem(const std::vector<PresentPort>& boards, const std::string&,
                   const std::string& detail) override {
    EmitFileProblem(boards, detail);
  }
  void Started(const std::vector<PresentPort>& boards, const std::string& file, int64_t size,
               const ImageFacts& image) override {
    boards_ = boards;
    serials_.assign(boards.size(), BoardSerial{});
    image_sha256_ = image.sha256;
    odd_length_ = image.odd_length;
    quarters_.assign(boards.size(), 0);
    started_ms_ = MonotonicMs();
    for (const PresentPort& p : boards) {
      json e = Event("start", p);
      e["file"] = file;
      e["bytes"] = size;
      e["sha256"] = image.sha256.empty() ? json(nullptr) : json(image.sha256);
      if (image.flattened) {
        e["format"] = image.format;
        e["first_address"] = image.first_address;
        e["end_address"] = image.end_address;
        e["padded"] = image.padded;
      }
      if (image.odd_length) e["odd_length"] = true;
      Emit(e);
    }
  }
  void Serialized(size_t board, const BoardSerial& serial) override { serials_[board] = serial; }
  void Opened(size_t board, int64_t announced) override {
    // Said where a board has an image of its own: which value it carries.
    if (serials_[board].value.empty()) return;
    json e = Event("opened", boards_[board]);
    e["bytes"] = announced;
    AddSerial(board, &e);
    Emit(e);
  }
  void Progress(size_t board, int32_t index, int32_t count, int64_t announced) override {
    const int32_t percent = ProgressPercent(index, count);
    const int quarters = count > 0 ? percent / 25 : 0;
    if (quarters <= quarters_[board]) return;
    quarters_[board] = quarters;
    json e = Event("progress", boards_[board]);
    e["percent"] = percent;
    e["bytes"] = kBytesPerWord * static_cast<int64_t>(index);
    e["of"] = announced;
    e["seconds"] = Since(started_ms_);
    Emit(e);
  }
  void Finished(size_t board, const BoardOutcome& o) override {
    json e = Event("outcome", boards_[board]);
    e["code"] = o.message.code;
    e["title"] = o.message.title;
    e["text"] = o.message.text;
    if (!o.detail.empty()) e["detail"] = o.detail;
    if (!o.trace_error.empty()) e["trace_error"] = o.trace_error;
    if (!o.reason.empty()) e["reason"] = o.reason;
    e["bytes"] = o.bytes;
    e["seconds"] = o.seconds;
    e["attempts"] = o.attempts;
    if (odd_length_) e["odd_length"] = true;
    AddSerial(board, &e);
    Emit(e);
  }
  void Summary(const std::vector<BoardOutcome>& outcomes, int code, double seconds,
               bool station_round) override {
    // A round of the station loop is summed up in its tally.
    if (station_round) return;
    size_t succeeded = 0;
    for (const BoardOutcome& o : outcomes) succeeded += o.code() == 0 ? 1 : 0;
    Emit(SummaryJson(outcomes.size(), succeeded, code, seconds));
  }
  void Waiting(const std::vector<std::string>& words, const WaitReasons& reasons) override {
    json why = json::object();
    for (const auto& [word, reason] : reasons) why[word] = reason;
    Emit({{"event", "waiting"}, {"ports", words}, {"why", why}});
  }
  void Tally(int64_t done, int64_t failed) override {
    Emit({{"event", "tally"}, {"done", done}, {"failed", failed}});
  }
  void StationSummary(int64_t done, int64_t failed, int code, double seconds) override {
    Emit({{"event", "summary"}, {"boards", done + failed}, {"succeeded", done},
          {"failed", failed},   {"code", code},            {"seconds", seconds}});
  }

 private:
  void AddSerial(size_t board, json* e) const {
    const BoardSerial& s = serials_[board];
    if (s.value.empty()) return;
    (*e)["serial"] = s.value;
    (*e)["serial_at"] = s.at;
    (*e)["sha256"] = s.sha256;
    (*e)["image_sha256"] = image_sha256_;
  }

  std::vector<PresentPort> boards_;
  std::vector<BoardSerial> serials_;  // empty values: the run's image
  std::string image_sha256_;
  std::vector<int> quarters_;
  bool odd_length_ = false;  // the image's last byte is not sent
  uint64_t started_ms_ = 0;
};

// list, doctor and convert: the free ports, the findings, what was
// converted. An unusable port is not a result; the text says it.
class JsonPrinter : public Printer {
 public:
  void PrintList(const std::vector<ListedPort>& ports) override {
    for (const ListedPort& p : ports) {
      if (p.free) Emit(PortJson(p.port));
    }
  }
  void PrintFindings(const std::vector<Finding>& findings) override {
    for (const Finding& f : findings) {
      Emit({{"event", "finding"}, {"severity", SeverityWord(f.severity)}, {"what", f.what},
            {"fix", f.fix}});
    }
  }
  void PrintConverted(const Conversion& c) override {
    if (!c.refusal.empty()) EmitFileProblem({}, c.refusal);
    if (c.code != 0) return;
    Emit({{"event", "converted"}, {"file", c.in}, {"out", c.out}, {"format", c.image.format},
          {"first_address", c.image.first_address}, {"end_address", c.image.end_address},
          {"padded", c.image.padded}});
  }
  void PrintStationPlan(const StationPlan& p) override {
    if (!p.refusal.empty()) EmitFileProblem({}, p.refusal);
    if (p.code != 0) return;
    const CliArguments& f = p.flash;
    json plan = {{"event", "station_plan"}, {"profile", p.profile}, {"ports", f.ports},
                 {"image", f.file}, {"size", p.image.size()}, {"sha256", p.image.facts.sha256},
                 {"log", f.log}, {"trace", f.trace}, {"count", f.count},
                 {"attempts", f.attempts}};
    if (f.serial.on()) {
      plan["serial_at"] = p.serial_at;
      plan["serial_format"] = f.serial.format_name;
      plan["serial_state"] = f.serial.state;
      plan["serial_list"] = f.serial.list;
    }
    Emit(plan);
  }
};

}  // namespace

std::string JsonText(const nlohmann::ordered_json& value) {
  const std::string text =
      value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  // The dump escapes C0 only. C1 controls and the direction controls are
  // written as \u escapes too, so that JSON read on a terminal cannot work
  // it either; they can only stand inside strings, where the escape means
  // the same character.
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto at = [&](size_t k) {
      return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    uint32_t code = 0;
    size_t length = 0;
    if (at(i) == 0xC2 && at(i + 1) >= 0x80 && at(i + 1) <= 0x9F) {
      code = at(i + 1);
      length = 2;
    } else if (at(i) == 0xE2 && ((at(i + 1) == 0x80 && at(i + 2) >= 0xAA && at(i + 2) <= 0xAE) ||
                                 (at(i + 1) == 0x81 && at(i + 2) >= 0xA6 && at(i + 2) <= 0xA9))) {
      code = 0x2000 | (at(i + 1) & 0x3F) << 6 | (at(i + 2) & 0x3F);
      length = 3;
    }
    if (length == 0) {
      out += text[i];
      continue;
    }
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[code >> shift & 0xF];
    i += length - 1;
  }
  return out;
}

std::unique_ptr<Reporter> MakeJsonReporter() { return std::make_unique<JsonReporter>(); }

std::unique_ptr<Printer> MakeJsonPrinter() { return std::make_unique<JsonPrinter>(); }
