#include "sim_device.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

const uint8_t kStartCommand[4] = {'B', 'L', '1', '0'};
const Bytes kOk{'O', 'K'};

std::string Format(const char* fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

}  // namespace

Device::Device(const Config& config) : config_(config) {}

size_t Device::ReadLimit() const {
  switch (phase_) {
    case Phase::Stalled:
      return 0;
    case Phase::WaitStart:
      return sizeof kStartCommand - matched_;
    case Phase::ReadSize:
      return sizeof size_bytes_ - size_got_;
    case Phase::ReadImage: {
      uint64_t limit = image_expected_ - image_got_;
      if (config_.vanish_after >= 0)
        limit = std::min<uint64_t>(limit, static_cast<uint64_t>(config_.vanish_after) - image_got_);
      if (config_.stop_reading_after >= 0)
        limit = std::min<uint64_t>(limit, static_cast<uint64_t>(config_.stop_reading_after) - image_got_);
      return static_cast<size_t>(std::min<uint64_t>(limit, 1u << 20));
    }
  }
  return 0;
}

void Device::Receive(const uint8_t* data, size_t count, double now_ms) {
  size_t i = 0;
  while (i < count && !vanished_) {
    switch (phase_) {
      case Phase::Stalled:
        // Not reached while the caller honours ReadLimit; a stalled device
        // takes nothing in.
        return;
      case Phase::WaitStart: {
        uint8_t b = data[i++];
        if (b == kStartCommand[matched_]) {
          ++matched_;
        } else {
          // "BL10" has no repeated prefix, so a mismatch can only restart
          // the match at this very byte.
          matched_ = (b == kStartCommand[0]) ? 1 : 0;
        }
        if (matched_ == sizeof kStartCommand) {
          matched_ = 0;
          if (ignored_ < config_.ignore_starts) {
            // Not listening yet: no session, so the next "BL10" starts one.
            ++ignored_;
            if (on_summary) {
              on_summary("bootloader-sim: start command " + std::to_string(ignored_) + " of " +
                         std::to_string(config_.ignore_starts) + " ignored (--ignore-starts)");
            }
          } else {
            BeginSession(now_ms);
          }
        }
        break;
      }
      case Phase::ReadSize: {
        if (HasPendingReply()) ++early_bytes_;
        ++session_bytes_;
        size_bytes_[size_got_++] = data[i++];
        if (size_got_ == sizeof size_bytes_) SizeComplete(now_ms);
        break;
      }
      case Phase::ReadImage: {
        size_t take = static_cast<size_t>(
            std::min<uint64_t>(count - i, std::max<size_t>(ReadLimit(), 1)));
        take = static_cast<size_t>(std::min<uint64_t>(take, image_expected_ - image_got_));
        if (HasPendingReply()) early_bytes_ += take;
        session_bytes_ += take;
        if (on_image_bytes) on_image_bytes(data + i, take);
        image_got_ += take;
        i += take;
        CheckImageProgress(now_ms);
        break;
      }
    }
  }
}

void Device::BeginSession(double now_ms) {
  in_session_ = true;
  ++number_;
  started_ms_ = now_ms;
  size_got_ = 0;
  announced_ = 0;
  image_expected_ = 0;
  image_got_ = 0;
  session_bytes_ = sizeof kStartCommand;
  early_bytes_ = 0;
  final_text_ = "not reached";

  if (config_.silent) {
    start_text_ = "none (silent)";
    start_exact_ = false;
  } else {
    QueueReply(config_.start_reply, config_.start_delay_ms, now_ms);
    start_text_ = ReplyText(config_.start_reply, config_.start_delay_ms);
    start_exact_ = replies_.back().bytes == kOk;
  }
  // Even after a wrong reply the device takes what follows as the size: it
  // cannot know its answer was wrong. The host closing the port ends it.
  phase_ = Phase::ReadSize;
}

void Device::SizeComplete(double now_ms) {
  announced_ = static_cast<uint32_t>(size_bytes_[0]) | (static_cast<uint32_t>(size_bytes_[1]) << 8) |
               (static_cast<uint32_t>(size_bytes_[2]) << 16) |
               (static_cast<uint32_t>(size_bytes_[3]) << 24);
  image_expected_ = 2 * static_cast<uint64_t>(announced_ / 2);
  image_got_ = 0;
  phase_ = Phase::ReadImage;
  if (on_image_start) on_image_start();
  CheckImageProgress(now_ms);
}

