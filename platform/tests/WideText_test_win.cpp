#include "platform/WideText_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Code pages named, so that the cases do not depend on the test machine's ANSI code page.
struct Case {
  UINT codePage;
  std::string narrow;
  std::wstring wide;
};

TEST(WideText, BothWaysInANamedCodePage) {
  const std::vector<Case> cases = {
      {1252, "", L""},
      {1252, "Kelvane 1.0", L"Kelvane 1.0"},
      {1252, "\xC4rger \xE4", L"\u00C4rger \u00E4"},
      {1252, "\x80", L"\u20AC"},                                 // the euro sign, where 1252 differs from Latin-1
      {1252, std::string("a\0b", 3), std::wstring(L"a\0b", 3)},  // a length, not a terminator, ends the text
      {CP_UTF8, "\xC3\xA4\xE2\x82\xAC", L"\u00E4\u20AC"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::WideFromAnsi(c.narrow, c.codePage), c.wide) << c.narrow;
    EXPECT_EQ(platform::AnsiFromWide(c.wide, c.codePage), c.narrow) << c.narrow;
  }
}

TEST(WideText, WhatTheCodePageLacksBecomesItsDefaultCharacter) { EXPECT_EQ(platform::AnsiFromWide(L"x\u4E2Dy", 1252), "x?y"); }

TEST(WideText, Utf16UnitsAreTheSystemsWideCharacters) {
  EXPECT_EQ(platform::AnsiFromUtf16(u""), "");
  EXPECT_EQ(platform::AnsiFromUtf16(u"Kelvane \u00E4"), platform::AnsiFromWide(L"Kelvane \u00E4"));
  // A zero-terminated system text (a version record's service pack, say) ends at its zero.
  const wchar_t fixed[8] = L"SP1";
  EXPECT_EQ(platform::AnsiFromWide(fixed), "SP1");
}

}  // namespace
