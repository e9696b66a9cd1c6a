#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "cli/cli_internal.h"
#include "cli/cli_backend.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"

using cli_backend::PortDevice;

namespace {

constexpr const char* kProgram = "update-firmware-cli";
constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;

// Start bit, 8 data bits, no parity, one stop bit.
constexpr int64_t kLineBitsPerByte = 10;
constexpr int kBarWidth = 30;
constexpr int32_t kPlainLineStep = 25;  // percent between plain progress lines

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::string ClockText(int64_t seconds) {
  const int64_t h = seconds / 3600;
  const int64_t m = seconds / 60 % 60;
  const int64_t s = seconds % 60;
  char text[48];
  if (h > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(h),
                  static_cast<long long>(m), static_cast<long long>(s));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(m),
                  static_cast<long long>(s));
  }
  return text;
}

void Print(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string JsonText(const nlohmann::ordered_json& value) {
  // Names from USB devices and file systems need not be UTF-8; a bad byte
  // must cost a replacement character, not the run.
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json UsbJson(const UsbIdentity& usb) {
  if (!usb.IsUsb()) return nullptr;
  return {{"vid", usb.vendor_id},   {"pid", usb.product_id}, {"manufacturer", usb.manufacturer},
          {"product", usb.product}, {"serial", usb.serial}};
}

std::string PortErrorText(PortError error, int32_t system_error, bool has_device) {
  switch (error) {
    case PortErrorBusy:
      return "busy, held by another program";
    case PortErrorDenied:
      return "permission denied; on most distributions the user must be in the 'dialout' "
             "group: sudo usermod -aG dialout $USER, then log in again";
    case PortErrorNotSerial:
      return "not a serial device";
    case PortErrorSettings:
      return "does not take 9600 baud, 8 data bits, no parity, one stop bit";
    case PortErrorControllingTerminal:
      return "the terminal this program runs in, not a serial port";
    case PortErrorOther:
      return system_error != 0 ? std::strerror(system_error) : "cannot be opened";
    case PortErrorAbsent:
      // A COM name of the platform's own that leads nowhere says it all.
      return has_device ? "no such device" : std::string();
    case PortErrorNone:
      break;
  }
  return std::string();
}

std::string LastPortProblem(const std::string& port) {
  int32_t system_error = 0;
  const PortError error = LastPortError(&system_error);
  const std::string device = PortDevice(port);
  const std::string why = PortErrorText(error, system_error, !device.empty());
  if (why.empty()) return std::string();
  return device.empty() ? why : Printable(device) + ": " + why;
}

OutcomeMessage TraceFailedMessage() {
  return {kExitOutput, kProgram, "cannot write the trace file"};
}

OutcomeMessage InternalErrorMessage() { return {kExitInternal, kProgram, "internal error"}; }

void PrintUsageError(const std::string& error) {
  Print(stderr, std::string(kProgram) + ": " + error + "\n" + UsageText() + "Try '" + kProgram +
                    " --help' for more.\n");
}

namespace {

int RunList(const CliArguments& args) {
  // Only a look: a port another program runs at 115200 baud must stay as it
  // is, so nothing is configured.
  ScanFreePorts([&](const std::string& name, bool free) {
    if (free) {
      const PresentPort port = DescribePort(name);
      if (args.json) {
        const nlohmann::ordered_json line = {
            {"port", port.name},
            {"device", port.device.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(port.device)},
            {"usb", UsbJson(port.usb)}};
        Print(stdout, JsonText(line) + "\n");
      } else {
        Print(stdout, PresentPortText(port) + "\n");
      }
      return;
    }
    if (args.quiet) return;
    // A device that is there but would not open is worth a word; one that is
    // simply not there is the normal case and stays silent.
    int32_t system_error = 0;
    const PortError error = LastPortError(&system_error);
    if (error == PortErrorAbsent || error == PortErrorNone) return;
    Print(stderr, name + " " + Printable(PortDevice(name)) + ": " +
                      PortErrorText(error, system_error, true) + "\n");
  });
  return 0;
}

// Why the file cannot be flashed, or empty when it can; on success the file
// is open in the file slot and `size` is the size of what is open, so that
// the size announced and the bytes sent come from one file, whatever
// happens to the path meanwhile.
std::string OpenFirmware(const std::string& path, int64_t* size) {
  *size = 0;
  if (!OpenFileForReading(kFileSlot, path.c_str())) {
    const int64_t at_path = FileSizeAtPath(path.c_str());
    if (at_path == -2) return "a directory, not a file";
    if (at_path < 0) return "no such file";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      return "not a regular file (a device, a FIFO or a socket)";
    }
    return "cannot be opened for reading";
  }
  *size = FileSlotSize(kFileSlot);
  // Larger files would be announced by their low 32 bits and arrive cut
  // short on the device.
  if (!FitsSizeField(*size)) {
    return std::to_string(*size) + " bytes, more than the 32-bit size field can announce";
  }
  return std::string();
}

int RunFlash(const CliArguments& args, const std::string& trace) {
  const bool tty = cli_backend::StderrIsTerminal();
  FlashHooks hooks;
  hooks.started = [&](int64_t size) {
    if (args.quiet) return;
    Print(stderr, "Updating the device on " + Printable(args.port) + " with " +
                      Printable(args.file) + " (" + std::to_string(size) + " bytes, about " +
                      ClockText(LineSeconds(size)) + " on the line)\n");
  };
  hooks.progress = [&](int32_t index, int32_t count, int64_t announced) {
    if (args.quiet) return;
    const std::string text = ProgressText(index, count, announced, tty);
    if (!text.empty()) Print(stderr, text);
  };
  const FlashResult r = FlashPort(args.port, args.file, trace, args.force, hooks);
  if (r.message.code != 0 || !args.quiet) {
    std::string line = OutcomeLine(r.message);
    if (!r.detail.empty()) line += " (" + r.detail + ")";
    Print(stderr, line + "\n");
  }
  if (!r.trace_error.empty() && r.message.code != kExitOutput) {
    Print(stderr, std::string(kProgram) + ": the trace file '" + Printable(trace) +
                      "' could not be written: " + r.trace_error + "\n");
  }
  return ResultCode(r);
}

int RunFlashCommand(const CliArguments& args) {
  if (args.wait) return RunStation(args);
  // The one transcript of one board is checked before any port is so much
  // as looked at.
  if (!args.trace.empty() && args.ports.size() == 1) {
    const std::string problem = TraceProblem(args.trace, args.file, {}, args.force);
    if (!problem.empty()) {
      PrintUsageError("cannot write the trace file '" + Printable(args.trace) + "': " + problem);
      return kExitUsage;
    }
  }
  std::vector<PresentPort> boards;
  std::vector<std::string> same;
  const std::vector<PresentPort> present =
      HasSelector(args.ports) ? ScanPresentPorts() : std::vector<PresentPort>{};
  const std::string error = ResolvePorts(args.ports, present, DescribePort, &boards, &same);
  if (!error.empty()) {
    PrintUsageError(error);
    return kExitUsage;
  }
  if (boards.size() > kMaxBoards) {
    PrintUsageError(std::to_string(boards.size()) + " ports, more than the " +
                    std::to_string(kMaxBoards) + " that can be flashed at once");
    return kExitUsage;
  }
  if (!args.quiet) {
    for (const std::string& line : same) {
      Print(stderr, std::string(kProgram) + ": " + line + "\n");
    }
  }
  const std::vector<std::string> traces = BoardTraces(args, boards);
  for (size_t i = 0; i < traces.size(); ++i) {
    if (traces[i].empty()) continue;
    const std::string problem = TraceProblem(traces[i], args.file, boards, args.force);
    if (!problem.empty()) {
      PrintUsageError("cannot write the trace file '" + Printable(traces[i]) + "': " + problem);
      return kExitUsage;
    }
  }
  // One board in plain words runs here, as it always has; the rest
  // get a worker per board.
  if (boards.size() == 1 && !args.json) {
    CliArguments one = args;
    one.port = boards.front().name;
    return RunFlash(one, traces.front());
  }
  return RunBoards(args, boards, traces);
}

}  // namespace

std::string SysfsRoot() {
  const char* root = std::getenv("UPDATE_FIRMWARE_SYSFS");
  return root != nullptr && root[0] != '\0' ? root : "/sys";
}

PresentPort DescribePort(const std::string& name) {
  PresentPort port;
  port.name = name;
  port.device = PortDevice(name);
  port.usb = FindUsbIdentity(name, SysfsRoot());
  port.key = FindDeviceKey(name, SysfsRoot());
  return port;
}

std::vector<PresentPort> ScanPresentPorts() {
  std::vector<PresentPort> ports;
  ScanFreePorts([&](const std::string& name, bool free) {
    if (free) ports.push_back(DescribePort(name));
  });
  return ports;
}

std::vector<std::string> BoardTraces(const CliArguments& args,
                                     const std::vector<PresentPort>& boards) {
  if (args.trace.empty()) return std::vector<std::string>(boards.size());
  std::vector<std::string> names;
  for (const PresentPort& b : boards) names.push_back(b.name);
  return TracePaths(args.trace, names);
}

std::string CheckFirmware(const std::string& path, int64_t* size) {
  const std::string problem = OpenFirmware(path, size);
  CloseFileSlot(kFileSlot);
  return problem;
}

int ResultCode(const FlashResult& r) {
  if (r.message.code != 0) return r.message.code;
  return r.trace_error.empty() ? 0 : kExitOutput;
}

FlashResult FlashPort(const std::string& port, const std::string& file, const std::string& trace,
                      bool force, const FlashHooks& hooks) {
  FlashResult result;
  int64_t size = 0;
  const std::string problem = OpenFirmware(file, &size);
  if (!problem.empty()) {
    CloseFileSlot(kFileSlot);
    result.message = FirmwareMissingMessage();
    result.detail = Printable(file) + ": " + problem;
    return result;
  }
  // The transcript is made before the port is opened, so that a file that
  // must not be written costs the board nothing. The check is made here
  // too, for the workers: whoever starts them, they take no check away.
  if (!trace.empty()) {
    std::string why = TraceProblem(trace, file, {DescribePort(port)}, force);
    if (why.empty() && !StartTrace(trace, port)) why = StopTrace();
    if (!why.empty()) {
      CloseFileSlot(kFileSlot);
      result.message = TraceFailedMessage();
      result.detail = Printable(trace) + ": " + why;
      result.trace_error = why;
      return result;
    }
  }
  if (!OpenUpdatePort(kPortSlot, port)) {
    result.detail = LastPortProblem(port);
    CloseFileSlot(kFileSlot);
    if (!trace.empty()) result.trace_error = StopTrace();
    result.message = PortUnavailableMessage(Printable(port));
    return result;
  }
  if (hooks.started) hooks.started(size);

  std::array<uint8_t, kTransferBufferSize> send_buffer{};
  std::array<uint8_t, kTransferBufferSize> receive_buffer{};
  // The size announced is that of the file that is open, taken when it was
  // opened; should the file shrink meanwhile, the upload ends at the first
  // byte that is not there, and never sends padding in its place.
  const SizeSource size_source = [size] { return WireSize(size); };
  const ProgressHook progress = [&](int32_t index, int32_t count) {
    result.sent = kBytesPerWord * static_cast<int64_t>(index);
    if (hooks.progress) hooks.progress(index, count, size);
  };
  const UploadOutcome outcome = RunUpload(kPortSlot, kFileSlot, send_buffer.data(),
                                          receive_buffer.data(), size_source, progress);
  result.message = UploadOutcomeMessage(outcome);
  ClosePort(kPortSlot);
  CloseFileSlot(kFileSlot);
  if (!trace.empty()) result.trace_error = StopTrace();
  return result;
}

CliArguments ParseArguments(const std::vector<std::string>& args) {
  CliArguments result;
  // Help and version win over everything, mistakes included, but only
  // before "--": after it they are words.
  bool help = false;
  bool version = false;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") help = true;
    if (arg == "--version" || arg == "-V") version = true;
  }
  if (help || version) {
    result.command = help ? CliCommand::Help : CliCommand::Version;
    return result;
  }

  CLI::App app;
  app.set_help_flag();
  app.allow_extras();  // unknown options are ours to name
  // "/dev/ttyUSB0" and "/tmp/a.fw" are words, on Windows too.
  app.allow_windows_style_options(false);
  std::vector<std::string> words;
  std::string count_text;
  bool count_given = false;
  app.add_flag("-q,--quiet", result.quiet);
  app.add_flag("--json", result.json);
  app.add_flag("--wait", result.wait);
  app.add_flag("--force", result.force);
  app.add_option("--trace", result.trace);
  app.add_option("--count", count_text)->each([&](const std::string&) { count_given = true; });
  app.add_option("words", words);
  // CLI11 wants the program name first and the rest in reverse.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const std::string what = e.what();
    if (what.find("--count") != std::string::npos) {
      result.error = "--count needs a number of boards, 1 or more";
    } else if (what.find("--trace") != std::string::npos) {
      result.error = "--trace needs a FILE";
    } else {
      result.error = Printable(what);
    }
    return result;
  }
  for (const std::string& extra : app.remaining()) {
    if (extra != "--") {
      result.error = "unknown option '" + Printable(extra) + "'";
      return result;
    }
  }
  if (count_given) {
    // Decimal digits only: "0x10" or "1e3" is a slip, not a count.
    const bool digits = !count_text.empty() && count_text.size() <= 9 &&
                        count_text.find_first_not_of("0123456789") == std::string::npos;
    result.count = digits ? std::stoll(count_text) : 0;
  }

  if (words.empty()) {
    result.error = "no command given";
  } else if (count_given && result.count < 1) {
    result.error = "--count needs a number of boards, 1 or more, in decimal digits";
  } else if (words[0] == "list") {
    if (words.size() != 1) {
      result.error = "list takes no arguments";
    } else if (result.wait || !result.trace.empty() || count_given || result.force) {
      result.error = "--wait, --count, --trace and --force are for flash";
    } else {
      result.command = CliCommand::List;
    }
  } else if (words[0] == "flash") {
    if (words.size() < 3) {
      result.error = "flash needs a PORT and a FILE";
    } else if (count_given && !result.wait) {
      result.error = "--count is for flash --wait";
    } else {
      result.ports.assign(words.begin() + 1, words.end() - 1);
      result.error = CheckPortWords(result.ports);
      if (result.error.empty() && result.ports.size() > kMaxBoards) {
        result.error = std::to_string(result.ports.size()) + " ports, more than the " +
                       std::to_string(kMaxBoards) + " that can be flashed at once";
      }
      if (result.error.empty()) {
        result.command = CliCommand::Flash;
        result.port = result.ports.front();
        result.file = words.back();
      }
    }
  } else {
    result.error = "unknown command '" + Printable(words[0]) + "'";
  }
  return result;
}

