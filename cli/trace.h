// The wire transcript of --trace: every byte the serial layer moves, with
// the time and the direction, one transfer a line:
//
//   # update-firmware-cli trace of COM5: ms since the start, > to the device, < from it
//   500.214 > 42 4C 31 30
//   533.020 < 4F 4B
//
// Lines are kept in a large buffer and reach the disk in big pieces, so a
// word costs the upload a few hundred nanoseconds, not a write to disk.
// Also which file each board's transcript goes to, and which files must
// never be written.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/ports.h"

// Starts the transcript of `port` into `path`; false when the file cannot
// be created (StopTrace then says why).
bool StartTrace(const std::string& path, const std::string& port);

// Writes out what is buffered and closes the file. Empty when every byte
// reached the file; else what went wrong, in plain words.
std::string StopTrace();

// For the stop handler: the transcript's whole lines that are not yet in
// its file, and the file; nothing (a null file) when no transcript is open
// or its buffer is being written right now.
struct TraceTail {
  std::FILE* file;
  const char* data;
  size_t size;
};
TraceTail PendingTrace();

// The transcript file of `port` when several ports are flashed with
// `--trace base`: the port's name goes before the extension, so "line.txt"
// gives "line.COM5.txt" and, for /dev/ttyUSB0, "line.ttyUSB0.txt".
std::string TracePathFor(const std::string& base, const std::string& port);

// The transcript files of `ports` for `--trace base`: `base` itself for one
// port, else TracePathFor each; where two ports share a base name
// (/dev/a/ttyS0, /dev/b/ttyS0) their whole paths tell them apart, so no two
// boards ever write one file.
std::vector<std::string> TracePaths(const std::string& base, const std::vector<std::string>& ports);

// Why `trace` must not be written, or empty when it may: it is the image,
// one of the ports or another device, a FIFO, a directory, a file of /proc,
// /sys or the like, another output of this run (ClaimOutput), or the same
// file as any of these by another name (links included); an existing file
// is refused unless `force`. The one check of every file the tool writes.
std::string TraceProblem(const std::string& trace, const std::string& image,
                         const std::vector<PresentPort>& ports, bool force);

// Marks `path` as written by this run: TraceProblem refuses any other
// output that is the same file, by name or through links.
void ClaimOutput(const std::string& path);

// `path` with every link followed, even one that leads to nothing yet, and
// made absolute; `path` itself when that cannot be done.
std::string ResolvedPath(const std::string& path);

// Whether the two names are one file: the same device and inode, through
// links, or the same place once resolved when the file is not there yet.
bool SameFile(const std::string& a, const std::string& b);
