// The command-line front end's pure parts: the command line, the progress
// text and what each outcome turns into.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/image_source.h"
#include "cli/ports.h"
#include "cli/printer.h"
#include "cli/profile.h"
#include "cli/report_json.h"
#include "cli/text.h"
#include "cli/trace.h"
#include "tests/fileio/temp_dir.h"

namespace {

std::vector<PortSelector> Words(const std::vector<std::string>& words) {
  return ParsePortWords(words, nullptr);
}

CliArguments Parse(std::vector<std::string> args) { return ParseArguments(args); }

TEST(CliArguments, CommandsAndOptionsInAnyOrder) {
  EXPECT_EQ(Parse({"list"}).command, CliCommand::List);

  const CliArguments flash = Parse({"flash", "COM5", "trx.fw"});
  EXPECT_EQ(flash.command, CliCommand::Flash);
  EXPECT_EQ(flash.port, "COM5");
  EXPECT_EQ(flash.file, "trx.fw");
  EXPECT_FALSE(flash.quiet);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--quiet", "flash", "/dev/ttyUSB0", "a.fw"},
           {"flash", "-q", "/dev/ttyUSB0", "a.fw"},
           {"flash", "/dev/ttyUSB0", "a.fw", "--quiet"}}) {
    const CliArguments a = Parse(args);
    EXPECT_EQ(a.command, CliCommand::Flash);
    EXPECT_TRUE(a.quiet);
    EXPECT_EQ(a.port, "/dev/ttyUSB0");
    EXPECT_EQ(a.file, "a.fw");
  }
}

TEST(CliArguments, SeveralPortsThenTheFileAndTheNewOptions) {
  const CliArguments a = Parse({"flash", "--json", "COM5", "sn:A1", "0403:6001", "--trace",
                                "line.txt", "trx.fw", "--wait", "--count", "12"});
  EXPECT_EQ(a.command, CliCommand::Flash) << a.text;
  EXPECT_EQ(a.ports, (std::vector<std::string>{"COM5", "sn:A1", "0403:6001"}));
  EXPECT_EQ(a.port, "COM5");
  EXPECT_EQ(a.file, "trx.fw");
  EXPECT_EQ(a.trace, "line.txt");
  EXPECT_TRUE(a.json);
  EXPECT_TRUE(a.wait);
  EXPECT_EQ(a.count, 12);
  EXPECT_TRUE(Parse({"list", "--json"}).json);
}

TEST(CliArguments, DoubleDashLetsAFileStartWithADash) {
  const CliArguments a = Parse({"flash", "COM1", "--", "-odd.fw"});
  EXPECT_EQ(a.command, CliCommand::Flash);
  EXPECT_EQ(a.file, "-odd.fw");
  // A lone dash is an ordinary word.
  EXPECT_EQ(Parse({"flash", "COM1", "-"}).file, "-");
  // Without "--" it is an unknown option.
  EXPECT_EQ(Parse({"flash", "COM1", "-odd.fw"}).command, CliCommand::Invalid);
}

TEST(CliArguments, HelpAndVersionWinOverMistakes) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"flash", "--help"}, {"--bogus", "-h"}}) {
    const CliArguments a = Parse(args);
    EXPECT_EQ(a.command, CliCommand::Help) << args[0];
    EXPECT_NE(a.text.find("Usage: update-firmware-cli"), std::string::npos) << a.text;
  }
  // Each command's help tells its own options.
  EXPECT_NE(Parse({"flash", "--help"}).text.find("--trace FILE"), std::string::npos);
  EXPECT_EQ(Parse({"--version"}).command, CliCommand::Version);
  EXPECT_EQ(Parse({"--version"}).text, "update-firmware-cli " UF_VERSION "\n");
  EXPECT_EQ(Parse({"-V", "list", "extra"}).command, CliCommand::Version);
  // After "--" they are words.
  EXPECT_EQ(Parse({"flash", "COM1", "--", "--help"}).file, "--help");
}

