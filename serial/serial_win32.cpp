// Serial ports on Windows: the kernel32 communications calls, one for one.
#ifndef _WIN32
#error "serial_win32.cpp is the Windows backend"
#endif

#include <windows.h>

#include <cstring>
#include <string>

#include "serial/serial_backend.h"

namespace {

HANDLE ToHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

void ApplyFlowControl(DCB& dcb, const FlowControl& flow) {
  if (flow.cts_output != FlowSwitch::Keep) {
    dcb.fOutxCtsFlow = flow.cts_output == FlowSwitch::On ? TRUE : FALSE;
  }
  switch (flow.rts) {
    case RtsLine::Keep: break;
    case RtsLine::Inactive: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
    case RtsLine::Active: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case RtsLine::Handshake: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
  }
  if (flow.xon_xoff != FlowSwitch::Keep) {
    const BOOL on = flow.xon_xoff == FlowSwitch::On ? TRUE : FALSE;
    dcb.fOutX = on;
    dcb.fInX = on;
    if (on) {
      dcb.XonChar = static_cast<char>(flow.xon_char);
      dcb.XoffChar = static_cast<char>(flow.xoff_char);
      dcb.XonLim = static_cast<WORD>(flow.xon_limit);
      dcb.XoffLim = static_cast<WORD>(flow.xoff_limit);
    }
  }
}

void RecordLastError(DWORD error) {
  PortError reason = PortErrorOther;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      reason = PortErrorAbsent;
      break;
    case ERROR_ACCESS_DENIED:  // what a COM port held by another program reports
    case ERROR_SHARING_VIOLATION:
      reason = PortErrorBusy;
      break;
    default:
      break;
  }
  RecordPortError(reason, static_cast<int32_t>(error));
}

// Why a ReadFile or WriteFile on an open port failed. A USB adapter pulled
// out leaves its handle failing with one of the first group (which one
// depends on the driver: ERROR_ACCESS_DENIED from an open handle means the
// device went, not a lack of rights); a write time-out some drivers report as
// an error rather than as a short count.
TransferError TransferErrorFor(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
      return TransferErrorVanished;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
    case ERROR_COUNTER_TIMEOUT:
      return TransferErrorStopped;
    default:
      return TransferErrorOther;
  }
}

// Opens the device exclusively (share mode 0), for synchronous use.
// "\\.\" goes in front of every name, so COM10 and up open like COM1. A
// name too long for the path is refused: cut short it could name another
// device. Returns INVALID_HANDLE_VALUE with the reason recorded.
HANDLE OpenExclusive(const char* name) {
  constexpr char kPrefix[] = "\\\\.\\";
  constexpr size_t kPrefixChars = sizeof kPrefix - 1;
  char path[64];
  const size_t length = std::strlen(name);
  if (length > sizeof path - kPrefixChars - 1) {
    RecordPortError(PortErrorOther, ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  std::memcpy(path, kPrefix, kPrefixChars);
  std::memcpy(path + kPrefixChars, name, length + 1);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) RecordLastError(GetLastError());
  return h;
}

}  // namespace

namespace serial_backend {

intptr_t Open(const char* name, const LineSettings& s) {
  HANDLE h = OpenExclusive(name);
  if (h == INVALID_HANDLE_VALUE) return 0;

  if (s.input_queue > 0 && s.output_queue > 0) {
    SetupComm(h, static_cast<DWORD>(s.input_queue), static_cast<DWORD>(s.output_queue));
  }

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    RecordPortError(PortErrorNotSerial, static_cast<int32_t>(error));
    return 0;
  }
  dcb.BaudRate = s.baud;
  dcb.Parity = s.parity;
  dcb.ByteSize = s.data_bits;
  dcb.StopBits = s.stop_bits;
  dcb.fParity = s.parity_check ? TRUE : FALSE;
  ApplyFlowControl(dcb, s.flow);
  if (!SetCommState(h, &dcb)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    RecordPortError(PortErrorSettings, static_cast<int32_t>(error));
    return 0;
  }

  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = kPortTimeouts.read_interval;
  timeouts.ReadTotalTimeoutMultiplier = kPortTimeouts.read_total_multiplier;
  timeouts.ReadTotalTimeoutConstant = kPortTimeouts.read_total_constant;
  timeouts.WriteTotalTimeoutMultiplier = kPortTimeouts.write_total_multiplier;
  timeouts.WriteTotalTimeoutConstant = kPortTimeouts.write_total_constant;
  SetCommTimeouts(h, &timeouts);

  return reinterpret_cast<intptr_t>(h);
}

// Only open and close: the line settings the driver holds are not asked
// for, let alone changed.
bool Probe(const char* name) {
  HANDLE h = OpenExclusive(name);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

void Close(intptr_t handle) { CloseHandle(ToHandle(handle)); }

// One status query; the error flags it clears are of no use here. A failed
// query reads as empty queues, so a vanished device cannot stall a drain.
static COMSTAT QueueStatus(intptr_t handle) {
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!ClearCommError(ToHandle(handle), &errors, &status)) std::memset(&status, 0, sizeof status);
  return status;
}

int32_t InputCount(intptr_t handle) {
  return static_cast<int32_t>(QueueStatus(handle).cbInQue);
}

int32_t OutputCount(intptr_t handle) {
  return static_cast<int32_t>(QueueStatus(handle).cbOutQue);
}

int32_t Read(intptr_t handle, void* buffer, int32_t count, TransferFault* fault) {
  DWORD got = 0;
  if (!ReadFile(ToHandle(handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
    const DWORD error = GetLastError();
    *fault = {TransferErrorFor(error), static_cast<int32_t>(error)};
    return 0;
  }
  // Reads have no time-out: short only when the driver gave up on its own.
  if (got < static_cast<DWORD>(count)) *fault = {TransferErrorOther, 0};
  return static_cast<int32_t>(got);
}

int32_t Write(intptr_t handle, const void* buffer, int32_t count, TransferFault* fault) {
  DWORD put = 0;
  if (!WriteFile(ToHandle(handle), buffer, static_cast<DWORD>(count), &put, nullptr)) {
    const DWORD error = GetLastError();
    *fault = {TransferErrorFor(error), static_cast<int32_t>(error)};
    return 0;
  }
  // A write that ran into its time-out succeeds with what the driver took.
  if (put < static_cast<DWORD>(count)) *fault = {TransferErrorStopped, 0};
  return static_cast<int32_t>(put);
}

// Windows keeps no record of who opened a device that a program may read.
int32_t Holder(const char*, std::string*) { return 0; }
void BeginSweep() {}
void EndSweep() {}

}  // namespace serial_backend

// --- Modem lines ------------------------------------------------------------

namespace serial_backend {

bool SetModemLine(intptr_t handle, ModemLine line, bool on) {
  DWORD function;
  if (line == ModemLine::Dtr) {
    function = on ? SETDTR : CLRDTR;
  } else {
    function = on ? SETRTS : CLRRTS;
  }
  return EscapeCommFunction(ToHandle(handle), function) != FALSE;
}

}  // namespace serial_backend
