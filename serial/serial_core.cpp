// Numbered serial connections: the slot table and the line-setting rules,
// shared by every platform. The platform calls live in serial_<platform>.cpp.
#include "serial/serial.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/slot_table.h"
#include "serial/port_holders.h"
#include "serial/serial_backend.h"

namespace {

struct SerialPortSlot {
  intptr_t handle = 0;  // the backend's handle; non-zero while open
  int64_t written = 0;  // bytes the platform took since the open
  serial_backend::TransferFault fault;  // why the last transfer fell short
};

constexpr int32_t kSerialTableStep = 16;

SlotTable<SerialPortSlot>& Ports() {
  static SlotTable<SerialPortSlot> table(kSerialTableStep, [](int32_t id) { ClosePort(id); });
  return table;
}

PortTraceHook g_trace_hook = nullptr;

// Per thread, like errno: a program that opens ports on several threads
// reads the reason for its own failure.
thread_local PortError t_port_error = PortErrorNone;
thread_local int32_t t_system_error = 0;

intptr_t OpenHandle(int32_t slot) {
  const SerialPortSlot* rec = Ports().Find(slot);
  return rec ? rec->handle : 0;
}

// What a transfer that moved `moved` of `count` bytes leaves as its reason.
// A backend that fell short without saying why still leaves one.
void RecordTransfer(int32_t slot, int32_t moved, int32_t count,
                    const serial_backend::TransferFault& fault) {
  SerialPortSlot* rec = Ports().Find(slot);
  if (rec == nullptr) return;
  rec->fault = serial_backend::TransferFault{};
  if (moved < count) {
    rec->fault = fault;
    if (rec->fault.error == TransferErrorNone) rec->fault.error = TransferErrorOther;
  }
}

}  // namespace

uint8_t StopBitsCodeFor(float stop_bits) {
  // Exact comparisons on purpose: only the two exact values name a whole
  // number of stop bits.
  if (stop_bits == 1.0f) return StopBitsOne;
  if (stop_bits == 2.0f) return StopBitsTwo;
  return StopBitsOneAndHalf;
}

FlowControl FlowControlFor(int32_t handshake, int32_t input_queue) {
  FlowControl flow;
  switch (handshake) {
    case HandshakeNone:
      flow.cts_output = FlowSwitch::Off;
      flow.rts = RtsLine::Inactive;
      break;
    case HandshakeRts:
      flow.cts_output = FlowSwitch::Off;
      flow.rts = RtsLine::Active;
      break;
    case HandshakeRtsCts:
      flow.cts_output = FlowSwitch::On;
      flow.rts = RtsLine::Handshake;
      break;
    case HandshakeXonXoff:
      flow.xon_xoff = FlowSwitch::On;
      flow.xon_limit = input_queue / 10;
      flow.xoff_limit = 7 * (input_queue / 10);
      break;
    default:
      break;  // unknown mode: flow control stays as the driver reports it
  }
  return flow;
}

LineSettings MakeLineSettings(uint32_t baud, uint8_t parity, uint8_t data_bits,
                              float stop_bits, int32_t handshake,
                              int32_t input_queue, int32_t output_queue) {
  LineSettings s;
  s.baud = baud;
  s.parity = parity;
  s.data_bits = data_bits;
  s.stop_bits = StopBitsCodeFor(stop_bits);
  s.parity_check = true;
  s.flow = FlowControlFor(handshake, input_queue);
  s.input_queue = input_queue;
  s.output_queue = output_queue;
  return s;
}

uint64_t WriteTimeoutMs(int32_t count) {
  if (count < 0) count = 0;
  return uint64_t{kPortTimeouts.write_total_multiplier} * static_cast<uint64_t>(count) +
         kPortTimeouts.write_total_constant;
}

intptr_t OpenPort(int32_t slot, const char* name, uint32_t baud, uint8_t parity,
                  uint8_t data_bits, float stop_bits, int32_t handshake,
                  int32_t input_queue, int32_t output_queue) {
  // Ports live in numbered slots only: a detached record (slot -1) would be
  // unreachable once its identifier is dropped, since we return the handle.
  if (name == nullptr) {
    RecordPortError(PortErrorAbsent, 0);
    return 0;
  }
  if (slot < 0) {
    RecordPortError(PortErrorOther, 0);
    return 0;
  }

  const LineSettings settings = MakeLineSettings(baud, parity, data_bits, stop_bits, handshake,
                                                 input_queue, output_queue);
  // A backend that fails without saying why still leaves a reason.
  RecordPortError(PortErrorOther, 0);
  const intptr_t handle = serial_backend::Open(name, settings);
  if (handle == 0) return 0;  // the slot, and any port it holds, is untouched

  // Only now does an old port in this slot get closed (by the claim).
  SerialPortSlot* rec = Ports().Claim(slot);
  if (rec == nullptr) {
    serial_backend::Close(handle);
    RecordPortError(PortErrorOther, 0);
    return 0;
  }
  rec->handle = handle;
  RecordPortError(PortErrorNone, 0);
  return handle;
}

int32_t ProbePort(const char* name) {
  if (name == nullptr) {
    RecordPortError(PortErrorAbsent, 0);
    return 0;
  }
  RecordPortError(PortErrorOther, 0);
  if (!serial_backend::Probe(name)) return 0;
  RecordPortError(PortErrorNone, 0);
  return 1;
}