TEST(CliArguments, BadCommandLinesSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // a part of what is said
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{"-q"}, "A subcommand is required"},
      {{"list", "COM1"}, "COM1"},
      {{"flash"}, "PORT... FILE is required"},
      {{"flash", "COM1"}, "PORT... FILE"},
      {{"flash", "--count", "3", "COM1", "a.fw"}, "--count is for flash --wait"},
      {{"flash", "--wait", "--count", "0", "COM1", "a.fw"},
       "--count needs a number of boards, 1 or more, in decimal digits"},
      {{"flash", "--wait", "--count", "many", "COM1", "a.fw"},
       "--count needs a number of boards, 1 or more, in decimal digits"},
      {{"flash", "--wait", "--count", "0x10", "COM1", "a.fw"},
       "--count needs a number of boards, 1 or more, in decimal digits"},
      {{"flash", "COM1", "a.fw", "--trace"}, "--trace"},
      {{"list", "--wait"}, "--wait"},
      {{"update", "COM1", "a.fw"}, "A subcommand is required"},
      {{"--bogus", "list"}, "--bogus"},
      {{"list", "-x", "-y"}, "-x"},
      {{"--bo\x1b[2J\xc2\x9bgus", "list"}, "--bo\\x1b[2J\\xc2\\x9bgus"},  // shown, not obeyed
  };
  for (const Case& c : cases) {
    const CliArguments a = Parse(c.args);
    EXPECT_EQ(a.command, CliCommand::Invalid) << c.error;
    EXPECT_NE(a.text.find(c.error), std::string::npos) << a.text;
    EXPECT_NE(a.text.find("--help"), std::string::npos) << a.text;
  }
  EXPECT_EQ(kExitUsage, 64);
}

// A script's unset "$VAR" must not turn a check off: an option given an
// empty value is refused, by name, never read as the option left out.
TEST(CliArguments, EmptyValuesAreRefusedByName) {
  const std::vector<std::string> flash_options = {
      "--expect-sha256", "--log", "--reset", "--trace", "--attempts", "--fill",
      "--base",          "--max-gap", "--format"};
  for (const std::string& option : flash_options) {
    const CliArguments a = Parse({"flash", option, "", "COM1", "a.fw"});
    EXPECT_EQ(a.command, CliCommand::Invalid) << option;
    EXPECT_NE(a.text.find(option + ": "), std::string::npos) << a.text;
    EXPECT_NE(a.text.find("empty"), std::string::npos) << a.text;
  }
  const CliArguments count = Parse({"flash", "--wait", "--count", "", "COM1", "a.fw"});
  EXPECT_EQ(count.command, CliCommand::Invalid);
  EXPECT_NE(count.text.find("--count: "), std::string::npos) << count.text;
  for (const char* option : {"--fill", "--base", "--max-gap", "--format"}) {
    const CliArguments a = Parse({"convert", option, "", "in.hex", "out.bin"});
    EXPECT_EQ(a.command, CliCommand::Invalid) << option;
    EXPECT_NE(a.text.find(std::string(option) + ": "), std::string::npos) << a.text;
  }
}

TEST(CliArguments, AProfileReadsAsTheSameFlashWaitWithItsPathsFromItsFolder) {
  TempDir dir, elsewhere;
  const std::string hash(64, 'a');
  // Absolute on this platform (a drive and a root on Windows); a literal
  // string, so that its backslashes stay.
  const std::string list = elsewhere.Path("serials.txt");
  const std::string toml =
      "ports = [\"COM5\", \"sn:A1\"]\nimage = \"fw.hex\"\nexpect_sha256 = \"" + hash +
      "\"\nbase = 0x08000000\nfill = \"0x00\"\nattempts = 3\nreset = \"dtr=0,wait=50\"\n"
      "count = 7\nserial_at = 0x08000100\nserial_format = \"hex:8\"\n"
      "serial_list = '" + list + "'\n";
  const std::string profile = dir.Write("line.toml", std::vector<uint8_t>(toml.begin(), toml.end()));
  CliArguments p;
  ASSERT_EQ(LoadProfile(profile, &p), "");
  const CliArguments a = Parse({"flash", "--wait", "--expect-sha256", hash, "--base", "0x08000000",
                                "--fill", "0x00", "--attempts", "3", "--reset", "dtr=0,wait=50",
                                "--count", "7", "--serial-at", "0x08000100", "--serial-format",
                                "hex:8", "--serial-list", list, "COM5", "sn:A1",
                                dir.Path("fw.hex")});
  ASSERT_EQ(a.command, CliCommand::Flash) << a.text;
  EXPECT_EQ(p.command, CliCommand::Flash);
  EXPECT_EQ(p.ports, a.ports);
  EXPECT_EQ(p.file, a.file);
  EXPECT_TRUE(p.wait);
  EXPECT_EQ(p.count, a.count);
  EXPECT_EQ(p.attempts, a.attempts);
  EXPECT_EQ(p.reset.size(), a.reset.size());
  EXPECT_EQ(p.image.options.base, a.image.options.base);
  EXPECT_EQ(p.image.options.fill, a.image.options.fill);
  EXPECT_EQ(p.serial.at, a.serial.at);
  EXPECT_EQ(p.serial.format_name, a.serial.format_name);
  EXPECT_EQ(p.serial.list, list) << "an absolute path stays as it is";
}

