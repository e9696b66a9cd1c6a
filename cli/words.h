// The words of flash's options as they were written, on the command line or
// in a station profile, and the one check that reads them: whatever the
// source, the same words are refused with the same reasons.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"

// The words of the image options.
struct ImageWords {
  std::string format, base, fill, max_gap;
};

// The words of the serial-number options.
struct SerialWords {
  std::string at, format, first, step, state, list, value;
};

// Empty when all is well, else why, naming the option at fault as the
// command line spells it ("--base"). `convert`: the words of convert, which
// takes one value instead of a source of them.
std::string CheckImageWords(const ImageWords& w, ImageReading* reading);
std::string CheckSerialWords(const SerialWords& w, bool convert, SerialPlan* plan);
// flash's own words: `words` the ports then the image.
std::string CheckFlash(CliArguments* a, const std::vector<std::string>& words,
                       const std::string& count_text, bool count_given,
                       const std::string& reset_text);
