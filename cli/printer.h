// What list, doctor and convert found, as data, and the one printer that
// shows it in the style the command line asked for: text, quiet text or
// JSON Lines. The commands only look; the printer only prints.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/image_source.h"
#include "cli/ports.h"
#include "update/doctor.h"

// A port `list` looked at: free, with what is behind it; or there but
// unusable, with its name, its device and why.
struct ListedPort {
  bool free = true;
  PresentPort port;  // unusable: the name and the device alone
  std::string why;   // unusable: why it would not open
};

// What `convert` did: `in` flattened into `out` (code 0), or the image
// refused (`refusal`). Any other failure, a command line it could not
// follow or an OUT it could not write, has been said already.
struct Conversion {
  int code = 0;          // the exit code
  std::string in;
  std::string out;
  ImageFacts image;      // code 0: what was written
  std::string refusal;   // why the image could not be read; empty: it could
};

// What `station --check` found a profile would do: the flash --wait it
// stands for, and the image it read, or why it cannot run (`refusal`, the
// image's problem; any other has been said already).
struct StationPlan {
  int code = 0;
  std::string profile;
  CliArguments flash;
  Image image;            // code 0: the image as it would be sent
  std::string serial_at;  // with serial numbers: where the field lies
  std::string refusal;
};

// "blocking", "warning" or "ok", as doctor words a finding.
const char* SeverityWord(Finding::Severity severity);
// A finding as doctor shows it to a person: the word, what was found, and
// the fix on a line of its own.
std::string FindingText(const Finding& finding);

class Printer {
 public:
  virtual ~Printer() = default;
  // The ports in the order they were looked at.
  virtual void PrintList(const std::vector<ListedPort>& ports) = 0;
  virtual void PrintFindings(const std::vector<Finding>& findings) = 0;
  virtual void PrintConverted(const Conversion& conversion) = 0;
  virtual void PrintStationPlan(const StationPlan& plan) = 0;
};

// The printer the command line asked for, chosen as MakeReporter chooses.
std::unique_ptr<Printer> MakePrinter(const CliArguments& args);
