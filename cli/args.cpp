// The command line's words, read with CLI11 as it is meant to be used:
// one subcommand per command, its own help and its own error messages. What
// CLI11 cannot know (what a port word may be, the count's digits) is
// checked after it, in our words.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "cli/cli.h"
#include "cli/help.h"
#include "cli/ports.h"
#include "cli/text.h"
#include "cli/words.h"
#include "protocol/reset_sequence.h"

namespace {

constexpr const char* kProgram = "update-firmware-cli";
constexpr const char* kDoctorHelp =
    "check this machine for what stops flashing: the serial devices, their permissions and "
    "holders, group membership, brltty, ModemManager, adapters without a serial number; exit "
    "0 when nothing blocks, 1 otherwise";
constexpr const char* kStationHelp =
    "run the station loop (flash --wait) from PROFILE, a TOML file that holds all it takes: "
    "ports, image, expect_sha256 (required), log, trace, force, format, base, fill, max_gap, "
    "attempts, reset, count and the serial_ options; paths in it are relative to its folder. "
    "The profile is locked: only --json and --quiet may be given beside it";


// A value given empty is most often a script's unset "$VAR": read as the
// option left out, it would turn a check off without a word. Checked first
// on each option, so the error says this and names the option.
const CLI::Validator& NotEmpty() {
  static const CLI::Validator check(
      [](std::string& value) {
        return value.empty() ? std::string("an empty value is refused; leave the option out instead")
                             : std::string();
      },
      std::string(), "NOT_EMPTY");
  return check;
}

// A number as a user writes an address: decimal, or hexadecimal after
// "0x". False for anything else or anything above `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 16 ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
          std::string::npos) {
    return false;
  }
  *value = std::stoull(digits, nullptr, hex ? 16 : 10);
  return *value <= max;
}

}  // namespace

std::string CheckImageWords(const ImageWords& w, ImageReading* reading) {
  uint64_t value = 0;
  if (!w.format.empty()) {
    reading->format_given = ParseFormatName(w.format, &reading->format);
    if (!reading->format_given) return "--format takes ihex, srec or bin";
  }
  if (!w.base.empty()) {
    if (!ParseNumber(w.base, UINT32_MAX, &value)) return "--base takes an address, e.g. 0x08000000";
    reading->options.has_base = true;
    reading->options.base = static_cast<uint32_t>(value);
  }
  if (!w.fill.empty()) {
    if (!ParseNumber(w.fill, 0xFF, &value)) return "--fill takes a byte, 0 to 255 or 0x00 to 0xFF";
    reading->options.fill = static_cast<uint8_t>(value);
  }
  if (!w.max_gap.empty()) {
    if (!ParseNumber(w.max_gap, UINT32_MAX, &value)) return "--max-gap takes a number of bytes";
    reading->options.max_gap = value;
  }
  return std::string();
}

namespace {

void AddImageOptions(CLI::App* command, ImageWords* w) {
  command->add_option("--format", w->format,
                      "read FILE as ihex (Intel HEX), srec (S-records) or bin (as it is); "
                      "by default .hex/.ihex are Intel HEX, .srec/.s19/.s28/.s37/.mot "
                      "S-records, anything else is sent as it is")
      ->check(NotEmpty())
      ->type_name("FORMAT");
  command->add_option("--base", w->base,
                      "the flat image starts at ADDR, not at the lowest data address; data "
                      "below it is refused")
      ->check(NotEmpty())
      ->type_name("ADDR");
  command->add_option("--fill", w->fill, "the byte for gaps and for an odd length (0xFF)")
      ->check(NotEmpty())
      ->type_name("BYTE");
  command->add_option("--max-gap", w->max_gap,
                      "refuse a gap between records larger than BYTES (65536)")
      ->check(NotEmpty())
      ->type_name("BYTES");
}

void AddSerialOptions(CLI::App* command, SerialWords* w, bool convert) {
  command->add_option("--serial-at", w->at,
                      "write each board's own value into its copy of the image at ADDR (an "
                      "address of a HEX/S-record image, an offset into a raw one)")
      ->check(NotEmpty())
      ->type_name("ADDR");
  command->add_option("--serial-format", w->format,
                      "how the value is written: u32le (the default), u32be, u64le, u64be, "
                      "ascii:N (decimal, zero-padded to N characters) or hex:N (N upper-case "
                      "hex digits)")
      ->check(NotEmpty())
      ->type_name("FMT");
  if (convert) {
    command->add_option("--serial-value", w->value, "with --serial-at: the value to write")
        ->check(NotEmpty())
        ->type_name("V");
    return;
  }
  command->add_option("--serial-state", w->state,
                      "the counter's file, which holds the next value; taken under a lock, "
                      "so boards, runs and stations sharing it never get the same value")
      ->check(NotEmpty())
      ->type_name("FILE");
  command->add_option("--serial-first", w->first,
                      "with --serial-state: the first value of a new counter")
      ->check(NotEmpty())
      ->type_name("N");
  command->add_option("--serial-step", w->step, "with --serial-state: add K each board (1)")
      ->check(NotEmpty())
      ->type_name("K");
  command->add_option("--serial-list", w->list,
                      "take the values from FILE, one a line (decimal, hex after 0x, or text "
                      "for ascii:N), each once; those given are kept in FILE.used")
      ->check(NotEmpty())
      ->type_name("FILE");
}

}  // namespace

