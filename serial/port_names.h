// Where a port name leads on a platform without COM port names.
//
// The names the tool lists and accepts are "COM1" to "COM16" everywhere.
// Without a COM namespace they map to device files by a fixed table:
//
//   COM1  - COM4   ->  /dev/ttyS0   - /dev/ttyS3     (on-board UARTs)
//   COM5  - COM10  ->  /dev/ttyUSB0 - /dev/ttyUSB5   (USB-serial adapters)
//   COM11 - COM16  ->  /dev/ttyACM0 - /dev/ttyACM5   (USB CDC-ACM devices)
//
// The environment variable UPDATE_FIRMWARE_COMn (e.g.
// UPDATE_FIRMWARE_COM5=/dev/pts/3) replaces the entry of that one name; an
// empty value counts as unset. A name that starts with '/' is taken as a
// device path as it stands. Any other name leads nowhere.
#pragma once

#include <string>

// Highest n of the names "COMn".
inline constexpr int kComPortCount = 16;

// The device path for `name`, or an empty string when the name leads
// nowhere (null, not COM1..COM16, leading zeros, trailing characters).
std::string SerialDevicePathForName(const char* name);

// The table entry for COMn, ignoring the environment; empty when n is out
// of range.
std::string DefaultDevicePathForCom(int n);
