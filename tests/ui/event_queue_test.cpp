#include "ui/event_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<QueuedEvent> Drain(EventQueue& q) {
  std::vector<QueuedEvent> out;
  QueuedEvent e;
  while (q.Pop(&e)) out.push_back(e);
  return out;
}

bool Same(const QueuedEvent& a, const QueuedEvent& b) {
  return a.code == b.code && a.source == b.source && a.window == b.window && a.detail == b.detail;
}

TEST(EventQueue, FirstInFirstOut) {
  EventQueue q;
  QueuedEvent e;
  EXPECT_FALSE(q.Pop(&e));
  q.Push({EventControl, 1, 9, 0});
  q.Push({EventCloseWindow, 9, 9, 0});
  q.Push({EventControl, 2, 9, 768});
  auto got = Drain(q);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(Same(got[0], {EventControl, 1, 9, 0}));
  EXPECT_TRUE(Same(got[1], {EventCloseWindow, 9, 9, 0}));
  EXPECT_TRUE(Same(got[2], {EventControl, 2, 9, 768}));
  EXPECT_TRUE(q.Empty());
}

TEST(EventQueue, NothingIsQueuedWhileMutedAtAnyDepth) {
  EventQueue q;
  {
    MuteScope outer(q);
    {
      MuteScope inner(q);
      EXPECT_FALSE(q.Push({EventControl, 1, 9, 0}));
    }
    EXPECT_EQ(q.MuteCount(), 1u);
    EXPECT_FALSE(q.Push({EventControl, 2, 9, 0}));
  }
  EXPECT_EQ(q.MuteCount(), 0u);
  q.Unmute();  // an extra unmute does not wrap the counter
  EXPECT_EQ(q.MuteCount(), 0u);
  EXPECT_TRUE(q.Push({EventControl, 3, 9, 0}));
  EXPECT_EQ(q.Size(), 1u);
}

TEST(EventQueue, IdenticalEventsInARowCollapse) {
  EventQueue q;
  EXPECT_TRUE(q.Push({EventControl, 1, 9, 768}));
  EXPECT_FALSE(q.Push({EventControl, 1, 9, 768}));
  EXPECT_EQ(q.Size(), 1u);
  // Any field that differs keeps the event.
  EXPECT_TRUE(q.Push({EventMenu, 1, 9, 768}));
  EXPECT_TRUE(q.Push({EventMenu, 2, 9, 768}));
  EXPECT_TRUE(q.Push({EventMenu, 2, 8, 768}));
  EXPECT_TRUE(q.Push({EventMenu, 2, 8, 0}));
  EXPECT_EQ(q.Size(), 5u);
}

TEST(EventQueue, OnlyTheLastEntryIsCompared) {
  EventQueue q;
  q.Push({EventControl, 1, 9, 1024});
  q.Push({EventControl, 1, 9, 768});
  EXPECT_TRUE(q.Push({EventControl, 1, 9, 1024}));
  EXPECT_EQ(q.Size(), 3u);
  // Once the queue was emptied there is nothing to compare with.
  Drain(q);
  EXPECT_TRUE(q.Push({EventControl, 1, 9, 1024}));
}

TEST(EventQueue, CodesFrom65536OnAreNeverCollapsed) {
  EventQueue q;
  EXPECT_TRUE(q.Push({65536, 1, 9, 0}));
  EXPECT_TRUE(q.Push({65536, 1, 9, 0}));
  EXPECT_TRUE(q.Push({65535, 1, 9, 0}));
  EXPECT_FALSE(q.Push({65535, 1, 9, 0}));
  EXPECT_EQ(q.Size(), 3u);
}

TEST(EventQueue, DropWindowRemovesOnlyThatWindowsEvents) {
  EventQueue q;
  q.Push({EventControl, 1, 9, 0});
  q.Push({EventControl, 2, 8, 0});
  q.Push({EventCloseWindow, 9, 9, 0});
  q.Push({EventControl, 3, 8, 0});
  q.DropWindow(9);
  auto got = Drain(q);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].source, 2);
  EXPECT_EQ(got[1].source, 3);
}

}  // namespace
