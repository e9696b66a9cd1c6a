#include "fileio/fileio.h"
#include "serial/serial.h"
#include "update/update.h"

int64_t LineSeconds(int64_t bytes) {
  if (bytes <= 0) return 0;
  const int64_t bits = bytes * kLineBitsPerByte;
  return (bits + kUpdateBaud - 1) / kUpdateBaud;
}

namespace {

void Tell(const UpdateSteps& steps, const OutcomeMessage& message) {
  if (steps.outcome) steps.outcome(message);
}

std::string AskPortName(const UpdateSteps& steps) {
  return steps.port_name ? steps.port_name() : std::string();
}

}  // namespace

UpdateResult RunUpdateSequence(int32_t port_slot, int32_t file_slot, const std::string& path,
                               uint8_t* send_buffer, uint8_t* receive_buffer,
                               const UpdateSteps& steps) {
  UpdateResult result;
  const bool opened = steps.open_file ? steps.open_file(file_slot, path)
                                      : OpenFileForReading(file_slot, path.c_str()) != 0;
  result.size = opened ? FileSlotSize(file_slot) : 0;
  if (!opened || !FitsSizeField(result.size)) {
    result.message = FirmwareMissingMessage();
    Tell(steps, result.message);
    CloseFileSlot(file_slot);
    return result;
  }
  if (steps.before_port && !steps.before_port(result.size)) {
    result.stage = UpdateStage::Stopped;
    CloseFileSlot(file_slot);
    return result;
  }
  if (!OpenUpdatePort(port_slot, AskPortName(steps))) {
    result.stage = UpdateStage::Port;
    result.message = PortUnavailableMessage(AskPortName(steps));
    Tell(steps, result.message);
    CloseFileSlot(file_slot);
    return result;
  }
  if (steps.port_opened && !steps.port_opened(result.size)) {
    result.stage = UpdateStage::Stopped;
    ClosePort(port_slot);
    CloseFileSlot(file_slot);
    return result;
  }
  result.stage = UpdateStage::Upload;
  const SizeSource size_source = [file_slot] {
    // The size of the file that is open and will be sent, not of whatever
    // the path names by now: it may have been replaced or deleted during
    // the settle. Only the low 32 bits go on the wire; larger files were
    // refused above.
    return WireSize(FileSlotSize(file_slot));
  };
  const UploadReport report = RunUpload(port_slot, file_slot, send_buffer, receive_buffer,
                                        size_source, steps.progress, steps.upload);
  result.attempts = report.attempts;
  result.image_bytes = report.image_bytes;
  result.cut = report.cut;
  result.message = UploadOutcomeMessage(report.outcome);
  // The outcome is told while the port is still open: the window's box
  // comes up while its bar still shows how far the stream got.
  Tell(steps, result.message);
  ClosePort(port_slot);
  CloseFileSlot(file_slot);
  return result;
}
