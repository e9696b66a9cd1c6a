// The file layer on real files through the platform's backend.
#include <gtest/gtest.h>

#include <random>

#include "fileio/fileio.h"
#include "tests/fileio/temp_dir.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

class Files : public ::testing::Test {
 protected:
  void TearDown() override { CloseAllFiles(); }
  TempDir dir_;
};

}  // namespace

TEST_F(Files, ReadsEveryByteOfA4097ByteFileThenZeros) {
  const auto bytes = RandomBytes(4097, 1);
  const std::string path = dir_.Write("fw.bin", bytes);
  ASSERT_NE(OpenFileForReading(0, path.c_str()), 0);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int32_t got = FileReadByte(0);
    ASSERT_EQ(got, static_cast<int32_t>(static_cast<int8_t>(bytes[i]))) << "byte " << i;
  }
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileSizeAtPath(path.c_str()), 4097);
}

TEST_F(Files, TwoSlotsMayReadTheSameFileAtOnce) {
  const std::string path = dir_.Write("fw.bin", {0xFF, 0x10, 0x20});
  ASSERT_NE(OpenFileForReading(0, path.c_str()), 0);
  ASSERT_NE(OpenFileForReading(1, path.c_str()), 0);
  EXPECT_EQ(FileReadByte(0), -1);
  EXPECT_EQ(FileReadByte(0), 0x10);
  EXPECT_EQ(FileReadByte(1), -1);
  CloseFileSlot(0);
  EXPECT_EQ(FileReadByte(1), 0x10);
  EXPECT_EQ(FileReadByte(0), 0);
}

TEST_F(Files, MissingFilesAndDirectoriesDoNotOpen) {
  const std::string kept = dir_.Write("kept.bin", {7});
  ASSERT_NE(OpenFileForReading(0, kept.c_str()), 0);
  EXPECT_EQ(OpenFileForReading(0, dir_.Path("missing.bin").c_str()), 0);
  EXPECT_EQ(FileReadByte(0), 0) << "the failed open must leave slot 0 closed";
  EXPECT_EQ(OpenFileForReading(0, dir_.Root().c_str()), 0);
  EXPECT_EQ(OpenFileForReading(0, ""), 0);
  CloseFileSlot(0);
}

TEST_F(Files, SizeAtPathOfFilesDirectoriesAndMissingPaths) {
  EXPECT_EQ(FileSizeAtPath(dir_.Write("empty.bin", {}).c_str()), 0);
  EXPECT_EQ(FileSizeAtPath(dir_.Write("three.bin", {1, 2, 3}).c_str()), 3);
  EXPECT_EQ(FileSizeAtPath(dir_.Path("missing.bin").c_str()), -1);
  EXPECT_EQ(FileSizeAtPath(dir_.Path("missing/deeper.bin").c_str()), -1);
  EXPECT_EQ(FileSizeAtPath(dir_.Root().c_str()), -2);
  EXPECT_EQ(FileSizeAtPath(""), -1);
  EXPECT_EQ(FileSizeAtPath(nullptr), -1);
}

TEST_F(Files, RewindStartsAFileOrGivenBytesOverAndClearsRunningOut) {
  const auto bytes = RandomBytes(4097, 2);
  ASSERT_NE(OpenFileForReading(0, dir_.Write("fw.bin", bytes).c_str()), 0);
  ASSERT_NE(OpenBytesForReading(1, bytes.data(), 3), 0);
  for (int32_t slot : {0, 1}) {
    const size_t size = static_cast<size_t>(FileSlotSize(slot));
    for (size_t i = 0; i <= size; ++i) FileReadByte(slot);  // past the end
    ASSERT_NE(FileReadShort(slot), 0);
    // The first pass stops early, so that the second starts with read-ahead left.
    for (size_t count : {size_t{2}, size}) {
      ASSERT_NE(RewindFileSlot(slot), 0) << slot;
      EXPECT_EQ(FileReadShort(slot), 0) << slot;
      for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(FileReadByte(slot), static_cast<int8_t>(bytes[i])) << slot << " byte " << i;
      }
    }
  }
  CloseFileSlot(0);
  EXPECT_EQ(RewindFileSlot(0), 0);
  EXPECT_EQ(RewindFileSlot(-1), 0);
}
