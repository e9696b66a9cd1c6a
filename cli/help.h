// The long part of --help: what the options do together, the port names,
// the exit codes and examples.
#pragma once

const char* HelpFooter();
