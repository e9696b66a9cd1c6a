// The bootloader upload conversation: settle, flush, "BL10", acknowledgement,
// size, the image as two-byte words, final acknowledgement. One pass, one
// verdict: no checksum; only the start command may be sent again, when the
// caller asks for more than one attempt.
#include "protocol/protocol.h"

#include <algorithm>
#include <cstring>

#include "common/delay.h"
#include "fileio/fileio.h"
#include "serial/serial.h"

namespace {

constexpr uint32_t kSettleMs = 500;
constexpr uint32_t kBeforeWordsMs = 100;
constexpr uint32_t kReplyPollMs = 10;
constexpr uint32_t kDrainPollMs = 1;  // between two looks at the output count
constexpr int32_t kReplyPollLimit = 500;  // polls 1..500 may see the reply
constexpr int32_t kReplyBytes = 2;
// The port's own write time-out: 100 ms per byte plus 10 ms.
constexpr uint64_t kWriteMsPerByte = 100;
constexpr uint64_t kWriteMsConstant = 10;

enum ReplyState : int32_t { kWaiting = 0, kReplyReady = 1, kTimedOut = 2 };

// Discards whatever arrived before the start command. The count is asked
// twice: once for the test and once for the read. The bytes are read in
// pieces no larger than the receive buffer, which is all the room the
// caller gave us.
void Flush(int32_t port, uint8_t* receive_buffer) {
  if (PortInputCount(port) == 0) return;
  int32_t left = PortInputCount(port);
  while (left > 0) {
    const int32_t piece = std::min(left, kTransferBufferSize);
    ReadPort(port, receive_buffer, piece);
    left -= piece;
  }
}

// Waits until the driver has sent what was just written. Some USB-serial
// drivers report a transmit count that never reaches 0, so the wait is
// bounded by the time-out the port gives the write itself (100 ms per byte
// plus 10 ms); past it the run carries on, since the write itself was taken
// whole and such a count says nothing about the device.
// Between two looks at the count the thread sleeps 1 ms rather than spin:
// a word takes about 2 ms on the line at 9600 baud, and the count a driver
// reports leaves out what its transmitter (the UART's FIFO, the adapter's
// chip) already holds, so the line keeps sending while the host sleeps and
// the next word is written well before it runs dry. The clock is only read
// once the queue turns out not to be empty, and the count is asked again
// only after a sleep (asking twice in a row would tell nothing new).
//
// With a stall watch, the time spent draining while the count does not fall
// adds up across drains (the waits for replies in between do not count, the
// line is idle then); past the watch's limit the drain says false.
struct StallWatch {
  uint64_t limit_ms = 0;  // 0: no watch
  uint64_t carried_ms = 0;  // drain time without a fall, before this drain
  uint64_t since_ms = 0;    // this drain's start, less what was carried
  int32_t last = 0;         // the count at the previous look