TEST(CliOutcome, EachOutcomeHasItsExitCodeAndOneLine) {
  struct Case {
    UploadOutcome outcome;
    int code;
    std::string line;
  };
  const Case cases[] = {
      {UploadOutcome::Success, 0, "Information: Device update!"},
      {UploadOutcome::NoReplyToStart, 3, "ERROR:3: Device does not respond!"},
      {UploadOutcome::WrongReplyToStart, 4, "ERROR:4: No correct answer device!"},
      {UploadOutcome::NoFinalReply, 5, "ERROR:5: Update wrong!"},
      {UploadOutcome::WrongFinalReply, 6, "ERROR:6: Update wrong!"},
  };
  for (const Case& c : cases) {
    const OutcomeMessage m = UploadOutcomeMessage(c.outcome);
    EXPECT_EQ(m.code, c.code);
    EXPECT_EQ(OutcomeLine(m), c.line);
  }
  EXPECT_EQ(OutcomeLine(FirmwareMissingMessage()), "ERROR:1: Firmware missing!");
  EXPECT_EQ(OutcomeLine(PortUnavailableMessage("COM7")), "ERROR:2: Can't open the serial port: COM7");
}

// Every non-empty text for a whole run.
std::vector<std::string> WholeRun(int32_t count, int64_t size, bool tty) {
  std::vector<std::string> printed;
  for (int32_t i = 1; i <= count; ++i) {
    std::string text = ProgressText(i, count, size, tty);
    if (!text.empty()) printed.push_back(text);
  }
  return printed;
}

TEST(CliProgress, PlainLinesAtEachQuarter) {
  EXPECT_EQ(WholeRun(1000, 2000, false),
            (std::vector<std::string>{"Sent 500 of 2000 bytes (25%)\n",
                                      "Sent 1000 of 2000 bytes (50%)\n",
                                      "Sent 1500 of 2000 bytes (75%)\n",
                                      "Sent 2000 of 2000 bytes (100%)\n"}));
  // Few words: a line wherever a quarter is crossed, once.
  EXPECT_EQ(WholeRun(3, 7, false),
            (std::vector<std::string>{"Sent 2 of 7 bytes (33%)\n", "Sent 4 of 7 bytes (66%)\n",
                                      "Sent 6 of 7 bytes (100%)\n"}));
  EXPECT_EQ(WholeRun(1, 2, false), (std::vector<std::string>{"Sent 2 of 2 bytes (100%)\n"}));
  // Nothing for indexes outside the run.
  EXPECT_EQ(ProgressText(0, 10, 20, false), "");
  EXPECT_EQ(ProgressText(11, 10, 20, false), "");
  EXPECT_EQ(ProgressText(1, 0, 0, true), "");
}

TEST(CliProgress, TerminalBarRedrawsInPlaceAndEndsTheLine) {
  // 10000 words of 2 bytes: 20000 bytes, 20.84 s on the line.
  const std::vector<std::string> drawn = WholeRun(10000, 20001, true);
  ASSERT_FALSE(drawn.empty());
  // A redraw per percent and per second left, not one per word.
  EXPECT_GE(drawn.size(), 101u);
  EXPECT_LE(drawn.size(), 101u + 22u);

  const size_t width = drawn.front().size();
  for (size_t i = 0; i < drawn.size(); ++i) {
    const std::string& d = drawn[i];
    EXPECT_EQ(d.front(), '\r') << d;
    EXPECT_EQ(d.find('\n'), i + 1 == drawn.size() ? d.size() - 1 : std::string::npos) << d;
    // Same width every time, so a redraw covers the previous one fully.
    EXPECT_EQ(d.size() - (i + 1 == drawn.size() ? 1 : 0), width) << d;
  }
  EXPECT_EQ(drawn.front(), "\r[------------------------------]   0%      2/20001 bytes  0:21 left");
  EXPECT_EQ(drawn.back(), "\r[##############################] 100%  20000/20001 bytes  0:00 left\n");
  EXPECT_NE(std::find(drawn.begin(), drawn.end(),
                      "\r[###############---------------]  50%  10000/20001 bytes  0:11 left"),
            drawn.end());
}

