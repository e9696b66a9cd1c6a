// The bootloader upload conversation over an open serial slot.
#pragma once

#include <cstdint>
#include <functional>

enum class UploadOutcome {
  Success,
  NoReplyToStart,
  WrongReplyToStart,
  NoFinalReply,
  WrongFinalReply,
};

// The outcome's name as written here ("NoFinalReply"), for logs and tools.
const char* UploadOutcomeName(UploadOutcome outcome);

// Both transfer buffers hold at least this many bytes.
constexpr int32_t kTransferBufferSize = 17;

// Asked once, after the device has acknowledged the start command.
using SizeSource = std::function<int32_t()>;
// Called after each word has been handed to the port, before its drain.
using ProgressHook = std::function<void(int32_t word_index, int32_t word_count)>;

// Runs one upload: settle, flush, "BL10", acknowledgement, size, words,
// final acknowledgement. The caller has opened both slots and closes them.
// A write the port does not take whole, or a file that runs out before the
// size announced, ends the run at once: NoReplyToStart for the start
// command, NoFinalReply after it.
UploadOutcome RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send_buffer,
                        uint8_t* receive_buffer, const SizeSource& size_source,
                        const ProgressHook& progress);

// What a run may do beyond the one pass of the conversation.
struct UploadOptions {
  // Start commands sent at most. A board that is still resetting, or whose
  // bootloader listens only for a moment, can miss "BL10" or answer it with
  // noise: when no reply comes within the reply window, or one other than
  // "OK" does, whatever arrived meanwhile is flushed and "BL10" goes again.
  // 1 (and anything less) is a single try; a first try that succeeds puts
  // the same bytes on the line whatever this says.
  int32_t attempts = 1;
  // A bootloader may answer a moment after the reply window. Its late "OK"
  // must not pass for the answer to the next "BL10", which that device takes
  // as the first bytes of the size. So before a retry the line is watched
  // this much longer: a reply there is the unanswered start's own, and an
  // "OK" means the device waits for the size (no retry). 0: no such wait.
  uint32_t late_reply_ms = 0;
  // A device gone without a hang-up, or a driver whose transmit count stops
  // falling, would hold every drain to its bound. When the count has not
  // fallen over this much time spent draining, the run ends with the cut
  // DeviceStopped. 0: each drain has only its own bound.
  uint32_t stall_ms = 0;
  // Image bytes the driver may hold ahead of the line. 0: every word waits
  // until the driver has sent the one before (the window's conversation).
  // Above 2, words are written, as many a write as the send buffer holds,
  // until the driver holds this many, and the thread then sleeps for as
  // long as the line needs to take all but a few of them: the bytes on the
  // line are the same, with a small fraction of
  // the wake-ups, and the image bytes told as taken lead what the device
  // got by this much at most (beyond what the driver's own FIFO holds).
  int32_t write_ahead = 0;
};

// Why a run ended before the device could have had every word.
enum class UploadCut {
  None,            // every write was taken whole and the file gave every byte
  DeviceVanished,  // the port says the device is gone (unplugged, hung up)
  DeviceStopped,   // a write ran into its time-out: the device stopped taking data
  PortFailed,      // a write fell short for another reason
  FileShort,       // the file ran out before the size announced
};

struct UploadReport {
  // After the last try, that try's verdict on the start command, except that
  // a wrong reply to any try outweighs no reply to a later one: the device
  // was there and talking.
  UploadOutcome outcome = UploadOutcome::NoReplyToStart;
  int32_t attempts = 0;  // start commands sent
  // Image bytes the port took: what the word writes returned, a short one's
  // part included; the start commands and the size are not counted.
  int64_t image_bytes = 0;
  UploadCut cut = UploadCut::None;
};

// RunUpload with options. A start command the port does not take whole ends
// the run at once, whatever the attempts: the device has stopped taking data.
UploadReport RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send_buffer,
                       uint8_t* receive_buffer, const SizeSource& size_source,
                       const ProgressHook& progress, const UploadOptions& options);
