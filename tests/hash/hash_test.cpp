// SHA-256 from the platform's library against the FIPS 180-2 examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hash/hash.h"

TEST(Sha256, PublishedExamplesWholeAndInPiecesAndNothingAfterTheEnd) {
  const std::string million(1000000, 'a');
  const char kMillion[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc", 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(million.data(), million.size()), kMillion);
  Sha256 hash;  // pieces of 0 to 65 bytes first, so one starts at every offset of a block
  for (size_t at = 0, i = 0, n = 0; at < million.size(); at += n, ++i) {
    n = std::min(million.size() - at, i < 300 ? i % 66 : 100003);
    ASSERT_NE(hash.Update(&million[at], n), 0) << "at " << at;
  }
  EXPECT_EQ(hash.FinishHex(), kMillion);
  EXPECT_EQ(hash.Update("abc", 3), 0) << "a finished digest takes no more";
  EXPECT_EQ(hash.FinishHex(), "");
  Sha256 broken;  // a piece that could not be read loses the whole digest
  EXPECT_EQ(broken.Update(nullptr, 5), 0);
  EXPECT_EQ(broken.Update("c", 1), 0);
  EXPECT_EQ(broken.FinishHex(), "");
}
