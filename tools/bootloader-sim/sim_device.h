// The bootloader's side of the upload conversation, without any I/O: the
// caller feeds it the bytes it read and sends the replies it hands back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "sim_options.h"

namespace sim {

class Device {
 public:
  explicit Device(const Config& config);

  // Called when a session's size has arrived (the image starts empty) and for
  // every run of image bytes, in order.
  std::function<void()> on_image_start;
  std::function<void(const uint8_t*, size_t)> on_image_bytes;
  // One line (no newline) when a session ends, or a start command is ignored.
  std::function<void(const std::string&)> on_summary;

  // How many bytes the device is ready to take now; 0 while it has stopped
  // reading. Reads never go past the byte where the device's state changes,
  // so stopping or vanishing after N image bytes leaves the rest unread.
  size_t ReadLimit() const;
  void Receive(const uint8_t* data, size_t count, double now_ms);

  bool HasPendingReply() const { return !replies_.empty(); }
  double NextReplyDue() const;
  // The next reply if it is due at now_ms, else an empty vector.
  Bytes TakeDueReply(double now_ms);

  // The host has closed the port and no byte of it is left unread (or the
  // device has stopped reading). Mid-upload this ends the session, as
  // abandoned only if the device sent a plain "OK" and the host went on
  // after it: a host that sends the size has taken the reply as the go-ahead.
  // One that said nothing more had reason to give up (the reply may have
  // reached it behind other bytes), and a device cannot see what the host
  // read. Returns true when the caller should discard the bytes the device
  // left unread.
  bool HostGone(double now_ms);
  // True while the device waits for size or image bytes: a host that leaves
  // now has abandoned the upload.
  bool MidUpload() const { return phase_ == Phase::ReadSize || phase_ == Phase::ReadImage; }

  bool Vanished() const { return vanished_; }
  bool Abandoned() const { return abandoned_; }
  bool InSession() const { return in_session_; }
  unsigned SessionsEnded() const { return ended_; }
  // Every configured session has ended (never true with --sessions 0).
  bool AllSessionsEnded() const { return config_.sessions != 0 && ended_ >= config_.sessions; }

  // Ends a session still running when the program stops; `why` goes into the
  // summary line.
  void Interrupt(const char* why, double now_ms);

 private:
  enum class Phase { WaitStart, ReadSize, ReadImage, Stalled };
  struct Reply {
    Bytes bytes;
    double due_ms;
  };

  void BeginSession(double now_ms);
  void EndSession(const std::string& how, double now_ms);
  void QueueReply(const Bytes& reply, double delay_ms, double now_ms);
  void SizeComplete(double now_ms);
  void CheckImageProgress(double now_ms);
  std::string ReplyText(const Bytes& reply, double delay_ms) const;

  Config config_;
  Phase phase_ = Phase::WaitStart;
  size_t matched_ = 0;  // bytes of "BL10" matched so far
  std::deque<Reply> replies_;
  bool vanished_ = false;
  bool abandoned_ = false;
  unsigned ended_ = 0;
  unsigned ignored_ = 0;  // start commands ignored so far (--ignore-starts)

  // The session in progress.
  bool in_session_ = false;
  unsigned number_ = 0;
  double started_ms_ = 0;
  uint8_t size_bytes_[4] = {0, 0, 0, 0};
  size_t size_got_ = 0;
  uint32_t announced_ = 0;
  uint64_t image_expected_ = 0;
  uint64_t image_got_ = 0;
  uint64_t session_bytes_ = 0;  // everything received from "BL10" on
  uint64_t early_bytes_ = 0;    // received while the start reply was still pending
  bool start_exact_ = false;  // the start reply sent was exactly "OK"
  std::string start_text_;
  std::string final_text_;
};

}  // namespace sim
