// Windows answers of the file layer: drives, backslashes, share modes.
#include <gtest/gtest.h>
#include <windows.h>

#include "fileio/fileio.h"
#include "tests/fileio/temp_dir.h"

namespace {

class WinFiles : public ::testing::Test {
 protected:
  void TearDown() override { CloseAllFiles(); }
  TempDir dir_;
};

}  // namespace

TEST_F(WinFiles, DrivesAreDirectoriesWhenTheyExist) {
  EXPECT_EQ(FileSizeAtPath("C:"), -2);
  EXPECT_EQ(FileSizeAtPath("C:\\"), -2);
  const DWORD drives = GetLogicalDrives();
  char absent = 0;
  for (char letter = 'Y'; letter > 'C'; --letter) {
    if (!(drives & (1u << (letter - 'A')))) {
      absent = letter;
      break;
    }
  }
  ASSERT_NE(absent, 0) << "every drive letter is in use";
  const char two[] = {absent, ':', '\0'};
  const char three[] = {absent, ':', '\\', '\0'};
  EXPECT_EQ(FileSizeAtPath(two), -1);
  EXPECT_EQ(FileSizeAtPath(three), -1);
}

TEST_F(WinFiles, TrailingBackslashesAreIgnored) {
  const std::string file = dir_.Write("fw.bin", {1, 2, 3, 4, 5});
  EXPECT_EQ(FileSizeAtPath((file + "\\").c_str()), 5);
  EXPECT_EQ(FileSizeAtPath((file + "\\\\\\").c_str()), 5);
  EXPECT_EQ(FileSizeAtPath((dir_.Root() + "\\").c_str()), -2);
  // Nothing but backslashes leaves nothing to look for.
  EXPECT_EQ(FileSizeAtPath("\\\\"), -1);
}

TEST_F(WinFiles, NobodyMayWriteTheFileWhileItIsOpen) {
  const std::string path = dir_.Write("fw.bin", {1, 2});
  ASSERT_NE(OpenFileForReading(0, path.c_str()), 0);
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // Closing the slot gives the file back.
  CloseFileSlot(0);
  writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

TEST_F(WinFiles, SizesBeyond4GiBKeepAll64Bits) {
  const std::string path = dir_.Write("big.bin", {});
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  // Sparse, so that the test does not write 4 GiB.
  const bool sparse = DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = (LONGLONG{1} << 32) + 2;
  const bool grown = sparse && SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  if (!grown) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(FileSizeAtPath(path.c_str()), size.QuadPart);
}

TEST_F(WinFiles, OnlyFilesOnDiskOpenEachWithItsSize) {
  EXPECT_EQ(OpenFileForReading(0, "NUL"), 0);
  ASSERT_NE(OpenFileForReading(0, dir_.Write("fw.bin", {1, 2, 3, 4, 5}).c_str()), 0);
  EXPECT_EQ(FileSlotSize(0), 5);
}
