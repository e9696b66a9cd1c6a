// The commands: what `list`, `flash`, `convert` and `doctor` do with the
// parsed command line, before the engines take over.
#include "cli/commands.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/batch.h"
#include "cli/image_source.h"
#include "cli/record_log.h"
#include "cli/platform.h"
#include "cli/profile.h"
#include "cli/station.h"
#include "cli/text.h"
#include "cli/trace.h"
#include "update/doctor.h"
#include "update/update.h"

namespace {

void UsageError(const std::string& error) {
  std::fputs(UsageErrorText(error).c_str(), stderr);
  std::fflush(stderr);
}

// The transcript files of the boards, each one checked; false after a usage
// error when one of them must not be written.
bool TranscriptsAllowed(const CliArguments& args, const std::vector<PresentPort>& boards,
                        std::vector<std::string>* traces) {
  std::vector<std::string> names;
  for (const PresentPort& b : boards) names.push_back(b.name);
  *traces = args.trace.empty() ? std::vector<std::string>(boards.size())
                               : TracePaths(args.trace, names);
  for (const std::string& t : *traces) {
    if (t.empty()) continue;
    const std::string why = TraceProblem(t, args.file, boards, args.force);
    if (!why.empty()) {
      UsageError("cannot write the trace file '" + Printable(t) + "': " + why);
      return false;
    }
    ClaimOutput(t);
  }
  return true;
}

}  // namespace

std::vector<ListedPort> RunList() {
  std::vector<ListedPort> ports;
  // Only a look: a port another program runs at 115200 baud must stay as it
  // is, so nothing is configured.
  ScanFreePorts([&](const std::string& name, bool free) {
    if (free) {
      ports.push_back({true, DescribePort(name), ""});
      return;
    }
    // A device that is there but would not open is worth a word; one that is
    // simply not there is the normal case and stays silent.
    int32_t system_error = 0;
    const PortError error = LastPortError(&system_error);
    if (error == PortErrorAbsent || error == PortErrorNone) return;
    (void)system_error;
    PresentPort port;
    port.name = name;
    port.device = cli_platform::PortDevice(name);
    ports.push_back({false, port, LastPortReason(name)});
  });
  return ports;
}

int RunFlash(const CliArguments& args, Reporter& reporter) {
  if (args.wait) {
    return RunStation({args.selectors, args.file, args.trace, args.force, args.count, args.image,
                       args.expect_sha256, args.attempts, args.reset, args.serial},
                      reporter, UsageError);
  }
  // The one transcript of one board is checked before any port is so much
  // as looked at.
  if (!args.trace.empty() && args.ports.size() == 1) {
    const std::string why = TraceProblem(args.trace, args.file, {}, args.force);
    if (!why.empty()) {
      UsageError("cannot write the trace file '" + Printable(args.trace) + "': " + why);
      return kExitUsage;
    }
  }
  const std::vector<PresentPort> present =
      HasSelector(args.selectors) ? ScanPresentPorts() : std::vector<PresentPort>{};
  const Resolution resolution = ResolvePorts(args.selectors, present,
                                             args.selectors.size() > 1 ? DescribePort : DescribeName);
  if (resolution.error != ResolveError::None) {
    UsageError(ResolveErrorText(resolution));
    return kExitUsage;
  }
  BatchJob job{resolution.boards, {}, nullptr, args.force, false, args.attempts, args.reset};
  if (job.boards.size() > kMaxBoards) {
    UsageError(std::to_string(job.boards.size()) + " ports, more than the " +
               std::to_string(kMaxBoards) + " that can be flashed at once");
    return kExitUsage;
  }
  for (const std::string& note : resolution.same) reporter.SameDevice(note);
  if (!TranscriptsAllowed(args, job.boards, &job.traces)) return kExitUsage;
  Image image;
  if (!ReadyImage(args.file, args.image, args.expect_sha256, job.boards, reporter, &image)) {
    return FirmwareMissingMessage().code;
  }
  job.image = &image;
  RunSerials serials;
  if (args.serial.on()) {
    const std::string why = PrepareSerials(args.serial, image, args.force, &serials);
    if (!why.empty()) {
      UsageError("serial numbers: " + why);
      return kExitUsage;
    }
    job.serials = &serials;
  }
  return FirstFailure(FlashBatch(job, reporter));
}

