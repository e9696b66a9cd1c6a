// The wire transcript of --trace: every byte the serial layer moves, with
// the time and the direction, one transfer a line:
//
//   # update-firmware-cli trace of COM5: ms since the start, > to the device, < from it
//   500.214 > 42 4C 31 30
//   533.020 < 4F 4B
//
// Lines are kept in a large buffer and reach the disk in big pieces, so a
// word costs the upload a few hundred nanoseconds, not a write to disk.
// Internal to cli/.
#pragma once

#include <string>

// Starts the transcript of `port` into `path`; false when the file cannot
// be created (StopTrace then says why).
bool StartTrace(const std::string& path, const std::string& port);

// Writes out what is buffered and closes the file. Empty when every byte
// reached the file; else what went wrong, in plain words.
std::string StopTrace();