PortError LastPortError(int32_t* system_error) {
  if (system_error != nullptr) *system_error = t_system_error;
  return t_port_error;
}

void RecordPortError(PortError error, int32_t system_error) {
  t_port_error = error;
  t_system_error = system_error;
}

int32_t PortInputCount(int32_t slot) {
  const intptr_t h = OpenHandle(slot);
  return h ? serial_backend::InputCount(h) : 0;
}

int32_t PortOutputCount(int32_t slot) {
  const intptr_t h = OpenHandle(slot);
  return h ? serial_backend::OutputCount(h) : 0;
}

int32_t ReadPort(int32_t slot, void* buffer, int32_t count) {
  const intptr_t h = OpenHandle(slot);
  if (h == 0 || buffer == nullptr || count <= 0) return 0;
  serial_backend::TransferFault fault;
  const int32_t moved = serial_backend::Read(h, buffer, count, &fault);
  RecordTransfer(slot, moved, count, fault);
  if (g_trace_hook != nullptr && moved > 0) g_trace_hook(slot, false, buffer, moved);
  return moved;
}

int32_t WritePort(int32_t slot, const void* buffer, int32_t count) {
  const intptr_t h = OpenHandle(slot);
  if (h == 0 || buffer == nullptr || count <= 0) return 0;
  serial_backend::TransferFault fault;
  const int32_t moved = serial_backend::Write(h, buffer, count, &fault);
  RecordTransfer(slot, moved, count, fault);
  if (SerialPortSlot* rec = Ports().Find(slot)) rec->written += moved;
  if (g_trace_hook != nullptr && moved > 0) g_trace_hook(slot, true, buffer, moved);
  return moved;
}

TransferError LastTransferError(int32_t slot, int32_t* system_error) {
  const SerialPortSlot* rec = Ports().Find(slot);
  const serial_backend::TransferFault fault = rec ? rec->fault : serial_backend::TransferFault{};
  if (system_error != nullptr) *system_error = fault.system_error;
  return fault.error;
}

int64_t PortBytesWritten(int32_t slot) {
  const SerialPortSlot* rec = Ports().Find(slot);
  return rec ? rec->written : 0;
}

int32_t PortHolder(const char* name, char* program, int32_t program_size) {
  if (program != nullptr && program_size > 0) program[0] = '\0';
  if (name == nullptr) return 0;
  std::string found;
  const int32_t pid = serial_backend::Holder(name, &found);
  if (pid == 0) return 0;
  if (program != nullptr && program_size > 0) {
    const size_t n = std::min(found.size(), static_cast<size_t>(program_size) - 1);
    std::memcpy(program, found.data(), n);
    program[n] = '\0';
  }
  return pid;
}

void BeginPortSweep() { serial_backend::BeginSweep(); }
void EndPortSweep() { serial_backend::EndSweep(); }

int32_t PidFromLockFile(const std::string& content) {
  // Old-style locks hold the pid as a binary int; anything else of four
  // bytes that is not text is read that way too.
  const auto is_text = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
  if (content.size() == 4 && !std::all_of(content.begin(), content.end(), is_text)) {
    int32_t pid = 0;
    std::memcpy(&pid, content.data(), sizeof pid);
    return pid > 0 ? pid : 0;
  }
  size_t i = content.find_first_not_of(' ');
  if (i == std::string::npos || content[i] < '0' || content[i] > '9') return 0;
  int64_t pid = 0;
  for (; i < content.size() && content[i] >= '0' && content[i] <= '9'; ++i) {
    pid = pid * 10 + (content[i] - '0');
    if (pid > INT32_MAX) return 0;
  }
  // Some programs add their name after the number.
  if (i < content.size() && content[i] != ' ' && content[i] != '\n') return 0;
  return static_cast<int32_t>(pid);
}

std::string LockFileName(const std::string& path) {
  std::string name;
  if (path.rfind("/dev/", 0) == 0) {
    name = path.substr(5);
  } else {
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

HolderRoots HolderRootsFromEnvironment() {
  HolderRoots roots;
  const char* proc = std::getenv("UPDATE_FIRMWARE_PROC");
  if (proc != nullptr && proc[0] != '\0') roots.proc = proc;
  const char* locks = std::getenv("UPDATE_FIRMWARE_LOCKDIRS");
  if (locks != nullptr && locks[0] != '\0') {
    roots.lock_dirs.clear();
    const std::string list = locks;
    size_t start = 0;
    while (start <= list.size()) {
      const size_t end = std::min(list.find(':', start), list.size());
      if (end > start) roots.lock_dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  return roots;
}

void ClosePort(int32_t slot) {
  const intptr_t h = OpenHandle(slot);
  if (h == 0) return;
  serial_backend::Close(h);
  Ports().Release(slot);
}

void CloseAllPorts() { Ports().CloseAll(); }

void SetPortTraceHook(PortTraceHook hook) { g_trace_hook = hook; }

// --- Modem lines ------------------------------------------------------------

namespace {

int32_t SetLine(int32_t slot, ModemLine line, int32_t on) {
  const intptr_t h = OpenHandle(slot);
  if (h == 0) return 0;
  return serial_backend::SetModemLine(h, line, on != 0) ? 1 : 0;
}

}  // namespace

int32_t SetPortDtr(int32_t slot, int32_t on) { return SetLine(slot, ModemLine::Dtr, on); }

int32_t SetPortRts(int32_t slot, int32_t on) { return SetLine(slot, ModemLine::Rts, on); }
