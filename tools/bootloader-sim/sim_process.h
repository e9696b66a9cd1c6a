// Runs the simulated bootloader as a child process and learns the path of
// its pseudo-terminal from the first line it prints.
#pragma once

#include <string>
#include <vector>

// The simulator built beside this library.
std::string BootloaderSimPath();

class SimProcess {
 public:
  // Starts `program` with `args`; Ok() tells whether the terminal path came.
  SimProcess(const std::string& program, const std::vector<std::string>& args);
  ~SimProcess();  // stops the child if it is still running
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ok() const { return !terminal_.empty(); }
  const std::string& Terminal() const { return terminal_; }
  // The child's exit code once it has ended within `seconds`, else -1.
  int WaitForExit(double seconds);

 private:
  int pid_ = -1;
  int stdout_fd_ = -1;
  int exit_code_ = -1;
  std::string terminal_;
};
