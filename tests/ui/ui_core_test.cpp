// The portable window layer over the stand-in backend.
#include <gtest/gtest.h>

#include <set>

#include "fake_backend.h"
#include "ui/ui.h"
#include "ui/ui_core.h"

namespace {

class UiCore : public ::testing::Test {
 protected:
  void SetUp() override { FakePlatform::Get().Reset(); }
  void TearDown() override {
    ReleaseWindows();
    QueuedEvent e;
    while (Ui().queue.Pop(&e)) {
    }
    FakePlatform::Get().Reset();
  }

  // The application's window and controls.
  void BuildAppWindow() {
    window = NewWindow(-1, 0, 0, 480, 140, "Update firmware 1.0", WindowFixedCentred);
    list = NewDropDownList(-1, 10, 10, 70, 20);
    field = NewTextField(-1, 90, 10, 280, 20, "trx.fw");
    open = NewPushButton(-1, 380, 10, 90, 20, "Open");
    bar = NewProgressBar(-1, 10, 50, 460, 30, 0, 100);
    update = NewPushButton(-1, 170, 90, 140, 40, "UPDATE!");
  }

  UiHandle window = 0, list = 0, field = 0, open = 0, bar = 0, update = 0;
};

TEST_F(UiCore, HandlesAreNonZeroAndUnique) {
  BuildAppWindow();
  UiHandle second = NewWindow(-1, 0, 0, 10, 10, "other", 0);
  UiHandle other_button = NewPushButton(-1, 0, 0, 5, 5, "x");
  std::set<UiHandle> all = {window, list, field, open, bar, update, second, other_button};
  EXPECT_EQ(all.size(), 8u);
  EXPECT_EQ(all.count(0), 0u);
  // Controls know the window they were placed in.
  EXPECT_EQ(FakeControlOf(list)->window, window);
  EXPECT_EQ(FakeControlOf(other_button)->window, second);
}

TEST_F(UiCore, ControlsNeedAControlParent) {
  EXPECT_EQ(NewPushButton(-1, 0, 0, 5, 5, "x"), 0);
  // A window made with WindowNoControlParent does not become one.
  UiHandle w = NewWindow(-1, 0, 0, 10, 10, "t", WindowNoControlParent);
  EXPECT_NE(w, 0);
  EXPECT_EQ(NewTextField(-1, 0, 0, 5, 5, "x"), 0);
  // Once the parent window is gone, neither is there a parent.
  UiHandle parent = NewWindow(-1, 0, 0, 10, 10, "p", 0);
  EXPECT_NE(NewProgressBar(-1, 0, 0, 5, 5, 0, 10), 0);
  ReleaseWindows();
  EXPECT_EQ(NewDropDownList(-1, 0, 0, 5, 5), 0);
  (void)parent;
}

TEST_F(UiCore, PlatformRefusalGivesZeroAndLeavesNoRecord) {
  FakePlatform::Get().fail_windows = true;
  EXPECT_EQ(NewWindow(-1, 0, 0, 10, 10, "t", 0), 0);
  EXPECT_EQ(Ui().windows.DetachedCount(), 0u);
  FakePlatform::Get().fail_windows = false;
  UiHandle w = NewWindow(-1, 0, 0, 10, 10, "t", 0);
  ASSERT_NE(w, 0);
  size_t before = Ui().controls.DetachedCount();
  FakePlatform::Get().fail_controls = true;
  EXPECT_EQ(NewPushButton(-1, 0, 0, 5, 5, "x"), 0);
  EXPECT_EQ(Ui().controls.DetachedCount(), before);
}

TEST_F(UiCore, OperationsOnUnknownHandlesDoNothing) {
  BuildAppWindow();
  for (UiHandle h : {0, -1, 12345, window}) {
    EXPECT_EQ(InsertListItem(h, -1, "COM1"), 0) << h;
    EXPECT_EQ(GetControlText(h), "") << h;
    SetControlText(h, "x");
    SetControlValue(h, 5);
    DisableControl(h, 1);
  }
  EXPECT_TRUE(Ui().queue.Empty());
  EXPECT_EQ(FakeControlOf(field)->text, "trx.fw");
}

TEST_F(UiCore, InsertListItemAnswersForListsOnly) {
  BuildAppWindow();
  EXPECT_EQ(InsertListItem(list, -1, "COM1"), 1);
  EXPECT_EQ(InsertListItem(list, 0, "COM2"), 1);
  EXPECT_EQ(InsertListItem(list, -7, "COM3"), 1);  // nothing inserted, still 1
  EXPECT_EQ(InsertListItem(list, -1, nullptr), 1);  // absent text is empty
  EXPECT_EQ(FakeControlOf(list)->items, (std::vector<std::string>{"COM2", "COM1", ""}));
  EXPECT_EQ(InsertListItem(field, -1, "x"), 0);
  EXPECT_EQ(InsertListItem(update, -1, "x"), 0);
  EXPECT_EQ(InsertListItem(bar, -1, "x"), 0);
}

TEST_F(UiCore, ChangesMadeByTheLayerQueueNothingButEnablingDoes) {
  BuildAppWindow();
  InsertListItem(list, -1, "COM1");
  SetControlText(field, "other.fw");
  SetControlText(field, nullptr);
  SetControlValue(bar, 50);
  EXPECT_TRUE(Ui().queue.Empty());
  EXPECT_EQ(Ui().queue.MuteCount(), 0u);
  EXPECT_EQ(FakeControlOf(field)->text, "");
  EXPECT_EQ(FakeControlOf(bar)->value, 50);
  // Enabling and disabling is no change of content: its notification stays.
  DisableControl(field, 1);
  EXPECT_FALSE(FakeControlOf(field)->enabled);
  EXPECT_EQ(PollEvent(0), EventControl);
  EXPECT_EQ(EventSource(), field);
  EXPECT_EQ(EventDetail(), DetailLostFocus);
  DisableControl(field, 0);
  EXPECT_TRUE(FakeControlOf(field)->enabled);
}

TEST_F(UiCore, PollReturnsQueuedEventsOneAtATimeBeforeAskingThePlatform) {
  BuildAppWindow();
  FakePlatform& p = FakePlatform::Get();
  // One platform message whose handling queues three events.
  p.pumps.push_back({0x0202, [&] {
                       QueueEvent(EventControl, field, window, DetailLostFocus);
                       QueueEvent(EventControl, field, window, DetailLostFocusNotify);
                       QueueEvent(EventControl, update, window, DetailClick);
                     }});
  EXPECT_EQ(PollEvent(0), 0x0202);
  EXPECT_EQ(PollEvent(0), EventControl);
  EXPECT_EQ(EventDetail(), DetailLostFocus);
  EXPECT_EQ(PollEvent(0), EventControl);
  EXPECT_EQ(EventDetail(), DetailLostFocusNotify);
  EXPECT_EQ(PollEvent(0), EventControl);
  EXPECT_EQ(EventSource(), update);
  EXPECT_EQ(EventDetail(), DetailClick);
  // The three queued events did not reach the platform.
  EXPECT_EQ(p.pump_timeouts.size(), 1u);
}

TEST_F(UiCore, AnEmptyPollGivesZeroAndDetailMinusOneButKeepsTheSource) {
  BuildAppWindow();
  QueueEvent(EventCloseWindow, window, window, 0);
  EXPECT_EQ(PollEvent(0), EventCloseWindow);
  EXPECT_EQ(EventSource(), window);
  EXPECT_EQ(EventCommand(), window);
  EXPECT_EQ(EventDetail(), 0);
  EXPECT_EQ(PollEvent(0), 0);
  EXPECT_EQ(EventDetail(), -1);
  EXPECT_EQ(EventSource(), window);
}

TEST_F(UiCore, TheTimeoutReachesThePlatformUnchanged) {
  PollEvent(0);
  PollEvent(-1);
  PollEvent(250);
  EXPECT_EQ(FakePlatform::Get().pump_timeouts, (std::vector<int32_t>{0, -1, 250}));
}

TEST_F(UiCore, FocusTargetFollowsCreationOrderAndSkipsTheBar) {
  BuildAppWindow();
  FakePlatform& p = FakePlatform::Get();
  EXPECT_EQ(FocusTarget(window, 0, false), list);
  EXPECT_EQ(FocusTarget(window, 0, true), update);
  EXPECT_EQ(FocusTarget(window, open, false), update);
  EXPECT_EQ(FocusTarget(window, update, false), list);
  EXPECT_EQ(FocusTarget(window, update, true), open);
  // A disabled control is skipped.
  FakeControlOf(open)->enabled = false;
  EXPECT_EQ(FocusTarget(window, field, false), update);
  EXPECT_EQ(FocusTarget(window, update, true), field);
  // With everything disabled there is nowhere to go.
  for (UiHandle h : {list, field, update}) FakeControlOf(h)->enabled = false;
  EXPECT_EQ(FocusTarget(window, 0, false), 0);
  EXPECT_EQ(FocusTarget(window, field, true), 0);
  // A control of another window counts as no current control.
  UiHandle other = NewWindow(-1, 0, 0, 10, 10, "o", 0);
  UiHandle b = NewPushButton(-1, 0, 0, 5, 5, "b");
  EXPECT_EQ(FocusTarget(other, list, false), b);
  (void)p;
}

TEST_F(UiCore, ReleasingWindowsDropsTheirEventsAndHandles) {
  BuildAppWindow();
  UiHandle keep_events_of = 0x7FFF0000;  // a window the layer does not know
  QueueEvent(EventControl, update, window, DetailClick);
  QueueEvent(EventControl, 1, keep_events_of, 0);
  QueueEvent(EventCloseWindow, window, window, 0);
  ReleaseWindows();
  EXPECT_EQ(FakePlatform::Get().destroyed_windows, std::vector<UiHandle>{window});
  EXPECT_EQ(Ui().windows.DetachedCount(), 0u);
  EXPECT_EQ(Ui().controls.DetachedCount(), 0u);
  EXPECT_EQ(GetControlText(field), "");
  EXPECT_EQ(InsertListItem(list, -1, "x"), 0);
  EXPECT_EQ(PollEvent(0), EventControl);
  EXPECT_EQ(Ui().current.window, keep_events_of);
  EXPECT_EQ(PollEvent(0), 0);
  // New handles after the release are fresh ones.
  UiHandle again = NewWindow(-1, 0, 0, 10, 10, "t", 0);
  EXPECT_NE(again, window);
}

}  // namespace
