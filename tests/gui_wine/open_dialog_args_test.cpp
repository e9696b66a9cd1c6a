// How the chooser's filter list, initial folder and initial name are made
// from the caller's texts.
#include "ui/open_dialog_args.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FilterBytes(const OpenDialogArgs& a) { return std::string(a.filter.begin(), a.filter.end()); }

TEST(OpenDialogArgs, FilterBarsBecomeZerosAndTheListEndsInZeros) {
  OpenDialogArgs a = MakeOpenDialogArgs(nullptr, "Firmware (*.fw)|*.fw;");
  EXPECT_EQ(FilterBytes(a), std::string("Firmware (*.fw)\0*.fw;\0\0\0", 24));

  a = MakeOpenDialogArgs(nullptr, "A|*.a|B|*.b|");
  EXPECT_EQ(FilterBytes(a), std::string("A\0*.a\0B\0*.b\0\0\0\0", 15));

  // Absent and empty patterns both give an empty list that is still ended.
  EXPECT_EQ(FilterBytes(MakeOpenDialogArgs(nullptr, nullptr)), std::string(3, '\0'));
  EXPECT_EQ(FilterBytes(MakeOpenDialogArgs(nullptr, "")), std::string(3, '\0'));
}

TEST(OpenDialogArgs, DefaultPathIsSplitAtItsLastBackslash) {
  OpenDialogArgs a = MakeOpenDialogArgs("C:\\fw\\trx.fw", "");
  EXPECT_TRUE(a.has_folder);
  EXPECT_EQ(a.folder, "C:\\fw");
  EXPECT_EQ(a.file_name, "trx.fw");

  a = MakeOpenDialogArgs("C:\\fw\\", "");
  EXPECT_EQ(a.folder, "C:\\fw");
  EXPECT_EQ(a.file_name, "");

  // A relative name has an empty folder, which is still a folder given.
  a = MakeOpenDialogArgs("trx.fw", "");
  EXPECT_TRUE(a.has_folder);
  EXPECT_EQ(a.folder, "");
  EXPECT_EQ(a.file_name, "trx.fw");

  a = MakeOpenDialogArgs(nullptr, "");
  EXPECT_FALSE(a.has_folder);
  EXPECT_EQ(a.file_name, "");
}

TEST(OpenDialogArgs, LeadingBackslashAloneDoesNotSplitAndTheNameIsDropped) {
  OpenDialogArgs a = MakeOpenDialogArgs("\\trx.fw", "");
  EXPECT_EQ(a.folder, "");
  EXPECT_EQ(a.file_name, "");
  // A later backslash does split, the first one staying in the folder.
  a = MakeOpenDialogArgs("\\fw\\trx.fw", "");
  EXPECT_EQ(a.folder, "\\fw");
  EXPECT_EQ(a.file_name, "trx.fw");
}

TEST(OpenDialogArgs, NamesWithForbiddenCharactersAreCleared) {
  for (const char* bad : {"a\"b", "a/b", "c:x", "a*", "a?", "a<b", "a>b", "a|b", "tab\there",
                          "bell\x07"}) {
    EXPECT_EQ(MakeOpenDialogArgs(bad, "").file_name, "") << bad;
  }
  // Bytes from 128 up are letters of the ANSI code page, not control bytes.
  EXPECT_EQ(MakeOpenDialogArgs("d\xE9j\xE0.fw", "").file_name, "d\xE9j\xE0.fw");
  EXPECT_EQ(MakeOpenDialogArgs("C:\\x\\\xFF", "").file_name, "\xFF");
  // The folder part is not checked, only the name.
  EXPECT_EQ(MakeOpenDialogArgs("C:\\a*b\\ok.fw", "").file_name, "ok.fw");
}

TEST(OpenDialogArgs, LongNamesAreCutToWhatTheBufferHolds) {
  const std::string long_name(400, 'n');
  EXPECT_EQ(MakeOpenDialogArgs(long_name.c_str(), "").file_name.size(), 259u);
  EXPECT_EQ(MakeOpenDialogArgs(("C:\\d\\" + long_name).c_str(), "").file_name.size(), 259u);
  // The cut happens before the check, so a forbidden byte past it is harmless.
  const std::string tail_bad = std::string(259, 'n') + "*";
  EXPECT_EQ(MakeOpenDialogArgs(tail_bad.c_str(), "").file_name, std::string(259, 'n'));
}

}  // namespace