  bool On() const { return limit_ms != 0; }
  void Begin(int32_t count) {
    since_ms = MonotonicMs() - carried_ms;
    last = count;
  }
  // False once the count has not fallen for the limit.
  bool Look(int32_t count) {
    const uint64_t now = MonotonicMs();
    if (count < last) since_ms = now;
    last = count;
    carried_ms = count == 0 ? 0 : now - since_ms;
    return carried_ms < limit_ms;
  }
};

// The line's time for `bytes` bytes at 9600 baud, 10 bits a byte, in ms
// rounded down (a sleep that ends early only costs one more look).
uint32_t LineMs(int32_t bytes) { return static_cast<uint32_t>(bytes) * 10000u / 9600u; }

// With write-ahead the wait is for the queue to fall below `below` bytes
// rather than to empty, and with `pace` (the most bytes written ahead) the
// sleep between looks is the line's time for what is above that mark, not
// 1 ms. Some drivers count whole transfer buffers (a CDC-ACM adapter says
// 512 for a 2-byte write), so the count is taken at `pace` at most there.
// `last` (may be null) receives the last count seen.
bool Drain(int32_t port, int32_t bytes_written, StallWatch* watch, int32_t below = 1,
           int32_t pace = 0, int32_t* last = nullptr) {
  const auto low = [below](int32_t count) { return count == 0 || (count > 0 && count < below); };
  int32_t count = PortOutputCount(port);
  if (last != nullptr) *last = count;
  if (low(count)) {
    if (watch->On() && count == 0) watch->carried_ms = 0;
    return true;
  }
  const uint64_t limit = kWriteMsPerByte * static_cast<uint64_t>(std::max(bytes_written, 0)) +
                         kWriteMsConstant;
  const uint64_t start = MonotonicMs();
  if (watch->On()) watch->Begin(count);
  do {
    if (MonotonicMs() - start > limit) return true;
    Delay(pace > 0 ? std::max<uint32_t>(kDrainPollMs, LineMs(std::min(count, pace) - below + 1))
                   : kDrainPollMs);
    count = PortOutputCount(port);
    if (last != nullptr) *last = count;
    if (watch->On() && !watch->Look(count)) return false;
  } while (!low(count));
  return true;
}

int32_t WaitForReply(int32_t port, int32_t poll_limit = kReplyPollLimit) {
  int32_t state = kWaiting;
  int32_t polls = 0;
  do {
    Delay(kReplyPollMs);
    // Exactly two bytes: a reply followed by anything more is not a reply.
    if (PortInputCount(port) == kReplyBytes) state = kReplyReady;
    polls += 1;
    if (polls > poll_limit) state = kTimedOut;
  } while (state == kWaiting);
  return state;
}

bool IsOk(const uint8_t* reply) { return reply[0] == 0x4F && reply[1] == 0x4B; }

enum class StartVerdict { Acknowledged, NoReply, WrongReply, NotTaken, Stalled };

// Why the last write on the port fell short, as the serial layer saw it.
UploadCut CutOf(int32_t port) {
  switch (LastTransferError(port, nullptr)) {
    case TransferErrorVanished: return UploadCut::DeviceVanished;
    case TransferErrorStopped: return UploadCut::DeviceStopped;
    default: return UploadCut::PortFailed;
  }
}

// The wait for a reply to the start command and its verdict.
StartVerdict JudgeReply(int32_t port, uint8_t* receive_buffer, int32_t poll_limit) {
  if (WaitForReply(port, poll_limit) != kReplyReady) return StartVerdict::NoReply;
  ReadPort(port, receive_buffer, kReplyBytes);
  return IsOk(receive_buffer) ? StartVerdict::Acknowledged : StartVerdict::WrongReply;
}

// One start command and the wait for its acknowledgement.
StartVerdict SendStart(int32_t port, uint8_t* send_buffer, uint8_t* receive_buffer,
                       StallWatch* watch) {
  // A write that takes fewer bytes than it was given has run into its
  // time-out: the device has stopped taking data. The run ends there, since
  // every later write would wait out its own time-out too (hours, over a
  // whole image) and the device could not make sense of the rest anyway.
  std::memcpy(send_buffer, "BL10", 4);
  if (WritePort(port, send_buffer, 4) != 4) return StartVerdict::NotTaken;
  if (!Drain(port, 4, watch)) return StartVerdict::Stalled;
  return JudgeReply(port, receive_buffer, kReplyPollLimit);
}

// Size, words and the final acknowledgement, once the start is acknowledged.
// What the port took of the words, and why the run was cut short, go to
// `report`.
UploadOutcome SendImage(int32_t port_slot, int32_t file_slot, uint8_t* send_buffer,
                        uint8_t* receive_buffer, const SizeSource& size_source,
                        const ProgressHook& progress, int32_t ahead, StallWatch* watch,
                        UploadReport* report) {
  const int32_t size = size_source ? size_source() : 0;
  const uint32_t bits = static_cast<uint32_t>(size);
  for (int k = 0; k < 4; ++k) send_buffer[k] = static_cast<uint8_t>((bits >> (8 * k)) & 0xFF);
  if (WritePort(port_slot, send_buffer, 4) != 4) {
    report->cut = CutOf(port_slot);
    return UploadOutcome::NoFinalReply;
  }
  if (!Drain(port_slot, 4, watch)) {
    report->cut = UploadCut::DeviceStopped;
    return UploadOutcome::NoFinalReply;
  }

  // A negative size gives a count of 0 or less: no words, straight to the
  // final wait. An odd size drops the last byte.
  const int32_t word_count = size / 2;
  // Without write-ahead a write is one word, and each waits until the
  // driver has sent it (the window's conversation). With it, a write takes
  // as many words as the send buffer holds and the driver has room for
  // below the mark; once the driver holds the mark, the queue is let down
  // to a quarter of it, and after the last word until it is empty.
  const int32_t mark = ahead > 2 ? ahead : 2;
  int32_t held = 0;  // bytes the driver is taken to hold, at most the mark
  Delay(kBeforeWordsMs);
  for (int32_t i = 0; i < word_count;) {
    // One word at least, whatever the driver is taken to hold: a count that
    // never falls ends at the wait's bound, never in a loop that sends
    // nothing.
    const int32_t room = std::max(std::min(mark - held, kTransferBufferSize) / 2, 1);
    const int32_t words = std::min(room, word_count - i);
    int32_t n = 0;
    bool file_short = false;
    while (n < 2 * words) {
      send_buffer[n] = static_cast<uint8_t>(FileReadByte(file_slot) & 0xFF);
      send_buffer[n + 1] = static_cast<uint8_t>(FileReadByte(file_slot) & 0xFF);
      // The file ran out before the announced size: sending zeros in its
      // place would flash a broken image that the device may well accept.
      // The whole words before it still go, as they would one by one.
      if (FileReadShort(file_slot)) {
        file_short = true;
        break;
      }
      n += 2;
    }
    if (n > 0) {
      const int32_t taken = WritePort(port_slot, send_buffer, n);
      if (taken > 0) report->image_bytes += taken;
      if (taken != n) {
        report->cut = CutOf(port_slot);
        return UploadOutcome::NoFinalReply;
      }
      for (int32_t w = 0; w < n / 2; ++w) {
        ++i;
        if (progress) progress(i, word_count);
      }
    }
    if (file_short) {
      report->cut = UploadCut::FileShort;
      return UploadOutcome::NoFinalReply;
    }
    held += n;
    const bool last = i == word_count;
    if (!last && held < mark - 1) continue;
    const bool empty = last || mark == 2;
    int32_t count = 0;
    if (!Drain(port_slot, held, watch, empty ? 1 : mark / 4, empty ? 0 : mark, &count)) {
      report->cut = UploadCut::DeviceStopped;
      return UploadOutcome::NoFinalReply;
    }
    held = empty ? 0 : std::min(count, mark);
  }

  if (WaitForReply(port_slot) != kReplyReady) return UploadOutcome::NoFinalReply;
  ReadPort(port_slot, receive_buffer, kReplyBytes);
  return IsOk(receive_buffer) ? UploadOutcome::Success : UploadOutcome::WrongFinalReply;
}

}  // namespace

