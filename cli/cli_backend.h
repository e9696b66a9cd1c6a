// What the command-line front end needs from its platform backend
// (cli_posix.cpp, cli_win32.cpp). Internal to cli/.
#pragma once

#include <string>
#include <vector>

namespace cli_backend {

// Readies the process before anything is opened: standard streams that are
// present, and Ctrl+C (plus, where the platform has them, termination and
// hang-up) ending the program with 128 + signal number (130 for Ctrl+C)
// after releasing the port and the file.
void PrepareProcess();

// Whether standard error is a terminal (a console on Windows), where the
// progress bar can redraw in place.
bool StderrIsTerminal();

// Whether that terminal also moves the cursor up on "ESC [ n A", so that
// one progress line per port can be redrawn in place.
bool StderrMovesCursor();

// The device a port name leads to, for `list` to show; empty where port
// names are the platform's own (Windows).
std::string PortDevice(const std::string& name);

// Whether this process was started by StartWorker, and so may run as a
// worker: the worker mode is no door for a user.
bool IsWorker();

// --- Worker processes: one per port when several boards are flashed -------
//
// The serial and file layers keep process-wide tables and buffers, so each
// board gets a process of its own: this program started again in its
// worker mode, which reports on its standard output, read back here through
// a pipe. A board that hangs or vanishes then holds up nothing but its own
// worker.

struct WorkerState {
  int id = -1;           // the platform's own number for it
  std::string output;    // what it wrote and was not yet taken
  bool ended = false;
  int exit_code = 0;     // once ended
};

// Starts this program again with `args`: the very program that is running,
// even if its file has been replaced since. Its standard output comes back
// to `worker->output`; its standard error goes nowhere. False when it
// cannot start, with the reason in `why`. Interrupting this program
// (Ctrl+C, a kill) stops every worker first, giving each 2 s to release its
// port; a worker whose parent dies, even by SIGKILL, ends too.
bool StartWorker(const std::vector<std::string>& args, WorkerState* worker, std::string* why);

// Waits at most `timeout_ms` for any running worker to write or to end,
// and takes what is there.
void PumpWorkers(const std::vector<WorkerState*>& workers, int timeout_ms);

// Forgets the workers that have ended, so that their slots serve the next
// round of the station loop.
void ForgetWorkers();

// A line to print should the program be interrupted from now on (the
// station loop's tally); empty: none.
void SetInterruptNote(const std::string& note);

}  // namespace cli_backend