void Device::CheckImageProgress(double now_ms) {
  if (config_.vanish_after >= 0 && image_got_ >= static_cast<uint64_t>(config_.vanish_after)) {
    vanished_ = true;
    EndSession("vanished (closing the port)", now_ms);
    return;
  }
  if (config_.stop_reading_after >= 0 &&
      image_got_ >= static_cast<uint64_t>(config_.stop_reading_after)) {
    EndSession("stopped reading", now_ms);
    phase_ = Phase::Stalled;
    return;
  }
  if (image_got_ < image_expected_) return;
  if (config_.silent) {
    final_text_ = "none (silent)";
  } else if (config_.no_final) {
    final_text_ = "none (--no-final)";
  } else {
    QueueReply(config_.final_reply, config_.final_delay_ms, now_ms);
    final_text_ = ReplyText(config_.final_reply, config_.final_delay_ms);
  }
  EndSession("completed", now_ms);
}

void Device::QueueReply(const Bytes& reply, double delay_ms, double now_ms) {
  Reply r;
  r.bytes = reply;
  r.bytes.insert(r.bytes.end(), config_.suffix.begin(), config_.suffix.end());
  r.due_ms = now_ms + delay_ms;
  replies_.push_back(r);
}

double Device::NextReplyDue() const { return replies_.empty() ? 0 : replies_.front().due_ms; }

Bytes Device::TakeDueReply(double now_ms) {
  if (replies_.empty() || replies_.front().due_ms > now_ms) return Bytes();
  Bytes out = replies_.front().bytes;
  replies_.pop_front();
  return out;
}

bool Device::HostGone(double now_ms) {
  if (phase_ == Phase::Stalled) {
    phase_ = Phase::WaitStart;
    matched_ = 0;
    return true;
  }
  if (!MidUpload()) return false;
  if (HasPendingReply()) {
    // A reply made late on purpose: giving up on it is what the host should do.
    EndSession("completed: the host gave up waiting for the delayed start reply", now_ms);
  } else if (!start_exact_) {
    EndSession("completed: the host gave up after a start reply other than OK", now_ms);
  } else if (session_bytes_ - sizeof kStartCommand == early_bytes_) {
    // Not a byte after the OK went out: perhaps it never came alone (stale
    // bytes before it, say), and a host that waits for exactly two bytes
    // gives up.
    EndSession("completed: the host gave up without a word after the start reply", now_ms);
  } else {
    abandoned_ = true;
    EndSession("ABANDONED: the host went on after the OK but closed the port mid-upload", now_ms);
  }
  return false;
}

void Device::Interrupt(const char* why, double now_ms) {
  if (in_session_) EndSession(why, now_ms);
}

void Device::EndSession(const std::string& how, double now_ms) {
  phase_ = Phase::WaitStart;
  matched_ = 0;
  if (!in_session_) return;
  in_session_ = false;
  ++ended_;
  std::string line = "bootloader-sim: session " + std::to_string(number_) + ": ";
  if (size_got_ == sizeof size_bytes_) {
    line += "announced " + std::to_string(announced_) + " bytes (" + std::to_string(announced_ / 2) +
            " words), received " + std::to_string(image_got_) + " of " +
            std::to_string(image_expected_) + " image bytes";
  } else {
    line += "size not received (" + std::to_string(size_got_) + " of 4 bytes)";
  }
  line += ", " + std::to_string(session_bytes_) + " bytes in all";
  if (early_bytes_ != 0) line += " (" + std::to_string(early_bytes_) + " before the start reply was sent)";
  line += ", " + Format("%.1f ms", now_ms - started_ms_);
  line += "; start reply " + start_text_ + ", final reply " + final_text_ + "; " + how;
  if (on_summary) on_summary(line);
}

std::string Device::ReplyText(const Bytes& reply, double delay_ms) const {
  std::string s = ToHex(reply);
  if (!config_.suffix.empty()) s += "+" + ToHex(config_.suffix);
  if (delay_ms > 0) s += Format(" after %.0f ms", delay_ms);
  return s;
}

}  // namespace sim
