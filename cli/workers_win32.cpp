// Worker processes on Windows.
#if !defined(_WIN32)
#error "workers_win32.cpp is the Windows side of the command-line tool"
#endif

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/workers.h"

namespace {

// The workers, for the stop handler.
constexpr int kMaxWorkers = static_cast<int>(kMaxBoards);
struct WorkerSlot {
  HANDLE process;
  HANDLE out;
};
WorkerSlot g_workers[kMaxWorkers];
volatile LONG g_worker_count = 0;
CRITICAL_SECTION g_lock;  // the stop handler runs on a thread of its own
INIT_ONCE g_lock_once = INIT_ONCE_STATIC_INIT;

// Every worker is put into this job, which ends them all when its last
// handle closes: when this process ends, however it ends.
HANDLE g_job = nullptr;

constexpr const char* kWorkerVariable = "UPDATE_FIRMWARE_WORKER_OF";

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_lock);
  return TRUE;
}

void Lock() {
  InitOnceExecuteOnce(&g_lock_once, InitLock, nullptr, nullptr);
  EnterCriticalSection(&g_lock);
}

void Unlock() { LeaveCriticalSection(&g_lock); }

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

// The job all workers go into, and the mark in their environment; made
// with the first worker.
void PrepareJob() {
  if (g_job != nullptr) return;
  g_job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (g_job != nullptr) {
    SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  const std::string mark = std::to_string(GetCurrentProcessId());
  SetEnvironmentVariableA(kWorkerVariable, mark.c_str());
}

// Puts a worker started suspended into the job, lets it run, and keeps it
// in the table (the lock is held); its number there.
int Keep(const PROCESS_INFORMATION& started, HANDLE read_end) {
  if (g_job != nullptr) AssignProcessToJobObject(g_job, started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  const LONG id = g_worker_count;
  g_workers[id].process = started.hProcess;
  g_workers[id].out = read_end;
  g_worker_count = id + 1;
  return static_cast<int>(id);
}

}  // namespace

namespace cli_workers {

bool IsWorker() {
  char value[32] = {};
  return GetEnvironmentVariableA(kWorkerVariable, value, sizeof value) > 0;
}

bool ReadWorkerInput(std::string* input) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &n, nullptr)) {
      // The parent closed its end: that is the end of the input.
      return GetLastError() == ERROR_BROKEN_PIPE;
    }
    if (n == 0) return true;
    input->append(buffer, n);
  }
}

bool StartWorker(const std::vector<std::string>& args, int (*)(), const std::string& input,
                 WorkerState* worker, std::string* why) {
  *worker = WorkerState{};
  char self[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self - 1);
  if (length == 0 || length >= sizeof self - 1) {
    *why = "the program's own path is unknown";
    return false;
  }
  std::string command = Quote(self);
  for (const std::string& a : args) command += " " + Quote(a);
  PrepareJob();

  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    *why = "CreatePipe failed";
    return false;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE input_read = nullptr;
  HANDLE input_write = nullptr;
  if (!CreatePipe(&input_read, &input_write, &inherit, 0)) {
    *why = "CreatePipe failed";
    CloseHandle(read_end);
    CloseHandle(write_end);
    return false;
  }
  SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input_read;
  startup.hStdOutput = write_end;
  // A worker has nothing to say on standard error; its "Interrupted."
  // would only repeat ours.
  HANDLE null_out = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
  startup.hStdError = null_out != INVALID_HANDLE_VALUE ? null_out : nullptr;
  PROCESS_INFORMATION started{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  Lock();
  // Started suspended, so that it is in the job before it can do anything.
  const bool ok = g_worker_count < kMaxWorkers &&
                  CreateProcessA(self, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &started) != 0;
  if (!ok) *why = g_worker_count < kMaxWorkers ? "CreateProcess failed" : "too many at once";
  CloseHandle(write_end);
  CloseHandle(input_read);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  if (!ok) {
    Unlock();
    CloseHandle(read_end);
    CloseHandle(input_write);
    return false;
  }
  worker->id = Keep(started, read_end);
  const HANDLE process = started.hProcess;
  Unlock();
  // The worker reads its input first thing; a write that fails means it
  // has ended already, which the pump then finds.
  size_t done = 0;
  while (done < input.size()) {
    DWORD n = 0;
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(input.size() - done, 1 << 20));
    if (!WriteFile(input_write, input.data() + done, piece, &n, nullptr) || n == 0) break;
    done += n;
  }
  CloseHandle(input_write);
  if (done != input.size()) {
    TerminateProcess(process, kExitInternal);
    *why = "the worker did not take its image";
  }
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
      Lock();
      CloseHandle(slot.process);
      CloseHandle(slot.out);
      slot.process = nullptr;
      slot.out = nullptr;
      Unlock();
      w->ended = true;
      w->exit_code = static_cast<int>(code);
      any = true;
    }
    if (any || !running || static_cast<LONG>(GetTickCount() - end) >= 0) return;
    Sleep(5);
  }
}

void ForgetWorkers() {
  Lock();
  while (g_worker_count > 0 && g_workers[g_worker_count - 1].process == nullptr) --g_worker_count;
  Unlock();
}

// A worker ended from outside says nothing more; the parent's own count of
// its progress stands.
int64_t InterruptedBytes(int) { return -1; }

void StopAllWorkers() {
  Lock();
  for (LONG i = 0; i < g_worker_count; ++i) {
    if (g_workers[i].process != nullptr) TerminateProcess(g_workers[i].process, kExitInterrupted);
  }
  for (LONG i = 0; i < g_worker_count; ++i) {
    if (g_workers[i].process != nullptr) WaitForSingleObject(g_workers[i].process, 2000);
  }
  Unlock();
}

}  // namespace cli_workers
