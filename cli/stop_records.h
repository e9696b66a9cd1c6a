// What an interrupted run still owes before it ends: a record for each
// board whose port was opened, and the tail of its transcript. Ctrl+C,
// SIGTERM and SIGHUP end the process from a handler that may only make
// system calls, so everything is made ready beforehand: each board's
// record is written out as JSON when its port opens, with room left for
// the bytes and the seconds, which the handler fills in from plain
// numbers. Nothing here allocates once a record is pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace stop_records {

// The numbers a prepared record carries in place of its bytes and its
// seconds; Pend finds them in the text and cuts it there.
constexpr int64_t kBytesMark = 987654321012345;
constexpr const char* kSecondsMark = "987654321.5";

// Board `board`'s record for an interruption, with kBytesMark for its
// bytes and kSecondsMark for its seconds; `start_ms` is when its upload
// began (MonotonicMs). A record too long to keep is dropped.
void Pend(size_t board, const std::string& record, uint64_t start_ms);
// The image bytes the port took so far.
void SetBytes(size_t board, int64_t bytes);
// The worker process that flashes the board, whose own count wins when it
// reports one on its way out.
void SetWorker(size_t board, int worker_id);
// The board's record was written as usual: nothing is owed.
void Settle(size_t board);

// In the stop handler, after the workers have ended: each owed record,
// finished, handed to `emit` one whole line at a time. `worker_bytes` gives
// a worker's last count, or -1 when it told none.
void EmitOwed(void (*emit)(const char* line, size_t size), int64_t (*worker_bytes)(int worker),
              uint64_t now_ms);

// The image bytes the port took, kept by a worker for its last report.
void SetOwnBytes(int64_t bytes);
// That report, {"interrupted": BYTES}, as one line in `buffer`; its size.
size_t OwnReport(char* buffer, size_t capacity);
// The count in such a line, found anywhere in `text`; -1 when there is none.
int64_t ReadOwnReport(const char* text, size_t size);

}  // namespace stop_records
