#include "tools/bench-upload/bench_core.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/delay.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"
#include "update/update.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10;    // start, 8 data, stop
constexpr double kFixedDelaysS = 0.6;  // 500 ms settle + 100 ms before the words

struct Run {
  bool opened = false;
  UploadOutcome outcome = UploadOutcome::NoReplyToStart;
  bool device_done = false;  // the device's final "OK" came, in time or late
  double total_s = 0;        // from the start of the run to that "OK"
  double first_to_last_word_s = 0;
  int32_t words = 0;
};

std::string WriteImage(int32_t bytes) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("uf-bench-" + std::to_string(bytes) + "-" +
                     std::to_string(Clock::now().time_since_epoch().count()) + ".bin");
  std::mt19937 gen(static_cast<unsigned>(bytes));
  std::vector<char> data(static_cast<size_t>(bytes));
  for (auto& c : data) c = static_cast<char>(gen());
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  return path.string();
}

// The line's idle share between the first word (byte 9) and the last byte of
// the latest session in the line model's statistics, or -1.
double IdleShareOfLastSession(const char* stats) {
  if (stats == nullptr) return -1;
  std::ifstream in(stats);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.rfind("session ", 0) == 0) last = line;
  }
  if (last.empty()) return -1;
  auto field = [&](const std::string& key) -> std::string {
    const size_t at = last.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const size_t from = at + key.size() + 2;
    return last.substr(from, last.find(' ', from) - from);
  };
  const long long sent = std::atoll(field("sent").c_str());
  const long long byte_ns = std::atoll(field("byte_ns").c_str());
  if (sent < 9 || byte_ns <= 0) return -1;
  long long idle = 0;
  const std::string gaps = field("gaps");
  for (size_t pos = 0; pos < gaps.size();) {
    const size_t colon = gaps.find(':', pos);
    if (colon == std::string::npos) break;
    const long long index = std::atoll(gaps.substr(pos, colon - pos).c_str());
    const long long ns = std::atoll(gaps.substr(colon + 1).c_str());
    if (index > 9) idle += ns;
    const size_t comma = gaps.find(',', colon);
    pos = comma == std::string::npos ? gaps.size() : comma + 1;
  }
  const double busy = static_cast<double>(sent - 8) * static_cast<double>(byte_ns);
  return static_cast<double>(idle) / (busy + static_cast<double>(idle));
}

double LineLimitS(int32_t bytes) { return kFixedDelaysS + bytes * kBitsPerByte / kBaud; }

// With `await_late_reply`, a run that ended in NoFinalReply goes on waiting
// for the device's final "OK" and is timed to it, up to twice the line-rate
// limit plus 30 s.
Run Upload(const char* port, int32_t bytes, bool await_late_reply) {
  Run run;
  const std::string image = WriteImage(bytes);
  if (OpenUpdatePort(0, port) == 0) {
    std::printf("cannot open %s\n", port);
    std::filesystem::remove(image);
    return run;
  }
  run.opened = true;
  OpenFileForReading(0, image.c_str());
  uint8_t send[kTransferBufferSize] = {};
  uint8_t receive[kTransferBufferSize] = {};
  Clock::time_point first_word, last_word;
  const Clock::time_point start = Clock::now();
  run.outcome = RunUpload(
      0, 0, send, receive, [&] { return static_cast<int32_t>(FileSizeAtPath(image.c_str())); },
      [&](int32_t i, int32_t n) {
        if (i == 1) first_word = Clock::now();
        if (i == n) last_word = Clock::now();
        run.words = n;
      });
  run.device_done = run.outcome == UploadOutcome::Success;
  if (run.outcome == UploadOutcome::NoFinalReply && await_late_reply) {
    // Polled rather than a blocking read: a read of bytes that never come
    // does not return on every platform when the device goes away.
    const auto give_up = start + std::chrono::duration<double>(2 * LineLimitS(bytes) + 30);
    while (PortInputCount(0) < 2 && Clock::now() < give_up) Delay(10);
    run.device_done = PortInputCount(0) >= 2 && ReadPort(0, receive, 2) == 2 &&
                      receive[0] == 'O' && receive[1] == 'K';
  }
  run.total_s = std::chrono::duration<double>(Clock::now() - start).count();
  run.first_to_last_word_s = std::chrono::duration<double>(last_word - first_word).count();
  ClosePort(0);
  CloseFileSlot(0);
  std::filesystem::remove(image);
  return run;
}

void ReportPaced(const Run& run, int32_t bytes, const char* record, const char* stats) {
  std::printf("%d KiB upload, line paced at 9600 baud by the line model: outcome %s", bytes / 1024,
              UploadOutcomeName(run.outcome));
  if (run.device_done) {
    std::printf("; %.3f s to the device's final \"OK\"%s against a line-rate limit of %.3f s "
                "(0.6 s + %.3f s on the line): ratio %.4f\n",
                run.total_s, run.outcome == UploadOutcome::Success ? "" : " (late)",
                LineLimitS(bytes), bytes * kBitsPerByte / kBaud, run.total_s / LineLimitS(bytes));
    const double idle = IdleShareOfLastSession(stats);
    if (idle >= 0) std::printf("    the line stood idle %.3f%% of the time from the first word to the last\n", 100 * idle);
  } else {
    std::printf("; the device never finished");
    if (record) {
      std::printf(" (it received %lld of %d image bytes)", static_cast<long long>(FileSizeAtPath(record)),
                  bytes);
    }
    std::printf("\n");
  }
}

}  // namespace

int RunUploadBenchmarks(const BenchDevices& devices) {
  const double line_word_us = 2 * kBitsPerByte / kBaud * 1e6;
  int failures = 0;

  const Run fast = Upload(devices.unpaced_port, 1 << 20, false);
  if (fast.outcome == UploadOutcome::Success && fast.words > 1) {
    const double per_word_us = fast.first_to_last_word_s / (fast.words - 1) * 1e6;
    std::printf(
        "1 MiB over a pseudo-terminal, device unpaced: host time per word %.2f us "
        "(line time per word at 9600 baud %.1f us; the host needs %.2f%% of it)\n",
        per_word_us, line_word_us, 100.0 * per_word_us / line_word_us);
  } else {
    std::printf("1 MiB unpaced upload: outcome %s\n", UploadOutcomeName(fast.outcome));
    ++failures;
  }
  std::fflush(stdout);

  // The line model gives the paced terminal a UART's transmit queue, so the
  // drain paces the words as on a real port.
  for (int32_t bytes : {16 << 10, 64 << 10}) {
    const Run paced = Upload(devices.paced_port, bytes, true);
    ReportPaced(paced, bytes, bytes == (64 << 10) ? devices.paced_record : nullptr,
                devices.line_stats);
    if (!paced.device_done) ++failures;
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}
