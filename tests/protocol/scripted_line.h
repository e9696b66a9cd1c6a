// A scripted serial line, clock and firmware file that stand in for the
// serial layer, the delay and the file reads at link time. Time is fake: it
// moves only when the engine delays, queries the output queue (if the
// script says a query takes time) or blocks in a read.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct ScriptedLine {
  static constexpr int32_t kPort = 2;  // the only slot the stubs answer for
  static constexpr int32_t kFile = 3;

  uint64_t now_us = 0;
  std::vector<uint8_t> wire;                          // every byte the host wrote
  std::deque<std::pair<uint64_t, uint8_t>> arriving;  // (time, byte) in time order
  std::deque<uint8_t> input;                          // arrived, not yet read
  std::vector<uint32_t> delays;
  // Every call but the output-queue queries, in order: "in 3", "read 2",
  // "write 4", "delay 500", "dtr 1", "rts 0", plus whatever the test's
  // hooks add.
  std::vector<std::string> log;
  // Output-queue queries after each write: one entry per write.
  std::vector<int32_t> drain_queries;
  std::vector<uint8_t> file;
  size_t file_position = 0;
  int32_t file_reads = 0;
  bool file_ran_out = false;  // a read went past the end of `file`
  // Writes (counted from 0) that take fewer bytes than given: write number
  // -> bytes taken. Such a write first waits out the port's time-out.
  std::map<size_t, int32_t> short_writes;
  size_t writes = 0;
  bool last_write_short = false;
  bool read_starved = false;  // a read asked for bytes that never came
  bool modem_lines = true;    // false: the port refuses DTR and RTS, as a pty does
  bool wrong_slot = false;

  // How the output queue answers: busy for this many queries after each
  // write, or, when `stuck_output` is non-zero, that value forever.
  int32_t busy_queries = 0;
  int32_t stuck_output = 0;
  size_t stuck_from_write = 0;  // writes before this one drain as `busy_queries` says
  uint64_t output_query_us = 0;  // fake time one output-queue query takes
  // A UART's queue instead, when non-zero: the bytes written leave one
  // every `byte_us` of fake time and the count is what has not left.
  // `max_queued` is the most it held; `idle_us` how long it stood empty
  // before a write, after the first of the image's words (byte 9 on the wire).
  uint64_t byte_us = 0;
  uint64_t line_free_us = 0;  // when the last byte written leaves
  int32_t max_queued = 0;
  uint64_t idle_us = 0;
  int32_t Queued() const {
    return line_free_us > now_us ? static_cast<int32_t>((line_free_us - now_us + byte_us - 1) / byte_us) : 0;
  }

  // Called after every write, to let a device model answer.
  std::function<void(ScriptedLine&)> on_write;

  // Queues `bytes` to arrive `after_ms` from now.
  void Arrive(const std::vector<uint8_t>& bytes, uint64_t after_ms);
  void Arrive(const std::string& text, uint64_t after_ms) {
    Arrive(std::vector<uint8_t>(text.begin(), text.end()), after_ms);
  }
  void MoveArrivedToInput();
  uint64_t NowMs() const { return now_us / 1000; }
};

// The line the stubs act on; each test makes its own.
extern ScriptedLine* g_line;
