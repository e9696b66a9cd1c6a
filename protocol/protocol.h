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
