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
    reporter.Opened(board, opened);
    return true;
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
  const bool traced = r.stage != UpdateStage::File && o.message.code != kExitOutput;
  if (!job.trace.empty() && traced) o.trace_error = StopTrace();
  return o;
}
