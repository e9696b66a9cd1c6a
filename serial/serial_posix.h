// The termios side of the POSIX serial backend, split out so tests can check
// what a port is set to without a device that honours every setting (a
// pseudo-terminal keeps only 8 data bits and no parity).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_holders.h"
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

// What the node at `path` is, told without opening it, as the open judges
// it: PortErrorAbsent when nothing is there (a link that leads nowhere too),
// PortErrorNotSerial when it is no character device (a FIFO, a plain file, a
// folder), else PortErrorNone: whether it opens and is a terminal only an
// open can tell, and other failures to look are the open's to report.
// `system_error` receives the errno that goes with it.
PortError DeviceNodeError(const std::string& path, int* system_error);

// --- Other holders of a device ----------------------------------------------
// (port_holders_posix.cpp)

struct DeviceHolder {
  pid_t pid = 0;        // 0: nobody else holds it, as far as can be seen
  std::string program;  // <proc>/<pid>/comm; empty when unreadable
  // Seen with a descriptor of the device. When not, only `lock_file` names
  // the process, which may have taken the pid of the lock's owner since:
  // that it holds the port is not confirmed.
  bool has_open = false;
  std::string lock_file;  // the lock that names it; empty when has_open
};

// Who else holds the character device `device` found at `path`: a process
// other than this one with a descriptor of it among <proc>/<pid>/fd/*
// (followed, compared by device number), else a process named by the lock
// file LockFileName(path, links followed) in a lock directory that is alive
// (<proc>/<pid> exists and its stat says no zombie) and is not this one. Inside a sweep the descriptors
// are read once per sweep.
DeviceHolder FindDeviceHolder(dev_t device, const std::string& path, const HolderRoots& roots);

// Sweeps on this thread (see BeginPortSweep in serial.h).
void BeginHolderSweep();
void EndHolderSweep();
