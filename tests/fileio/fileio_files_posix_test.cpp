// POSIX answers of the file layer: "/" separators, no drives, no share modes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>

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

TEST_F(PosixFiles, OnlyRegularFilesOpenAndNoneWaitsForAWriter) {
  const std::string fifo = dir_.Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto opened = std::async(std::launch::async, [&] { return OpenFileForReading(1, fifo.c_str()); });
  if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "the open waited for a writer";
    close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets it go
  }
  EXPECT_EQ(opened.get(), 0);
  // Devices without end, and a pseudo-file that claims size 0 but has text.
  for (const char* path : {"/dev/zero", "/dev/urandom", "/proc/self/status"}) {
    EXPECT_EQ(OpenFileForReading(0, path), 0) << path;
  }
  EXPECT_NE(OpenFileForReading(0, dir_.Write("empty.bin", {}).c_str()), 0);
}

TEST_F(PosixFiles, TheSlotKeepsTheSizeOfWhatItOpenedAndNoticesItShrink) {
  const std::string path = dir_.Write("fw.bin", {5, 6, 7, 8});
  ASSERT_NE(OpenFileForReading(0, path.c_str()), 0);
  ASSERT_EQ(truncate(path.c_str(), 1), 0);
  // Then another file is put in its place, and the path goes away.
  ASSERT_EQ(rename(dir_.Write("other.bin", {9, 9, 9, 9, 9, 9}).c_str(), path.c_str()), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(FileSlotSize(0), 4);
  EXPECT_EQ(FileReadByte(0), 5);
  EXPECT_EQ(FileReadShort(0), 0);
  EXPECT_EQ(FileReadByte(0), 0);
  EXPECT_NE(FileReadShort(0), 0);
}
