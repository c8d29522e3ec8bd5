#include <gtest/gtest.h>

#include "base/text_replace.h"

namespace quor {
namespace {

TEST(TextReplace, ReplaceFirstAndAll) {
  std::string text = "C:\\a\\b";
  EXPECT_TRUE(replaceFirst(text, "\\", "/"));
  EXPECT_EQ(text, "C:/a\\b");
  replaceAll(text, "\\", "/");
  EXPECT_EQ(text, "C:/a/b");
  replaceAll(text, "\\", "/");
  EXPECT_EQ(text, "C:/a/b");
  EXPECT_FALSE(replaceFirst(text, "x", "y"));
}

TEST(TextReplace, ReplaceLeavesNoOccurrenceAndAlwaysEnds) {
  std::string text = "abbb";
  replaceAll(text, "ab", "a");  // each replacement makes a new occurrence
  EXPECT_EQ(text, "a");
  text = "aXa";
  replaceAll(text, "a", "aa");  // replacement holds the pattern
  EXPECT_EQ(text, "aaXaa");
  text = "abc";
  replaceAll(text, "", "z");  // empty pattern
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(replaceFirst(text, "", "z"));
}

}  // namespace
}  // namespace quor
