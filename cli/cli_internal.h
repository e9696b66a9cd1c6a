// What the parts of the command-line front end share. Internal to cli/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "serial/serial.h"

// Each word of the image is two bytes on the line.
constexpr int64_t kBytesPerWord = 2;

void Print(std::FILE* stream, const std::string& text);

// One JSON value on one line; bytes that are not UTF-8 are replaced.
std::string JsonText(const nlohmann::ordered_json& value);

// A USB identity as JSON; null when not USB.
nlohmann::ordered_json UsbJson(const UsbIdentity& usb);

// Why a port is not usable, in plain words; empty when there is nothing
// useful to say (a COM name that leads nowhere, where `has_device` is false).
std::string PortErrorText(PortError error, int32_t system_error, bool has_device);

// After an open or a probe of `port` failed: "/dev/ttyUSB0: busy, held by
// another program", or only the reason where no device path is known.
std::string LastPortProblem(const std::string& port);

// The outcomes that are not the board's: a transcript that cannot be
// written, and the tool failing itself.
OutcomeMessage TraceFailedMessage();
OutcomeMessage InternalErrorMessage();

void PrintUsageError(const std::string& error);

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
  std::string detail;       // for a file or port problem: what went wrong
  int64_t sent = 0;         // image bytes the port took
  std::string trace_error;  // why the transcript is incomplete; empty: it is whole
};
FlashResult FlashPort(const std::string& port, const std::string& file, const std::string& trace,
                      bool force, const FlashHooks& hooks);

// The exit code of one board: its outcome, else a transcript that failed.
int ResultCode(const FlashResult& result);

// The transcript file of each board (all empty without --trace).
std::vector<std::string> BoardTraces(const CliArguments& args,
                                     const std::vector<PresentPort>& boards);

// The worker mode: flashes one port and reports on standard output.
constexpr const char* kWorkerFlag = "--uf-worker";
int RunWorker(const std::vector<std::string>& args);

// Several boards at once (or one, for --json): one worker each, with the
// transcript files of BoardTraces.
int RunBoards(const CliArguments& args, const std::vector<PresentPort>& boards,
              const std::vector<std::string>& traces);

// flash --wait.
int RunStation(const CliArguments& args);