TEST(CliProgress, LargestImageKeepsItsArithmetic) {
  // 2^31 - 1 bytes: 2236963 s on the line, shown with hours; no overflow in
  // the percentage, the bar or the byte count.
  EXPECT_EQ(LineSeconds(2147483647), 2236963);
  EXPECT_EQ(LineSeconds(960), 1);
  EXPECT_EQ(LineSeconds(961), 2);
  EXPECT_EQ(LineSeconds(0), 0);
  const int32_t words = 1073741823;
  // The word where 50% is reached redraws; the one before does not.
  EXPECT_EQ(ProgressText(words / 2, words, 2147483647, true), "");
  EXPECT_EQ(ProgressText(words / 2 + 1, words, 2147483647, true),
            "\r[###############---------------]  50%  1073741824/2147483647 bytes  "
            "310:41:22 left");
  EXPECT_EQ(ProgressText(words, words, 2147483647, false),
            "Sent 2147483646 of 2147483647 bytes (100%)\n");
}

// --- Selectors --------------------------------------------------------------

PresentPort Usb(const std::string& name, const std::string& vid, const std::string& pid,
                const std::string& serial) {
  PresentPort p;
  p.name = name;
  p.device = "/dev/tty" + name;
  p.usb.vendor_id = vid;
  p.usb.product_id = pid;
  p.usb.serial = serial;
  return p;
}

TEST(CliSelectors, SyntaxOfSerialsAndIdPairs) {
  EXPECT_EQ(ParsePortSelector("sn:A600ABCD").kind, PortSelector::Serial);
  EXPECT_EQ(ParsePortSelector("SN:a6").serial, "a6");
  const PortSelector pair = ParsePortSelector("0403:60Ab");
  EXPECT_EQ(pair.kind, PortSelector::VendorProduct);
  EXPECT_EQ(pair.product, "60ab");
  for (const char* name : {"COM5", "com16", "/dev/ttyUSB0", "/dev/serial/by-id/usb-x:y"}) {
    EXPECT_EQ(ParsePortSelector(name).kind, PortSelector::Name) << name;
  }
  // What is neither names no port: said at once, not tried as a name.
  for (const char* word : {"sn:", "0403:600", "0403:6001:1", "040g:6001", "1234:", "\\.\\CNCA0",
                           "COM0", "COM05", "COM17", "ttyUSB0", ""}) {
    const PortSelector s = ParsePortSelector(word);
    EXPECT_EQ(s.kind, PortSelector::Invalid) << word;
    EXPECT_FALSE(s.error.empty()) << word;
    EXPECT_EQ(CheckPortWords({"COM5", word}), s.error);
  }
}

TEST(CliSelectors, ResolvingPicksInOrderOnceAndExplainsFailures) {
  const std::vector<PresentPort> present = {
      Usb("COM5", "0403", "6001", "A1"), Usb("COM6", "0403", "6001", "B2"),
      Usb("COM7", "10c4", "ea60", "b2"), Usb("COM8", "1a86", "7523", "")};
  const auto describe = [](const std::string& name) {
    PresentPort p;
    p.name = name;
    return p;
  };
  std::vector<PresentPort> picked;
  const auto names = [&] {
    std::string all;
    for (const PresentPort& p : picked) all += p.name + " ";
    return all;
  };

  const Resolution picks =
      ResolvePorts(Words({"COM9", "0403:6001", "COM5", "sn:a1"}), present, describe);
  EXPECT_EQ(picks.error, ResolveError::None);
  picked = picks.boards;
  EXPECT_EQ(names(), "COM9 COM5 COM6 ");  // in the order given, each port once

  // A serial meant for one board that two adapters report (case ignored).
  const Resolution shared = ResolvePorts(Words({"sn:B2"}), present, describe);
  EXPECT_EQ(shared.error, ResolveError::NotUnique);
  const std::string twice = ResolveErrorText(shared);
  EXPECT_EQ(twice.rfind("'sn:B2' is meant for one board but matches 2 ports:", 0), 0u) << twice;
  EXPECT_NE(twice.find("COM6 /dev/ttyCOM6 0403:6001 sn B2"), std::string::npos) << twice;
  EXPECT_NE(twice.find("COM7 /dev/ttyCOM7 10c4:ea60 sn b2"), std::string::npos) << twice;

  // No match: what is there, one port a line; an adapter without a serial
  // is never matched by an empty one.
  const Resolution nothing = ResolvePorts(Words({"COM1", "sn:ZZ"}), present, describe);
  EXPECT_EQ(nothing.error, ResolveError::NoMatch);
  const std::string none = ResolveErrorText(nothing);
  EXPECT_EQ(none.rfind("no port matches 'sn:ZZ'; the ports that open:\n  COM5 ", 0), 0u) << none;
  EXPECT_NE(none.find("\n  COM8 /dev/ttyCOM8 1a86:7523"), std::string::npos) << none;
  EXPECT_EQ(ResolveErrorText(ResolvePorts(Words({"ffff:0001"}), {}, describe)),
            "no port matches 'ffff:0001'; no port opens");
  EXPECT_TRUE(HasSelector(Words({"COM1", "sn:X"})));
  EXPECT_FALSE(HasSelector(Words({"COM1", "/dev/ttyUSB0"})));
}

