#include "report/KestrumBugReport.h"

#include <gtest/gtest.h>

#include "report/tests/TraceItemFixture.h"

namespace report {
namespace {

using fixtures::Item;

const TStackTrace kTrace = {
    Item(0x00401010, 0x00401000, "Kelvane.exe", "uMain", 120, 3, true, "TForm1.Button1Click"),
    Item(0x00402345, 0x00402000, "Kelvane.exe", "Forms", 7, 7, false, "Forms.Run"),
    Item(0x7b812345, 0, "kernel32.dll", "", 0, 0, false, ""),
};

TEST(TraceLayout, ColumnsFollowTheSettingsAndTheWidestEntry) {
  struct Case {
    bool relAddrs, relLines;
    const char* text;
  } cases[] = {
      {true, true,
       "00401010 +010 Kelvane.exe  uMain 120 +3 TForm1.Button1Click\r\n"
       "00402345 +345 Kelvane.exe  Forms      7 Forms.Run\r\n"
       "7b812345 +000 kernel32.dll"},
      // Without relative addresses and lines there is no "+" column at all, and the line column
      // shows the plain line numbers.
      {false, false,
       "00401010 Kelvane.exe  uMain 120 TForm1.Button1Click\r\n"
       "00402345 Kelvane.exe  Forms   7 Forms.Run\r\n"
       "7b812345 kernel32.dll"},
      {true, false,
       "00401010 +010 Kelvane.exe  uMain 120 TForm1.Button1Click\r\n"
       "00402345 +345 Kelvane.exe  Forms   7 Forms.Run\r\n"
       "7b812345 +000 kernel32.dll"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LayoutTrace(kTrace, c.relAddrs, c.relLines).text, c.text) << c.relAddrs << c.relLines;
  }
}

TEST(TraceLayout, ItemsWithoutUnitsOrLinesKeepTheColumnsAligned) {
  const TStackTrace trace = {Item(0x00401000, 0, "a.dll", "", 0, 0, false, "Export"),
                             Item(0x00401234, 0x00401200, "bb.dll", "", 0, 0, false, "Other")};
  EXPECT_EQ(LayoutTrace(trace, true, true).text,
            "00401000 +00 a.dll   Export\r\n"
            "00401234 +34 bb.dll  Other");
  EXPECT_EQ(LayoutTrace({}, true, true).text, "");
}

TEST(TraceLayout, ChecksumsDependOnFunctionsNotOnWhereTheModuleWasLoaded) {
  TStackTrace moved = kTrace;
  for (TStackItem& i : moved) {
    if (i.functionStart == 0) continue;
    i.Addr_ += 0x10000;
    i.functionStart += 0x10000;
  }
  const TraceLines here = LayoutTrace(kTrace, true, true);
  const TraceLines there = LayoutTrace(moved, true, true);
  EXPECT_EQ(here.crc.crc1, there.crc.crc1);
  EXPECT_EQ(here.crc.crc2, there.crc.crc2);
  EXPECT_NE(here.crc.crc1, here.crc.crc2);

  // A line without a known function counts with its address.
  moved.back().Addr_ += 4;
  EXPECT_EQ(LayoutTrace(moved, true, true).crc.crc1, here.crc.crc1);
  EXPECT_NE(LayoutTrace(moved, true, true).crc.crc2, here.crc.crc2);

  // A single line: both values are that line's.
  const TraceLines one = LayoutTrace({kTrace[0]}, true, true);
  EXPECT_EQ(one.crc.crc1, one.crc.crc2);
}

TEST(TraceLayout, LineInformationNeedsAValueAboveZeroInTheRelativeLineColumn) {
  struct Case {
    TStackItem item;
    bool relLines;
    bool hasLines;
  } cases[] = {
      {Item(0x401000, 0x401000, "m.exe", "u", 30, 0, true, "f"), true, false},  // "+0"
      {Item(0x401000, 0x401000, "m.exe", "u", 30, 0, true, "f"), false, true},  // "30"
      {Item(0x401004, 0x401000, "m.exe", "u", 31, 1, true, "f"), true, true},
      {Item(0x401004, 0, "m.dll", "", 0, 0, false, "f"), true, false},
  };
  for (const Case& c : cases) EXPECT_EQ(LayoutTrace({c.item}, true, c.relLines).hasLines, c.hasLines) << c.item.Addr_;
}

TEST(ThreadSections, NamesPlaceholdersAndCreatorLines) {
  EXPECT_EQ(ThreadSectionName("main thread ($a4)", false, 0), "main thread ($a4):");
  EXPECT_EQ(ThreadSectionName("thread $1c (TWorker)", true, -2), "thread $1c (TWorker): <suspended> <priority:-2>");
  EXPECT_EQ(ThreadSectionName("x ($2)", false, 15), "x ($2): <priority:15>");

  EXPECT_EQ(ThreadPlaceholder("00000000 +0 ???"), "00000000 +0 ???\r\n>> stack will be calculated soon");
  EXPECT_EQ(StackNotAccessible(false, "00401000 +0 ???"), ">> stack not accessible");
  EXPECT_EQ(StackNotAccessible(true, "00401000 +0 ???"), ">> stack not accessible, exception location: \r\n00401000 +0 ???");

  struct Case {
    const char* trace;
    const char* text;
  } cases[] = {
      {"", ""},
      {">> internal error in InDeepChecks", ">> internal error in InDeepChecks"},
      {"00401000 site", ">> created by main thread ($a4) at:\r\n00401000 site"},
      {"00402000 inner\r\n00401500 middle\r\n00401000 site",
       "00402000 inner\r\n00401500 middle\r\n>> created by main thread ($a4) at:\r\n00401000 site"},
  };
  for (const Case& c : cases) EXPECT_EQ(InsertCreatorLine(c.trace, "main thread ($a4)"), c.text) << c.trace;
}

class HeaderFields : public ::testing::Test {
 protected:
  void SetUp() override {
    header.AcceptData();
    // The machine's fields as they come: some are left out when their value is empty.
    for (const char* name : {"date/time", "computer name", "wts client name", "user name", "Kestrum version"})
      header.SetContent(name, std::string(name) == "wts client name" ? "" : "value");
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : header.Items()) names.push_back(item.first);
    return names;
  }
  FieldList header;
};

TEST_F(HeaderFields, ClassAndMessage) {
  struct Case {
    const char* className;
    const char* message;
    bool frozen;
    const char* classField;    // "" when absent
    const char* messageField;  // "" when absent
  } cases[] = {
      {"EConvertError", "'abc' ist kein g\xFCltiger Integerwert!!", false, "EConvertError",
       "'abc' ist kein g\xFCltiger Integerwert."},
      {"EAbort", "EAbort", false, "EAbort", ""},
      {"Exception", "line one\r\nline two...", false, "Exception", "line one line two."},
      {"", "", true, "", "Das Programm reagiert nicht."},
  };
  for (const Case& c : cases) {
    FieldList h;
    h.AcceptData();
    ExceptionHeaderInput in;
    in.className = c.className;
    in.message = c.message;
    in.frozen = c.frozen;
    in.frozenMsg = "Das Programm reagiert nicht.";
    in.number = 7;
    AddExceptionHeaderFields(h, in);
    EXPECT_EQ(h.Content("exception class"), c.classField) << c.message;
    EXPECT_EQ(h.Content("exception message"), c.messageField) << c.message;
    EXPECT_EQ(h.Content("exception number"), "7");
    EXPECT_EQ(h.Content("callstack crc"), "will be calculated soon");
  }
}

TEST_F(HeaderFields, LaterFieldsGoInFrontOfTheChecksumOneBehindTheOther) {
  ExceptionHeaderInput in;
  in.plugins = {{"build", "nightly"}, {"empty plug-in", ""}};
  in.className = "EFoo";
  in.message = "bar";
  in.number = 1;
  AddExceptionHeaderFields(header, in);
  header.SetContent("customer", "ACME");
  header.SetContent("order", "17");
  const std::uint32_t crc[3] = {0x0badf00d, 0x11111111, 0x22222222};
  FinishHeader(header, crc, {"Kelvane.exe|abc123", "bad entry", "Other.dll|x|y"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"date/time", "computer name", "user name", "Kestrum version", "build", "customer",
                                               "order", "Kelvane.exe.korb", "Other.dll.korb", "callstack crc", "exception number",
                                               "exception class", "exception message"}));
  EXPECT_EQ(header.Content("callstack crc"), "$0badf00d, $11111111, $22222222");
  EXPECT_EQ(header.Content("callstack crc").size(), 31u);
  EXPECT_EQ(header.Content("Kelvane.exe.korb"), "abc123");
  EXPECT_EQ(header.Content("Other.dll.korb"), "x|y");
}

TEST(Plugins, NamesAreSplitAtBarsAndKeptAsWritten) {
  EXPECT_EQ(PluginNames("modules|processes||hardware"), (std::vector<std::string>{"modules", "processes", "hardware"}));
  EXPECT_EQ(PluginNames(" modules |"), (std::vector<std::string>{" modules "}));
  EXPECT_TRUE(PluginNames("").empty());
}

}  // namespace
}  // namespace report
