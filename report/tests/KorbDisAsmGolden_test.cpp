// GetCleartextDisAsm against golden files. KELVANE_REWRITE_GOLDEN=1 writes the files anew from
// the current output (review the change with git diff before committing it).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "report/KorbDisAsm.h"
#include "report/tests/KorbDisAsmTestImage.h"

namespace report {
namespace {

using test::FakeNames;
using test::TwoModules;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", from);
    lines.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (end == std::string::npos) return lines;
    from = end + 2;
  }
}

// A line diff (longest common subsequence): "-" expected only, "+" actual only.
std::string Diff(const std::string& expected, const std::string& actual) {
  const auto a = Lines(expected), b = Lines(actual);
  std::vector<std::vector<int>> l(a.size() + 1, std::vector<int>(b.size() + 1, 0));
  for (std::size_t i = a.size(); i-- > 0;)
    for (std::size_t j = b.size(); j-- > 0;) l[i][j] = a[i] == b[j] ? l[i + 1][j + 1] + 1 : std::max(l[i + 1][j], l[i][j + 1]);
  std::string out;
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      out += "  " + a[i++] + "\n";
      ++j;
    } else if (j < b.size() && (i == a.size() || l[i][j + 1] >= l[i + 1][j])) {
      out += "+ " + b[j++] + "\n";
    } else {
      out += "- " + a[i++] + "\n";
    }
  }
  return out;
}

void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(KORB_GOLDEN_DIR) + "/" + name + ".txt";
  const char* rewrite = std::getenv("KELVANE_REWRITE_GOLDEN");
  if (rewrite && std::string(rewrite) == "1") {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path << " missing; KELVANE_REWRITE_GOLDEN=1 writes it";
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_TRUE(expected.str() == actual) << name << " differs from " << path << " (- golden, + now):\n" << Diff(expected.str(), actual);
}

class KorbGolden : public ::testing::Test {
 protected:
  TwoModules memory_;
  TFunctionInfo info_;
  Addr F(test::Fn f) const { return memory_.Function(f); }
  std::string Text(test::Fn f, Addr mark, bool formatted, int limit, const DebugNames* names = nullptr) {
    return GetCleartextDisAsm(memory_, names, F(f), mark, formatted, limit, info_);
  }
};

TEST_F(KorbGolden, FormattedAndPlain) {
  ExpectGolden("straight_formatted", Text(test::kStraight, F(test::kStraight) + 6, true, 0));
  const std::string plain = Text(test::kStraight, F(test::kStraight) + 6, false, 0);
  ExpectGolden("straight_plain", plain);
  ExpectGolden("table_ja_formatted", Text(test::kTableJa, F(test::kTableJa) + 12, true, 0));
  const std::string tablePlain = Text(test::kTableJa, 0, false, 0);
  ExpectGolden("table_ja_plain", tablePlain);
  // Unformatted: the entry label is the only label, and no empty or separator lines.
  const auto lines = Lines(tablePlain);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_GT(lines[i].size(), 8u) << "empty line " << i;
    EXPECT_EQ(lines[i].find("; ---"), std::string::npos) << i;
    EXPECT_EQ(i == 0, lines[i].find(':') != std::string::npos && lines[i].find("   ") != 8) << lines[i];
  }
}

TEST_F(KorbGolden, CommentsWithNamesAndTexts) {
  FakeNames names;
  names.Name(F(test::kStraight), "uTest.Straight");
  ExpectGolden("comments", Text(test::kComments, 0, true, 0, &names));
  ExpectGolden("stub_call", Text(test::kStubCall, F(test::kStubCall) + 2, true, 0, &names));
}

TEST_F(KorbGolden, LineNumbers) {
  FakeNames names;
  const Addr f = F(test::kLoop);
  names.Line(f, 118);
  names.Line(f + 6, 120);
  names.Line(f + 9, 121);
  names.Line(f + 11, 123);
  ExpectGolden("loop_lines", Text(test::kLoop, f + 8, true, 0, &names));
}

TEST_F(KorbGolden, LimitAroundTheMarkedLine) {
  const Addr crash = F(test::kLongFn) + 24 * 2;
  const std::string text = Text(test::kLongFn, crash, true, 5);
  ExpectGolden("longfn_limit5", text);
  // 25 lines before the crash line (the label and 24 instructions): "[...]", the 5 lines before
  // it, the crash line, 5 more and "[...]".
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 1u + 5 + 1 + 5 + 1);
  EXPECT_EQ(lines.front(), "[...]");
  EXPECT_EQ(lines[6].substr(0, 10), test::Hex8(crash) + " >");
  EXPECT_EQ(lines.back(), "[...]");
  // Without a limit every line is there.
  EXPECT_EQ(Lines(Text(test::kLongFn, crash, true, 0)).size(), 1u + 24 + 1 + 10 + 1);
}

TEST(KorbText, AreasThatOverlapGiveTheInternalErrorText) {
  // A jump table whose second entry points into the table itself: the bytes there decode (adc,
  // push, nop up to the default case), so the analysis holds a code area inside the table area.
  const Addr base = 0x90500000;
  const std::vector<std::uint8_t> bytes = {0x83, 0xF8, 0x01,                          // cmp eax, 1
                                           0x77, 0x0F,                                // ja default
                                           0xFF, 0x24, 0x85, 0x0C, 0x00, 0x50, 0x90,  // jmp [table + eax*4]
                                           0x14, 0x00, 0x50, 0x90,                    // table: default
                                           0x10, 0x00, 0x50, 0x90,                    //        the table's own second entry
                                           0xC3};                                     // default: ret
  const MemoryImage image(base, bytes);
  TFunctionInfo info;
  EXPECT_EQ(GetCleartextDisAsm(image, nullptr, base, 0, true, 0, info),
            "Internal error in ParseFunction while composing the disassembling string...  :-(");
  EXPECT_TRUE(info.IsValid);
}

TEST_F(KorbGolden, InvalidFunctionGivesNoText) {
  EXPECT_EQ(GetCleartextDisAsm(memory_, nullptr, 0x00100000, 0, true, 0, info_), "");
  EXPECT_FALSE(info_.IsValid);
}

}  // namespace
}  // namespace report