std::string CheckSerialWords(const SerialWords& w, bool convert, SerialPlan* plan) {
  const bool any = !w.format.empty() || !w.first.empty() || !w.step.empty() ||
                   !w.state.empty() || !w.list.empty() || !w.value.empty();
  if (w.at.empty()) return any ? "the --serial- options need --serial-at ADDR" : std::string();
  if (!ParseNumber(w.at, UINT32_MAX, &plan->at)) {
    return "--serial-at takes an address or offset, e.g. 0x08001000";
  }
  plan->at_given = true;
  if (!w.format.empty() && !ParseSerialFormat(w.format, plan)) {
    return "--serial-format takes u32le, u32be, u64le, u64be, ascii:N or hex:N (N from 1 to 64)";
  }
  std::vector<uint8_t> field;
  std::string written;
  if (convert) {
    if (w.value.empty()) return "--serial-at needs --serial-value V with convert";
    plan->value = w.value;
    const std::string misfit = EncodeSerial(*plan, w.value, &field, &written);
    return misfit.empty() ? std::string() : "--serial-value: " + misfit;
  }
  if (w.state.empty() == w.list.empty()) {
    return "--serial-at needs the values from --serial-state FILE or from --serial-list FILE, "
           "one of the two";
  }
  plan->state = w.state;
  plan->list = w.list;
  if ((!w.first.empty() || !w.step.empty()) && w.state.empty()) {
    return "--serial-first and --serial-step are for a counter, with --serial-state";
  }
  if (!w.first.empty()) {
    if (!ParseNumber(w.first, UINT64_MAX, &plan->first)) {
      return "--serial-first takes a number (decimal, or hex after 0x)";
    }
    plan->first_given = true;
    const std::string misfit = EncodeSerial(*plan, w.first, &field, &written);
    if (!misfit.empty()) return "--serial-first: " + misfit;
  }
  if (!w.step.empty() && (!ParseNumber(w.step, UINT32_MAX, &plan->step) || plan->step == 0)) {
    return "--serial-step takes a number, 1 or more";
  }
  return std::string();
}

