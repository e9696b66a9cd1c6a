#include "cli/record_log.h"

#include <cstdio>

#include "cli/platform.h"
#include "cli/report_json.h"
#include "cli/stop_records.h"
#include "cli/text.h"
#include "cli/workers.h"
#include "common/delay.h"

namespace {

using json = nlohmann::ordered_json;

// Overrides every method: the base's do-nothing would keep what it does
// not pass on from the reporter it wraps.
class LogReporter : public Reporter {
 public:
  LogReporter(std::unique_ptr<Reporter> inner, std::shared_ptr<bool> failed)
      : inner_(std::move(inner)), station_(record_log::StationName()), failed_(std::move(failed)) {}

  void SameDevice(const std::string& note) override { inner_->SameDevice(note); }
  void FileProblem(const std::vector<PresentPort>& boards, const std::string& file,
                   const std::string& detail) override {
    inner_->FileProblem(boards, file, detail);
    file_ = file;
    facts_ = ImageFacts{};
    size_ = 0;
    BoardOutcome o;
    o.message = FirmwareMissingMessage();
    o.detail = detail;
    serials_.assign(boards.size(), BoardSerial{});
    for (size_t i = 0; i < boards.size(); ++i) Record(i, boards[i], o);
  }
  void Started(const std::vector<PresentPort>& boards, const std::string& file, int64_t size,
               const ImageFacts& image) override {
    inner_->Started(boards, file, size, image);
    boards_ = boards;
    serials_.assign(boards.size(), BoardSerial{});
    file_ = file;
    size_ = size;
    facts_ = image;
  }
  void Serialized(size_t board, const BoardSerial& serial) override {
    serials_[board] = serial;
    inner_->Serialized(board, serial);
  }
  void Opened(size_t board, int64_t announced) override {
    // From here on the board has been touched: should the run be stopped
    // before it ends, its record is owed all the same.
    BoardOutcome o;
    o.message = {kExitInterrupted, "update-firmware-cli", "interrupted"};
    o.detail = "the run was interrupted while this board was being flashed";
    o.reason = "interrupted";
    o.bytes = stop_records::kBytesMark;
    stop_records::Pend(board,
                       RecordText(board, boards_[board], o, json::parse(stop_records::kSecondsMark)),
                       MonotonicMs());
    inner_->Opened(board, announced);
  }
  void Progress(size_t board, int32_t index, int32_t count, int64_t announced) override {
    stop_records::SetBytes(board, kBytesPerWord * int64_t{index});
    inner_->Progress(board, index, count, announced);
  }
  void Finished(size_t board, const BoardOutcome& outcome) override {
    // The record first: a board is counted only once it is on the disk.
    stop_records::Settle(board);
    Record(board, boards_[board], outcome);
    inner_->Finished(board, outcome);
  }
  void Summary(const std::vector<BoardOutcome>& outcomes, int code, double seconds,
               bool station_round) override {
    inner_->Summary(outcomes, code, seconds, station_round);
  }
  void Waiting(const std::vector<std::string>& words, const WaitReasons& reasons) override {
    inner_->Waiting(words, reasons);
  }
  void Tally(int64_t done, int64_t failed) override { inner_->Tally(done, failed); }
  void StationSummary(int64_t done, int64_t failed, int code, double seconds) override {
    inner_->StationSummary(done, failed, code, seconds);
  }

 private:
  void Record(size_t board, const PresentPort& port, const BoardOutcome& o) {
    if (!record_log::Append(RecordText(board, port, o, o.seconds))) {
      *failed_ = true;
      std::fputs(("update-firmware-cli: the record of " + Printable(port.name) +
                  " could not be written to the log\n")
                     .c_str(),
                 stderr);
    }
  }

  std::string RecordText(size_t board, const PresentPort& port, const BoardOutcome& o,
                         const json& seconds) {
    json usb = nullptr;
    if (port.usb.IsUsb()) {
      usb = {{"vid", port.usb.vendor_id},   {"pid", port.usb.product_id},
             {"manufacturer", port.usb.manufacturer}, {"product", port.usb.product},
             {"serial", port.usb.serial},   {"location", port.usb.location}};
    }
    json r = {{"time", UtcNow()},
              {"station", station_},
              {"version", UF_VERSION},
              {"port", port.name},
              {"device", port.device.empty() ? json(nullptr) : json(port.device)},
              {"usb", usb},
              {"file", file_},
              {"size", size_},
              {"sha256", facts_.sha256.empty() ? json(nullptr) : json(facts_.sha256)},
              {"odd_length", facts_.odd_length},
              {"code", o.code()},
              {"title", o.message.title},
              {"text", o.message.text},
              {"detail", o.detail},
              {"bytes", o.bytes},
              {"seconds", seconds},
              {"attempts", o.attempts},
              {"reason", o.reason.empty() ? json(nullptr) : json(o.reason)}};
    // A board with its own image: the value it burnt, and which bytes it got.
    const BoardSerial& s = serials_[board];
    if (!s.value.empty()) {
      r["serial"] = s.value;
      r["serial_at"] = s.at;
      r["sha256"] = s.sha256;
      r["image_sha256"] = facts_.sha256;
    }
    return JsonText(r) + "\n";
  }

  std::unique_ptr<Reporter> inner_;
  std::string station_;
  std::vector<PresentPort> boards_;
  std::vector<BoardSerial> serials_;  // empty values: the run's image
  std::string file_;
  int64_t size_ = 0;
  ImageFacts facts_;
  std::shared_ptr<bool> failed_;  // a record did not get to the disk
};

}  // namespace

void WriteOwedRecords() {
  stop_records::EmitOwed(record_log::AppendRaw, cli_workers::InterruptedBytes, MonotonicMs());
}

LogReporting MakeLogReporter(std::unique_ptr<Reporter> inner) {
  cli_platform::SetStopHook(WriteOwedRecords);
  auto failed = std::make_shared<bool>(false);
  return {std::make_unique<LogReporter>(std::move(inner), failed), failed};
}
