#include "update/update.h"

#include "serial/serial.h"

OutcomeMessage FirmwareMissingMessage() { return {1, "ERROR:1", "Firmware missing!"}; }

OutcomeMessage PortUnavailableMessage(const std::string& port_text) {
  return {2, "ERROR:2", "Can't open the serial port: " + port_text};
}

OutcomeMessage UploadOutcomeMessage(UploadOutcome outcome) {
  switch (outcome) {
    case UploadOutcome::Success:
      return {0, "Information", "Device update!"};
    case UploadOutcome::NoReplyToStart:
      return {3, "ERROR:3", "Device does not respond!"};
    case UploadOutcome::WrongReplyToStart:
      return {4, "ERROR:4", "No correct answer device!"};
    case UploadOutcome::NoFinalReply:
      return {5, "ERROR:5", "Update wrong!"};
    case UploadOutcome::WrongFinalReply:
      return {6, "ERROR:6", "Update wrong!"};
  }
  return {5, "ERROR:5", "Update wrong!"};
}

std::string PortName(int32_t n) { return "COM" + std::to_string(n); }

intptr_t OpenUpdatePort(int32_t slot, const std::string& name) {
  return OpenPort(slot, name.c_str(), kUpdateBaud, kUpdateParity, kUpdateDataBits,
                  kUpdateStopBits, HandshakeNone, kUpdateQueueSize, kUpdateQueueSize);
}

// One look for other holders serves the whole pass.
void ScanPorts(int32_t slot, const std::function<void(const std::string& name, bool opened)>& visit) {
  BeginPortSweep();
  for (int32_t n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    const std::string name = PortName(n);
    const bool opened = OpenUpdatePort(slot, name) != 0;
    visit(name, opened);
    if (opened) ClosePort(slot);
  }
  EndPortSweep();
}

void ScanFreePorts(const std::function<void(const std::string& name, bool free)>& visit) {
  BeginPortSweep();
  for (int32_t n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    const std::string name = PortName(n);
    visit(name, ProbePort(name.c_str()) != 0);
  }
  EndPortSweep();
}

int32_t WireSize(int64_t size) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(size) & 0xFFFFFFFFu));
}

bool FitsSizeField(int64_t size) { return size <= INT32_MAX; }

int32_t ProgressPercent(int32_t index, int32_t count) {
  if (count <= 0) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(index) * 100 / count);
}
