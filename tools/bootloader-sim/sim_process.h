// Runs the simulated bootloader as a child process and learns the path of
// its pseudo-terminal from the first line it prints. The one way the tests
// and the benchmarks start the simulator.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// The simulator built beside this library.
std::string BootloaderSimPath();

class SimProcess {
 public:
  struct Options {
    // Standard error goes to this file (read back by Stderr()); empty: the
    // caller's standard error.
    std::string stderr_path;
    // Whether to wait for the terminal path. Off for runs that print
    // something else (--help) or nothing (bad arguments).
    bool wait_for_terminal = true;
  };

  // Starts `program` with `args`; Ok() tells whether the terminal path came.
  SimProcess(const std::string& program, const std::vector<std::string>& args)
      : SimProcess(program, args, Options{}) {}
  SimProcess(const std::string& program, const std::vector<std::string>& args,
             const Options& options);
  ~SimProcess();  // stops the child if it is still running
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Started() const { return started_; }
  bool Ok() const { return !terminal_.empty(); }
  const std::string& Terminal() const { return terminal_; }
  // When the child was started.
  std::chrono::steady_clock::time_point StartedAt() const { return started_at_; }

  bool Running();
  void Signal(int signal_number);
  // The child's exit code once it has ended within `seconds` (128 + the
  // signal number when a signal ended it), else -1.
  int WaitForExit(double seconds);
  // Standard output from where the terminal path ended up to its close.
  std::string RestOfStdout();
  // What the child wrote to the Options' stderr_path so far.
  std::string Stderr() const;

 private:
  bool started_ = false;
  int pid_ = -1;
  int stdout_fd_ = -1;
  int exit_code_ = -1;
  std::string terminal_;
  std::string stderr_path_;
  std::chrono::steady_clock::time_point started_at_;
};