TEST(CliSelectors, OneDeviceUnderTwoNamesIsPickedOnceAndSaidSo) {
  const auto describe = [](const std::string& name) {
    PresentPort p;
    p.name = name;
    p.key.device = name == "COM9" ? "188:1" : "188:0";
    return p;
  };
  const Resolution r = ResolvePorts(Words({"COM5", "/dev/ttyUSB0", "COM9"}), {}, describe);
  EXPECT_EQ(r.error, ResolveError::None);
  ASSERT_EQ(r.boards.size(), 2u);
  EXPECT_EQ(r.boards[0].name, "COM5");
  EXPECT_EQ(r.boards[1].name, "COM9");
  EXPECT_EQ(r.same, (std::vector<std::string>{
                      "COM5 and /dev/ttyUSB0 are the same device; it is flashed once, as COM5"}));
}

TEST(CliText, ControlCharactersAreShownNotObeyed) {
  EXPECT_EQ(Printable("FTDI\x1b[2J\nx\x7f\xc3\xa9"), "FTDI\\x1b[2J\\x0ax\\x7f\xc3\xa9");
  // C1 as a lone byte and as UTF-8, and the direction controls; their
  // neighbours and broken UTF-8 around them stay as they are.
  EXPECT_EQ(Printable("a\x9b" "2J\xc2\x9b" "2J\xc2\xa0\xe2\x80\xae" "b\xe2\x81\xa6\xe2\x80\xaf"),
            "a\\x9b" "2J\\xc2\\x9b" "2J\xc2\xa0\\xe2\\x80\\xae" "b\\xe2\\x81\\xa6\xe2\x80\xaf");
  EXPECT_EQ(Printable("\xe2\x80\xe9\xc0\x9b\xed\xa0\x80\xe2\x80"),
            "\xe2\\x80\xe9\xc0\\x9b\xed\xa0\\x80\xe2\\x80");
  // A reset step is echoed in the usage error.
  const std::string reset =
      Parse({"flash", "--reset", "dtr=0,\x1b[2J\xc2\x9b", "COM1", "a.fw"}).text;
  EXPECT_NE(reset.find("\"\\x1b[2J\\xc2\\x9b\""), std::string::npos) << reset;
}

TEST(CliText, DoctorFindingsKeepOneColumnForEverySeverity) {
  EXPECT_EQ(FindingText({Finding::Blocking, "/dev/ttyUSB0: in use", "close it"}),
            "blocking /dev/ttyUSB0: in use\n         fix: close it\n");
  EXPECT_EQ(FindingText({Finding::Warning, "brltty\x1b[2J", ""}), "warning  brltty\\x1b[2J\n");
  EXPECT_EQ(FindingText({Finding::Ok, "dialout", ""}), "ok       dialout\n");
}

TEST(CliText, JsonWritesC1AndDirectionControlsAsEscapes) {
  EXPECT_EQ(JsonText({{"a", "x\x1b\xc2\x9b\xe2\x80\xae\xe2\x81\xa9\xe2\x80\xaf\xc3\xa9\x9b"}}),
            "{\"a\":\"x\\u001b\\u009b\\u202e\\u2069\xe2\x80\xaf\xc3\xa9\xef\xbf\xbd\"}");
}

TEST(CliImage, ARawFileThatCannotLieAtItsBaseIsRefusedAsRaw) {
  TempDir dir;
  const std::string path = dir.Write("fw.bin", std::vector<uint8_t>(1024, 0x5A));
  ImageReading reading;
  reading.format_given = true;
  reading.options.has_base = true;
  reading.options.base = 0xFFFFFF00;
  Image image;
  EXPECT_EQ(LoadImage(path, reading, &image),
            "read as raw binary from --base 0xFFFFFF00, its 1024 bytes run past the 32-bit "
            "address space, which has room for 256 from there");
  reading.options.base = 0xFFFFFC00;  // up to the last address
  EXPECT_EQ(LoadImage(path, reading, &image), "");
  EXPECT_EQ(image.size(), 1024);
}

