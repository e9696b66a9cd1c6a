// POSIX answers of the file layer: "/" separators, no drives, no share modes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "fileio/fileio.h"
#include "tests/fileio/temp_dir.h"

namespace {

class PosixFiles : public ::testing::Test {
 protected:
  void TearDown() override { CloseAllFiles(); }
  TempDir dir_;
};

}  // namespace

TEST_F(PosixFiles, AFileThatGrowsAfterItsEndIsReadOn) {
  const std::string path = dir_.Write("fw.bin", {1, 2});
  ASSERT_NE(OpenFileForReading(0, path.c_str()), 0);
  EXPECT_EQ(FileReadByte(0), 1);
  EXPECT_EQ(FileReadByte(0), 2);
  EXPECT_EQ(FileReadByte(0), 0);
  {
    std::ofstream more(path, std::ios::binary | std::ios::app);
    more.put(static_cast<char>(0xFE));
    more.put(0x33);
  }
  EXPECT_EQ(FileReadByte(0), -2);
  EXPECT_EQ(FileReadByte(0), 0x33);
  EXPECT_EQ(FileReadByte(0), 0);
}

TEST_F(PosixFiles, TrailingSlashesAreIgnoredButBackslashesAreNames) {
  const std::string file = dir_.Write("fw.bin", {1, 2, 3, 4, 5});
  EXPECT_EQ(FileSizeAtPath((file + "/").c_str()), 5);
  EXPECT_EQ(FileSizeAtPath((file + "///").c_str()), 5);
  EXPECT_EQ(FileSizeAtPath((dir_.Root() + "/").c_str()), -2);
  EXPECT_EQ(FileSizeAtPath((file + "\\").c_str()), -1);
  EXPECT_EQ(FileSizeAtPath("/"), -2);
  EXPECT_EQ(FileSizeAtPath("//"), -2);
}

TEST_F(PosixFiles, DriveLettersAreOrdinaryRelativeNames) {
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.Root().c_str()), 0);
  EXPECT_EQ(FileSizeAtPath("C:"), -1);
  EXPECT_EQ(FileSizeAtPath("C:\\"), -1);
  dir_.Write("C:", {1, 2});
  EXPECT_EQ(FileSizeAtPath("C:"), 2);
  ASSERT_EQ(chdir(old_cwd), 0);
}

TEST_F(PosixFiles, SizesBeyond4GiBKeepAll64Bits) {
  const std::string path = dir_.Write("big.bin", {});
  const int64_t size = (int64_t{1} << 32) + 2;
  if (truncate(path.c_str(), size) != 0) GTEST_SKIP() << "the file system refuses a sparse 4 GiB file";
  EXPECT_EQ(FileSizeAtPath(path.c_str()), size);
}
