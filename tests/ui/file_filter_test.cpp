#include "ui/file_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// `pattern` parses into these (name, glob) pairs, shown to the chooser as `text`.
void ExpectFilters(const char* pattern,
                   const std::vector<std::pair<std::string, std::string>>& pairs,
                   const std::string& text) {
  const auto filters = ParseFileFilters(pattern);
  ASSERT_EQ(filters.size(), pairs.size()) << pattern;
  for (size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(filters[i].name, pairs[i].first) << pattern;
    EXPECT_EQ(filters[i].glob, pairs[i].second) << pattern;
  }
  EXPECT_EQ(ChooserFilterText(filters), text) << pattern;
}

TEST(FileFilter, TheApplicationsPattern) {
  // The name already ends in the glob: the chooser reads it from there.
  ExpectFilters("Firmware (*.fw)|*.fw;", {{"Firmware (*.fw)", "*.fw"}}, "Firmware (*.fw)");
}

TEST(FileFilter, PatternListsBecomeOneGlob) {
  EXPECT_EQ(PatternListToGlob("*.fw"), "*.fw");
  EXPECT_EQ(PatternListToGlob("*.fw;"), "*.fw");
  EXPECT_EQ(PatternListToGlob(";*.fw;;"), "*.fw");
  EXPECT_EQ(PatternListToGlob("*.fw;*.bin"), "{*.fw,*.bin}");
  EXPECT_EQ(PatternListToGlob(" *.fw ; *.bin "), "{*.fw,*.bin}");
  EXPECT_EQ(PatternListToGlob("*.*"), "*");
  EXPECT_EQ(PatternListToGlob(";;"), "");
  EXPECT_EQ(PatternListToGlob(""), "");
}

TEST(FileFilter, SeveralPairsInOrder) {
  ExpectFilters("Firmware|*.fw|All files|*.*", {{"Firmware", "*.fw"}, {"All files", "*"}},
                "Firmware (*.fw)\tAll files (*)");
}

TEST(FileFilter, TheListEndsAtTheFirstEmptyField) {
  EXPECT_TRUE(ParseFileFilters(nullptr).empty());
  EXPECT_TRUE(ParseFileFilters("").empty());
  EXPECT_TRUE(ParseFileFilters("Firmware").empty());    // no pattern
  EXPECT_TRUE(ParseFileFilters("Firmware|").empty());
  EXPECT_EQ(ParseFileFilters("A|*.a||B|*.b").size(), 1u);
  EXPECT_EQ(ParseFileFilters("A|*.a|B").size(), 1u);     // dangling name
  EXPECT_TRUE(ParseFileFilters("|*.a|B|*.b").empty());
  // A pair with only empty alternatives matches nothing and is left out.
  auto filters = ParseFileFilters("None|;|B|*.b");
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].name, "B");
}

TEST(FileFilter, NamesCannotBeMistakenForTheGlob) {
  // Parentheses that do not hold the glob would be read as the pattern.
  EXPECT_EQ(ChooserFilterText({{"Images (PNG)", "*.png"}}), "Images [PNG] (*.png)");
  EXPECT_EQ(ChooserFilterText({{"(a) Firmware (*.fw)", "*.fw"}}), "[a] Firmware [*.fw] (*.fw)");
  // Menu syntax is escaped: '/' would open a submenu, '&' underline.
  EXPECT_EQ(ChooserFilterText({{"Data/Code & more", "*.d"}}), "Data\\/Code && more (*.d)");
}

}  // namespace
