#include "text_util.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {
std::string trimmed(std::string text) { return trim(text.data()); }
}  // namespace

TEST(TextUtil, TrimCutsEveryKindOfWhitespaceOnBothSides) {
  EXPECT_EQ(trimmed(" \t\n\v\f\rword in middle \t\n\v\f\r"), "word in middle");
  EXPECT_EQ(trimmed("   "), "");
  EXPECT_EQ(trimmed(""), "");
  EXPECT_EQ(trimmed("x"), "x");
  EXPECT_EQ(trim(nullptr), nullptr);
}

TEST(TextUtil, SkipSpaceAndEndOfTextFindTheKeptPart) {
  std::string text = "\t  abc d \r\n";
  char* start = skip_space(text.data());
  EXPECT_EQ(start - text.data(), 3);
  EXPECT_EQ(end_of_text(start) - text.data(), 8);
  std::string blank = " \n";
  EXPECT_EQ(*skip_space(blank.data()), '\0');
  EXPECT_EQ(end_of_text(blank.data()), blank.data());
}

TEST(TextUtil, FindNocaseFoldsAsciiOnlyAndNeverFindsEmptyNeedle) {
  const char* text = "xx[Creature:DWARF]";
  EXPECT_EQ(find_nocase(text, "CREATURE"), text + 3);
  EXPECT_EQ(find_nocase(text, "creature:dwarf]"), text + 3);
  EXPECT_EQ(find_nocase(text, ""), nullptr);
  EXPECT_EQ(find_nocase("", "a"), nullptr);
  EXPECT_EQ(find_nocase("abc", "abcd"), nullptr);
  EXPECT_EQ(find_nocase("aab", "ab"), "aab" + 1);
  // Only a-z fold: bytes above 127 and punctuation compare exactly.
  EXPECT_EQ(find_nocase("\xC9", "\xE9"), nullptr);
  EXPECT_EQ(find_nocase("[", "{"), nullptr);
  EXPECT_EQ(find_nocase("@", "`"), nullptr);
}

TEST(TextUtil, EqualNocaseComparesWholeTexts) {
  EXPECT_TRUE(equal_nocase("EXPORT", "export"));
  EXPECT_FALSE(equal_nocase("exports", "export"));
  EXPECT_FALSE(equal_nocase("expor", "export"));
  EXPECT_TRUE(equal_nocase("", ""));
}

TEST(TextUtil, UpperAndReplaceWorkInPlace) {
  std::string text = "dwarf_\xe9z9";
  upper_in_place(text.data());
  EXPECT_EQ(text, "DWARF_\xe9Z9");
  std::string path = "./data/save/region1/world.dat";
  replace_char(path.data(), '/', '\\');
  EXPECT_EQ(path, ".\\data\\save\\region1\\world.dat");
}

TEST(TextUtilDeathTest, ConsistencyStopNamesTheConditionAndExitsOne) {
  EXPECT_EXIT(consistency_check(false, "section count is not 0"), testing::ExitedWithCode(1),
              "^consistency check failed: section count is not 0\n$");
}

// The span search must find exactly what the text search finds, wherever the
// span holds no zero byte, including matches at both ends.
TEST(TextUtil, FindNocaseInAgreesWithFindNocase) {
  std::mt19937 rng(7);
  const std::string alphabet = "cCrRaAeE[:]x";
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 24, 'x');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    const char* needle = round % 2 == 0 ? "cre" : "[Ca";
    const char* expected = find_nocase(text.c_str(), needle);
    const char* found = find_nocase_in(text.data(), text.size(), needle);
    ASSERT_EQ(found, expected) << text << " / " << needle;
  }
  const char zero_inside[] = "ab\0CRE";
  EXPECT_EQ(find_nocase_in(zero_inside, 6, "cre"), zero_inside + 3);
  EXPECT_EQ(find_nocase_in("cr", 2, "cre"), nullptr);
  EXPECT_EQ(find_nocase_in("xyz", 3, ""), nullptr);
}

TEST(TextUtil, MessagesShowControlBytesOfTheirArgumentsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {message_text("line %d: %s\n", 7, "a\x1b[2Jb\tc\x7f\n"), "line 7: a\\x1B[2Jb\tc\\x7F\\x0A\n"},
      {message_text("%08d|%lld|%5s|%-4s|%.2s|%.*s|%c|%%", 42, -5LL, "ab", "x", "xyz", 1, "\x01z", '\x02'),
       "00000042|-5|   ab|x   |xy|\\x01|\\x02|%"},
      {message_text("%zu %u %x", std::size_t{3}, 4u, 255u),
       "3 4 ff"},
      {shown_text("\xC3\xA9\x1f"), "\xC3\xA9\\x1F"},
      {shown_text("ABCDEFGH\xFF\x80IJKLMNOP\x7FQRSTUVW\x1bXYZ"),
       "ABCDEFGH\xFF\x80IJKLMNOP\\x7FQRSTUVW\\x1BXYZ"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}
