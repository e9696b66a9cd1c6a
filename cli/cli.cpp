#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "cli/cli_internal.h"
#include "cli/cli_backend.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"

using cli_backend::DiagnosePort;
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

namespace {

std::string Clock(int64_t seconds) { return ClockText(seconds); }

// The reason a port did not open, in plain words; empty when there is
// nothing useful to say.
std::string TroubleText(const PortDiagnosis& d) {
  switch (d.trouble) {
    case PortTrouble::Busy:
      return "busy, held by another program";
    case PortTrouble::PermissionDenied:
      return "permission denied; on most distributions the user must be in the 'dialout' "
             "group: sudo usermod -aG dialout $USER, then log in again";
    case PortTrouble::Other:
      return d.detail;
    case PortTrouble::Absent:
      return d.device.empty() ? std::string() : "no such device";
    case PortTrouble::None:
      break;
  }
  return std::string();
}

void PrintUsageError(const std::string& error) {
  Print(stderr, std::string(kProgram) + ": " + error + "\n" + UsageText() + "Try '" + kProgram +
                    " --help' for more.\n");
}

nlohmann::ordered_json UsbJson(const UsbIdentity& usb) {
  if (!usb.IsUsb()) return nullptr;
  return {{"vid", usb.vendor_id},       {"pid", usb.product_id}, {"manufacturer", usb.manufacturer},
          {"product", usb.product},     {"serial", usb.serial}};
}

int RunList(const CliArguments& args) {
  const std::string sysfs = SysfsRoot();
  ScanPorts(kPortSlot, [&](const std::string& name, bool opened) {
    if (opened) {
      PresentPort port;
      port.name = name;
      port.device = PortDevice(name);
      port.usb = FindUsbIdentity(name, sysfs);
      if (args.json) {
        const nlohmann::ordered_json line = {{"port", port.name},
                                     {"device", port.device.empty() ? nlohmann::ordered_json(nullptr)
                                                                    : nlohmann::ordered_json(port.device)},
                                     {"usb", UsbJson(port.usb)}};
        Print(stdout, line.dump() + "\n");
      } else {
        Print(stdout, PresentPortText(port) + "\n");
      }
      return;
    }
    if (args.quiet) return;
    // A device that is there but would not open is worth a word; one that is
    // simply not there is the normal case and stays silent.
    const PortDiagnosis d = DiagnosePort(name);
    if (d.trouble == PortTrouble::None || d.trouble == PortTrouble::Absent) return;
    Print(stderr, name + " " + d.device + ": " + TroubleText(d) + "\n");
  });
  return 0;
}

// Why the file cannot be flashed, or empty when it can; on success the file
// is open in the file slot.
std::string OpenFirmware(const std::string& path, int64_t* size) {
  *size = FileSizeAtPath(path.c_str());
  if (*size == -2) return "a directory, not a file";
  if (*size < 0) return "no such file";
  // Larger files would be announced by their low 32 bits and arrive cut
  // short on the device.
  if (!FitsSizeField(*size)) {
    return std::to_string(*size) + " bytes, more than the 32-bit size field can announce";
  }
  if (!OpenFileForReading(kFileSlot, path.c_str())) return "cannot be opened for reading";
  return std::string();
}

// The port's trouble in parentheses' words: "/dev/ttyUSB0: busy, ...".
std::string PortProblem(const std::string& port) {
  const PortDiagnosis d = DiagnosePort(port);
  const std::string why = TroubleText(d);
  if (why.empty()) return std::string();
  return d.device.empty() ? why : d.device + ": " + why;
}

int RunFlash(const CliArguments& args) {
  const bool tty = cli_backend::StderrIsTerminal();
  FlashHooks hooks;
  hooks.started = [&](int64_t size) {
    if (args.quiet) return;
    Print(stderr, "Updating the device on " + args.port + " with " + args.file + " (" +
                      std::to_string(size) + " bytes, about " + Clock(LineSeconds(size)) +
                      " on the line)\n");
  };
  hooks.progress = [&](int32_t index, int32_t count, int64_t announced) {
    if (args.quiet) return;
    const std::string text = ProgressText(index, count, announced, tty);
    if (!text.empty()) Print(stderr, text);
  };
  const FlashResult r = FlashPort(args.port, args.file, args.trace, hooks);
  if (r.message.code != 0 || !args.quiet) {
    std::string line = OutcomeLine(r.message);
    if (!r.detail.empty()) line += " (" + r.detail + ")";
    Print(stderr, line + "\n");
  }
  return r.message.code;
}

// Whether `path` can be written, without leaving a file behind that was
// not there.
bool CanWrite(const std::string& path) {
  std::FILE* existing = std::fopen(path.c_str(), "rb");
  if (existing != nullptr) {
    std::fclose(existing);
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fclose(f);
  std::remove(path.c_str());
  return true;
}

int RunFlashCommand(const CliArguments& args) {
  if (args.wait) return RunStation(args);
  std::vector<PresentPort> boards;
  const std::vector<PresentPort> present =
      HasSelector(args.ports) ? ScanPresentPorts() : std::vector<PresentPort>{};
  const std::string error = ResolvePorts(args.ports, present, DescribePort, &boards);
  if (!error.empty()) {
    PrintUsageError(error);
    return kExitUsage;
  }
  if (!args.trace.empty()) {
    for (const PresentPort& b : boards) {
      const std::string path = boards.size() == 1 ? args.trace : TracePathFor(args.trace, b.name);
      if (!CanWrite(path)) {
        PrintUsageError("cannot write the trace file '" + path + "'");
        return kExitUsage;
      }
    }
  }
  // One board in plain words runs here, as it always has; the rest
  // get a worker per board.
  if (boards.size() == 1 && !args.json) {
    CliArguments one = args;
    one.port = boards.front().name;
    return RunFlash(one);
  }
  return RunBoards(args, boards);
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
  return port;
}

std::vector<PresentPort> ScanPresentPorts() {
  std::vector<PresentPort> ports;
  ScanPorts(kPortSlot, [&](const std::string& name, bool opened) {
    if (opened) ports.push_back(DescribePort(name));
  });
  return ports;
}

std::string CheckFirmware(const std::string& path, int64_t* size) {
  const std::string problem = OpenFirmware(path, size);
  CloseFileSlot(kFileSlot);
  return problem;
}

FlashResult FlashPort(const std::string& port, const std::string& file, const std::string& trace,
                      const FlashHooks& hooks) {
  FlashResult result;
  int64_t size = 0;
  const std::string problem = OpenFirmware(file, &size);
  if (!problem.empty()) {
    CloseFileSlot(kFileSlot);
    result.message = FirmwareMissingMessage();
    result.detail = file + ": " + problem;
    return result;
  }
  if (!OpenUpdatePort(kPortSlot, port)) {
    CloseFileSlot(kFileSlot);
    result.message = PortUnavailableMessage(port);
    result.detail = PortProblem(port);
    return result;
  }
  if (!trace.empty()) StartTrace(trace, port);
  if (hooks.started) hooks.started(size);

  std::array<uint8_t, kTransferBufferSize> send_buffer{};
  std::array<uint8_t, kTransferBufferSize> receive_buffer{};
  // The size goes on the wire as asked of the path once the device has
  // answered, like the window does; the progress text uses the same figure
  // so that its byte count and the word count agree.
  int64_t announced = size;
  const SizeSource size_source = [&] {
    const int64_t now = FileSizeAtPath(file.c_str());
    announced = now < 0 ? 0 : now;
    return WireSize(now);
  };
  const ProgressHook progress = [&](int32_t index, int32_t count) {
    result.sent = 2 * static_cast<int64_t>(index);
    if (hooks.progress) hooks.progress(index, count, announced);
  };
  const UploadOutcome outcome = RunUpload(kPortSlot, kFileSlot, send_buffer.data(),
                                          receive_buffer.data(), size_source, progress);
  result.message = UploadOutcomeMessage(outcome);
  ClosePort(kPortSlot);
  CloseFileSlot(kFileSlot);
  StopTrace();
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
  bool count_given = false;
  app.add_flag("-q,--quiet", result.quiet);
  app.add_flag("--json", result.json);
  app.add_flag("--wait", result.wait);
  app.add_option("--trace", result.trace);
  app.add_option("--count", result.count)->each([&](const std::string&) { count_given = true; });
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
      result.error = what;
    }
    return result;
  }
  for (const std::string& extra : app.remaining()) {
    if (extra != "--") {
      result.error = "unknown option '" + extra + "'";
      return result;
    }
  }