UploadReport RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send_buffer,
                       uint8_t* receive_buffer, const SizeSource& size_source,
                       const ProgressHook& progress, const UploadOptions& options) {
  UploadReport report;
  StallWatch watch;
  watch.limit_ms = options.stall_ms;
  bool answered_wrongly = false;
  Delay(kSettleMs);
  Flush(port_slot, receive_buffer);
  for (;;) {
    ++report.attempts;
    StartVerdict verdict = SendStart(port_slot, send_buffer, receive_buffer, &watch);
    const bool last = report.attempts >= options.attempts;
    if (verdict == StartVerdict::NoReply && !last && options.late_reply_ms > 0) {
      verdict = JudgeReply(port_slot, receive_buffer,
                           static_cast<int32_t>(options.late_reply_ms / kReplyPollMs));
    }
    if (verdict == StartVerdict::Acknowledged) break;
    answered_wrongly = answered_wrongly || verdict == StartVerdict::WrongReply;
    report.outcome = answered_wrongly && verdict == StartVerdict::NoReply
                         ? UploadOutcome::WrongReplyToStart
                     : verdict == StartVerdict::WrongReply ? UploadOutcome::WrongReplyToStart
                                                            : UploadOutcome::NoReplyToStart;
    if (verdict == StartVerdict::NotTaken) report.cut = CutOf(port_slot);
    if (verdict == StartVerdict::Stalled) report.cut = UploadCut::DeviceStopped;
    const bool ended = verdict == StartVerdict::NotTaken || verdict == StartVerdict::Stalled;
    if (ended || last) return report;
    // Half a reply, a reply with more behind it, or noise from the reset:
    // none of it may be taken for the answer to the next command.
    Flush(port_slot, receive_buffer);
  }
  report.outcome = SendImage(port_slot, file_slot, send_buffer, receive_buffer, size_source,
                             progress, options.write_ahead, &watch, &report);
  return report;
}

UploadOutcome RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send_buffer,
                        uint8_t* receive_buffer, const SizeSource& size_source,
                        const ProgressHook& progress) {
  return RunUpload(port_slot, file_slot, send_buffer, receive_buffer, size_source, progress,
                   UploadOptions{})
      .outcome;
}

const char* UploadOutcomeName(UploadOutcome outcome) {
  switch (outcome) {
    case UploadOutcome::Success: return "Success";
    case UploadOutcome::NoReplyToStart: return "NoReplyToStart";
    case UploadOutcome::WrongReplyToStart: return "WrongReplyToStart";
    case UploadOutcome::NoFinalReply: return "NoFinalReply";
    case UploadOutcome::WrongFinalReply: return "WrongFinalReply";
  }
  return "?";
}
