#include "cli/board.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "cli/text.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"

namespace {

constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;

OutcomeMessage TraceFailedMessage() {
  return {kExitOutput, "update-firmware-cli", "cannot write the trace file"};
}

}  // namespace

std::string FileProblemText(const std::string& path, int64_t size) {
  const int64_t at_path = FileSizeAtPath(path.c_str());
  if (at_path == -2) return "a directory, not a file";
  if (at_path < 0) return "no such file";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return "not a regular file (a device, a FIFO or a socket)";
  }
  // Larger files would be announced by their low 32 bits and arrive cut
  // short on the device.
  if (!FitsSizeField(size)) {
    return std::to_string(size) + " bytes, more than the 32-bit size field can announce";
  }
  return "cannot be opened for reading";
}

std::string CheckImage(const std::string& path, int64_t* size) {
  const bool opened = OpenFileForReading(kFileSlot, path.c_str()) != 0;
  *size = opened ? FileSlotSize(kFileSlot) : 0;
  CloseFileSlot(kFileSlot);
  return opened && FitsSizeField(*size) ? std::string() : FileProblemText(path, *size);
}

BoardOutcome FlashBoard(const BoardJob& job, Reporter& reporter, size_t board) {
  BoardOutcome o;
  o.trace = job.trace;
  std::array<uint8_t, kTransferBufferSize> send_buffer{};
  std::array<uint8_t, kTransferBufferSize> receive_buffer{};
  UpdateSteps steps;
  steps.port_name = [&job] { return job.port; };
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
  steps.port_opened = [&](int64_t opened) {
    size = opened;
    reporter.Opened(board, opened);
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
      o.detail = Printable(job.file) + ": " + FileProblemText(job.file, r.size);
      break;
    case UpdateStage::Stopped:
      return o;  // the transcript's problem, said above
    case UpdateStage::Port:
      o.message = PortUnavailableMessage(Printable(job.port));
      o.detail = LastPortProblem(job.port);
      break;
    case UpdateStage::Upload:
      o.message = r.message;
      break;
  }
  if (!job.trace.empty() && r.stage != UpdateStage::File) o.trace_error = StopTrace();
  return o;
}