TEST(CliTrace, OneFilePerPortBesideTheNameGiven) {
  EXPECT_EQ(TracePathFor("line.txt", "COM5"), "line.COM5.txt");
  EXPECT_EQ(TracePathFor("logs/run.1/line", "/dev/ttyUSB0"), "logs/run.1/line.ttyUSB0");
  EXPECT_EQ(TracePathFor("C:\\logs\\line.log", "COM12"), "C:\\logs\\line.COM12.log");
  EXPECT_EQ(TracePathFor(".trace", "COM1"), ".trace.COM1");
  // Ports of one base name never share a file.
  const std::vector<std::string> paths =
      TracePaths("t.log", {"/dev/a/tty0", "/dev/b/tty0", "COM5", "/x/COM5"});
  EXPECT_EQ(paths, (std::vector<std::string>{"t.dev_a_tty0.log", "t.dev_b_tty0.log", "t.COM5.log",
                                             "t.x_COM5.log"}));
  EXPECT_EQ(TracePaths("t.log", {"COM5"}), (std::vector<std::string>{"t.log"}));
}

TEST(CliSerials, EachFormatWritesItsBytesAndRefusesWhatDoesNotFit) {
  const auto field = [](const std::string& format, const std::string& value) {
    SerialPlan plan;
    EXPECT_TRUE(ParseSerialFormat(format, &plan)) << format;
    std::vector<uint8_t> bytes;
    std::string written;
    const std::string why = EncodeSerial(plan, value, &bytes, &written);
    return why.empty() ? std::string(bytes.begin(), bytes.end()) : "refused: " + why;
  };
  EXPECT_EQ(field("u32le", "0x01020304"), std::string("\x04\x03\x02\x01"));
  EXPECT_EQ(field("u32be", "16909060"), std::string("\x01\x02\x03\x04"));
  EXPECT_EQ(field("u64be", "0x0102"), std::string("\0\0\0\0\0\0\x01\x02", 8));
  EXPECT_EQ(field("ascii:6", "42"), "000042");
  EXPECT_EQ(field("ascii:3", "AB7"), "AB7");
  EXPECT_EQ(field("hex:4", "48879"), "BEEF");
  for (const auto& [format, value] : std::vector<std::pair<std::string, std::string>>{
           {"u32le", "4294967296"}, {"u64le", "18446744073709551616"}, {"ascii:2", "100"},
           {"ascii:3", "AB"}, {"ascii:2", "A\x9b"}, {"hex:2", "0x100"}, {"u32le", "12a"}}) {
    EXPECT_EQ(field(format, value).rfind("refused: ", 0), 0u) << format << " " << value;
  }
  SerialPlan plan;
  for (const char* bad : {"u16le", "ascii:0", "ascii:65", "hex:", "ascii:x"}) {
    EXPECT_FALSE(ParseSerialFormat(bad, &plan)) << bad;
  }
}

TEST(CliSerials, TheFieldLiesWhollyInsideWhatIsSent) {
  Image flat;
  flat.bytes.assign(0x100, 0xFF);
  flat.facts.flattened = true;
  flat.facts.first_address = 0x08000000;
  SerialPlan plan;
  plan.at = 0x080000FC;
  int64_t offset = -1;
  EXPECT_EQ(SerialFieldProblem(plan, flat, &offset), "");
  EXPECT_EQ(offset, 0xFC);
  for (const uint64_t at : {0x07FFFFFFull, 0x080000FDull, 0x0A000000ull}) {
    plan.at = at;
    const std::string why = SerialFieldProblem(plan, flat, &offset);
    EXPECT_NE(why.find("0x08000000 to 0x080000FF"), std::string::npos) << why;
  }
  Image odd;  // the last byte of an odd raw image never goes on the line
  odd.bytes.assign(9, 0);
  plan.at = 5;
  EXPECT_NE(SerialFieldProblem(plan, odd, &offset), "");
  plan.at = 4;
  EXPECT_EQ(SerialFieldProblem(plan, odd, &offset), "");
  const Image own = SerializedImage(odd, 4, {1, 2, 3, 4});
  EXPECT_EQ(own.bytes[7], 4);
  EXPECT_NE(own.facts.sha256, "");
}

}  // namespace
