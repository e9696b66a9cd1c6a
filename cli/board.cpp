#include "cli/board.h"

#include <array>

#include "cli/platform.h"
#include "cli/text.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "protocol/reset_sequence.h"

namespace {

constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;
// A reply this late to an unanswered start is still that start's own.
constexpr uint32_t kLateReplyMs = 500;
// A line whose output count has not fallen for this long is taken for a
// device that stopped reading: far sooner than each word's drain bound.
constexpr uint32_t kStallMs = 1500;
// Bytes the driver may hold ahead of the line: with 128 boards on a small
// PC, a wake-up every 50 ms or so rather than one a word. 64 bytes are 67 ms
// of line; no more than that is ever told as sent beyond what the driver
// had passed on.
constexpr int32_t kWriteAhead = 64;

OutcomeMessage TraceFailedMessage() {
  return {kExitOutput, "update-firmware-cli", "cannot write the trace file"};
}

// The image bytes the port took, as the upload counted them, and for a run
// cut short why: "the device vanished after 2218 of 6000 bytes".
void TellWhatThePortTook(BoardOutcome* o, const UpdateResult& r, int64_t sent) {
  o->bytes = r.image_bytes;
  if (o->message.code != 5) return;
  if (r.cut != UploadCut::DeviceVanished && r.cut != UploadCut::DeviceStopped) return;
  const bool vanished = r.cut == UploadCut::DeviceVanished;
  o->reason = vanished ? "vanished" : "stopped";
  o->detail = std::string(vanished ? "the device vanished" : "the device stopped taking data") +
              " after " + std::to_string(o->bytes) + " of " + std::to_string(sent) + " bytes";
}

// One board's run: the steps the update sequence calls, and what they learn.
class BoardRun {
 public:
  BoardRun(const BoardJob& job, Reporter& reporter, size_t board)
      : job_(job), reporter_(reporter), board_(board) {
    o_.trace = job.trace;
  }

  BoardOutcome Run() {
    std::array<uint8_t, kTransferBufferSize> send_buffer{};
    std::array<uint8_t, kTransferBufferSize> receive_buffer{};
    UpdateSteps steps;
    steps.port_name = [this] { return job_.port; };
    steps.open_file = [this](int32_t slot, const std::string&) {
      return OpenImageSlot(slot, *job_.image) != 0;
    };
    steps.before_port = [this](int64_t) { return StartTranscript(); };
    steps.port_opened = [this](int64_t size) { return PortOpened(size); };
    steps.upload.attempts = job_.attempts;
    steps.upload.late_reply_ms = kLateReplyMs;
    steps.upload.stall_ms = kStallMs;
    steps.upload.write_ahead = kWriteAhead;
    steps.progress = [this](int32_t index, int32_t count) {
      o_.bytes = kBytesPerWord * static_cast<int64_t>(index);
      reporter_.Progress(board_, index, count, size_);
    };
    const UpdateResult r = RunUpdateSequence(kPortSlot, kFileSlot, job_.image->path, send_buffer.data(),
                                             receive_buffer.data(), steps);
    Conclude(r);
    return o_;
  }

 private:
  // The transcript is made before the port is opened, so that a file that
  // must not be written costs the board nothing. The check is made here
  // too, for the workers: whoever starts them, they take no check away.
  bool StartTranscript() {
    if (job_.trace.empty()) return true;
    std::string why = TraceProblem(job_.trace, job_.image->path, {DescribePort(job_.port)}, job_.force);
    if (why.empty() && !StartTrace(job_.trace, job_.port)) why = StopTrace();
    if (why.empty()) return true;
    o_.message = TraceFailedMessage();
    o_.detail = Printable(job_.trace) + ": " + why;
    o_.trace_error = why;
    return false;
  }

  bool PortOpened(int64_t size) {
    size_t refused = 0;
    if (!job_.reset.empty() && !PlayResetSequence(kPortSlot, job_.reset, &refused)) {
      // A reset that did not happen must not pass for one that did.
      o_.message = PortUnavailableMessage(Printable(job_.port));
      o_.detail = "the port refused step " + std::to_string(refused + 1) + " (" +
                  ResetStepText(job_.reset[refused]) + ") of --reset: it has no such line";
      return false;
    }
    size_ = size;
    port_open_ = true;
    reporter_.Opened(board_, size);
    return true;
  }

  void Conclude(const UpdateResult& r) {
    // A run cut short by a stop is the stop's, not the device's.
    cli_platform::HoldWhileStopping();
    switch (r.stage) {
      case UpdateStage::File:
        // Only when the image's bytes found no room in memory.
        o_.message = r.message;
        o_.detail = Printable(job_.image->path) + ": the image could not be held in memory";
        break;
      case UpdateStage::Stopped:
        break;  // the transcript's or the reset's problem, said when it arose
      case UpdateStage::Port:
        o_.message = PortUnavailableMessage(Printable(job_.port));
        o_.detail = LastPortProblem(job_.port);
        break;
      case UpdateStage::Upload:
        o_.message = r.message;
        break;
    }
    o_.attempts = r.attempts;
    if (port_open_) TellWhatThePortTook(&o_, r, job_.image->sent());
    const bool traced = r.stage != UpdateStage::File && o_.message.code != kExitOutput;
    if (!job_.trace.empty() && traced) o_.trace_error = StopTrace();
  }

  const BoardJob& job_;
  Reporter& reporter_;
  size_t board_;
  BoardOutcome o_;
  int64_t size_ = 0;
  bool port_open_ = false;
};

}  // namespace

BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board) {
  return BoardRun(job, reporter, board).Run();
}
