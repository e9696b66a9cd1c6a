// The command line's words, read with CLI11 as it is meant to be used:
// one subcommand per command, its own help and its own error messages. What
// CLI11 cannot know (what a port word may be, the count's digits) is
// checked after it, in our words.
#include <CLI/CLI.hpp>

#include <sstream>

#include "cli/cli.h"
#include "cli/ports.h"

namespace {

constexpr const char* kProgram = "update-firmware-cli";

const char* const kFooter = R"(
Loads a firmware image into a device's bootloader over a serial port, at
9600 baud, 8 data bits, no parity, one stop bit, no handshake.
`update-firmware-cli flash --help` tells the options of flash: --trace FILE
(with --force), --wait and --count N.

PORT is a COM name (COM1 to COM16), on Linux also a device path such as
/dev/ttyUSB0, or a selector:
  sn:SERIAL   the USB adapter with that serial number (case ignored); meant
              for one board, so several matches are an error
  VID:PID     every USB adapter with that vendor and product ID, four hex
              digits each, as lsusb shows them, e.g. 0403:6001
A selector that matches no port that opens is an error that lists the
ports there are. Two names for one device flash it once.

Progress and the outcome go to standard error; with --json, JSON Lines go to
standard output instead: list gives one object per port (port, device, usb);
flash gives per port a "start" event, a "progress" event at each quarter and
an "outcome" event (port, device, usb, code, title, text, bytes sent,
seconds), then a "summary" event (boards, succeeded, failed, code, seconds);
with --wait also "waiting" and a "tally" event after each round. With
several ports: one progress line per port on a terminal, else one line per
port at each quarter; each port's outcome as it comes; then a table of port,
device, outcome and seconds.

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

std::string Ours(const std::string& error) {
  return std::string(kProgram) + ": " + error + "\nRun with --help for more information.\n";
}

// The checks CLI11 cannot make; empty when all is well.
std::string CheckFlash(CliArguments* a, const std::vector<std::string>& words,
                       const std::string& count_text, bool count_given) {
  if (count_given) {
    // Decimal digits only: "0x10" or "1e3" is a slip, not a count.
    const bool digits = !count_text.empty() && count_text.size() <= 9 &&
                        count_text.find_first_not_of("0123456789") == std::string::npos;
    a->count = digits ? std::stoll(count_text) : 0;
    if (a->count < 1) return "--count needs a number of boards, 1 or more, in decimal digits";
    if (!a->wait) return "--count is for flash --wait";
  }
  a->ports.assign(words.begin(), words.end() - 1);
  a->file = words.back();
  a->port = a->ports.front();
  const std::string bad = CheckPortWords(a->ports);
  if (!bad.empty()) return bad;
  if (a->ports.size() > kMaxBoards) {
    return std::to_string(a->ports.size()) + " ports, more than the " +
           std::to_string(kMaxBoards) + " that can be flashed at once";
  }
  return std::string();
}

// The options of `flash`; its --count, whose digits are checked later.
CLI::Option* AddFlashOptions(CLI::App* flash, CliArguments* a, std::vector<std::string>* words,
                             std::string* count_text) {
  flash->add_option("PORT... FILE", *words, "the ports (names or selectors), then the image")
      ->required()
      ->expected(2, CLI::detail::expected_max_vector_size);
  flash->add_option("--trace", a->trace,
                    "write every byte sent and received, with the time in ms and the "
                    "direction (> to the device, < from it), to FILE; with several ports one "
                    "file each, the port's name put before the extension. FILE may not be "
                    "the image, a port, a device, a FIFO or a directory")
      ->type_name("FILE");
  flash->add_flag("--force", a->force, "with --trace: overwrite an existing FILE");
  flash->add_flag("--wait", a->wait,
                  "station loop: wait until the ports (or a selector's boards) are there, "
                  "flash them, wait until they are all unplugged, and start again; Ctrl+C "
                  "ends it with the tally");
  return flash->add_option("--count", *count_text, "with --wait: stop after N boards")
      ->type_name("N");
}

}  // namespace

CliArguments ParseArguments(const std::vector<std::string>& args) {
  CliArguments a;
  CLI::App app;
  app.name(kProgram);
  app.footer(kFooter);
  app.set_version_flag("-V,--version", std::string(kProgram) + " " UF_VERSION);
  // "/dev/ttyUSB0" and "/tmp/a.fw" are words, on Windows too; and the
  // common options may stand after the command's own.
  app.allow_windows_style_options(false);
  app.fallthrough();
  app.require_subcommand(1);
  app.add_flag("-q,--quiet", a.quiet, "print nothing but errors");
  app.add_flag("--json", a.json, "JSON Lines on standard output instead of text");

  CLI::App* list = app.add_subcommand(
      "list", "print each of COM1 to COM16 that can be opened; on Linux with the device "
              "behind it; for a USB adapter its vendor and product IDs, manufacturer, "
              "product and serial number; and, on standard error, the devices that are "
              "there but would not open, and why");
  std::vector<std::string> words;
  std::string count_text;
  CLI::App* flash = app.add_subcommand(
      "flash", "send FILE to the device on each PORT, all at once when there are several");
  CLI::Option* count = AddFlashOptions(flash, &a, &words, &count_text);
  for (CLI::App* sub : {list, flash}) sub->allow_windows_style_options(false);

  std::ostringstream out;
  std::ostringstream err;
  try {
    std::vector<const char*> argv = {kProgram};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::Success& e) {
    app.exit(e, out, err);
    a.command = e.get_name() == "CallForVersion" ? CliCommand::Version : CliCommand::Help;
    a.text = out.str();
    return a;
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    a.text = err.str();
    return a;
  }
  if (list->parsed()) {
    a.command = CliCommand::List;
    return a;
  }
  const std::string error = CheckFlash(&a, words, count_text, count->count() > 0);
  a.command = error.empty() ? CliCommand::Flash : CliCommand::Invalid;
  if (!error.empty()) a.text = Ours(error);
  return a;
}
