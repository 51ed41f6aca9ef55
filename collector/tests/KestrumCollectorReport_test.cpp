#include "collector/KestrumCollectorReport.h"

#include <gtest/gtest.h>

#include "collector/tests/CollectorFixtures.h"
#include "delivery/KestrumBugReportFile.h"

namespace collector {
namespace {

using testing::CrashTrace;
using testing::Item;
using testing::MakeReport;
using testing::ReportRecipe;

TEST(CollectorReport, RecomputesTheComponentsChecksumForEveryTraceShape) {
  struct Case {
    const char* what;
    report::TStackTrace trace;
  } cases[] = {
      {"own frames, a library export and an unknown module", CrashTrace()},
      {"units missing on some rows", {Item(0x00401000, 0, "a.dll", "", 0, 0, "Export"), Item(0x00401234, 0x00401200, "bb.dll", "", 0, 0, "Other")}},
      {"function names with blanks and digits in the unit column",
       {Item(0x00405000, 0x00404ff0, "Kelvane.exe", "std_vector", 12345, 7, "void std.__invoke_impl<void, X&>(std.__invoke_other, X&)"),
        Item(0x00406000, 0x00405000, "Kelvane.exe", "u1", 3, 0, "operator new(unsigned int)")}},
      {"only unknown addresses", {Item(0x10000000, 0, "???", "", 0, 0, ""), Item(0x10000010, 0, "???", "", 0, 0, "")}},
      {"module names in mixed case and umlauts",
       {Item(0x00401010, 0x00401000, "KELVANE.EXE", "\xC4nderung", 5, 1, "\xDC" "berpr\xFC" "fen")}},
  };
  for (const Case& c : cases) {
    ReportRecipe recipe;
    recipe.trace = c.trace;
    const std::string text = MakeReport(recipe);
    const std::optional<ParsedReport> r = ParseReport(text);
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->crashCrc, report::LayoutTrace(c.trace, true, true).crc.crc2) << c.what;
    EXPECT_EQ(r->checksum, ChecksumState::kMatches) << c.what;
  }
}

TEST(CollectorReport, ReadsHeaderSectionsAndTraceColumns) {
  const std::optional<ParsedReport> r = ParseReport(MakeReport({}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exceptionClass, "EAccessViolation");
  EXPECT_EQ(r->message, "Zugriffsverletzung bei Adresse 004035F8.");
  EXPECT_EQ(r->version, "1.0.0.0");
  EXPECT_EQ(r->os, "Windows XP Service Pack 3");
  EXPECT_EQ(r->program, "Kelvane.exe");
  EXPECT_EQ(r->Field("computer name"), "KELVANE-PC");
  ASSERT_EQ(r->sections.size(), 3u);
  EXPECT_TRUE(r->sections[0].thread);
  EXPECT_FALSE(r->sections[1].thread);
  EXPECT_TRUE(r->sections[2].thread) << "a suspended thread with a priority is still a thread";
  EXPECT_EQ(r->sections[2].title, "TReadThread ($b8)");
  const std::vector<TraceRow>& rows = r->sections[0].rows;
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].address, 0x004035f8u);
  EXPECT_EQ(rows[0].relative, 8u);
  EXPECT_EQ(rows[0].module, "Kelvane.exe");
  EXPECT_EQ(rows[0].unit, "uMain");
  EXPECT_EQ(rows[0].line, "176");
  EXPECT_EQ(rows[0].relLine, "+2");
  EXPECT_EQ(rows[0].function, "TFormMain.btOpenClick(TObject*)");
  EXPECT_EQ(rows[2].unit, "");
  EXPECT_EQ(rows[2].function, "DispatchMessageA");
  EXPECT_EQ(rows[3].module, "???");
  EXPECT_EQ(r->firstOwnFrame, "TFormMain.btOpenClick(TObject*)");
  EXPECT_EQ(r->title, "EAccessViolation in TFormMain.btOpenClick(TObject*)");
}

TEST(CollectorReport, GroupsEqualCrashesAndSeparatesOthers) {
  ReportRecipe later;
  later.date = "2026-12-11, 09:00:00, 1ms";
  later.processId = "$2b0";
  later.version = "1.0.1.0";
  const ParsedReport a = *ParseReport(MakeReport({}));
  const ParsedReport b = *ParseReport(MakeReport(later));
  ReportRecipe elsewhere;
  elsewhere.trace = CrashTrace("TFormMain.btSendClick(TObject*)", 0x00403700);
  const ParsedReport c = *ParseReport(MakeReport(elsewhere));
  EXPECT_EQ(a.groupKey, b.groupKey) << "time, process and version do not split a group";
  EXPECT_NE(a.groupKey, c.groupKey);
}

