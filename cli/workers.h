// Worker processes: one per board when several boards are flashed
// (workers_posix.cpp, workers_win32.cpp).
//
// The serial and file layers keep process-wide tables and buffers, so each
// board gets a process of its own, which reports on its standard output,
// read back here through a pipe. A board that hangs or vanishes then holds
// up nothing but its own worker. On POSIX a worker is a fork of this
// process that runs `entry` (a hundred boards start in a fraction of a
// second, with no program to load a hundred times); on Windows it is this
// program started again with `args`, in its worker mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli_workers {

struct WorkerState {
  int id = -1;           // the platform's own number for it
  std::string output;    // what it wrote and was not yet taken
  bool ended = false;
  int exit_code = 0;     // once ended
};

// Whether this process was started by StartWorker, and so may run as a
// worker: the worker mode is no door for a user.
bool IsWorker();

// Starts a worker: the very program that is running, even if its file has
// been replaced since. It reads `input` on its standard input, which then
// ends; its standard output comes back to `worker->output`; its standard
// error goes nowhere. A forked worker has only those three descriptors and
// exits with what `entry` returns. False when it cannot start or does not
// take its input, with the reason in `why`. A worker whose parent dies,
// even by SIGKILL, ends too.
bool StartWorker(const std::vector<std::string>& args, int (*entry)(), const std::string& input,
                 WorkerState* worker, std::string* why);

// In a worker: all of its standard input, until it ends; false on a read
// error.
bool ReadWorkerInput(std::string* input);

// Waits at most `timeout_ms` for any running worker to write or to end,
// and takes what is there.
void PumpWorkers(const std::vector<WorkerState*>& workers, int timeout_ms);

// Forgets the workers that have ended, so that their slots serve the next
// round of the station loop.
void ForgetWorkers();

// For the stop handler: asks every worker to end, gives each 2 s to release
// its port, then ends it. Safe inside a signal handler on POSIX.
void StopAllWorkers();

// After StopAllWorkers: the image bytes worker `id` said its port had taken
// when it was stopped; -1 when it said nothing. Safe inside a signal
// handler.
int64_t InterruptedBytes(int id);

}  // namespace cli_workers
