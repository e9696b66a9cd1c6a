// The commands: from the parsed command line to the engines. flash tells
// `reporter` as it goes and returns the exit code; list, doctor and convert
// return what they found, for a Printer.
#pragma once

#include <vector>

#include "cli/cli.h"
#include "cli/printer.h"
#include "cli/reporter.h"
#include "update/doctor.h"

// The ports there, in ascending order: the free ones and those that would
// not open.
std::vector<ListedPort> RunList();
int RunFlash(const CliArguments& args, Reporter& reporter);
// flash with its reporter, and the station's record when --log asks for it.
int RunFlashCommand(const CliArguments& args);
// station PROFILE: the profile read and checked, then its flash --wait run;
// with --check only looked at and told.
int RunStationCommand(const CliArguments& args);
// Writes the flat image; a usage error or an OUT not written is said here.
Conversion RunConvert(const CliArguments& args);
std::vector<Finding> RunDoctor();
// doctor's exit code: 1 when a finding blocks flashing, else 0.
int DoctorCode(const std::vector<Finding>& findings);
