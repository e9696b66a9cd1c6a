#include "ui/event_queue.h"

#include <algorithm>

bool EventQueue::Push(const QueuedEvent& event) {
  if (mute_count_ > 0) return false;
  if (event.code < 65536 && !events_.empty()) {
    const QueuedEvent& last = events_.back();
    if (last.code == event.code && last.source == event.source && last.window == event.window &&
        last.detail == event.detail) {
      return false;
    }
  }
  events_.push_back(event);
  return true;
}

bool EventQueue::Pop(QueuedEvent* event) {
  if (events_.empty()) return false;
  *event = events_.front();
  events_.pop_front();
  return true;
}

void EventQueue::DropWindow(UiHandle window) {
  events_.erase(std::remove_if(events_.begin(), events_.end(),
                               [window](const QueuedEvent& e) { return e.window == window; }),
                events_.end());
}
