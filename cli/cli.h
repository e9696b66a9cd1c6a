// update-firmware-cli: the update from the command line, for scripts,
// production lines and remote machines. It drives the same serial, file and
// protocol layers as the window; this is only the front end around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/update.h"

// Exit codes beyond the outcome codes 0 to 6.
constexpr int kExitUsage = 64;         // bad command line (EX_USAGE)
constexpr int kExitInterrupted = 130;  // Ctrl+C: 128 + SIGINT, as shells report it

enum class CliCommand { Help, Version, List, Flash, Invalid };

struct CliArguments {
  CliCommand command = CliCommand::Invalid;
  bool quiet = false;
  std::string port;   // flash only
  std::string file;   // flash only
  std::string error;  // why the command line was refused (Invalid only)
};

// Parses the arguments after the program name. Options may stand anywhere;
// "--" ends them. --help wins over everything, then --version.
CliArguments ParseArguments(const std::vector<std::string>& args);

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
