// The message box and the open-file chooser on user32 and comdlg32.
#ifndef _WIN32
#error "dialogs_win32.cpp is the Windows backend; build dialogs_fltk.cpp elsewhere"
#endif

#include "ui/dialogs_win32.h"

#include <commdlg.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <new>

#include "ui/dialogs.h"
#include "ui/open_dialog_args.h"

namespace {

struct GuardEntry {
  DWORD thread;
  HWND window;
  bool was_topmost;
  bool disabled_by_guard;
};

// Newest first. Entries carry their thread; each thread restores only its own.
std::list<GuardEntry>& GuardList() {
  static std::list<GuardEntry> entries;
  return entries;
}

BOOL CALLBACK RememberWindow(HWND hwnd, LPARAM) {
  if (GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) return TRUE;
  if (!IsWindowVisible(hwnd)) return TRUE;
  GuardEntry entry{GetCurrentThreadId(), hwnd,
                   (GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, false};
  // The foreground window stays enabled: it is the dialog's owner.
  if (hwnd != GetForegroundWindow() && IsWindowEnabled(hwnd)) {
    entry.disabled_by_guard = true;
    EnableWindow(hwnd, FALSE);
  }
  GuardList().push_front(entry);
  return TRUE;
}

// Layer changes must not activate anything: the owner is chosen by what is
// in the foreground.
constexpr UINT kKeepPlace = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;

// The name buffer of the last chooser, kept until the next call.
char* g_name_buffer = nullptr;

}  // namespace

HWND DialogOwner() {
  HWND foreground = GetForegroundWindow();
  if (!foreground) return nullptr;
  DWORD process = 0;
  GetWindowThreadProcessId(foreground, &process);
  return process == GetCurrentProcessId() ? foreground : nullptr;
}

void ModalGuardOn() {
  EnumWindows(RememberWindow, 0);
  const DWORD thread = GetCurrentThreadId();
  for (const GuardEntry& e : GuardList()) {
    if (e.thread == thread && e.was_topmost) {
      SetWindowPos(e.window, HWND_NOTOPMOST, 0, 0, 0, 0, kKeepPlace);
    }
  }
}

void ModalGuardOff() {
  const DWORD thread = GetCurrentThreadId();
  auto& entries = GuardList();
  for (auto it = entries.begin(); it != entries.end();) {
    if (it->thread != thread) {
      ++it;
      continue;
    }
    if (it->disabled_by_guard) EnableWindow(it->window, TRUE);
    if (it->was_topmost) SetWindowPos(it->window, HWND_TOPMOST, 0, 0, 0, 0, kKeepPlace);
    it = entries.erase(it);
  }
}

int32_t ShowMessage(const char* title, const char* text, uint32_t style) {
  ModalGuardOn();
  const int answer = MessageBoxA(DialogOwner(), text ? text : "", title ? title : "", style);
  ModalGuardOff();
  return answer;
}

std::string ChooseFileToOpen(const char* title, const char* default_path, const char* pattern,
                             int32_t pattern_position) {
  std::free(g_name_buffer);
  g_name_buffer = static_cast<char*>(std::calloc(kOpenNameBufferSize, 1));
  if (!g_name_buffer) return std::string();

  OpenDialogArgs args;
  try {
    args = MakeOpenDialogArgs(default_path, pattern);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  std::memcpy(g_name_buffer, args.file_name.data(), args.file_name.size());

  OPENFILENAMEA ofn;
  std::memset(&ofn, 0, sizeof ofn);
  // The structure without its later extension fields (reserved pointer,
  // reserved word, FlagsEx). That is 76 bytes in a 32-bit program; with
  // 64-bit pointers the same fields take 136, and the chooser refuses a size
  // it does not know, so the size comes from the layout, not a constant.
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  ofn.hwndOwner = DialogOwner();
  ofn.lpstrFilter = args.filter.data();
  ofn.nFilterIndex = static_cast<DWORD>(pattern_position + 1);
  ofn.lpstrFile = g_name_buffer;
  ofn.nMaxFile = static_cast<DWORD>(kOpenNameBufferSize);
  ofn.lpstrInitialDir = args.has_folder ? args.folder.c_str() : nullptr;
  ofn.lpstrTitle = title ? title : "";
  // Explorer style, path must exist, current directory left alone,
  // read-only box hidden. The file itself need not exist.
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;

  ModalGuardOn();
  const BOOL chosen = GetOpenFileNameA(&ofn);
  ModalGuardOff();

  if (!chosen) return std::string();
  g_name_buffer[kOpenNameBufferSize - 1] = '\0';
  return std::string(g_name_buffer);
}
