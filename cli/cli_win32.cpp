// The command-line front end's platform side on Windows.
#if !defined(_WIN32)
#error "cli_win32.cpp is the Windows side of the command-line tool"
#endif

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_backend.h"

namespace {

// The workers, for the handler to stop.
constexpr int kMaxWorkers = static_cast<int>(kMaxBoards);
struct WorkerSlot {
  HANDLE process;
  HANDLE out;
};
WorkerSlot g_workers[kMaxWorkers];
volatile LONG g_worker_count = 0;
CRITICAL_SECTION g_lock;  // the handler runs on a thread of its own

// Every worker is put into this job, which ends them all when its last
// handle closes: when this process ends, however it ends.
HANDLE g_job = nullptr;

constexpr const char* kWorkerVariable = "UPDATE_FIRMWARE_WORKER_OF";

char g_note[512];
DWORD g_note_size = 0;

bool g_moves_cursor = false;

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
      // Workers first, so that every port is free when we are gone.
      EnterCriticalSection(&g_lock);
      for (LONG i = 0; i < g_worker_count; ++i) {
        if (g_workers[i].process != nullptr) TerminateProcess(g_workers[i].process, kExitInterrupted);
      }
      for (LONG i = 0; i < g_worker_count; ++i) {
        if (g_workers[i].process != nullptr) WaitForSingleObject(g_workers[i].process, 2000);
      }
      static const char kMessage[] = "\r\nInterrupted.\r\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &written,
                nullptr);
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

namespace cli_backend {

void PrepareProcess() {
  InitializeCriticalSection(&g_lock);
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

bool IsWorker() {
  char value[32] = {};
  return GetEnvironmentVariableA(kWorkerVariable, value, sizeof value) > 0;
}

namespace {

// One argument as the C runtime of the started program splits it again:
// quoted, with backslashes doubled only where they come before a quote.
std::string Quote(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

bool StartWorker(const std::vector<std::string>& args, WorkerState* worker, std::string* why) {
  char self[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self - 1);
  if (length == 0 || length >= sizeof self - 1) {
    *why = "the program's own path is unknown";
    return false;
  }
  std::string command = Quote(self);
  for (const std::string& a : args) command += " " + Quote(a);
  if (g_job == nullptr) {
    g_job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (g_job != nullptr) {
      SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    const std::string mark = std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableA(kWorkerVariable, mark.c_str());
  }

  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  // A worker has nothing to say on standard error; its "Interrupted."
  // would only repeat ours.
  HANDLE null_out = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
  startup.hStdError = null_out != INVALID_HANDLE_VALUE ? null_out : nullptr;
  PROCESS_INFORMATION started{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  EnterCriticalSection(&g_lock);
  // Started suspended, so that it is in the job before it can do anything.
  const bool ok = g_worker_count < kMaxWorkers &&
                  CreateProcessA(self, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &started) != 0;
  if (!ok) *why = g_worker_count < kMaxWorkers ? "CreateProcess failed" : "too many at once";
  CloseHandle(write_end);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  if (!ok) {
    LeaveCriticalSection(&g_lock);
    CloseHandle(read_end);
    return false;
  }
  if (g_job != nullptr) AssignProcessToJobObject(g_job, started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  const LONG id = g_worker_count;
  g_workers[id].process = started.hProcess;
  g_workers[id].out = read_end;
  g_worker_count = id + 1;
  LeaveCriticalSection(&g_lock);
  *worker = WorkerState{};
  worker->id = static_cast<int>(id);
  return true;
}

void PumpWorkers(const std::vector<WorkerState*>& workers, int timeout_ms) {
  // Anonymous pipes cannot be waited on together; look at each in turn.
  const DWORD end = GetTickCount() + static_cast<DWORD>(timeout_ms);
  for (;;) {
    bool any = false;
    bool running = false;
    for (WorkerState* w : workers) {
      if (w->ended || w->id < 0) continue;
      running = true;
      WorkerSlot& slot = g_workers[w->id];
      DWORD waiting = 0;
      if (PeekNamedPipe(slot.out, nullptr, 0, nullptr, &waiting, nullptr)) {
        if (waiting == 0) continue;
        char buffer[4096];
        DWORD n = 0;
        if (ReadFile(slot.out, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &n,
                     nullptr) &&
            n > 0) {
          w->output.append(buffer, n);
          any = true;
          continue;
        }
      }
      // The pipe is broken: the worker has ended, or is about to.
      WaitForSingleObject(slot.process, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(slot.process, &code);
      EnterCriticalSection(&g_lock);
      CloseHandle(slot.process);
      CloseHandle(slot.out);
      slot.process = nullptr;
      slot.out = nullptr;
      LeaveCriticalSection(&g_lock);
      w->ended = true;
      w->exit_code = static_cast<int>(code);
      any = true;
    }
    if (any || !running || static_cast<LONG>(GetTickCount() - end) >= 0) return;
    Sleep(5);
  }
}

void ForgetWorkers() {
  EnterCriticalSection(&g_lock);
  while (g_worker_count > 0 && g_workers[g_worker_count - 1].process == nullptr) --g_worker_count;
  LeaveCriticalSection(&g_lock);
}

void SetInterruptNote(const std::string& note) {
  EnterCriticalSection(&g_lock);
  const size_t size = note.size() < sizeof g_note ? note.size() : sizeof g_note;
  std::memcpy(g_note, note.data(), size);
  g_note_size = static_cast<DWORD>(size);
  LeaveCriticalSection(&g_lock);
}

}  // namespace cli_backend
