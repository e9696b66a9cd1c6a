// A pseudo-terminal for the tests of the POSIX build: the master side plays
// the device, the slave side stays open so the line settings the layer
// under test made can be read back.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;  // empty when no pseudo-terminal could be made

  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void CloseMaster();
  // Leaves the slave side to whoever else has it open (a child's standard
  // error), or to nobody: then only the program under test opens it.
  void CloseSlave();
  // A terminal for a program's output, raw so that "\n" stays as it is.
  void MakeRaw() const;
  termios Settings() const;
  // A fresh pty is in canonical mode and the serial layer's open makes it
  // raw until the close puts the old settings back, so a pty in canonical
  // mode is not configured by anyone now.
  bool Untouched() const;
  // Writes to the device side; a short write fails the test.
  void Send(const std::string& bytes) const;
  // What arrives at the device side within `timeout_ms`, up to `want` bytes.
  std::string Receive(size_t want, int timeout_ms = 2000) const;
};

// Whether another program could take the device for itself right now.
bool FreeForOthers(const std::string& path);

// Another process, named `name` ("minicom" unless told; the system keeps
// 15 bytes of it), that has `path` open (no lock, no exclusive mode) until
// this is destroyed; it keeps none of the caller's descriptors. `pid` is -1
// when it could not be made or could not open.
struct HeldElsewhere {
  explicit HeldElsewhere(const std::string& path, const std::string& name = "minicom");
  ~HeldElsewhere();
  HeldElsewhere(const HeldElsewhere&) = delete;
  HeldElsewhere& operator=(const HeldElsewhere&) = delete;
  int pid = -1;
};
