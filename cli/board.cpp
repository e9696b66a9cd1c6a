#include "cli/board.h"

#include <array>

#include "cli/text.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "protocol/reset_sequence.h"

namespace {

constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;

OutcomeMessage TraceFailedMessage() {
  return {kExitOutput, "update-firmware-cli", "cannot write the trace file"};
}

// The image bytes the driver took, and for a run cut short why: "the device
// vanished after 2218 of 6000 bytes".
void TellWhatTheDriverTook(BoardOutcome* o, int64_t image_bytes, TransferError cut, int64_t size) {
  o->bytes = image_bytes > 0 ? image_bytes : 0;
  if (o->message.code != 5 || (cut != TransferErrorVanished && cut != TransferErrorStopped)) return;
  o->reason = cut == TransferErrorVanished ? "vanished" : "stopped";
  o->detail = std::string(cut == TransferErrorVanished ? "the device vanished"
                                                       : "the device stopped taking data") +
              " after " + std::to_string(o->bytes) + " of " + std::to_string(size) + " bytes";
}

}  // namespace

BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board) {
  BoardOutcome o;
  o.trace = job.trace;
  std::array<uint8_t, kTransferBufferSize> send_buffer{};
  std::array<uint8_t, kTransferBufferSize> receive_buffer{};
  UpdateSteps steps;
  steps.port_name = [&job] { return job.port; };
  std::string image_problem;
  steps.open_file = [&](int32_t slot, const std::string& path) {
    return OpenImage(slot, path, job.image, &image_problem);
  };
  // The transcript is made before the port is opened, so that a file that
  // must not be written costs the board nothing. The check is made here
  // too, for the workers: whoever starts them, they take no check away.
  steps.before_port = [&](int64_t) {
    if (job.trace.empty()) return true;
    std::string why = TraceProblem(job.trace, job.file, {DescribePort(job.port)}, job.force);
    if (why.empty() && !StartTrace(job.trace, job.port)) why = StopTrace();
    if (why.empty()) return true;
    o.message = TraceFailedMessage();
    o.detail = Printable(job.trace) + ": " + why;
    o.trace_error = why;
    return false;
  };
  int64_t size = 0;
  bool port_open = false;
  steps.upload.attempts = job.attempts;
  const ResetSequence reset = ParseResetSequence(job.reset);
  steps.port_opened = [&](int64_t opened) {
    size_t refused = 0;
    if (!job.reset.empty() && !PlayResetSequence(kPortSlot, reset.steps, &refused)) {
      // A reset that did not happen must not pass for one that did.
      o.message = PortUnavailableMessage(Printable(job.port));
      o.detail = "the port refused step " + std::to_string(refused + 1) + " (" +
                 ResetStepText(reset.steps[refused]) + ") of --reset: it has no such line";
      return false;
    }
    size = opened;
    port_open = true;
    reporter.Opened(board, opened);
    return true;
  };
  // Asked while the port is still open: why the upload was cut short, and
  // what the driver took, from the write results (the start commands and
  // the size left out).
  int64_t written = 0;
  TransferError cut = TransferErrorNone;
  steps.outcome = [&](const OutcomeMessage&) {
    if (!port_open) return;
    written = PortBytesWritten(kPortSlot);
    cut = LastTransferError(kPortSlot, nullptr);
  };
  steps.progress = [&](int32_t index, int32_t count) {
    o.bytes = kBytesPerWord * static_cast<int64_t>(index);
    reporter.Progress(board, index, count, size);
  };
  const UpdateResult r = RunUpdateSequence(kPortSlot, kFileSlot, job.file, send_buffer.data(),
                                           receive_buffer.data(), steps);
  switch (r.stage) {
    case UpdateStage::File:
      o.message = r.message;
      o.detail = Printable(job.file) + ": " +
                 (image_problem.empty() ? FileProblemText(job.file, r.size) : image_problem);
      break;
    case UpdateStage::Stopped:
      break;  // the transcript's or the reset's problem, said above
    case UpdateStage::Port:
      o.message = PortUnavailableMessage(Printable(job.port));
      o.detail = LastPortProblem(job.port);
      break;
    case UpdateStage::Upload:
      o.message = r.message;
      break;
  }
  o.attempts = r.attempts;
  if (port_open) TellWhatTheDriverTook(&o, written - 4 * int64_t{r.attempts} - 4, cut, size);
  const bool traced = r.stage != UpdateStage::File && o.message.code != kExitOutput;
  if (!job.trace.empty() && traced) o.trace_error = StopTrace();
  return o;
}
