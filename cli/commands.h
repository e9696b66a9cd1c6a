// The commands `list` and `flash`: from the parsed command line to the
// engines, telling `reporter`. Each returns the exit code.
#pragma once

#include "cli/cli.h"
#include "cli/reporter.h"

int RunList(Reporter& reporter);
int RunFlash(const CliArguments& args, Reporter& reporter);
// flash with its reporter, and the station's record when --log asks for it.
int RunFlashCommand(const CliArguments& args);
int RunConvert(const CliArguments& args, Reporter& reporter);
int RunDoctor(Reporter& reporter);
