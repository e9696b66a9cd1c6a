#include "cli/cli.h"

#include <array>
#include <cstdio>

#include "cli/cli_backend.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"

namespace {

constexpr const char* kProgram = "update-firmware-cli";
constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;

// Start bit, 8 data bits, no parity, one stop bit.
constexpr int64_t kLineBitsPerByte = 10;
constexpr int kBarWidth = 30;
constexpr int32_t kPlainLineStep = 25;  // percent between plain progress lines

void Print(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string Clock(int64_t seconds) {
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

int RunList(bool quiet) {
  ScanPorts(kPortSlot, [quiet](const std::string& name, bool opened) {
    if (opened) {
      const std::string device = cli_backend::PortDevice(name);
      Print(stdout, device.empty() ? name + "\n" : name + " " + device + "\n");
      return;
    }
    if (quiet) return;
    // A device that is there but would not open is worth a word; one that is
    // simply not there is the normal case and stays silent.
    const PortDiagnosis d = cli_backend::DiagnosePort(name);
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

int RunFlash(const CliArguments& args) {
  const bool tty = cli_backend::StderrIsTerminal();

  int64_t size = 0;
  const std::string problem = OpenFirmware(args.file, &size);
  if (!problem.empty()) {
    CloseFileSlot(kFileSlot);
    const OutcomeMessage m = FirmwareMissingMessage();
    Print(stderr, OutcomeLine(m) + " (" + args.file + ": " + problem + ")\n");
    return m.code;
  }

  if (!OpenUpdatePort(kPortSlot, args.port)) {
    CloseFileSlot(kFileSlot);
    const OutcomeMessage m = PortUnavailableMessage(args.port);
    const PortDiagnosis d = cli_backend::DiagnosePort(args.port);
    const std::string why = TroubleText(d);
    std::string line = OutcomeLine(m);
    if (!why.empty()) line += " (" + (d.device.empty() ? why : d.device + ": " + why) + ")";
    Print(stderr, line + "\n");
    return m.code;
  }

  if (!args.quiet) {
    Print(stderr, "Updating the device on " + args.port + " with " + args.file + " (" +
                      std::to_string(size) + " bytes, about " + Clock(LineSeconds(size)) +
                      " on the line)\n");
  }

  std::array<uint8_t, kTransferBufferSize> send_buffer{};
  std::array<uint8_t, kTransferBufferSize> receive_buffer{};
  // The size goes on the wire as asked of the path once the device has
  // answered, like the window does; the progress text uses the same figure
  // so that its byte count and the word count agree.
  int64_t announced = size;
  const SizeSource size_source = [&] {
    const int64_t now = FileSizeAtPath(args.file.c_str());
    announced = now < 0 ? 0 : now;
    return WireSize(now);
  };
  const ProgressHook progress = [&](int32_t index, int32_t count) {
    if (args.quiet) return;
    const std::string text = ProgressText(index, count, announced, tty);
    if (!text.empty()) Print(stderr, text);
  };
  const UploadOutcome outcome = RunUpload(kPortSlot, kFileSlot, send_buffer.data(),
                                          receive_buffer.data(), size_source, progress);
  const OutcomeMessage m = UploadOutcomeMessage(outcome);
  if (m.code != 0 || !args.quiet) Print(stderr, OutcomeLine(m) + "\n");

  ClosePort(kPortSlot);
  CloseFileSlot(kFileSlot);
  return m.code;
}

}  // namespace

CliArguments ParseArguments(const std::vector<std::string>& args) {
  CliArguments result;
  bool help = false;
  bool version = false;
  bool options_done = false;
  std::string bad_option;
  std::vector<std::string> words;
  for (const std::string& arg : args) {
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "--help" || arg == "-h") {
        help = true;
      } else if (arg == "--version" || arg == "-V") {
        version = true;
      } else if (arg == "--quiet" || arg == "-q") {
        result.quiet = true;
      } else if (bad_option.empty()) {
        bad_option = arg;
      }
      continue;
    }
    words.push_back(arg);
  }

  if (help) {
    result.command = CliCommand::Help;
  } else if (version) {
    result.command = CliCommand::Version;
  } else if (!bad_option.empty()) {
    result.error = "unknown option '" + bad_option + "'";
  } else if (words.empty()) {
    result.error = "no command given";
  } else if (words[0] == "list") {
    if (words.size() == 1) {
      result.command = CliCommand::List;
    } else {
      result.error = "list takes no arguments";
    }
  } else if (words[0] == "flash") {
    if (words.size() == 3) {
      result.command = CliCommand::Flash;
      result.port = words[1];
      result.file = words[2];
    } else {
      result.error = words.size() < 3 ? "flash needs a PORT and a FILE"
                                      : "flash takes only a PORT and a FILE";
    }
  } else {
    result.error = "unknown command '" + words[0] + "'";
  }
  return result;
}

std::string UsageText() {
  return std::string("Usage: ") + kProgram + " list\n" +
         "       " + kProgram + " flash [--quiet] PORT FILE\n" +
         "       " + kProgram + " --help | --version\n";
}

std::string HelpText() {
  return UsageText() + R"(
Loads a firmware image into a device's bootloader over a serial port, at
9600 baud, 8 data bits, no parity, one stop bit, no handshake.

Commands:
  list              print each of COM1 to COM16 that can be opened; on Linux
                    with the device behind it, and, on standard error, the
                    devices that are there but would not open, and why
  flash PORT FILE   send FILE to the device on PORT: a COM name, or on Linux
                    also a device path such as /dev/ttyUSB0

Options:
  -q, --quiet       print nothing but errors
  -h, --help        show this text and exit
  -V, --version     show the version and exit

Progress and the outcome go to standard error. On Linux COM1-COM4 are
/dev/ttyS0-3, COM5-COM10 /dev/ttyUSB0-5 and COM11-COM16 /dev/ttyACM0-5;
UPDATE_FIRMWARE_COMn=/path/to/device puts any device behind COMn.

Exit codes:
  0    the device took the update
  1    the firmware file is missing, unreadable, a directory or too large
  2    the serial port cannot be opened
  3    the device does not respond
  4    the device gave a wrong answer to the start command
  5    the device did not confirm the update
  6    the device gave a wrong final answer
  64   bad command line
  130  interrupted (Ctrl+C); the port and the file are closed

Example:
  update-firmware-cli flash COM5 trx.fw && echo done
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
      code = RunList(parsed.quiet);
      break;
    case CliCommand::Flash:
      code = RunFlash(parsed);
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
