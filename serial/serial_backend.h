// What the portable serial core asks of a platform backend, and the pure
// line-setting rules both backends share.
//
// The core owns the slot table and decides *what* a port is set to; a
// backend only translates that into its platform's calls. Handles are
// opaque to the core: non-zero while open, 0 means "no port".
#pragma once

#include <cstdint>
#include <string>

#include "serial/serial.h"

// How a backend treats one aspect of flow control.
enum class FlowSwitch : uint8_t {
  Keep,  // leave it as the driver reported it
  Off,
  On,
};

// The RTS line.
enum class RtsLine : uint8_t {
  Keep,       // leave it as the driver reported it
  Inactive,   // switched off and held inactive while the port is open
  Active,     // switched on and held active while the port is open
  Handshake,  // raised and dropped by the driver as its receive buffer drains and fills
};

// Stop-bit codes, the platform's own numbering on Windows.
enum StopBitsCode : uint8_t {
  StopBitsOne = 0,
  StopBitsOneAndHalf = 1,
  StopBitsTwo = 2,
};

struct FlowControl {
  FlowSwitch cts_output = FlowSwitch::Keep;  // output waits for CTS
  RtsLine rts = RtsLine::Keep;
  FlowSwitch xon_xoff = FlowSwitch::Keep;    // in-band flow control, both directions
  uint8_t xon_char = 0x11;
  uint8_t xoff_char = 0x13;
  // Receive-buffer thresholds (bytes free / bytes used) for sending XON/XOFF;
  // only meaningful when xon_xoff is On.
  int32_t xon_limit = 0;
  int32_t xoff_limit = 0;
};

// Everything a backend needs to open and configure one port.
struct LineSettings {
  uint32_t baud = 0;
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t data_bits = 0;
  uint8_t stop_bits = StopBitsOne;  // a StopBitsCode
  bool parity_check = true;  // always on, whatever the parity
  FlowControl flow;
  int32_t input_queue = 0;   // driver buffer sizes asked for; only used
  int32_t output_queue = 0;  // when both are greater than 0
};

// The time-outs every port gets, in milliseconds. All read values 0: a read
// has no time-out. A write of n bytes gives up after
// write_total_multiplier * n + write_total_constant.
struct PortTimeouts {
  uint32_t read_interval;
  uint32_t read_total_multiplier;
  uint32_t read_total_constant;
  uint32_t write_total_multiplier;
  uint32_t write_total_constant;
};
inline constexpr PortTimeouts kPortTimeouts = {0, 0, 0, 100, 10};

// --- Pure rules (serial_core.cpp) -------------------------------------------

// Exactly 1.0 is one stop bit, exactly 2.0 two, anything else (1.5, 0, 3.0,
// NaN...) one and a half.
uint8_t StopBitsCodeFor(float stop_bits);

// The flow-control settings of a handshake mode; an unknown mode keeps
// everything as the driver reported it.
FlowControl FlowControlFor(int32_t handshake, int32_t input_queue);

// All line settings for an OpenPort call.
LineSettings MakeLineSettings(uint32_t baud, uint8_t parity, uint8_t data_bits,
                              float stop_bits, int32_t handshake,
                              int32_t input_queue, int32_t output_queue);

// Milliseconds a write of `count` bytes may take before it gives up.
uint64_t WriteTimeoutMs(int32_t count);

// The pid a UUCP lock file holds: ASCII digits after any blanks, ending the
// text or followed by a blank or line end (some programs add their name), or
// in an old-style lock exactly 4 bytes of a binary number in the machine's
// byte order. 0 when the content is neither, or
// names no valid pid.
int32_t PidFromLockFile(const std::string& content);

// The name of the lock file for the device at `path`: "LCK.." and the path
// below /dev with '/' made '_' (/dev/ttyUSB0: LCK..ttyUSB0, /dev/pts/3:
// LCK..pts_3); for a path outside /dev, its last part.
std::string LockFileName(const std::string& path);

// --- Backend (serial_<platform>.cpp) ----------------------------------------

namespace serial_backend {

// Opens and configures the port; on any failure releases whatever it
// acquired, records why with RecordPortError and returns 0. `name` is not
// null and is the caller's whole name: a backend that cannot take it all
// refuses it rather than open whatever a part of it names.
intptr_t Open(const char* name, const LineSettings& settings);
// Opens the port only to see that it is there, free and a serial line, and
// closes it again without changing anything. False, with the reason
// recorded, when it is not.
bool Probe(const char* name);
// Closes the port. The POSIX backend first puts back the terminal settings
// it found at Open: a tty keeps them after the last close, and the next
// program to use it (a console, a modem tool) would take them as its own.
void Close(intptr_t handle);
// 0 when the status query fails.
int32_t InputCount(intptr_t handle);
int32_t OutputCount(intptr_t handle);
// Why a transfer moved fewer bytes than asked; untouched when it moved all.
struct TransferFault {
  TransferError error = TransferErrorNone;
  int32_t system_error = 0;
};

// `count` is greater than 0, `buffer` and `fault` are not null. Bytes moved,
// 0 on failure; a short count says why in `fault`.
int32_t Read(intptr_t handle, void* buffer, int32_t count, TransferFault* fault);
int32_t Write(intptr_t handle, const void* buffer, int32_t count, TransferFault* fault);

// The holder of the device behind `name` (see PortHolder): its pid, 0 when
// none is known; its program name into `program`, empty when unknown.
int32_t Holder(const char* name, std::string* program);
// Starts and ends a sweep on this thread (see BeginPortSweep).
void BeginSweep();
void EndSweep();

}  // namespace serial_backend

// --- For backends (serial_core.cpp) -----------------------------------------

// Sets what LastPortError reports on the calling thread.
void RecordPortError(PortError error, int32_t system_error);

// --- Modem lines ------------------------------------------------------------

enum class ModemLine : uint8_t { Dtr, Rts };

namespace serial_backend {

// Sets one line of an open port; false when the driver refused.
bool SetModemLine(intptr_t handle, ModemLine line, bool on);

}  // namespace serial_backend
