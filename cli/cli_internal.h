// What the parts of the command-line front end share. Internal to cli/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/cli.h"

void Print(std::FILE* stream, const std::string& text);

// "m:ss", or "h:mm:ss" from an hour on.
std::string ClockText(int64_t seconds);

// Where sysfs is looked for: UPDATE_FIRMWARE_SYSFS, else /sys.
std::string SysfsRoot();

// The port `name` with what is behind it, whether or not it opens.
PresentPort DescribePort(const std::string& name);

// Every COMn that opens, with what is behind it, in ascending order.
std::vector<PresentPort> ScanPresentPorts();

// Why the file cannot be flashed, or empty when it can; `size` is its size.
// Nothing stays open.
std::string CheckFirmware(const std::string& path, int64_t* size);

// One board in this process: the file checked and opened, the port opened,
// the upload run, both closed again.
struct FlashHooks {
  std::function<void(int64_t size)> started;  // the port is open
  std::function<void(int32_t index, int32_t count, int64_t announced)> progress;
};
struct FlashResult {
  OutcomeMessage message;
  std::string detail;   // for a file or port problem: what went wrong
  int64_t sent = 0;     // image bytes written
};
FlashResult FlashPort(const std::string& port, const std::string& file, const std::string& trace,
                      const FlashHooks& hooks);

// The worker mode: flashes one port and reports on standard output.
constexpr const char* kWorkerFlag = "--uf-worker";
int RunWorker(const std::vector<std::string>& args);

// Several boards at once (or one, for --json): one worker each.
int RunBoards(const CliArguments& args, const std::vector<PresentPort>& boards);

// flash --wait.
int RunStation(const CliArguments& args);
