// The command-line front end's platform side on Windows.
#if !defined(_WIN32)
#error "cli_win32.cpp is the Windows side of the command-line tool"
#endif

#include <windows.h>

#include "cli/cli.h"
#include "cli/cli_backend.h"

namespace {

// Ctrl+C, Ctrl+Break and closing the console window arrive on a thread of
// their own while the main thread may be anywhere in the upload: in a reply
// wait, a drain, a blocking ReadFile. The layers cannot be cancelled, and
// their slot tables are not meant for a second thread, so the handler ends
// the process at once. Windows closes every handle of a process that ends,
// so the port is released (it was opened with share mode 0, which holds
// only while the handle is open) and the file with it; nothing outlives the
// process. TerminateProcess rather than ExitProcess: the latter would run
// the runtime's exit code on this thread, which could wait forever for a
// lock the interrupted main thread holds.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      static const char kMessage[] = "\r\nInterrupted.\r\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &written,
                nullptr);
      TerminateProcess(GetCurrentProcess(), kExitInterrupted);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

namespace cli_backend {

void PrepareProcess() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StderrIsTerminal() {
  // A console, not merely a character device: NUL is one too.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string PortDevice(const std::string& /*name*/) { return std::string(); }

PortDiagnosis DiagnosePort(const std::string& /*name*/) { return PortDiagnosis{}; }

}  // namespace cli_backend
