// The station's record (--log FILE): one JSON object per board, appended to
// a file that several stations may share. Each record is one write on a
// file opened for appending, flushed to the disk before the next board is
// counted, so a process killed at any moment leaves only whole lines, and
// two writers never interleave within one (record_log_posix.cpp,
// record_log_win32.cpp).
#pragma once

#include <memory>
#include <string>

#include "cli/reporter.h"

namespace record_log {

// Opens `path` for appending (made when missing); false with `why` when it
// cannot be.
bool Open(const std::string& path, std::string* why);
// Appends `line` (ending in a newline) in one write and flushes it to the
// disk; false when any of it did not get there.
bool Append(const std::string& line);
void Close();
// For the stop handler: appends `size` bytes with system calls alone.
void AppendRaw(const char* line, size_t size);

// This machine's name, for the records.
std::string StationName();

}  // namespace record_log

// A Reporter that tells `inner` everything and appends a record of each
// finished board to the open log; a record that cannot be written is told
// on standard error, and `record_failed` then says so, for the exit code.
struct LogReporting {
  std::unique_ptr<Reporter> reporter;
  std::shared_ptr<const bool> record_failed;
};
LogReporting MakeLogReporter(std::unique_ptr<Reporter> inner);
