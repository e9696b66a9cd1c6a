#include "common/slot_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct Rec {
  intptr_t handle = 0;
  int payload = 0;
};

// A table whose close action records what it closed, as the layers' do.
struct Fixture {
  std::vector<int32_t> closed;
  SlotTable<Rec> table{4, [this](int32_t id) {
                         closed.push_back(id);
                         table.Release(id);
                       },
                       1000};

  Rec* Open(int32_t slot, intptr_t handle, int32_t* id = nullptr) {
    Rec* rec = table.Claim(slot, id);
    if (rec) rec->handle = handle;
    return rec;
  }
};

TEST(SlotTable, StartsWithOneStepAndGrowsToSlotPlusStep) {
  Fixture f;
  EXPECT_EQ(f.table.Size(), 4u);
  f.Open(3, 1);
  EXPECT_EQ(f.table.Size(), 4u);  // inside: no growth
  f.Open(4, 1);                   // at the end
  EXPECT_EQ(f.table.Size(), 8u);
  f.Open(20, 1);                  // far beyond
  EXPECT_EQ(f.table.Size(), 24u);
  // The new entries in between are empty.
  for (int32_t slot : {5, 6, 7, 8, 19, 21, 23}) EXPECT_EQ(f.table.Find(slot), nullptr) << slot;
}

TEST(SlotTable, ClaimingAnOpenSlotClosesItFirstAndGivesAZeroedRecord) {
  Fixture f;
  Rec* rec = f.Open(2, 7);
  rec->payload = 99;
  EXPECT_TRUE(f.closed.empty());
  Rec* again = f.table.Claim(2);
  EXPECT_EQ(f.closed, std::vector<int32_t>{2});
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->handle, 0);
  EXPECT_EQ(again->payload, 0);
  // A claim of an entry that was never opened closes nothing.
  f.table.Claim(1);
  EXPECT_EQ(f.closed, std::vector<int32_t>{2});
}

TEST(SlotTable, ReleaseZeroesANumberedRecordInPlace) {
  Fixture f;
  f.Open(1, 5)->payload = 3;
  f.table.Release(1);
  EXPECT_EQ(f.table.Find(1), nullptr);
  EXPECT_EQ(f.table.Size(), 4u);
  // Releasing again, or a slot never used, is harmless.
  f.table.Release(1);
  f.table.Release(3);
  f.table.Release(500);
  EXPECT_EQ(f.Open(1, 6)->payload, 0);
}

TEST(SlotTable, MissingOrZeroedRecordsAreNotFound) {
  Fixture f;
  EXPECT_EQ(f.table.Find(0), nullptr);   // never claimed
  EXPECT_EQ(f.table.Find(-1), nullptr);
  EXPECT_EQ(f.table.Find(-5), nullptr);
  EXPECT_EQ(f.table.Find(100), nullptr);   // beyond the end
  EXPECT_EQ(f.table.Find(1000), nullptr);  // detached id never handed out
  f.table.Claim(0);                        // claimed but handle still 0
  EXPECT_EQ(f.table.Find(0), nullptr);
}

TEST(SlotTable, RefusesSlotsBelowMinusOneAndInTheDetachedRange) {
  Fixture f;
  int32_t id = 123;
  EXPECT_EQ(f.table.Claim(-2, &id), nullptr);
  EXPECT_EQ(f.table.Claim(1000, &id), nullptr);
  EXPECT_EQ(f.table.Size(), 4u);
}

TEST(SlotTable, DetachedRecordsGetFreshIdentifiersAndAreFreedOnClose) {
  Fixture f;
  int32_t a = 0, b = 0;
  f.Open(-1, 1, &a);
  f.Open(-1, 2, &b);
  EXPECT_GE(a, 1000);
  EXPECT_GE(b, 1000);
  EXPECT_NE(a, b);
  EXPECT_EQ(f.table.DetachedCount(), 2u);
  EXPECT_EQ(f.table.Find(a)->handle, 1);
  EXPECT_EQ(f.table.Size(), 4u);  // the numbered range is untouched
  f.table.Release(a);
  EXPECT_EQ(f.table.Find(a), nullptr);
  EXPECT_EQ(f.table.DetachedCount(), 1u);
  // Identifiers are not reused.
  int32_t c = 0;
  f.Open(-1, 3, &c);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
}

TEST(SlotTable, CloseAllClosesEveryOpenRecordOnly) {
  Fixture f;
  int32_t detached = 0;
  f.Open(0, 1);
  f.table.Claim(1);  // never opened
  f.Open(9, 1);
  f.Open(-1, 1, &detached);
  f.table.CloseAll();
  EXPECT_EQ(f.closed, (std::vector<int32_t>{0, 9, detached}));
  EXPECT_EQ(f.table.DetachedCount(), 0u);
  EXPECT_EQ(f.table.Find(0), nullptr);
  EXPECT_EQ(f.table.Find(9), nullptr);
  f.closed.clear();
  f.table.CloseAll();
  EXPECT_TRUE(f.closed.empty());
}

TEST(SlotTable, ForEachOpenVisitsNumberedThenDetachedInOrder) {
  Fixture f;
  int32_t d1 = 0, d2 = 0;
  f.Open(-1, 1, &d1);
  f.Open(3, 1);
  f.Open(-1, 1, &d2);
  f.Open(0, 1);
  f.table.Claim(2);
  std::vector<int32_t> seen;
  f.table.ForEachOpen([&](int32_t id, const Rec&) { seen.push_back(id); });
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 3, d1, d2}));
}

}  // namespace