// The checks CLI11 cannot make.
std::string CheckFlash(CliArguments* a, const std::vector<std::string>& words,
                       const std::string& count_text, bool count_given,
                       const std::string& reset_text) {
  if (count_given) {
    // Decimal digits only: "0x10" or "1e3" is a slip, not a count.
    const bool digits = !count_text.empty() && count_text.size() <= 9 &&
                        count_text.find_first_not_of("0123456789") == std::string::npos;
    a->count = digits ? std::stoll(count_text) : 0;
    if (a->count < 1) return "--count needs a number of boards, 1 or more, in decimal digits";
    if (!a->wait) return "--count is for flash --wait";
  }
  if (!a->expect_sha256.empty()) {
    for (char& c : a->expect_sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (a->expect_sha256.size() != 64 ||
        a->expect_sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
      return "--expect-sha256 takes the 64 hex digits of a SHA-256";
    }
  }
  if (!reset_text.empty()) {
    ResetSequence reset = ParseResetSequence(reset_text);
    // The message quotes the step as it was typed.
    if (!reset.error.empty()) return "--reset: " + Printable(reset.error);
    a->reset = std::move(reset.steps);
  }
  a->ports.assign(words.begin(), words.end() - 1);
  a->file = words.back();
  a->port = a->ports.front();
  std::string bad;
  a->selectors = ParsePortWords(a->ports, &bad);
  if (!bad.empty()) return bad;
  if (a->ports.size() > kMaxBoards) {
    return std::to_string(a->ports.size()) + " ports, more than the " +
           std::to_string(kMaxBoards) + " that can be flashed at once";
  }
  return std::string();
}

namespace {

// The options of `flash`; its --count, whose digits are checked later.
CLI::Option* AddFlashOptions(CLI::App* flash, CliArguments* a, std::string* count_text,
                             std::string* reset_text) {
  flash->add_option("--trace", a->trace,
                    "write every byte sent and received, with the time in ms and the "
                    "direction (> to the device, < from it), to FILE; with several ports one "
                    "file each, the port's name put before the extension. FILE may not be "
                    "the image, a port, a device, a FIFO or a directory")
      ->check(NotEmpty())
      ->type_name("FILE");
  flash->add_flag("--force", a->force,
                  "with --trace: overwrite an existing FILE; with --serial-state or "
                  "--serial-list: use a file on a network file system");
  flash->add_flag("--wait", a->wait,
                  "station loop: wait until the ports (or a selector's boards) are there, "
                  "flash them, wait until they are all unplugged, and start again; Ctrl+C "
                  "ends it with the tally");
  flash->add_option("--expect-sha256", a->expect_sha256,
                    "refuse any image whose SHA-256 is not HEX, before a port is opened")
      ->check(NotEmpty())
      ->type_name("HEX");
  flash->add_option("--log", a->log,
                    "append one JSON record per board to FILE: time, station, version, port, "
                    "device, USB identity and location, image, size, SHA-256, outcome, bytes, "
                    "seconds, attempts")
      ->check(NotEmpty())
      ->type_name("FILE");
  flash->add_option("--attempts", a->attempts,
                    "send the start command up to N times while the device does not answer "
                    "it, or answers it wrongly (1)")
      ->check(NotEmpty())
      ->type_name("N")
      ->check(CLI::Range(1, 100));
  flash->add_option("--reset", *reset_text,
                    "play SEQ on the modem lines after the port opens, before the start "
                    "command: a comma list of dtr=0|1, rts=0|1 and wait=MS")
      ->check(NotEmpty())
      ->type_name("SEQ");
  return flash->add_option("--count", *count_text, "with --wait: stop after N boards")
      ->check(NotEmpty())
      ->type_name("N");
}

CLI::App* AddConvert(CLI::App* app, CliArguments* a, ImageWords* image_words) {
  CLI::App* convert = app->add_subcommand(
      "convert", "write the flat image of an Intel HEX or S-record file IN to OUT, by the "
                 "rules flash uses");
  convert->add_option("IN", a->file, "the HEX or S-record file")->required();
  convert->add_option("OUT", a->out, "the flat image to write; an existing file is kept")
      ->required();
  convert->add_flag("--force", a->force, "overwrite an existing OUT");
  AddImageOptions(convert, image_words);
  return convert;
}

// CLI11's messages quote the words typed: each line escaped, the line ends
// kept.
std::string PrintableLines(const std::string& text) {
  std::string lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines += Printable(text.substr(start, end - start)) + (end < text.size() ? "\n" : "");
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string UsageErrorText(const std::string& error) {
  return std::string(kProgram) + ": " + error + "\nRun with --help for more information.\n";
}

CliArguments ParseArguments(const std::vector<std::string>& args) {
  CliArguments a;
  CLI::App app;
  app.name(kProgram);
  app.footer(HelpFooter());
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
  std::string reset_text;
  CLI::App* flash = app.add_subcommand(
      "flash", "send FILE to the device on each PORT, all at once when there are several");
  flash->add_option("PORT... FILE", words, "the ports (names or selectors), then the image")
      ->required()
      ->expected(2, CLI::detail::expected_max_vector_size);
  CLI::Option* count = AddFlashOptions(flash, &a, &count_text, &reset_text);
  ImageWords image_words;
  AddImageOptions(flash, &image_words);
  SerialWords flash_serial, convert_serial;
  AddSerialOptions(flash, &flash_serial, false);
  CLI::App* convert = AddConvert(&app, &a, &image_words);
  AddSerialOptions(convert, &convert_serial, true);
  CLI::App* station = app.add_subcommand("station", kStationHelp);
  station->add_option("PROFILE", a.profile, "the station's profile, a TOML file")->required();
  CLI::Option* check =
      station->add_flag("--check", a.check,
                        "check the profile and the image, open no port, and print what the "
                        "station would do");
  // flash's options are known to station only to be refused by name: the
  // profile is locked, and an operator's option must not change it.
  CliArguments locked;
  std::string locked_count, locked_reset;
  ImageWords locked_image;
  SerialWords locked_serial;
  AddFlashOptions(station, &locked, &locked_count, &locked_reset);
  AddImageOptions(station, &locked_image);
  AddSerialOptions(station, &locked_serial, false);
  for (CLI::Option* option : station->get_options()) {
    if (option->get_positional() || option == check || option == station->get_help_ptr()) continue;
    option->group("Locked (set in the profile, refused here)");
  }
  CLI::App* doctor = app.add_subcommand("doctor", kDoctorHelp);
  for (CLI::App* sub : {list, flash, convert, station, doctor}) {
    sub->allow_windows_style_options(false);
  }

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
    a.text = PrintableLines(err.str());
    return a;
  }
  if (list->parsed() || doctor->parsed()) {
    a.command = list->parsed() ? CliCommand::List : CliCommand::Doctor;
    return a;
  }
  if (station->parsed()) {
    for (CLI::Option* option : station->get_options()) {
      if (option->count() == 0 || option->get_positional() || option == check) continue;
      a.text = UsageErrorText(option->get_name() +
                              " cannot be given with a profile: the profile is locked; "
                              "change it in the profile");
      return a;
    }
    a.command = CliCommand::Station;
    return a;
  }
  std::string error = CheckImageWords(image_words, &a.image);
  if (error.empty() && flash->parsed()) error = CheckFlash(&a, words, count_text, count->count() > 0, reset_text);
  if (error.empty()) {
    error = flash->parsed() ? CheckSerialWords(flash_serial, false, &a.serial)
                            : CheckSerialWords(convert_serial, true, &a.serial);
  }
  a.command = !error.empty() ? CliCommand::Invalid
              : flash->parsed() ? CliCommand::Flash
                                : CliCommand::Convert;
  if (!error.empty()) a.text = UsageErrorText(error);
  return a;
}