std::string UsageText() {
  return std::string("Usage: ") + kProgram + " list\n" +
         "       " + kProgram + " flash PORT... FILE\n" +
         "       " + kProgram + " --help | --version\n" +
         "Options: [--quiet] [--json]; for flash also [--trace FILE [--force]] [--wait [--count N]]\n";
}

std::string HelpText() {
  return UsageText() + R"(
Loads a firmware image into a device's bootloader over a serial port, at
9600 baud, 8 data bits, no parity, one stop bit, no handshake.

Commands:
  list              print each of COM1 to COM16 that can be opened; on Linux
                    with the device behind it; for a USB adapter its vendor
                    and product IDs, manufacturer, product and serial number;
                    and, on standard error, the devices that are there but
                    would not open, and why
  flash PORT... FILE
                    send FILE to the device on each PORT, all at once when
                    there are several; PORT is a COM name, on Linux also a
                    device path such as /dev/ttyUSB0, or a selector:
                      sn:SERIAL   the USB adapter with that serial number
                                  (case ignored); meant for one board, so
                                  several matches are an error
                      VID:PID     every USB adapter with that vendor and
                                  product ID, four hex digits each, as
                                  lsusb shows them, e.g. 0403:6001
                    A selector that matches no port that opens is an error
                    that lists the ports there are.

Options:
  -q, --quiet       print nothing but errors
      --json        JSON Lines on standard output instead of text: list gives
                    one object per port (port, device, usb); flash gives per
                    port a "start" event, a "progress" event at each quarter
                    and an "outcome" event (port, device, usb, code, title,
                    text, bytes sent, seconds), then a "summary" event
                    (boards, succeeded, failed, code, seconds); with --wait
                    also a "tally" event after each round
      --trace FILE  write every byte sent and received, with the time in ms
                    and the direction (> to the device, < from it), to FILE;
                    with several ports one file each, the port's name put
                    before the extension: line.txt gives line.COM5.txt.
                    FILE may not be the image, a port, a device, a FIFO or
                    a directory, and an existing file is kept
      --force       with --trace: overwrite an existing FILE
      --wait        station loop: wait until the ports (or a selector's
                    boards) are there, flash them, wait until they are all
                    unplugged, and start again; Ctrl+C ends it with the
                    tally of boards done and failed
      --count N     with --wait: stop after N boards
  -h, --help        show this text and exit
  -V, --version     show the version and exit

Progress and the outcome go to standard error. With several ports: one
progress line per port on a terminal, else one line per port at each
quarter; each port's outcome as it comes; then a table of port, device,
outcome and seconds. One board that fails, vanishes or hangs does not hold
up the others.

On Linux COM1-COM4 are /dev/ttyS0-3, COM5-COM10 /dev/ttyUSB0-5 and
COM11-COM16 /dev/ttyACM0-5; UPDATE_FIRMWARE_COMn=/path/to/device puts any
device behind COMn, and UPDATE_FIRMWARE_SYSFS=/path reads the USB identities
from another sysfs tree than /sys.

Exit codes:
  0    every device took the update
  1    the firmware file is missing, unreadable, not a regular file, or too
       large
  2    the serial port cannot be opened
  3    the device does not respond
  4    the device gave a wrong answer to the start command
  5    the device did not confirm the update, stopped taking data, or the
       file came short while it was sent
  6    the device gave a wrong final answer
  64   bad command line: a word that names no port (COM1 to COM16, a
       device path from /, sn:SERIAL or VID:PID), a selector that matches
       no port or, for sn:, more than one, or a trace file that must not
       be written
  70   internal error: the tool failed, not the board (a worker process
       that could not start or ended without a verdict)
  74   output lost: standard output or a trace file could not be written
       (the board's own outcome, when it failed, comes first)
  130  interrupted (Ctrl+C); every port and the file are closed
With several boards the code is that of the first board that failed, in
the order the ports were given (a selector's in COM order); 0 only when
every board succeeded. The same holds for the boards of a --wait loop.

Examples:
  update-firmware-cli flash COM5 trx.fw && echo done
  update-firmware-cli flash COM5 COM6 COM7 COM8 trx.fw
  update-firmware-cli flash --json 0403:6001 trx.fw > results.jsonl
  update-firmware-cli flash --wait sn:A600ABCD trx.fw
)";
}

std::string VersionText() { return std::string(kProgram) + " " UF_VERSION "\n"; }

std::string OutcomeLine(const OutcomeMessage& message) {
  return message.title + ": " + message.text;
}

int64_t LineSeconds(int64_t bytes) {
  if (bytes <= 0) return 0;
  const int64_t bits = bytes * kLineBitsPerByte;
  return (bits + kUpdateBaud - 1) / kUpdateBaud;
}

std::string ProgressText(int32_t index, int32_t count, int64_t size, bool is_tty) {
  if (count <= 0 || index < 1 || index > count) return std::string();
  const int32_t percent = ProgressPercent(index, count);
  const int32_t before = ProgressPercent(index - 1, count);
  const int64_t sent = kBytesPerWord * static_cast<int64_t>(index);
  if (size < kBytesPerWord * static_cast<int64_t>(count)) size = kBytesPerWord * static_cast<int64_t>(count);

  if (!is_tty) {
    if (percent / kPlainLineStep == before / kPlainLineStep) return std::string();
    return "Sent " + std::to_string(sent) + " of " + std::to_string(size) + " bytes (" +
           std::to_string(percent) + "%)\n";
  }

  const int64_t left = LineSeconds(kBytesPerWord * static_cast<int64_t>(count - index));
  const int64_t left_before = LineSeconds(kBytesPerWord * static_cast<int64_t>(count - index + 1));
  if (index != 1 && index != count && percent == before && left == left_before) {
    return std::string();
  }
  // Every field is as wide as it is at its largest, so a redraw always
  // covers the previous one.
  const std::string total = std::to_string(size);
  const size_t clock_width = ClockText(LineSeconds(kBytesPerWord * static_cast<int64_t>(count))).size();
  const int filled = static_cast<int>(static_cast<int64_t>(index) * kBarWidth / count);
  return "\r[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
         PadLeft(std::to_string(percent), 3) + "%  " + PadLeft(std::to_string(sent), total.size()) +
         "/" + total + " bytes  " + PadLeft(ClockText(left), clock_width) + " left" +
         (index == count ? "\n" : "");
}

namespace {

int RunCommand(const std::vector<std::string>& args) {
  if (!args.empty() && args.front() == kWorkerFlag && cli_backend::IsWorker()) {
    return RunWorker(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  const CliArguments parsed = ParseArguments(args);
  switch (parsed.command) {
    case CliCommand::Help:
      Print(stdout, HelpText());
      return 0;
    case CliCommand::Version:
      Print(stdout, VersionText());
      return 0;
    case CliCommand::List:
      return RunList(parsed);
    case CliCommand::Flash:
      return RunFlashCommand(parsed);
    case CliCommand::Invalid:
      break;
  }
  PrintUsageError(parsed.error);
  return kExitUsage;
}

}  // namespace

int CliMain(int argc, char** argv) {
  cli_backend::PrepareProcess();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  int code = kExitInternal;
  try {
    code = RunCommand(args);
  } catch (const std::exception& e) {
    Print(stderr, std::string(kProgram) + ": internal error: " + Printable(e.what()) + "\n");
  } catch (...) {
    Print(stderr, std::string(kProgram) + ": internal error\n");
  }
  // Whatever happened, no port stays open or locked.
  CloseAllPorts();
  CloseAllFiles();
  // Standard output carries the results (the list, the JSON Lines): losing
  // it is a failure. Standard error only shows progress, and a reader of it
  // that goes away must not fail an update that worked.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Print(stderr, std::string(kProgram) + ": standard output could not be written\n");
    if (code == 0) code = kExitOutput;
  }
  return code;
}
