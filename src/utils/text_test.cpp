#include "utils/text.hpp"

#include <gtest/gtest.h>

namespace pelmox {
namespace {

TEST(Utf8Cut, FloorPrefixAndTruncate) {
  struct Case {
    std::string text;
    std::size_t max;
    std::size_t floor;
  };
  // The last case: stray continuation bytes stand alone.
  const Case cases[] = {
      {"abc", 10, 3}, {"abc", 3, 3}, {"héllo", 2, 1}, {"héllo", 3, 3}, {"中", 1, 0},        {"中", 2, 0},
      {"中", 3, 3},   {"a中", 3, 1}, {"a😀b", 4, 1},   {"a😀b", 5, 5},   {"\x80\x80z", 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_floor(c.text, c.max), c.floor) << c.text << " / " << c.max;
    EXPECT_EQ(utf8_prefix(c.text, c.max), c.text.substr(0, c.floor)) << c.text << " / " << c.max;
  }
  EXPECT_EQ(truncate_str("hello", 5), "hello");
  EXPECT_EQ(truncate_str("hello", 4), "hell...");
  EXPECT_EQ(truncate_str("中文", 4), "中...");
  EXPECT_EQ(truncate_str("中", 2), "...");
  EXPECT_EQ(truncate_str("", 0), "");
}

TEST(Utf8Validity, StrictDecoding) {
  const char* valid[] = {"", "abc", "é", "中文", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"};
  for (const char* v : valid) EXPECT_TRUE(is_valid_utf8(v)) << v;
  const std::string invalid[] = {
      "\xC0\x80",          // overlong NUL
      "\xE0\x80\xAF",      // overlong "/"
      "\xED\xA0\x80",      // surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\xE4\xB8",
      "\x80",
      "a\xFF",
  };
  for (const auto& v : invalid) EXPECT_FALSE(is_valid_utf8(v));
}

TEST(Utf8Validity, ValidatorAcrossPieces) {
  Utf8Validator split;
  EXPECT_TRUE(split.feed("a\xE4"));
  EXPECT_FALSE(split.finish());  // a character is still open
  EXPECT_TRUE(split.feed("\xB8\xAD"));
  EXPECT_TRUE(split.finish());

  Utf8Validator bad;
  EXPECT_TRUE(bad.feed("\xED"));
  EXPECT_FALSE(bad.feed("\xA0\x80"));  // the range check applies across the piece boundary
  EXPECT_FALSE(bad.finish());
}

TEST(Utf8Lossy, OneReplacementPerMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(lossy_utf8("Hello \xF0\x90\x80World"), "Hello " + r + "World");
  EXPECT_EQ(lossy_utf8("a\xF1\x80\x80\xE1\x80\xC2"
                       "b\x80"
                       "c\x80\xBF"
                       "d"),
            "a" + r + r + r + "b" + r + "c" + r + r + "d");
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), r + r + r);
  EXPECT_EQ(lossy_utf8("\xC0\x80"), r + r);
  EXPECT_EQ(lossy_utf8("中文"), "中文");
}

TEST(TextCase, TrimBlankAndLowerCase) {
  EXPECT_EQ(trim(" \t\u3000abc\u00A0\n"), "abc");
  EXPECT_EQ(trim("a b"), "a b");
  EXPECT_EQ(trim("\u200Bx "), "\u200Bx");  // zero-width space is not white space
  EXPECT_EQ(trim("   "), "");
  EXPECT_TRUE(is_blank(" \r\n\u2028"));
  EXPECT_FALSE(is_blank(" x "));

  const std::pair<std::string, std::string> lower[] = {
      {"HeLLo", "hello"},
      {"ÄÖÜ", "äöü"},
      {"ΑΒΓ", "αβγ"},
      {"ПРИВЕТ", "привет"},
      {"A\xFF"
       "B",
       "a\xFF"
       "b"},
      {"İ", "i\xCC\x87"},
  };
  for (const auto& [in, out] : lower) EXPECT_EQ(to_lower(in), out) << in;
  EXPECT_EQ(ascii_lower("ÄBc"), "Äbc");
}

}  // namespace
}  // namespace pelmox
