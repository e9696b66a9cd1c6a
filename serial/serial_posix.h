// The termios side of the POSIX serial backend, split out so tests can check
// what a port is set to without a device that honours every setting (a
// pseudo-terminal keeps only 8 data bits and no parity).
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/serial_backend.h"

// The speed constant of a baud rate, or B0 when termios has none for it
// (0 included: B0 would hang the line up).
speed_t SpeedForBaud(uint32_t baud);

// The terminal settings for `s`, starting from what the device reported.
// Raw mode, receiver on, modem-status lines ignored (CLOCAL), reads block
// until at least one byte is there. Returns false for a baud rate, parity
// code or data-bit count termios cannot express.
//
// What termios cannot say exactly:
//  - one and a half stop bits: two stop bits are used (CSTOPB), which is
//    what a 16550-style UART sends for "1.5" with 6 to 8 data bits;
//  - RTS handshake and CTS output flow are one flag (CRTSCTS), set when
//    either asks for it and cleared when either is switched off;
//  - XON/XOFF thresholds are fixed by the kernel; the limits are not used;
//  - raw mode switches output XON/XOFF (IXON) off even where the handshake
//    mode keeps in-band flow control "as reported": Linux reports the
//    cooked-terminal default there, and left on it would let a 0x13 from the
//    device freeze our output. Input XON/XOFF (IXOFF) stays as reported.
bool BuildTermios(const termios& reported, const LineSettings& s, termios* out);

// Whether the device kept what matters of `wanted` (speeds, data bits,
// parity, stop bits). A driver that quietly drops a setting has refused it.
bool TermiosTaken(const termios& wanted, const termios& got);
