#include "crash/KestrumBoxLogic.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestrum {
namespace {

TEST(BoxFocus, AnAutomaticRuleFocusesItsVisibleButtonAndCountsDown) {
  struct Case {
    const char* name;
    BoxButtonRules rules;
    FocusChoice expected;
  } cases[] = {
      {"close rule", {.autoCloseOn = true, .autoRestartOn = true, .closeVis = true, .restartVis = true}, {bCloseApplication, true}},
      {"close rule, close hidden", {.autoCloseOn = true, .autoRestartOn = true, .restartVis = true}, {bRestartApplication, true}},
      {"continue rule", {.autoContinue = true, .continueVis = true}, {bContinueApplication, true}},
      {"continue rule, cannot continue",
       {.focusedBtn = bShowBugReport, .autoContinue = true, .continueVis = true, .canContinue = false},
       {bShowBugReport, false}},
      {"no rule", {.focusedBtn = bRestartApplication, .closeVis = true}, {bRestartApplication, false}},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseFocus(c.rules), c.expected) << c.name;
}

TEST(BoxCloseRequest, FocusedButtonFirstThenTheButtonsThereAre) {
  using R = CloseRequest;
  struct Case {
    const char* name;
    CloseRequestInput in;
    R expected;
  } cases[] = {
      {"focused restart", {.focusedBtn = bRestartApplication, .hasContinue = true}, R::restartApp},
      {"focused close", {.focusedBtn = bCloseApplication, .hasContinue = true}, R::closeApp},
      {"focused send, continue there", {.hasContinue = true, .hasClose = true}, R::continueApp},
      {"cannot continue", {.hasContinue = true, .hasRestart = true, .hasClose = true, .canContinue = false}, R::closeApp},
      {"only restart", {.hasContinue = true, .hasRestart = true, .canContinue = false}, R::restartApp},
      {"small box, cannot continue", {.hasContinue = true, .canContinue = false, .smallBox = true}, R::closeApp},
      {"full box without ways out", {}, R::continueApp},
      {"full box without ways out, cannot continue", {.canContinue = false}, R::closeApp},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseCloseRequest(c.in), c.expected) << c.name;
}

TEST(BoxCountdown, PositionRunsOverTheWidthInTheDelayWithoutOverflow) {
  struct Case {
    std::uint64_t elapsedMs;
    int width, offset;
    std::uint32_t delay;
    std::int64_t expected;
  } cases[] = {
      {0, 150, 0, 60, 0},
      {30000, 150, 0, 60, 75},
      {60000, 150, 0, 60, 150},
      {61000, 139, 5, 60, 146},
      // Both products pass 32 bits here: the bar must still be at the end, not wrapped around.
      {5000000, 1000, 0, 5000, 1000},
      {std::uint64_t{50} * 24 * 3600 * 1000, 200, 0, 100 * 24 * 3600, 100},
      {10, 150, 0, std::numeric_limits<std::uint32_t>::max(), 0},
      {100, -3, 0, 1, 0},
  };
  for (const Case& c : cases) {
    const auto x = CountdownPosition(c.elapsedMs, c.width, c.offset, c.delay);
    ASSERT_TRUE(x.has_value()) << c.delay;
    EXPECT_EQ(*x, c.expected) << c.elapsedMs << " ms of " << c.delay << " s";
  }
  EXPECT_FALSE(CountdownPosition(123456, 150, 0, 0).has_value()) << "AutoDelay 0 never presses";
}

const char kReport[] =
    "date/time          : 2026-12-10, 17:03:09, 45ms\r\n"
    "exception class    : EConvertError\r\n"
    "exception message  : 'abc' ist kein gültiger Integerwert.\r\n"
    "\r\n"
    "main thread ($1a4):\r\n"
    "00401234 +34 Kelvane.exe uMain 120 +3 TFormMain.btOpenClick\r\n"
    ".\r\n"
    "00401300 +10 Kelvane.exe uMain 90 +1 TFormMain.Other\r\n"
    "\r\n"
    "worker ($2b8):\r\n"
    "00402000 +0 Kelvane.exe uHID 12 +0 THIDThread.Execute\r\n"
    "\r\n"
    "cpu registers:\r\n"
    "eax = 00000001\r\n"
    "\r\n"
    "disassembling:\r\n"
    "[...]\r\n"
    "\r\n"
    "modules:\r\n"
    "00400000  Kelvane.exe";

TEST(BoxDetails, TheReportsSectionsBecomeTabs) {
  const ParsedReport report = ParseReport(kReport);
  ASSERT_EQ(report.header.size(), 3u);
  EXPECT_EQ(report.header[1], (std::pair<std::string, std::string>{"exception class", "EConvertError"}));
  EXPECT_EQ(DetailTabs(report), (std::vector<std::string>{"general", "call stacks", "cpu regs", "disasm", "modules"}));
  EXPECT_EQ(DetailTabText(report, "general"),
            "date/time\t2026-12-10, 17:03:09, 45ms\r\nexception class\tEConvertError\r\n"
            "exception message\t'abc' ist kein gültiger Integerwert.");
  EXPECT_EQ(DetailTabText(report, "call stacks"),
            ">> main thread ($1a4)\r\n00401234 +34 Kelvane.exe uMain 120 +3 TFormMain.btOpenClick\r\n.\r\n"
            "00401300 +10 Kelvane.exe uMain 90 +1 TFormMain.Other\r\n\r\n"
            ">> worker ($2b8)\r\n00402000 +0 Kelvane.exe uHID 12 +0 THIDThread.Execute");
  EXPECT_EQ(DetailTabText(report, "modules"), "00400000  Kelvane.exe") << "the last line has no line end";
  EXPECT_EQ(DetailTabText(report, "cpu regs"), "eax = 00000001");
  EXPECT_EQ(DetailTabText(report, "nothing"), "");
}

TEST(BoxDetails, ShortAndUnusualReports) {
  struct Case {
    const char* report;
    std::vector<std::string> tabs;
  } cases[] = {
      {"", {"general"}},
      {"exception class : E\r\n", {"general"}},
      {"exception class : E\r\n\r\nmain thread ($1):\r\n\r\nstack dump:\r\n>> will be computed", {"general", "call stack", "stack dump"}},
      // A section before the threads keeps the threads out of the call stack tab.
      {"a : b\n\nhardware:\nx\n\nmain thread ($1):\ny", {"general", "hardware", "main thread ($1)"}},
      {"\r\n\r\nlonely:", {"general", "lonely"}},
  };
  for (const Case& c : cases) EXPECT_EQ(DetailTabs(ParseReport(c.report)), c.tabs) << c.report;
  EXPECT_EQ(DetailTabText(ParseReport(cases[2].report), "stack dump"), ">> will be computed");
}

TEST(BoxDetails, HeadingsMarkUpperCaseAndRightAlignedColumns) {
  EXPECT_EQ(ParseHeadings("^handle|file name| version|path"),
            (std::vector<DetailColumn>{{"handle", false, true}, {"file name"}, {"version", true, false}, {"path"}}));
  EXPECT_EQ(ParseHeadings("^ rel."), (std::vector<DetailColumn>{{"rel.", true, true}}));
}

std::vector<std::vector<std::string>> Cells(const DetailView& v) {
  std::vector<std::vector<std::string>> cells;
  for (const DetailRow& r : v.rows) cells.push_back(r.cells);
  return cells;
}
std::vector<std::string> Captions(const DetailView& v) {
  std::vector<std::string> captions;
  for (const DetailColumn& c : v.columns) captions.push_back(c.caption);
  return captions;
}

TEST(BoxDetails, KnownKindsBecomeColumnsAndRows) {
  using Table = std::vector<std::vector<std::string>>;
  struct Case {
    const char* tab;
    const char* text;
    std::vector<std::string> columns;
    Table cells;
  } cases[] = {
      {"general", "date/time\t2026-12-10\r\nexception class\tE", {"description", "value"},
       Table{{"date/time", "2026-12-10"}, {"exception class", "E"}}},
      {"cpu regs", "eax = 00000001\r\nebx = 0012FF40", {"reg.", "content"}, Table{{"eax", "00000001"}, {"ebx", "0012FF40"}}},
      {"stack dump",
       "0012FF40  01 00 00 00 40 FF 12 00 - 00 00 00 00 00 00 00 00  ....@...........\r\n"
       "0012FF50  41 42",
       {"address", "data - hexadecimal", "data - chars"},
       Table{{"0012FF40", "01 00 00 00 40 FF 12 00 - 00 00 00 00 00 00 00 00", "....@..........."}, {"0012FF50", "41 42", ""}}},
      // A version column of blanks, and a folder with a blank in it: the last column keeps it.
      {"modules",
       "00400000 Kelvane.exe  1.0.0.0 C:\\Program Files\\Kelvane\r\n7C800000 kernel32.dll 5.1     C:\\windows\\system32",
       {"handle", "file name", "version", "path"},
       Table{{"00400000", "Kelvane.exe", "1.0.0.0", "C:\\Program Files\\Kelvane"},
             {"7C800000", "kernel32.dll", "5.1", "C:\\windows\\system32"}}},
      {"processes",
       "01c wineboot.exe 2 3 normal C:\\windows\\system32\r\n0a4 Kelvane.exe  9 7 high   C:\\a b",
       {"id", "file name", "gdi objects", "user objects", "priority", "path"},
       Table{{"01c", "wineboot.exe", "2", "3", "normal", "C:\\windows\\system32"}, {"0a4", "Kelvane.exe", "9", "7", "high", "C:\\a b"}}},
      {"call stacks",
       ">> main thread ($1a4)\r\n00401234 +34 Kelvane.exe uMain 120 +3 TFormMain.btOpenClick(TObject*)\r\n"
       "7C812AFB +0 ???\r\n00405000 +10 Kelvane.exe TFormMain.Run",
       {"address", "rel.", "module", "unit", "line", "rel.", "function"},
       Table{{">> main thread ($1a4)"},
             {"00401234", "+34", "Kelvane.exe", "uMain", "120", "+3", "TFormMain.btOpenClick(TObject*)"},
             {"7C812AFB", "+0", "???", "", "", "", ""},
             {"00405000", "+10", "Kelvane.exe", "", "", "", "TFormMain.Run"}}},
      {"call stack", "00401234 Kelvane.exe uMain 120 TFormMain.btOpenClick", {"address", "module", "unit", "line", "function"},
       Table{{"00401234", "Kelvane.exe", "uMain", "120", "TFormMain.btOpenClick"}}},
  };
  for (const Case& c : cases) {
    const DetailView v = MakeDetailView(c.tab, c.text);
    ASSERT_TRUE(v.list) << c.tab;
    EXPECT_EQ(Captions(v), c.columns) << c.tab;
    EXPECT_EQ(Cells(v), c.cells) << c.tab;
  }
  EXPECT_TRUE(MakeDetailView("call stacks", ">> main thread ($1)").rows[0].title);
}

TEST(BoxDetails, OtherTextsStayText) {
  const struct {
    const char* tab;
    const char* text;
  } cases[] = {
      {"stack dump", ">> will be computed when needed"},
      {"call stack", ">> internal error in stack tracing"},
      {"disasm", "00401234 mov eax, 1"},
      {"hardware", "Display adapters\r\n  Wine display"},
      {"modules", "00400000 Kelvane.exe"},  // fewer columns than the kind has
      {"processes", ""},
  };
  for (const auto& c : cases) EXPECT_FALSE(MakeDetailView(c.tab, c.text).list) << c.tab << ": " << c.text;
}

}  // namespace
}  // namespace kestrum
