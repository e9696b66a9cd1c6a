// The files the command line writes, on Windows: a file replaced whole.
// Windows has no file systems made up by the kernel.
#if !defined(_WIN32)
#error "files_win32.cpp is the Windows side of the command line's files"
#endif

#include <windows.h>

#include <cstring>

#include "cli/platform.h"

namespace {

char g_pending[MAX_PATH + 32];
volatile bool g_has_pending = false;

std::string ErrorText(DWORD error) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(error) : s;
}

}  // namespace

namespace cli_platform {

bool OnPseudoFileSystem(const std::string& /*path*/) { return false; }

bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* why) {
  const size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (int i = 0; i < 100 && h == INVALID_HANDLE_VALUE; ++i) {
    temp = folder + "." + base + "." + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(i) + ".tmp";
    if (temp.size() >= sizeof g_pending) {
      error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error != 0 && error != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    *why = ErrorText(error);
    return false;
  }
  g_has_pending = false;
  std::memcpy(g_pending, temp.c_str(), temp.size() + 1);
  g_has_pending = true;
  const char* at = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0 && error == 0) {
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD put = 0;
    if (!WriteFile(h, at, chunk, &put, nullptr) || put == 0) {
      error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
      break;
    }
    at += put;
    left -= put;
  }
  if (error == 0 && !FlushFileBuffers(h)) error = GetLastError();
  CloseHandle(h);
  if (error == 0 && !MoveFileExA(temp.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileA(temp.c_str());
  g_has_pending = false;
  if (error != 0) {
    *why = ErrorText(error);
    return false;
  }
  return true;
}

intptr_t LockPath(const std::string& path, std::string* why) {
  // Shared for reading and writing: the lock below keeps the others out,
  // and a second process must be able to open the file to wait for it.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = "'" + path + "': " + ErrorText(GetLastError());
    return 0;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    *why = "'" + path + "' cannot be locked: " + ErrorText(GetLastError());
    CloseHandle(h);
    return 0;
  }
  return reinterpret_cast<intptr_t>(h);
}

void UnlockPath(intptr_t lock) {
  HANDLE h = reinterpret_cast<HANDLE>(lock);
  OVERLAPPED whole = {};
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(h);
}

bool ReadLocked(intptr_t lock, std::string* text, std::string* why) {
  HANDLE h = reinterpret_cast<HANDLE>(lock);
  text->clear();
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    *why = ErrorText(GetLastError());
    return false;
  }
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      *why = ErrorText(GetLastError());
      return false;
    }
    if (got == 0) return true;
    text->append(buffer, got);
  }
}

bool AppendLocked(intptr_t lock, const std::string& text, std::string* why) {
  HANDLE h = reinterpret_cast<HANDLE>(lock);
  LARGE_INTEGER end = {};
  DWORD put = 0;
  if (!SetFilePointerEx(h, end, nullptr, FILE_END) ||
      !WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
      put != text.size() || !FlushFileBuffers(h)) {
    *why = ErrorText(GetLastError());
    return false;
  }
  return true;
}

bool OnNetworkFileSystem(const std::string& path) {
  char full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return false;
  // A share named by its server, or a drive letter mapped to one.
  if (full[0] == '\\' && full[1] == '\\') return true;
  const char root[4] = {full[0], ':', '\\', 0};
  return full[1] == ':' && GetDriveTypeA(root) == DRIVE_REMOTE;
}

void RemovePendingFile() {
  if (g_has_pending) DeleteFileA(g_pending);
}

}  // namespace cli_platform
