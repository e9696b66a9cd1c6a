// The event queue behind PollEvent: FIFO, muted while the layer itself
// changes a control, and collapsing identical events that wait in a row.
#pragma once

#include <cstdint>
#include <deque>

#include "ui/ui.h"

struct QueuedEvent {
  int32_t code = 0;
  int32_t source = 0;
  UiHandle window = 0;
  int32_t detail = 0;
};

class EventQueue {
 public:
  // Drops the event while muted, and when its code is below 65536 and it
  // equals the last entry (only the last one is compared). Returns whether
  // it was queued.
  bool Push(const QueuedEvent& event);
  bool Pop(QueuedEvent* event);
  // Removes every event that concerns `window`.
  void DropWindow(UiHandle window);
  bool Empty() const { return events_.empty(); }
  size_t Size() const { return events_.size(); }

  // While the count is above 0 nothing is queued. Raised around the layer's
  // own changes of a control, whose platform notifications are no user action.
  void Mute() { ++mute_count_; }
  void Unmute() {
    if (mute_count_ > 0) --mute_count_;
  }
  uint32_t MuteCount() const { return mute_count_; }

 private:
  std::deque<QueuedEvent> events_;
  uint32_t mute_count_ = 0;
};

// Raises the mute count for one scope.
class MuteScope {
 public:
  explicit MuteScope(EventQueue& queue) : queue_(queue) { queue_.Mute(); }
  ~MuteScope() { queue_.Unmute(); }
  MuteScope(const MuteScope&) = delete;
  MuteScope& operator=(const MuteScope&) = delete;

 private:
  EventQueue& queue_;
};
