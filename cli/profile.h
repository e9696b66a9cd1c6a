// A station profile: a TOML file that holds everything `flash --wait`
// takes, so that a station is set up once, locked, and copied to the next
// machine as a folder. Its paths are relative to that folder.
#pragma once

#include <string>

#include "cli/cli.h"

// Reads the profile at `path` into `flash`, the arguments of the flash
// --wait it stands for, through the checks the command line's words go
// through. Empty when it can be run, else why: "PROFILE:LINE: ..." when a
// line is at fault. Opens nothing but the profile.
std::string LoadProfile(const std::string& path, CliArguments* flash);
