// The slot logic and read-ahead of the file layer, against a fake platform
// that logs every call, so the platform reads themselves can be checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "fileio/fileio_backend.h"

namespace {

struct FakeFile {
  std::vector<uint8_t> bytes;
  size_t position = 0;
};

std::map<std::string, std::vector<uint8_t>> g_disk;
std::map<intptr_t, std::pair<std::string, size_t>> g_open;  // handle -> path, position
intptr_t g_next_handle = 100;
std::vector<std::string> g_calls;
bool g_size_unknown = false;  // the platform cannot tell an open file's size

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

class FileCore : public ::testing::Test {
 protected:
  void SetUp() override {
    g_disk.clear();
    g_open.clear();
    g_calls.clear();
    g_size_unknown = false;
  }
  void TearDown() override {
    CloseAllFiles();
    EXPECT_TRUE(g_open.empty()) << "a platform handle was left open";
    SetReadBufferAllocator(nullptr);
  }
};

}  // namespace

namespace fileio_backend {

intptr_t OpenReadOnly(const char* path) {
  g_calls.push_back(std::string("open ") + path);
  if (!g_disk.count(path)) return 0;
  const intptr_t h = g_next_handle++;
  g_open[h] = {path, 0};
  return h;
}

int32_t Read(intptr_t handle, void* buffer, int32_t count) {
  auto& [path, pos] = g_open.at(handle);
  const auto& bytes = g_disk.at(path);
  size_t n = 0;
  while (n < static_cast<size_t>(count) && pos < bytes.size()) {
    static_cast<uint8_t*>(buffer)[n++] = bytes[pos++];
  }
  g_calls.push_back("read " + std::to_string(count) + " got " + std::to_string(n));
  return static_cast<int32_t>(n);
}

int64_t SizeOfHandle(intptr_t handle) {
  if (g_size_unknown) return -1;
  return static_cast<int64_t>(g_disk.at(g_open.at(handle).first).size());
}

bool SeekToStart(intptr_t handle) {
  g_calls.push_back("seek " + g_open.at(handle).first);
  g_open.at(handle).second = 0;
  return true;
}

void Close(intptr_t handle) {
  g_calls.push_back("close " + g_open.at(handle).first);
  g_open.erase(handle);
}

int64_t SizeAtPath(const char* path) {
  g_calls.push_back(std::string("size ") + path);
  return 42;
}

}  // namespace fileio_backend

TEST_F(FileCore, ReadsAheadInBlocksOf4096AndRereadsAtEveryCallPastTheEnd) {
  g_disk["fw"] = Pattern(4097);
  ASSERT_NE(OpenFileForReading(0, "fw"), 0);
  for (size_t i = 0; i < 4096; ++i) {
    ASSERT_EQ(FileReadByte(0) & 0xFF, g_disk["fw"][i]) << "byte " << i;
  }
  EXPECT_EQ(g_calls, (std::vector<std::string>{"open fw", "read 4096 got 4096"}));
  EXPECT_EQ(FileReadByte(0) & 0xFF, g_disk["fw"][4096]);
  EXPECT_EQ(g_calls.back(), "read 4096 got 1");
  g_calls.clear();
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"read 4096 got 0", "read 4096 got 0"}));

  // The file grows after its end was reached: the new bytes are read on.
  g_disk["fw"].push_back(0x5A);
  g_disk["fw"].push_back(0x5B);
  EXPECT_EQ(FileReadByte(0), 0x5A);
  EXPECT_EQ(FileReadByte(0), 0x5B);
  EXPECT_EQ(FileReadByte(0), 0);
}

TEST_F(FileCore, BytesComeBackSignExtended) {
  g_disk["fw"] = {0xFF, 0x80, 0x7F, 0x00, 0x01};
  ASSERT_NE(OpenFileForReading(0, "fw"), 0);
  EXPECT_EQ(FileReadByte(0), -1);
  EXPECT_EQ(FileReadByte(0), -128);
  EXPECT_EQ(FileReadByte(0), 127);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileReadByte(0), 1);
}

