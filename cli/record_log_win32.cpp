// The station's record on Windows.
#if !defined(_WIN32)
#error "record_log_win32.cpp is the Windows side of the station's record"
#endif

#include <windows.h>

#include "cli/record_log.h"

namespace {

HANDLE g_file = INVALID_HANDLE_VALUE;

}  // namespace

namespace record_log {

bool Open(const std::string& path, std::string* why) {
  Close();
  // Append data only: every write goes to the end of the file, whoever
  // else is appending.
  g_file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_file == INVALID_HANDLE_VALUE) *why = "error " + std::to_string(GetLastError());
  return g_file != INVALID_HANDLE_VALUE;
}

// A record cut short: a handle that may only append cannot take it back
// (SetEndOfFile needs write access, which would let a write land anywhere),
// so the next record starts on a line of its own and only the torn one
// fails to parse.
volatile bool g_torn = false;

bool Append(const std::string& line) {
  if (g_file == INVALID_HANDLE_VALUE) return false;
  const std::string record = g_torn ? "\n" + line : line;
  DWORD written = 0;
  const bool whole =
      WriteFile(g_file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) &&
      written == record.size();
  if (whole) g_torn = false;
  if (!whole && written > 0) g_torn = true;
  return whole && FlushFileBuffers(g_file);
}

void AppendRaw(const char* line, size_t size) {
  if (g_file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (g_torn && !(WriteFile(g_file, "\n", 1, &written, nullptr) && written == 1)) return;
  g_torn = false;
  if (WriteFile(g_file, line, static_cast<DWORD>(size), &written, nullptr) && written == size) {
    FlushFileBuffers(g_file);
  } else if (written > 0) {
    g_torn = true;
  }
}

void Close() {
  if (g_file != INVALID_HANDLE_VALUE) CloseHandle(g_file);
  g_file = INVALID_HANDLE_VALUE;
}

std::string StationName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

}  // namespace record_log
