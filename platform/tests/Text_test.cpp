#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using platform::CompareNoCase;
using platform::ContainsNoCase;
using platform::EndsWithNoCase;
using platform::EqualNoCase;
using platform::FindNoCase;
using platform::StartsWithNoCase;

constexpr auto npos = std::string_view::npos;

// Only 'A'..'Z' fold: the bytes of other code pages ("\xC4" is Ä, "\xE4" ä in 1252), the
// neighbours of the letters ('@' 0x40, '[' 0x5B, '`' 0x60, '{' 0x7B) and the zero byte compare
// as they are.
struct TwoTexts {
  std::string a, b;
  bool equal;
};

TEST(Text, EqualNoCaseFoldsOnlyAsciiLetters) {
  const std::vector<TwoTexts> cases = {
      {"", "", true},
      {"", "a", false},
      {"Kernel32.DLL", "kernel32.dll", true},
      {"ABCXYZ", "abcxyz", true},
      {"\xC4", "\xE4", false},
      {"\xC4rger", "\xC4RGER", true},
      {"@", "`", false},
      {"[", "{", false},
      {std::string("a\0b", 3), std::string("A\0B", 3), true},
      {std::string("a\0b", 3), "a", false},
      {"abc", "abd", false},
      {"abc", "abcd", false},
  };
  for (const TwoTexts& c : cases) {
    EXPECT_EQ(EqualNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualNoCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
  EXPECT_EQ(platform::AsciiLowered("MiXeD \xC4\xD6 Z@[`{"), "mixed \xC4\xD6 z@[`{");
}

TEST(Text, PrefixesAndEndingsNeedTheWholePartInside) {
  EXPECT_TRUE(StartsWithNoCase("Kelvane.TDS", ""));
  EXPECT_TRUE(StartsWithNoCase(".TDS", ".tds"));
  EXPECT_TRUE(
      StartsWithNoCase("\xC4"
                       "bc",
                       "\xC4"
                       "B"));
  EXPECT_FALSE(StartsWithNoCase(".td", ".tds"));
  EXPECT_FALSE(
      StartsWithNoCase("\xE4"
                       "bc",
                       "\xC4"));
  EXPECT_TRUE(EndsWithNoCase("Shot.PNG", ".png"));
  EXPECT_TRUE(EndsWithNoCase("crash.Dmp", ".DMP"));
  EXPECT_TRUE(EndsWithNoCase("", ""));
  EXPECT_FALSE(EndsWithNoCase("png", ".png"));
  EXPECT_FALSE(EndsWithNoCase("shot.pnh", ".png"));
}

TEST(Text, FindNoCase) {
  struct Case {
    std::string text, what;
    std::size_t from, at;
  };
  const std::vector<Case> cases = {
      {"", "", 0, npos},  // an empty needle is found nowhere
      {"abc", "", 0, npos},
      {"", "a", 0, npos},
      {"ab", "abc", 0, npos},
      {"%LF%x%lf%", "%lf%", 0, 0},
      {"%LF%x%lf%", "%lf%", 1, 5},
      {"%LF%x%lf%", "%lf%", 6, npos},
      {"%LF%x%lf%", "%lf%", 100, npos},  // a start past the end
      {"x\xC4y\xE4", "\xE4", 0, 3},
      {"aaaB", "AB", 0, 2},
  };
  for (const Case& c : cases) { EXPECT_EQ(FindNoCase(c.text, c.what, c.from), c.at) << c.text << " / " << c.what << " from " << c.from; }
  EXPECT_TRUE(ContainsNoCase("System.Halt0", "HALT"));
  EXPECT_FALSE(ContainsNoCase("System.Halt0", ""));
}

TEST(Text, ReplaceAllNoCaseDoesNotSearchWhatItPutIn) {
  EXPECT_EQ(platform::ReplaceAllNoCase("%AppName% and %appname%", "%appname%", "Kelvane"), "Kelvane and Kelvane");
  EXPECT_EQ(platform::ReplaceAllNoCase("aA", "a", "aa"), "aaaa");
  EXPECT_EQ(platform::ReplaceAllNoCase("abc", "", "x"), "abc");
  EXPECT_EQ(platform::ReplaceAllNoCase("", "a", "x"), "");
}

TEST(Text, CompareNoCaseOrdersFoldedBytesUnsignedThenShorterFirst) {
  struct Case {
    std::string a, b;
    int sign;
  };
  const std::vector<Case> cases = {
      {"", "", 0},       {"", "a", -1}, {"Display", "display", 0}, {"abc", "ABD", -1}, {"Z", "a", 1},  // folded: 'z' after 'a'
      {"_", "a", -1},    // '_' (0x5F) before 'a', though after 'A'
      {"\xE4", "z", 1},  // bytes above 0x7F after the ASCII letters, not below them
      {"ab", "abc", -1},
  };
  for (const Case& c : cases) {
    const int got = CompareNoCase(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.a << " / " << c.b;
    const int back = CompareNoCase(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " / " << c.a;
  }
}

TEST(Text, HexNumbers) {
  struct Case {
    std::uint64_t value;
    std::size_t width;
    std::string digits;
  };
  const std::vector<Case> cases = {
      {0, 0, "0"},
      {0, 8, "00000000"},
      {0x1A2B, 0, "1a2b"},
      {0x1A2B, 8, "00001a2b"},
      {0x1A2B, 2, "1a2b"},  // a width never cuts digits off
      {0xFFFFFFFF, 8, "ffffffff"},
      {0xFFFFFFFFFFFFFFFF, 0, "ffffffffffffffff"},
      {0x0123456789ABCDEF, 16, "0123456789abcdef"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::HexDigits(c.value, c.width), c.digits) << c.value << " width " << c.width;

  EXPECT_EQ(platform::DollarHex(0), "$0");
  EXPECT_EQ(platform::DollarHex(0x401ABC), "$401abc");
  EXPECT_EQ(platform::DollarHex(0xFFFFFFFF), "$ffffffff");
  EXPECT_EQ(platform::DollarHex(0x100000000), "$100000000");
  EXPECT_EQ(platform::Hex8(0x1A2B), "00001a2b");
}

TEST(Text, HexBytesAndEscapes) {
  const std::uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(platform::HexBytes(bytes), "000fa0ff");
  EXPECT_EQ(platform::HexBytes({}), "");
  std::string out = "a";
  platform::AppendEscapedByte(out, '%', 0x0A);
  platform::AppendEscapedByte(out, '=', 0xE4);
  EXPECT_EQ(out, "a%0A=E4");
}

}  // namespace
