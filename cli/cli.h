// update-firmware-cli: the update from the command line, for scripts,
// production lines and remote machines. It drives the same serial, file and
// protocol layers as the window; this is only the front end around them:
//   arguments (args.cpp) -> command (commands.cpp) -> engine (board, batch,
//   station) -> one Reporter (report_text, report_json, the worker's wire);
//   list, doctor and convert return what they found to one Printer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/image_source.h"
#include "cli/ports.h"
#include "cli/serials.h"
#include "protocol/reset_sequence.h"

// Exit codes beyond the outcome codes 0 to 6.
constexpr int kExitUsage = 64;         // bad command line (EX_USAGE)
constexpr int kExitInternal = 70;      // the tool failed itself, not the board (EX_SOFTWARE)
constexpr int kExitOutput = 74;        // output or a transcript could not be written (EX_IOERR)
constexpr int kExitInterrupted = 130;  // Ctrl+C: 128 + SIGINT, as shells report it

// Boards one run can flash at once, each with a process of its own.
constexpr size_t kMaxBoards = 256;

enum class CliCommand { Help, Version, List, Flash, Convert, Station, Doctor, Invalid };

struct CliArguments {
  CliCommand command = CliCommand::Invalid;
  bool quiet = false;
  bool json = false;                // JSON Lines on standard output
  bool wait = false;                // flash: the station loop
  bool force = false;               // flash: --trace may overwrite an existing file
  int64_t count = 0;                // flash --wait: boards before stopping; 0: no limit
  std::string trace;                // flash: transcript file, empty: none
  std::vector<std::string> ports;   // flash: port names and selectors, in order
  std::vector<PortSelector> selectors;  // flash: the same, read
  std::string port;                 // flash: the first of them
  std::string file;                 // flash; convert: the file read
  std::string out;                  // convert: the file written
  ImageReading image;                  // flash, convert: how the file is read
  std::string expect_sha256;        // flash: refuse any other image; lower case; empty: any
  std::string log;                  // flash: the station's record; empty: none
  int32_t attempts = 1;             // flash: start commands at most
  std::vector<ResetStep> reset;     // flash: the modem-line sequence, read; empty: none
  SerialPlan serial;                // flash, convert: each board's own value; off: none
  std::string profile;              // station: the profile's file
  bool check = false;               // station: look, open no port
  std::string text;                 // Help, Version: what to print; Invalid: the error
};

// Parses the arguments after the program name: the commands `list` and
// `flash`, their options, and --help and --version, which win over the
// rest. "--" ends the options.
CliArguments ParseArguments(const std::vector<std::string>& args);

// A command line the tool cannot follow, as it is said on standard error:
// "update-firmware-cli: ERROR", then where to read how it goes. Every
// usage error is worded by this one.
std::string UsageErrorText(const std::string& error);

// The whole program; returns the exit code.
int CliMain(int argc, char** argv);
