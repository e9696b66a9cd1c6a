#include "ui/focus.h"

#include <gtest/gtest.h>

namespace {

// The application's order: list, field, button, bar (never), button.
const std::vector<bool> kApp = {true, true, true, false, true};

TEST(NextFocusIndex, ForwardStepsAndWrapsSkippingIneligible) {
  EXPECT_EQ(NextFocusIndex(kApp, -1, false), 0);
  EXPECT_EQ(NextFocusIndex(kApp, 0, false), 1);
  EXPECT_EQ(NextFocusIndex(kApp, 1, false), 2);
  EXPECT_EQ(NextFocusIndex(kApp, 2, false), 4);
  EXPECT_EQ(NextFocusIndex(kApp, 4, false), 0);
}

TEST(NextFocusIndex, BackwardStepsAndWrapsSkippingIneligible) {
  EXPECT_EQ(NextFocusIndex(kApp, -1, true), 4);
  EXPECT_EQ(NextFocusIndex(kApp, 4, true), 2);
  EXPECT_EQ(NextFocusIndex(kApp, 2, true), 1);
  EXPECT_EQ(NextFocusIndex(kApp, 0, true), 4);
}

TEST(NextFocusIndex, NothingEligibleGivesNone) {
  const std::vector<bool> none = {false, false, false};
  EXPECT_EQ(NextFocusIndex(none, -1, false), -1);
  EXPECT_EQ(NextFocusIndex(none, 1, false), -1);
  EXPECT_EQ(NextFocusIndex(none, 1, true), -1);
  EXPECT_EQ(NextFocusIndex({}, -1, false), -1);
  EXPECT_EQ(NextFocusIndex({}, -1, true), -1);
}

TEST(NextFocusIndex, TheOnlyEligibleControlKeepsTheFocus) {
  const std::vector<bool> one = {false, true, false};
  EXPECT_EQ(NextFocusIndex(one, 1, false), 1);
  EXPECT_EQ(NextFocusIndex(one, 1, true), 1);
}

TEST(NextFocusIndex, FromAnIneligibleControl) {
  // Disabled while focused: Tab goes on to the next eligible one, Shift+Tab
  // goes to the last eligible one, as if nothing had the focus.
  const std::vector<bool> v = {true, false, true, true};
  EXPECT_EQ(NextFocusIndex(v, 1, false), 2);
  EXPECT_EQ(NextFocusIndex(v, 1, true), 3);
}

TEST(NextFocusIndex, AnOutOfRangeCurrentCountsAsNone) {
  EXPECT_EQ(NextFocusIndex(kApp, 7, false), 0);
  EXPECT_EQ(NextFocusIndex(kApp, -3, true), 4);
}

}  // namespace
