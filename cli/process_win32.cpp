// The command line's process on Windows: the console's control events,
// the console itself.
#if !defined(_WIN32)
#error "process_win32.cpp is the Windows side of the command-line tool"
#endif

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "cli/platform.h"
#include "cli/trace.h"
#include "cli/workers.h"

namespace {

char g_note[512];
DWORD g_note_size = 0;
CRITICAL_SECTION g_note_lock;  // the handler runs on a thread of its own

bool g_moves_cursor = false;

// Ctrl+C, Ctrl+Break and closing the console window arrive on a thread of
// their own while the main thread may be anywhere in the upload: in a reply
// wait, a drain, a blocking ReadFile. The layers cannot be cancelled, and
// their slot tables are not meant for a second thread, so the handler ends
// the process at once. Windows closes every handle of a process that ends,
// so the port is released (it was opened with share mode 0, which holds
// only while the handle is open) and the file with it; nothing outlives the
// process; workers are ended first (cli_workers::StopAllWorkers).
// TerminateProcess rather than ExitProcess: the latter would run
// the runtime's exit code on this thread, which could wait forever for a
// lock the interrupted main thread holds.
// Meanwhile the main thread runs on: a write the stop cut short (a worker
// ended, a time-out) must not be judged, nor the process ended with that
// verdict's code before the handler is done. g_stopping holds it
// (HoldWhileStopping).
void (*volatile g_stop_hook)() = nullptr;
volatile LONG g_stopping = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      InterlockedExchange(&g_stopping, 1);
      cli_workers::StopAllWorkers();
      // What the run still owes: the transcript's last lines, the records.
      const TraceTail tail = PendingTrace();
      if (tail.file != nullptr && tail.size > 0) {
        DWORD put = 0;
        WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(tail.file))), tail.data,
                  static_cast<DWORD>(tail.size), &put, nullptr);
      }
      if (g_stop_hook != nullptr) g_stop_hook();
      cli_platform::RemovePendingFile();
      static const char kMessage[] = "\r\nInterrupted.\r\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &written,
                nullptr);
      EnterCriticalSection(&g_note_lock);
      if (g_note_size > 0) {
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), g_note, g_note_size, &written, nullptr);
      }
      TerminateProcess(GetCurrentProcess(), kExitInterrupted);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

namespace cli_platform {

void HoldWhileStopping() {
  if (InterlockedCompareExchange(&g_stopping, 0, 0) == 0) return;
  for (;;) Sleep(INFINITE);  // TerminateProcess ends this wait
}

void SetStopHook(void (*hook)()) { g_stop_hook = hook; }

void WriteStdoutRaw(const char* data, size_t size) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, static_cast<DWORD>(size), &put, nullptr);
}

void PrepareProcess() {
  InitializeCriticalSection(&g_note_lock);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  // Consoles of Windows 10 and later move the cursor on escape sequences
  // once asked to; older ones get plain progress lines.
  DWORD mode = 0;
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  g_moves_cursor = GetConsoleMode(err, &mode) != 0 &&
                   SetConsoleMode(err, mode | kVirtualTerminal) != 0;
}

bool StderrIsTerminal() {
  // A console, not merely a character device: NUL is one too.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StderrMovesCursor() { return g_moves_cursor; }

std::string PortDevice(const std::string& /*name*/) { return std::string(); }

void SetInterruptNote(const std::string& note) {
  EnterCriticalSection(&g_note_lock);
  const size_t size = note.size() < sizeof g_note ? note.size() : sizeof g_note;
  std::memcpy(g_note, note.data(), size);
  g_note_size = static_cast<DWORD>(size);
  LeaveCriticalSection(&g_note_lock);
}

}  // namespace cli_platform
