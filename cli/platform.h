// What the command line needs from its platform, beside its workers:
// the process's start (signals, standard streams), the terminal, and where
// a port name leads (process_posix.cpp, process_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cli_platform {

// Readies the process before anything is opened: standard streams that are
// present, and Ctrl+C (plus, where the platform has them, termination and
// hang-up) ending the program with 128 + signal number (130 for Ctrl+C)
// after stopping every worker and releasing the port and the file.
void PrepareProcess();

// Whether standard error is a terminal (a console on Windows), where the
// progress bar can redraw in place.
bool StderrIsTerminal();

// Whether that terminal also moves the cursor up on "ESC [ n A", so that
// one progress line per port can be redrawn in place.
bool StderrMovesCursor();

// The device a port name leads to; empty where port names are the
// platform's own (Windows).
std::string PortDevice(const std::string& name);

// Returns at once unless a stop (Ctrl+C, SIGTERM, ...) has come in; then
// never, since the stop handler is ending the process. Called before a
// board's verdict is drawn and before the exit: a write cut short by the
// stop must not be told as the device's fault, nor its exit code win.
void HoldWhileStopping();

// A line to print should the program be interrupted from now on (the
// station loop's tally); empty: none.
void SetInterruptNote(const std::string& note);

// A function the stop handler calls once the workers have ended and
// before anything is closed, to write what an interrupted run still owes
// (stop_records.h); null: none. It may only write, with the calls below.
void SetStopHook(void (*hook)());

// Whether `path` (its links resolved) is on a file system the kernel makes
// up (/proc, /sys, /dev and the like), where what looks like a file is a
// knob: never an output, never an image. Always false on Windows.
bool OnPseudoFileSystem(const std::string& path);

// Writes `size` bytes to `path` whole or not at all: into a new file in the
// same folder, flushed to the disk, then renamed over `path`. False with
// `why` when that failed; `path` is then as it was and the new file gone.
bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* why);

// An exclusive lock on the file `path` (made when missing), waited for
// while another process holds it; 0 with `why` when it cannot be had.
// Every process of the machine that locks the same file is kept out.
intptr_t LockPath(const std::string& path, std::string* why);
void UnlockPath(intptr_t lock);
// The locked file's whole text; false with `why`.
bool ReadLocked(intptr_t lock, std::string* text, std::string* why);
// Appends `text` to the locked file in one write and flushes it to the
// disk; false with `why` when it may not all be there.
bool AppendLocked(intptr_t lock, const std::string& text, std::string* why);

// Whether `path`, or the folder it would be made in, is on a network file
// system (NFS, SMB/CIFS and the like), whose locks cannot be trusted.
bool OnNetworkFileSystem(const std::string& path);

// For the stop handler: removes the new file WriteWholeFile is writing, if any.
void RemovePendingFile();

// For a stop hook: writes to standard output with system calls alone.
void WriteStdoutRaw(const char* data, size_t size);

}  // namespace cli_platform
