// Numbered serial connections ("serial slots").
//
// Every operation but CloseAllPorts takes the slot number first. On a slot
// that is not open the data operations return 0 and do nothing, and
// ClosePort does nothing. Nothing here prints or shows anything.
#pragma once

#include <cstdint>

enum Handshake : int32_t {
  HandshakeNone = 0,
  HandshakeRts = 1,
  HandshakeRtsCts = 2,
  HandshakeXonXoff = 3,
};

// Opens the port `name` ("COM1" ... on every platform) with the given line
// settings and the fixed time-outs (no read time-out; a write of n bytes
// gives up after 100 * n + 10 ms). The slot is claimed only after the new
// port is open and configured, so a failed open leaves the slot as it was.
// The name is used whole; one the platform cannot take fails. On POSIX the
// terminal settings the port had are put back when it is closed.
// Returns a non-zero value on success, 0 on failure (see LastPortError).
intptr_t OpenPort(int32_t slot, const char* name, uint32_t baud, uint8_t parity,
                  uint8_t data_bits, float stop_bits, int32_t handshake,
                  int32_t input_queue, int32_t output_queue);

// Why an open or probe failed.
enum PortError : int32_t {
  PortErrorNone = 0,
  PortErrorAbsent,                // no such port, or the name leads nowhere
  PortErrorBusy,                  // another program (or slot) holds it
  PortErrorDenied,                // no permission to open it
  PortErrorNotSerial,             // it opened, but is no serial line
  PortErrorSettings,              // the driver refused or dropped the line settings
  PortErrorControllingTerminal,   // our own terminal, which is no port to flash through
  PortErrorOther,
};

// Opens `name` only to see whether it is there and free: open, lock, close,
// nothing configured, so another program's settings are never touched.
// Non-zero when it is free; 0 otherwise, with the reason in LastPortError().
int32_t ProbePort(const char* name);

// Why the last OpenPort or ProbePort on this thread failed; PortErrorNone
// after a success. `system_error` (may be null) receives the errno /
// GetLastError value, 0 when none.
PortError LastPortError(int32_t* system_error);

// Bytes received and waiting to be read; 0 when the status query fails.
int32_t PortInputCount(int32_t slot);
// Bytes written but not yet sent by the driver; 0 when the query fails.
int32_t PortOutputCount(int32_t slot);
// Blocks until `count` bytes have arrived (or the device has gone away).
// Returns the number of bytes read, 0 on failure.
int32_t ReadPort(int32_t slot, void* buffer, int32_t count);
// Writes `count` bytes, giving up after 100 ms per byte plus 10 ms.
// Returns the number of bytes the platform took, 0 on failure.
int32_t WritePort(int32_t slot, const void* buffer, int32_t count);
void ClosePort(int32_t slot);
void CloseAllPorts();

// A transcript of the line, for a program that wants one: after every read
// or write that moved bytes, the hook sees the slot, the direction (true:
// sent), and the bytes moved. It runs on the caller's thread inside the
// transfer, so it must be quick: buffer, don't write to disk each time.
// nullptr (the default) switches it off.
using PortTraceHook = void (*)(int32_t slot, bool sent, const void* data, int32_t count);
void SetPortTraceHook(PortTraceHook hook);

// --- Modem lines ---
// Raises (`on` non-zero) or drops the DTR or RTS line of the port in `slot`.
// Many boards wire these to their reset and boot pins, so a program can put
// a board into its bootloader before flashing it. Nothing else touches the
// lines after the open. Non-zero on success; 0 when the slot is not open or
// the driver has no such line (a pseudo-terminal, some adapters): a reset
// that did not happen must not pass for one that did.
int32_t SetPortDtr(int32_t slot, int32_t on);
int32_t SetPortRts(int32_t slot, int32_t on);
