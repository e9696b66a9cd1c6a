// update-firmware-cli: the update from the command line, for scripts,
// production lines and remote machines. It drives the same serial, file and
// protocol layers as the window; this is only the front end around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/port_identity.h"
#include "update/update.h"

// Exit codes beyond the outcome codes 0 to 6.
constexpr int kExitUsage = 64;         // bad command line (EX_USAGE)
constexpr int kExitInternal = 70;      // the tool failed itself, not the board (EX_SOFTWARE)
constexpr int kExitOutput = 74;        // output or a transcript could not be written (EX_IOERR)
constexpr int kExitInterrupted = 130;  // Ctrl+C: 128 + SIGINT, as shells report it

// Boards one run can flash at once, each with a process of its own.
constexpr size_t kMaxBoards = 256;

enum class CliCommand { Help, Version, List, Flash, Invalid };

struct CliArguments {
  CliCommand command = CliCommand::Invalid;
  bool quiet = false;
  bool json = false;                // JSON Lines on standard output
  bool wait = false;                // flash: the station loop
  bool force = false;               // flash: --trace may overwrite an existing file
  int64_t count = 0;                // flash --wait: boards before stopping; 0: no limit
  std::string trace;                // flash: transcript file, empty: none
  std::vector<std::string> ports;   // flash: port names and selectors, in order
  std::string port;                 // flash: the first of them
  std::string file;                 // flash only
  std::string error;                // why the command line was refused (Invalid only)
};

// Parses the arguments after the program name. Options may stand anywhere;
// "--" ends them. --help wins over everything, then --version.
CliArguments ParseArguments(const std::vector<std::string>& args);

// --- Choosing ports by what they are ---------------------------------------

// How a word in the place of a port picks ports:
//   "sn:A600ABCD"  the USB adapter with that serial number (case ignored),
//                  meant for one board
//   "0403:6001"    every USB adapter with that vendor and product ID (hex)
//   anything else  a port name: COM5, or on Linux a device path
struct PortSelector {
  enum Kind { Name, Serial, VendorProduct, Invalid } kind = Name;
  std::string word;     // as given
  std::string error;    // Invalid: why the word picks nothing
  std::string serial;   // Serial
  std::string vendor;   // VendorProduct, four lower-case hex digits
  std::string product;
};
PortSelector ParsePortSelector(const std::string& word);

// A port that opened, with what is behind it.
struct PresentPort {
  std::string name;    // COMn
  std::string device;  // the device path on Linux; empty on Windows
  UsbIdentity usb;
  DeviceKey key;       // tells this device from any other; empty: unknown
};

bool SelectorMatches(const PortSelector& selector, const PresentPort& port);

// "COM5 0403:6001 FTDI FT232R USB UART sn A600ABCD", "COM1 /dev/ttyS0", "COM3".
std::string PresentPortText(const PresentPort& port);

// The ports the words pick, in the order given, each device once: two
// names for one device (COM5 and the path it leads to) pick it once, under
// the first name, and `same` (when given) gets a line naming them. Names
// are taken as they stand (through `describe`, which finds what is behind
// them); selectors are matched against `present`. Empty error on success;
// else why the words pick no usable set of ports, for a usage error.
std::string ResolvePorts(const std::vector<std::string>& words,
                         const std::vector<PresentPort>& present,
                         const std::function<PresentPort(const std::string&)>& describe,
                         std::vector<PresentPort>* picked, std::vector<std::string>* same = nullptr);

// The first word that can name no port at all, as a usage error; empty
// when every word can.
std::string CheckPortWords(const std::vector<std::string>& words);

// Whether any of the words is a selector (and so needs the port scan).
bool HasSelector(const std::vector<std::string>& words);

// --- A wire transcript ------------------------------------------------------

// The transcript file of `port` when several ports are flashed with
// `--trace base`: the port's name goes before the extension, so "line.txt"
// gives "line.COM5.txt" and, for /dev/ttyUSB0, "line.ttyUSB0.txt".
std::string TracePathFor(const std::string& base, const std::string& port);

// The transcript files of `ports` for `--trace base`: `base` itself for one
// port, else TracePathFor each; where two ports share a base name
// (/dev/a/ttyS0, /dev/b/ttyS0) their whole paths tell them apart, so no two
// boards ever write one file.
std::vector<std::string> TracePaths(const std::string& base, const std::vector<std::string>& ports);

// Why `trace` must not be written, or empty when it may: it is the image,
// one of the ports or another device, a FIFO, a directory, or the same file
// as any of these by another name (links included); an existing file is
// refused unless `force`.
std::string TraceProblem(const std::string& trace, const std::string& image,
                         const std::vector<PresentPort>& ports, bool force);

// `text` with every control character written as \xNN, so that a name
// from a device or a file cannot move the cursor, clear the screen or start
// a line of its own on the user's terminal.
std::string Printable(const std::string& text);

std::string UsageText();
std::string HelpText();
std::string VersionText();

// The outcome as one line: title, a colon, the text.
std::string OutcomeLine(const OutcomeMessage& message);

// What to print on standard error after word `index` of `count` of an image
// of `size` bytes; empty when nothing needs printing for this word.
// On a terminal: a bar redrawn in place ("\r...") whenever the percentage or
// the seconds left change, ending with a newline after the last word.
// Otherwise: one plain line at each quarter.
std::string ProgressText(int32_t index, int32_t count, int64_t size, bool is_tty);

// Whole seconds (rounded up) that `bytes` take on the line at the update's
// rate, 10 bits per byte.
int64_t LineSeconds(int64_t bytes);

// The whole program; returns the exit code.
int CliMain(int argc, char** argv);