TEST(CollectorReport, KeepsAReportWhoseStatedChecksumDiffersAndGroupsItByTheRecomputedOne) {
  ReportRecipe tampered;
  tampered.tamperCrc = true;
  const ParsedReport honest = *ParseReport(MakeReport({}));
  const ParsedReport liar = *ParseReport(MakeReport(tampered));
  EXPECT_EQ(liar.checksum, ChecksumState::kDiffers);
  EXPECT_EQ(liar.groupKey, honest.groupKey);
}

TEST(CollectorReport, TakesTheStatedChecksumWhenTheTraceHasNoRelativeAddresses) {
  ReportRecipe plain;
  plain.relAddrs = false;
  const ParsedReport r = *ParseReport(MakeReport(plain));
  EXPECT_EQ(r.checksum, ChecksumState::kNotCheckable);
  EXPECT_EQ(r.crashCrc, report::LayoutTrace(CrashTrace(), false, true).crc.crc2);
}

TEST(CollectorReport, TracesThatCouldNotBeMadeGroupByClass) {
  for (const char* body : {">> internal error in GetThreadReport", ">> stack not accessible, exception location: \r\n00401000 +0 ???"}) {
    const std::string text = report::ComposeReport({{"date/time", "x"}, {"executable", "K.exe"}, {"exception class", "EFoo"}},
                                                   {{"main thread ($1):", body}});
    const ParsedReport r = *ParseReport(text);
    EXPECT_EQ(r.crashCrc, 0u) << body;
    EXPECT_EQ(r.groupKey, "k.exe/00000000/EFoo") << body;
  }
}

TEST(CollectorReport, RefusesWhatIsNoReport) {
  std::string why;
  for (std::string_view text : {std::string_view(""), std::string_view("hello"), std::string_view("\xEF\xBB\xBF" "date/time: x")}) {
    EXPECT_FALSE(ParseReport(text, &why)) << text;
    EXPECT_NE(why.find("date/time"), std::string::npos);
  }
  EXPECT_FALSE(ParseReport("date/time: x\r\n" + std::string(kMaxReportBytes, 'a'), &why));
}

TEST(CollectorReport, SplitsABugReportFileTheComponentFolded) {
  delivery::StoreRules rules;
  rules.sizeLimit = 0;
  std::string file;
  ReportRecipe other;
  other.trace = CrashTrace("TFormMain.btSendClick(TObject*)", 0x00403700);
  for (const std::string& r : {MakeReport({}), MakeReport(other), MakeReport({})}) file = delivery::PlanStore(file, r, rules).content;
  const std::vector<std::string_view> reports = SplitReportFile(file);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(ParseReport(reports[0])->count, 1u);
  EXPECT_EQ(ParseReport(reports[1])->count, 2u) << "the folded report carries its count";
  // The same file after a trip through a tool that dropped the CRs.
  std::string lf = file;
  std::erase(lf, '\r');
  const std::vector<std::string_view> lfReports = SplitReportFile(lf);
  ASSERT_EQ(lfReports.size(), 2u);
  EXPECT_EQ(ParseReport(lfReports[1])->groupKey, ParseReport(reports[1])->groupKey);
}

TEST(CollectorReport, DisplayTextIsAlwaysUtf8) {
  EXPECT_EQ(DisplayText("ung\xFCltig"), "ung\xC3\xBCltig") << "code page 1252, as the component writes";
  EXPECT_EQ(DisplayText("g\xC3\xBCltig"), "g\xC3\xBCltig") << "UTF-8 stays";
  EXPECT_EQ(DisplayText("a\x01" "b\tc\r\n"), "ab\tc\r\n");
  EXPECT_EQ(DisplayText("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xE2\x82\xAC") << "an encoded surrogate is no UTF-8";
}

TEST(CollectorReport, ReadsTheReportsTime) {
  EXPECT_EQ(ReportTime("2026-12-10, 17:03:09, 45ms"), 1796922189);
  for (const char* bad : {"", "yesterday", "2026-13-10, 17:03:09, 45ms", "2026-12-10 17:03"}) EXPECT_FALSE(ReportTime(bad)) << bad;
}

TEST(CollectorReport, ComparesVersionsPartByPart) {
  struct Case {
    const char *a, *b;
    int result;
  } cases[] = {{"1.0", "1.0.0", 0}, {"1.2", "1.10", -1}, {"2.0", "1.99.99", 1}, {"1.0.0.7", "1.0.0.7", 0},
               {"1.0b", "1.0a", 1}, {"", "0", 0},        {"010", "9", 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersions(c.a, c.b), c.result) << c.a << " vs " << c.b;
    EXPECT_EQ(CompareVersions(c.b, c.a), -c.result) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace collector