TEST_F(FileCore, WithoutABufferEveryByteIsOnePlatformRead) {
  SetReadBufferAllocator([](size_t) -> void* { return nullptr; });
  g_disk["fw"] = {0x11, 0xFF, 0x22};
  ASSERT_NE(OpenFileForReading(0, "fw"), 0);
  EXPECT_EQ(FileReadByte(0), 0x11);
  EXPECT_EQ(FileReadByte(0), -1);
  EXPECT_EQ(FileReadByte(0), 0x22);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"open fw", "read 1 got 1", "read 1 got 1",
                                               "read 1 got 1", "read 1 got 0"}));
  CloseFileSlot(0);
  EXPECT_EQ(g_calls.back(), "close fw");
}

TEST_F(FileCore, ReopeningASlotClosesTheOldFileBeforeTheNewOpen) {
  g_disk["old"] = {1, 2, 3};
  g_disk["new"] = {9, 8};
  ASSERT_NE(OpenFileForReading(0, "old"), 0);
  EXPECT_EQ(FileReadByte(0), 1);
  g_calls.clear();

  ASSERT_NE(OpenFileForReading(0, "new"), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"close old", "open new"}));
  EXPECT_EQ(FileReadByte(0), 9) << "the new file is read from its start, not from the old buffer";

  // A failed open still ends the old file, and leaves the slot closed.
  g_calls.clear();
  EXPECT_EQ(OpenFileForReading(0, "missing"), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"close new", "open missing"}));
  g_calls.clear();
  EXPECT_EQ(FileReadByte(0), 0);
  CloseFileSlot(0);
  CloseFileSlot(0);
  EXPECT_TRUE(g_calls.empty()) << "a closed slot must not reach the platform";
}

TEST_F(FileCore, ClosedNeverOpenedAndInvalidSlotsAreHarmless) {
  g_disk["fw"] = {1};
  EXPECT_EQ(FileReadByte(3), 0);
  EXPECT_EQ(FileReadByte(-1), 0);
  EXPECT_EQ(FileReadByte(5000), 0);
  CloseFileSlot(7);
  CloseFileSlot(-1);
  EXPECT_EQ(OpenFileForReading(0, nullptr), 0);
  EXPECT_EQ(OpenFileForReading(-1, "fw"), 0);
  EXPECT_TRUE(g_open.empty());
  EXPECT_EQ(FileReadByte(0), 0);
}

TEST_F(FileCore, CloseAllClosesEverySlotIncludingGrownOnes) {
  g_disk["a"] = {1};
  g_disk["b"] = {2};
  ASSERT_NE(OpenFileForReading(0, "a"), 0);
  ASSERT_NE(OpenFileForReading(40, "b"), 0);
  EXPECT_EQ(FileReadByte(40), 2);
  CloseAllFiles();
  EXPECT_TRUE(g_open.empty());
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileReadByte(40), 0);
}

TEST_F(FileCore, AbsentOrEmptyPathHasNoSizeWithoutAskingThePlatform) {
  EXPECT_EQ(FileSizeAtPath(nullptr), -1);
  EXPECT_EQ(FileSizeAtPath(""), -1);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(FileSizeAtPath("x"), 42);
}

TEST_F(FileCore, SlotSizeIsTheSizeAtOpenAndRunningOutIsRemembered) {
  // One-byte reads here; the tests on real files run the read-ahead.
  SetReadBufferAllocator([](size_t) -> void* { return nullptr; });
  g_disk["fw"] = {0, 2, 3};
  ASSERT_NE(OpenFileForReading(0, "fw"), 0);
  g_disk["fw"].resize(1);  // the file shrinks after it was opened
  EXPECT_EQ(FileSlotSize(0), 3);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_EQ(FileReadShort(0), 0) << "a 0 byte in the file is no shortfall";
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_NE(FileReadShort(0), 0);
  CloseFileSlot(0);
  EXPECT_EQ(FileSlotSize(0), -1);
  EXPECT_EQ(FileReadShort(0), 0);
  g_size_unknown = true;
  EXPECT_EQ(OpenFileForReading(0, "fw"), 0) << "a size that cannot be told cannot be announced";
}