  if (words.empty()) {
    result.error = "no command given";
  } else if (count_given && result.count < 1) {
    result.error = "--count needs a number of boards, 1 or more";
  } else if (words[0] == "list") {
    if (words.size() != 1) {
      result.error = "list takes no arguments";
    } else if (result.wait || !result.trace.empty() || count_given) {
      result.error = "--wait, --count and --trace are for flash";
    } else {
      result.command = CliCommand::List;
    }
  } else if (words[0] == "flash") {
    if (words.size() < 3) {
      result.error = "flash needs a PORT and a FILE";
    } else if (count_given && !result.wait) {
      result.error = "--count is for flash --wait";
    } else {
      result.command = CliCommand::Flash;
      result.ports.assign(words.begin() + 1, words.end() - 1);
      result.port = result.ports.front();
      result.file = words.back();
    }
  } else {
    result.error = "unknown command '" + words[0] + "'";
  }
  return result;
}

std::string UsageText() {
  return std::string("Usage: ") + kProgram + " list\n" +
         "       " + kProgram + " flash PORT... FILE\n" +
         "       " + kProgram + " --help | --version\n" +
         "Options: [--quiet] [--json]; for flash also [--trace FILE] [--wait [--count N]]\n";
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
                    before the extension: line.txt gives line.COM5.txt
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
  1    the firmware file is missing, unreadable, a directory or too large
  2    the serial port cannot be opened
  3    the device does not respond
  4    the device gave a wrong answer to the start command
  5    the device did not confirm the update
  6    the device gave a wrong final answer
  64   bad command line, or a selector that matches no port or, for sn:,
       more than one
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
  const int64_t sent = 2 * static_cast<int64_t>(index);
  if (size < 2 * static_cast<int64_t>(count)) size = 2 * static_cast<int64_t>(count);

  if (!is_tty) {
    if (percent / kPlainLineStep == before / kPlainLineStep) return std::string();
    return "Sent " + std::to_string(sent) + " of " + std::to_string(size) + " bytes (" +
           std::to_string(percent) + "%)\n";
  }

  const int64_t left = LineSeconds(2 * static_cast<int64_t>(count - index));
  const int64_t left_before = LineSeconds(2 * static_cast<int64_t>(count - index + 1));
  if (index != 1 && index != count && percent == before && left == left_before) {
    return std::string();
  }
  // Every field is as wide as it is at its largest, so a redraw always
  // covers the previous one.
  const std::string total = std::to_string(size);
  const size_t clock_width = Clock(LineSeconds(2 * static_cast<int64_t>(count))).size();
  const int filled = static_cast<int>(static_cast<int64_t>(index) * kBarWidth / count);
  return "\r[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
         PadLeft(std::to_string(percent), 3) + "%  " + PadLeft(std::to_string(sent), total.size()) +
         "/" + total + " bytes  " + PadLeft(Clock(left), clock_width) + " left" +
         (index == count ? "\n" : "");
}

int CliMain(int argc, char** argv) {
  cli_backend::PrepareProcess();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  if (!args.empty() && args.front() == kWorkerFlag) {
    const int code = RunWorker(std::vector<std::string>(args.begin() + 1, args.end()));
    CloseAllPorts();
    CloseAllFiles();
    return code;
  }
  const CliArguments parsed = ParseArguments(args);

  int code = kExitUsage;
  switch (parsed.command) {
    case CliCommand::Help:
      Print(stdout, HelpText());
      code = 0;
      break;
    case CliCommand::Version:
      Print(stdout, VersionText());
      code = 0;
      break;
    case CliCommand::List:
      code = RunList(parsed);
      break;
    case CliCommand::Flash:
      code = RunFlashCommand(parsed);
      break;
    case CliCommand::Invalid:
      PrintUsageError(parsed.error);
      code = kExitUsage;
      break;
  }
  CloseAllPorts();
  CloseAllFiles();
  return code;
}
