#include "cli/batch.h"

#include "cli/board.h"
#include "cli/platform.h"
#include "cli/serials.h"
#include "cli/stop_records.h"
#include "cli/text.h"
#include "cli/worker.h"
#include "cli/workers.h"
#include "common/delay.h"
#include "serial/serial.h"

namespace {

constexpr int kPumpMs = 100;  // longest wait for news from the workers
// News is gathered for this long before it is taken: a hundred workers each
// telling a percent would otherwise wake us a thousand times a second.
constexpr uint32_t kGatherMs = 20;

BoardJob Job(const BatchJob& batch, size_t board, const Image* image) {
  return {batch.boards[board].name, image,          batch.traces[board],
          batch.force,              batch.attempts, batch.reset};
}

double Since(uint64_t ms) { return static_cast<double>(MonotonicMs() - ms) / 1000.0; }

BoardOutcome Internal(const std::string& detail) {
  BoardOutcome o;
  o.message = {kExitInternal, "update-firmware-cli", "internal error"};
  o.detail = detail;
  return o;
}

struct Running {
  cli_workers::WorkerState worker;
  BoardOutcome outcome;
  bool told = false;  // the outcome arrived on the wire
  bool done = false;
};

// Takes the worker's complete lines, telling `reporter` what is news.
void Replay(Running* r, size_t board, Reporter& reporter) {
  std::string& out = r->worker.output;
  for (size_t end; (end = out.find('\n')) != std::string::npos; out.erase(0, end + 1)) {
    const WireRecord record = ReadWireRecord(out.substr(0, end));
    if (record.kind == WireRecord::Opened) reporter.Opened(board, record.announced);
    if (record.kind == WireRecord::Progress) {
      reporter.Progress(board, record.index, record.count, record.announced);
    }
    if (record.kind == WireRecord::Outcome) {
      r->outcome = record.outcome;
      r->told = true;
    }
  }
}

// Each board's image: the run's, or its own with its serial number; null
// for a board that can get none, whose outcome is then told.
std::vector<const Image*> BoardImages(const BatchJob& job, Reporter& reporter,
                                      std::vector<Image>* own,
                                      std::vector<BoardOutcome>* outcomes) {
  std::vector<const Image*> images(job.boards.size(), job.image);
  if (job.serials == nullptr) return images;
  own->resize(job.boards.size());
  for (size_t i = 0; i < job.boards.size(); ++i) {
    BoardSerial serial;
    std::string why;
    if (job.serials->Next(*job.image, job.boards[i].name, &(*own)[i], &serial, &why)) {
      images[i] = &(*own)[i];
      reporter.Serialized(i, serial);
      continue;
    }
    images[i] = nullptr;
    BoardOutcome& o = (*outcomes)[i];
    o.message = FirmwareMissingMessage();
    o.detail = "no serial number for this board, nothing was sent: " + why;
    reporter.Finished(i, o);
  }
  return images;
}

std::vector<BoardOutcome> FlashWithWorkers(const BatchJob& job,
                                           const std::vector<const Image*>& images,
                                           std::vector<BoardOutcome> outcomes,
                                           Reporter& reporter) {
  std::vector<Running> running(job.boards.size());
  const uint64_t start = MonotonicMs();
  // One look at who else holds the ports, taken here, serves every worker's
  // open: a forked worker keeps it, where each would otherwise read every
  // process's descriptors, a hundred looks at some hundreds of processes
  // at the moment a hundred boards start. The workers open their ports
  // straight after; a program that opens one in between without a lock is
  // missed as one that opens it just after a look of the worker's own.
  BeginPortSweep();
  PortHolder(job.boards.front().name.c_str(), nullptr, 0);
  // Every input is made before the first worker starts: memory written
  // after a fork is copied, page by page, for the workers that share it.
  std::vector<std::string> inputs(job.boards.size());
  for (size_t i = 0; i < job.boards.size(); ++i) {
    if (images[i] != nullptr) inputs[i] = WorkerInput(Job(job, i, images[i]));
  }
  for (size_t i = 0; i < job.boards.size(); ++i) {
    std::string why;
    if (images[i] == nullptr) {
      running[i].outcome = outcomes[i];
      running[i].done = true;
      continue;
    }
    if (!cli_workers::StartWorker({kWorkerFlag}, RunWorker, inputs[i], &running[i].worker,
                                  &why)) {
      running[i].outcome = Internal("could not start a worker process: " + why);
      running[i].done = true;
      reporter.Finished(i, running[i].outcome);
    }
    stop_records::SetWorker(i, running[i].worker.id);
  }
  EndPortSweep();
  inputs.clear();
  for (;;) {
    std::vector<cli_workers::WorkerState*> waiting;
    for (Running& r : running) {
      if (!r.done) waiting.push_back(&r.worker);
    }
    if (waiting.empty()) break;
    Delay(kGatherMs);
    cli_workers::PumpWorkers(waiting, kPumpMs);
    for (size_t i = 0; i < running.size(); ++i) {
      Running& r = running[i];
      if (r.done) continue;
      Replay(&r, i, reporter);
      if (!r.worker.ended) continue;
      r.done = true;
      // A worker the stop ended is no failure of the tool's.
      cli_platform::HoldWhileStopping();
      // Ended without a verdict: killed, or crashed. That is the tool's
      // failure, not a verdict on the board.
      if (!r.told) {
        r.outcome = Internal("the worker stopped without a verdict (exit " +
                             std::to_string(r.worker.exit_code) + ")");
      }
      r.outcome.seconds = Since(start);
      reporter.Finished(i, r.outcome);
    }
  }
  cli_workers::ForgetWorkers();
  for (size_t i = 0; i < running.size(); ++i) outcomes[i] = running[i].outcome;
  return outcomes;
}

}  // namespace

int FirstFailure(const std::vector<int>& codes) {
  for (int c : codes) {
    if (c != 0) return c;
  }
  return 0;
}

bool ReadyImage(const std::string& path, const ImageReading& reading,
                const std::string& expect_sha256, const std::vector<PresentPort>& boards,
                Reporter& reporter, Image* image) {
  std::string problem = LoadImage(path, reading, image);
  if (problem.empty()) problem = HashProblem(image->facts, expect_sha256);
  if (problem.empty()) return true;
  reporter.FileProblem(boards, path, Printable(path) + ": " + problem);
  return false;
}

std::vector<int> FlashBatch(const BatchJob& job, Reporter& reporter) {
  const Image& image = *job.image;
  reporter.Started(job.boards, image.path, image.size(), image.facts);
  const uint64_t start = MonotonicMs();
  std::vector<BoardOutcome> outcomes(job.boards.size());
  std::vector<Image> own;
  const std::vector<const Image*> images = BoardImages(job, reporter, &own, &outcomes);
  if (job.boards.size() == 1 && images[0] != nullptr) {
    stop_records::SetWorker(0, -1);
    outcomes[0] = FlashBoard(Job(job, 0, images[0]), reporter, 0);
    outcomes[0].seconds = Since(start);
    reporter.Finished(0, outcomes[0]);
  } else if (job.boards.size() > 1) {
    outcomes = FlashWithWorkers(job, images, std::move(outcomes), reporter);
  }
  std::vector<int> codes;
  for (const BoardOutcome& o : outcomes) codes.push_back(o.code());
  reporter.Summary(outcomes, FirstFailure(codes), Since(start), job.station_round);
  return codes;
}
