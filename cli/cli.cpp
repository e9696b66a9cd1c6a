#include "cli/cli.h"

#include <cstdio>
#include <exception>

#include "cli/commands.h"
#include "cli/platform.h"
#include "cli/printer.h"
#include "cli/text.h"
#include "cli/worker.h"
#include "cli/workers.h"
#include "fileio/fileio.h"
#include "serial/serial.h"

namespace {

void Say(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

int RunCommand(const std::vector<std::string>& args) {
  if (!args.empty() && args.front() == kWorkerFlag && cli_workers::IsWorker()) {
    return args.size() == 1 ? RunWorker() : kExitUsage;
  }
  const CliArguments parsed = ParseArguments(args);
  switch (parsed.command) {
    case CliCommand::Help:
    case CliCommand::Version:
      Say(stdout, parsed.text);
      return 0;
    case CliCommand::List:
      MakePrinter(parsed)->PrintList(RunList());
      return 0;
    case CliCommand::Flash:
      return RunFlashCommand(parsed);
    case CliCommand::Station:
      return RunStationCommand(parsed);
    case CliCommand::Doctor: {
      const std::vector<Finding> findings = RunDoctor();
      MakePrinter(parsed)->PrintFindings(findings);
      return DoctorCode(findings);
    }
    case CliCommand::Convert: {
      const Conversion conversion = RunConvert(parsed);
      MakePrinter(parsed)->PrintConverted(conversion);
      return conversion.code;
    }
    case CliCommand::Invalid:
      break;
  }
  Say(stderr, parsed.text);
  return kExitUsage;
}

}  // namespace

int CliMain(int argc, char** argv) {
  cli_platform::PrepareProcess();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  int code = kExitInternal;
  try {
    code = RunCommand(args);
  } catch (const std::exception& e) {
    Say(stderr, std::string("update-firmware-cli: internal error: ") + Printable(e.what()) + "\n");
  } catch (...) {
    Say(stderr, "update-firmware-cli: internal error\n");
  }
  // A stop that came in on the way out ends the run as a stop.
  cli_platform::HoldWhileStopping();
  // Whatever happened, no port stays open or locked.
  CloseAllPorts();
  CloseAllFiles();
  // Standard output carries the results (the list, the JSON Lines): losing
  // it is a failure. Standard error only shows progress, and a reader of it
  // that goes away must not fail an update that worked.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Say(stderr, "update-firmware-cli: standard output could not be written\n");
    if (code == 0) code = kExitOutput;
  }
  return code;
}
