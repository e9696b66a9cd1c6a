#include "cli/stop_records.h"

#include <csignal>
#include <cstring>

#include "cli/cli.h"

namespace {

constexpr size_t kRecordRoom = 8192;
constexpr const char* kOwnKey = "{\"interrupted\":";

struct Owed {
  char head[kRecordRoom];  // up to the bytes
  size_t head_size;
  char middle[kRecordRoom];  // between the bytes and the seconds
  size_t middle_size;
  char tail[kRecordRoom];  // after the seconds
  size_t tail_size;
  uint64_t start_ms;
  volatile int64_t bytes;
  volatile int worker;
  volatile sig_atomic_t owed;
};

Owed g_owed[kMaxBoards];
volatile int64_t g_own_bytes = 0;

// Decimal digits of `value` (0 or more) at `out`; their count.
size_t Digits(int64_t value, char* out) {
  char reversed[24];
  size_t n = 0;
  if (value < 0) value = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

bool Keep(char* room, size_t* size, const std::string& text) {
  if (text.size() > kRecordRoom) return false;
  std::memcpy(room, text.data(), text.size());
  *size = text.size();
  return true;
}

}  // namespace

namespace stop_records {

void Pend(size_t board, const std::string& record, uint64_t start_ms) {
  if (board >= kMaxBoards) return;
  Owed& o = g_owed[board];
  o.owed = 0;
  const std::string bytes_mark = std::to_string(kBytesMark);
  const size_t at_bytes = record.find(bytes_mark);
  const size_t at_seconds = record.find(kSecondsMark);
  if (at_bytes == std::string::npos || at_seconds == std::string::npos || at_seconds < at_bytes) {
    return;
  }
  const size_t after_bytes = at_bytes + bytes_mark.size();
  if (!Keep(o.head, &o.head_size, record.substr(0, at_bytes)) ||
      !Keep(o.middle, &o.middle_size, record.substr(after_bytes, at_seconds - after_bytes)) ||
      !Keep(o.tail, &o.tail_size, record.substr(at_seconds + std::strlen(kSecondsMark)))) {
    return;
  }
  o.start_ms = start_ms;
  o.bytes = 0;
  o.worker = -1;
  o.owed = 1;
}

void SetBytes(size_t board, int64_t bytes) {
  if (board < kMaxBoards) g_owed[board].bytes = bytes;
}

void SetWorker(size_t board, int worker_id) {
  if (board < kMaxBoards) g_owed[board].worker = worker_id;
}

void Settle(size_t board) {
  if (board < kMaxBoards) g_owed[board].owed = 0;
}

void EmitOwed(void (*emit)(const char*, size_t), int64_t (*worker_bytes)(int), uint64_t now_ms) {
  static char line[3 * kRecordRoom + 64];
  for (Owed& o : g_owed) {
    if (!o.owed) continue;
    o.owed = 0;
    int64_t bytes = o.bytes;
    if (o.worker >= 0 && worker_bytes != nullptr) {
      const int64_t told = worker_bytes(o.worker);
      if (told >= 0) bytes = told;
    }
    size_t n = 0;
    std::memcpy(line, o.head, o.head_size);
    n += o.head_size;
    n += Digits(bytes, line + n);
    std::memcpy(line + n, o.middle, o.middle_size);
    n += o.middle_size;
    const uint64_t ms = now_ms > o.start_ms ? now_ms - o.start_ms : 0;
    n += Digits(static_cast<int64_t>(ms / 1000), line + n);
    line[n++] = '.';
    const char tenths[3] = {static_cast<char>('0' + ms / 100 % 10),
                            static_cast<char>('0' + ms / 10 % 10),
                            static_cast<char>('0' + ms % 10)};
    std::memcpy(line + n, tenths, 3);
    n += 3;
    std::memcpy(line + n, o.tail, o.tail_size);
    n += o.tail_size;
    emit(line, n);
  }
}

void SetOwnBytes(int64_t bytes) { g_own_bytes = bytes; }

size_t OwnReport(char* buffer, size_t capacity) {
  const size_t key = std::strlen(kOwnKey);
  if (capacity < key + 24) return 0;
  std::memcpy(buffer, kOwnKey, key);
  size_t n = key + Digits(g_own_bytes, buffer + key);
  buffer[n++] = '}';
  buffer[n++] = '\n';
  return n;
}

int64_t ReadOwnReport(const char* text, size_t size) {
  const size_t key = std::strlen(kOwnKey);
  int64_t found = -1;
  for (size_t i = 0; i + key <= size; ++i) {
    if (std::memcmp(text + i, kOwnKey, key) != 0) continue;
    int64_t value = 0;
    size_t j = i + key;
    bool any = false;
    while (j < size && text[j] >= '0' && text[j] <= '9' && value < (int64_t{1} << 50)) {
      value = value * 10 + (text[j++] - '0');
      any = true;
    }
    if (any && j < size && text[j] == '}') found = value;
  }
  return found;
}

}  // namespace stop_records