Conversion RunConvert(const CliArguments& args) {
  Conversion c;
  c.in = args.file;
  c.out = args.out;
  ImageReading reading = args.image;
  if (reading.FormatOf(args.file) == ImageFormat::Raw && !reading.format_given) {
    UsageError("'" + Printable(args.file) + "' is not named as a HEX or S-record file; "
               "--format ihex or --format srec says what it is");
    c.code = kExitUsage;
    return c;
  }
  // OUT obeys the rules of every file the tool writes: never the image
  // itself, a device or a directory, and an old file only when asked.
  const std::string why = TraceProblem(args.out, args.file, {}, args.force);
  if (!why.empty()) {
    UsageError("cannot write '" + Printable(args.out) + "': " + why);
    c.code = kExitUsage;
    return c;
  }
  Image image;
  const std::string problem = LoadImage(args.file, reading, &image);
  if (!problem.empty()) {
    c.refusal = Printable(args.file) + ": " + problem;
    c.code = FirmwareMissingMessage().code;
    return c;
  }
  if (args.serial.on()) {
    // One board's image, to look at before a line is set up.
    int64_t offset = 0;
    std::vector<uint8_t> field;
    std::string written;
    std::string why = SerialFieldProblem(args.serial, image, &offset);
    if (why.empty()) why = EncodeSerial(args.serial, args.serial.value, &field, &written);
    if (!why.empty()) {
      UsageError("serial numbers: " + why);
      c.code = kExitUsage;
      return c;
    }
    image = SerializedImage(image, offset, field);
  }
  // Written beside OUT and renamed over it once whole: a full disk, a kill
  // or Ctrl+C half-way leaves the old OUT as it was. Through a link, the
  // file it leads to is the one replaced, as a plain write would have done.
  std::string error;
  if (!cli_platform::WriteWholeFile(ResolvedPath(args.out), image.bytes.data(), image.bytes.size(),
                                 &error)) {
    UsageError("'" + Printable(args.out) + "' could not be written: " + error);
    c.code = kExitOutput;
    return c;
  }
  c.image = image.facts;
  c.image.sha256.clear();
  return c;
}

int RunFlashCommand(const CliArguments& args) {
  if (args.log.empty()) return RunFlash(args, *MakeReporter(args, args.wait));
  // The record is made ready before anything is flashed: a station that
  // cannot keep it must not flash boards nobody can trace.
  // The log is opened first, so a transcript of the same name is refused
  // before that, not after it was made.
  const std::string why = !args.trace.empty() && SameFile(args.log, args.trace)
                              ? "it is the trace file too"
                              : TraceProblem(args.log, args.file, {}, true);
  std::string error;
  if (!why.empty() || !record_log::Open(args.log, &error)) {
    UsageError("cannot keep the log '" + Printable(args.log) + "': " + (why.empty() ? error : why));
    return kExitUsage;
  }
  ClaimOutput(args.log);
  const LogReporting log = MakeLogReporter(MakeReporter(args, args.wait));
  int code = RunFlash(args, *log.reporter);
  record_log::Close();
  if (code == 0 && *log.record_failed) code = kExitOutput;
  return code;
}

int RunStationCommand(const CliArguments& args) {
  StationPlan plan;
  plan.profile = args.profile;
  const std::string why = LoadProfile(args.profile, &plan.flash);
  if (!why.empty()) {
    UsageError(why);
    return kExitUsage;
  }
  plan.flash.json = args.json;
  plan.flash.quiet = args.quiet;
  if (!args.check) return RunFlashCommand(plan.flash);
  // What the run would check before its first port, and nothing it would
  // write: the image, its hash, and where each board's value would go.
  const CliArguments& f = plan.flash;
  std::string problem = LoadImage(f.file, f.image, &plan.image);
  if (problem.empty()) problem = HashProblem(plan.image.facts, f.expect_sha256);
  if (!problem.empty()) {
    plan.refusal = Printable(f.file) + ": " + problem;
    plan.code = FirmwareMissingMessage().code;
  } else if (f.serial.on()) {
    int64_t offset = 0;
    const std::string misfit = SerialFieldProblem(f.serial, plan.image, &offset);
    if (!misfit.empty()) {
      UsageError("serial numbers: " + misfit);
      return kExitUsage;
    }
    plan.serial_at = SerialPlace(f.serial, plan.image);
  }
  MakePrinter(args)->PrintStationPlan(plan);
  return plan.code;
}

std::vector<Finding> RunDoctor() {
  // Every place read can be moved, so that the checks can be tried on a
  // tree of one's own; where holders are looked for, the serial layer
  // already took from the environment.
  DoctorRoots roots;
  roots.sysfs = SysfsRoot();
  if (const char* dev = std::getenv("UPDATE_FIRMWARE_DEV")) roots.dev = dev;
  return CheckMachine(roots);
}

int DoctorCode(const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    if (f.severity == Finding::Blocking) return 1;
  }
  return 0;
}
