#include "cli/station.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "cli/batch.h"
#include "cli/board.h"
#include "cli/platform.h"
#include "cli/text.h"
#include "cli/trace.h"
#include "common/delay.h"

namespace {

constexpr uint32_t kPresencePollMs = 250;

double Since(uint64_t ms) { return static_cast<double>(MonotonicMs() - ms) / 1000.0; }

// Why the station waits for each word: for each port name that is not
// there or not usable, the reason; for a selector, that nothing matches.
WaitReasons ReasonsToWait(const std::vector<PortSelector>& selectors) {
  WaitReasons reasons;
  for (const PortSelector& selector : selectors) {
    const std::string& word = selector.word;
    if (selector.kind != PortSelector::Name) {
      reasons.emplace_back(word, "no USB adapter that matches is there");
      continue;
    }
    if (ProbePort(word.c_str()) != 0) continue;
    int32_t system_error = 0;
    const PortError error = LastPortError(&system_error);
    const std::string device = cli_platform::PortDevice(word);
    std::string why = PortErrorText(error, system_error, true);
    if (!device.empty() && device != word) why = device + ": " + why;
    reasons.emplace_back(word, why);
  }
  return reasons;
}

// Whether `board` is still plugged in: the same device, still there (free,
// or held by someone). One swapped for another within a poll is gone.
bool StillPlugged(const PresentPort& board) {
  bool there = ProbePort(board.name.c_str()) != 0;
  if (!there) {
    const PortError error = LastPortError(nullptr);
    there = error != PortErrorAbsent && error != PortErrorNone;
  }
  return there && FindDeviceKey(board.name, SysfsRoot()) == board.key;
}

// Waits until some of the boards are there (at most `room`); empty with
// `error` set when the words cannot pick boards at all.
std::vector<PresentPort> WaitForBoards(const StationJob& job, Reporter& reporter, size_t room,
                                       Resolution* resolution) {
  for (bool said = false;; said = true) {
    const std::vector<PresentPort> present =
        HasSelector(job.words) ? ScanPresentPorts() : std::vector<PresentPort>{};
    *resolution = ResolvePorts(job.words, present, DescribePort);
    if (resolution->error != ResolveError::None && resolution->error != ResolveError::NoMatch) {
      return {};
    }
    std::vector<PresentPort> boards;
    if (resolution->error == ResolveError::None) {
      for (const PresentPort& p : resolution->boards) {
        if (ProbePort(p.name.c_str()) != 0) boards.push_back(p);
      }
    }
    if (boards.size() > room) boards.resize(room);
    if (!boards.empty()) return boards;
    // Said once: a port that never appears, or a file given as a port,
    // must not leave the operator looking at a silent terminal.
    if (!said) {
      std::vector<std::string> words;
      for (const PortSelector& s : job.words) words.push_back(s.word);
      reporter.Waiting(words, ReasonsToWait(job.words));
    }
    Delay(kPresencePollMs);
  }
}

}  // namespace

int RunStation(const StationJob& job, Reporter& reporter,
               const std::function<void(const std::string&)>& usage_error) {
  // Read once for the whole run: every board of every round gets these
  // bytes, whatever becomes of the file meanwhile.
  Image image;
  if (!ReadyImage(job.file, job.image, job.expect_sha256, {}, reporter, &image)) {
    return FirmwareMissingMessage().code;
  }
  RunSerials serials;
  if (job.serial.on()) {
    const std::string why = PrepareSerials(job.serial, image, job.force, &serials);
    if (!why.empty()) {
      usage_error("serial numbers: " + why);
      return kExitUsage;
    }
  }
  int64_t done = 0;
  int64_t failed = 0;
  int first_failure = 0;
  const uint64_t start = MonotonicMs();
  // Transcripts this run has written: a later board on the same port may
  // write over its own run's file, never over anything else.
  std::set<std::string> written;
  cli_platform::SetInterruptNote(TallyText(done, failed));
  while (job.count == 0 || done + failed < job.count) {
    const size_t room = job.count == 0 ? SIZE_MAX : static_cast<size_t>(job.count - done - failed);
    Resolution resolution;
    const std::vector<PresentPort> boards = WaitForBoards(job, reporter, room, &resolution);
    if (boards.empty()) {
      usage_error(ResolveErrorText(resolution));
      return kExitUsage;
    }
    for (const std::string& note : resolution.same) reporter.SameDevice(note);
    BatchJob batch{boards, {}, &image, true, true, job.attempts, job.reset,
                   job.serial.on() ? &serials : nullptr};
    std::vector<std::string> names;
    for (const PresentPort& b : boards) names.push_back(b.name);
    batch.traces = job.trace.empty() ? std::vector<std::string>(boards.size())
                                     : TracePaths(job.trace, names);
    for (const std::string& t : batch.traces) {
      if (t.empty() || written.count(t) != 0) continue;
      const std::string why = TraceProblem(t, job.file, boards, job.force);
      if (!why.empty()) {
        usage_error("cannot write the trace file '" + Printable(t) + "': " + why);
        return kExitUsage;
      }
      ClaimOutput(t);
    }
    for (const int code : FlashBatch(batch, reporter)) {
      (code == 0 ? done : failed) += 1;
      if (first_failure == 0) first_failure = code;
    }
    written.insert(batch.traces.begin(), batch.traces.end());
    cli_platform::SetInterruptNote(TallyText(done, failed));
    reporter.Tally(done, failed);
    if (job.count > 0 && done + failed >= job.count) break;
    // Wait until every board of the round has been unplugged (or swapped
    // for another): a port that opens, or one that is there but busy, is
    // still plugged in if it is the same device.
    while (std::any_of(boards.begin(), boards.end(), StillPlugged)) Delay(kPresencePollMs);
  }
  cli_platform::SetInterruptNote(std::string());
  reporter.StationSummary(done, failed, first_failure, Since(start));
  return first_failure;
}
