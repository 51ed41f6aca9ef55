#include "delivery/KestrumBugReportFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace delivery {
namespace {

constexpr const char* kCrcA = "$0badf00d, $11111111, $22222222";
constexpr const char* kCrcB = "$0badf00d, $11111111, $33333333";  // other threads differ
constexpr const char* kCrcC = "$0badf00d, $44444444, $55555555";  // crash stack differs
constexpr const char* kCrcD = "$12345678, $11111111, $22222222";  // exception address differs

// A report as the composer lays it out: names padded to the longest, sections after an empty line.
struct Facts {
  std::string time = "2026-12-10, 17:00:00, 5ms";
  std::string crc = kCrcA;
  std::string exceptClass = "EConvertError";
  std::string version = "1.0.0.0";
  std::string executable = "Kelvane.exe";
  std::string execDate = "2026-12-01 10:00";
  std::string section = "main thread ($1):\r\n00401000 +00 Kelvane.exe uMain 12 +1 TForm1.Button1Click";
};
std::string Report(const Facts& f) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"date/time", f.time}, {"executable", f.executable}, {"exec. date/time", f.execDate}, {"version", f.version},
      {"callstack crc", f.crc}, {"exception number", "1"}, {"exception class", f.exceptClass},
      {"exception message", "'abc' is not a valid integer value."}};
  std::string r;
  for (const auto& [name, value] : fields) {
    if (value.empty()) continue;
    if (!r.empty()) r += "\r\n";
    r += name + std::string(18 - name.size(), ' ') + ": " + value;
  }
  return r + "\r\n\r\n" + f.section;
}
Facts With(std::string Facts::*field, std::string value) {
  Facts f;
  f.*field = std::move(value);
  return f;
}

TEST(BugReportHeader, ExtractHeaderValue) {
  const std::string report = Report({}) + "\r\n\r\nplugin:\r\nversion           : from a section";
  struct Case {
    const char* name;
    const char* want;
  } cases[] = {
      {"executable", "Kelvane.exe"},
      {"callstack crc", kCrcA},
      {"exception message", "'abc' is not a valid integer value."},
      {"exception", ""},             // a longer name's line is not this one's
      {"date/time", ""},             // the first line has no line end before it
      {"count", ""},                 // absent
      {"plugin", ""},                // sections are not the header
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtractHeaderValue(report, c.name), c.want) << c.name;
  EXPECT_EQ(ExtractHeaderValue("date/time : x\r\nversion :", "version"), "") << "nothing after the colon";
  EXPECT_EQ(ExtractHeaderValue("date/time : x\r\nversion   : 2.0", "version"), "2.0") << "last line without line end";
  EXPECT_EQ(ExtractHeaderValue("date/time : x\r\nversions : 9\r\nversion : 2", "version"), "2");
}

TEST(BugReportHeader, InsertHeaderLineLinesUpBelowTheNamedLine) {
  std::string report = Report({});
  ASSERT_TRUE(InsertHeaderLine(report, "count", "callstack crc", "2"));
  EXPECT_NE(report.find(std::string("callstack crc     : ") + kCrcA + "\r\ncount             : 2\r\nexception number"),
            std::string::npos)
      << report;

  for (const char* after : {"date/time", "no such", ""}) {
    std::string unchanged = Report({});
    EXPECT_FALSE(InsertHeaderLine(unchanged, "count", after, "2")) << after;
    EXPECT_EQ(unchanged, Report({}));
  }
  std::string noColon = "date/time : x\r\ncallstack crc";
  EXPECT_FALSE(InsertHeaderLine(noColon, "count", "callstack crc", "2"));
}

TEST(BugReportFile, SplitFindsReportsOnlyAfterAnEmptyLine) {
  Facts typed;
  typed.section = "plugin:\r\ndate/time : typed by a user\r\nmore";
  const std::string a = Report({}) + "\r\n\r\n", b = Report(typed) + "\r\n\r\n";
  const std::string file = a + b + a;
  const std::vector<StoredReport> reports = SplitStoredReports(file);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].begin, 0u);
  EXPECT_EQ(reports[1].begin, a.size());
  EXPECT_EQ(reports[1].end, a.size() + b.size());
  EXPECT_EQ(reports[2].end, file.size());

  EXPECT_EQ(SplitStoredReports("notes\r\n\r\n" + a).size(), 1u) << "text in front belongs to no report";
  EXPECT_TRUE(SplitStoredReports("").empty());
}

TEST(BugReportFile, DuplicateKeyFollowsTheDefinitionForTheReportsKind) {
  const std::string exception = Report({}), freeze = Report(With(&Facts::exceptClass, ""));
  StoreRules rules;
  EXPECT_EQ(DuplicateKey(exception, rules), kCrcA);
  rules.dupExceptDef = kestrum::ddExceptAddrIdentical;
  EXPECT_EQ(DuplicateKey(exception, rules), "$0badf00d");
  rules.dupExceptDef = kestrum::ddCrashStackIdentical;
  EXPECT_EQ(DuplicateKey(exception, rules), "$0badf00d, $11111111");
  EXPECT_EQ(DuplicateKey(freeze, rules), kCrcA) << "freezes have their own definition";
  rules.noDupFreezes = false;
  EXPECT_EQ(DuplicateKey(freeze, rules), "");
  rules.noDupExcepts = false;
  EXPECT_EQ(DuplicateKey(exception, rules), "");
  EXPECT_EQ(DuplicateKey(Report(With(&Facts::crc, "will be calculated soon")), StoreRules{}), "");
}

// The file after storing the given reports one after the other into an empty file.
std::string StoreAll(const std::vector<std::string>& reports, const StoreRules& rules = {}) {
  std::string file;
  for (const std::string& r : reports) file = PlanStore(file, r, rules).content;
  return file;
}
int Count(const std::string& file, const std::string& what) {
  int n = 0;
  for (std::size_t pos = 0; (pos = file.find(what, pos)) != std::string::npos; ++pos) ++n;
  return n;
}

TEST(BugReportFile, FoldingKeepsOneReportOfAFaultWithItsCount) {
  const std::string a = Report({});
  const Facts laterA = With(&Facts::time, "2026-12-10, 18:00:00, 7ms");

  std::string file = StoreAll({a});
  EXPECT_EQ(file, a + "\r\n\r\n") << "an empty file gets the report and an empty line, no count";

  const StorePlan second = PlanStore(file, Report(laterA), {});
  EXPECT_EQ(second.count, 2u);
  EXPECT_EQ(SplitStoredReports(second.content).size(), 1u);
  EXPECT_NE(second.content.find("18:00:00"), std::string::npos) << "the new report stays, the old goes";
  EXPECT_NE(second.content.find("\r\ncount             : 2\r\n"), std::string::npos) << second.content;

  const StorePlan third = PlanStore(second.content, a, {});
  EXPECT_EQ(third.count, 3u);
  EXPECT_EQ(Count(third.content, "\r\ncount "), 1) << third.content;
  EXPECT_NE(third.content.find("\r\ncount             : 3\r\n"), std::string::npos);
}

TEST(BugReportFile, WhichStoredReportsFold) {
  StoreRules freezeByAddress;
  freezeByAddress.dupFreezeDef = kestrum::ddExceptAddrIdentical;
  StoreRules noDupExcepts;
  noDupExcepts.noDupExcepts = false;
  StoreRules byCrashStack;
  byCrashStack.dupExceptDef = kestrum::ddCrashStackIdentical;
  Facts noVersion = With(&Facts::version, "");
  Facts noVersionOtherDate = noVersion;
  noVersionOtherDate.execDate = "2026-12-02 11:00";
  Facts freeze = With(&Facts::exceptClass, "");
  Facts freezeOtherStack = freeze;
  freezeOtherStack.crc = kCrcC;
  struct Case {
    const char* name;
    Facts stored, added;
    StoreRules rules;
    bool folds;
  } cases[] = {
      {"same fault", {}, {}, {}, true},
      {"other threads differ", {}, With(&Facts::crc, kCrcB), {}, false},
      {"other threads differ, crash stack rule", {}, With(&Facts::crc, kCrcB), byCrashStack, true},
      {"crash stack differs, crash stack rule", {}, With(&Facts::crc, kCrcC), byCrashStack, false},
      {"other address", {}, With(&Facts::crc, kCrcD), {}, false},
      {"other version", {}, With(&Facts::version, "1.0.0.1"), {}, false},
      {"other executable", {}, With(&Facts::executable, "Other.exe"), {}, false},
      {"other class", {}, With(&Facts::exceptClass, "EAccessViolation"), {}, false},
      {"no version, same file date", noVersion, noVersion, {}, true},
      {"no version, other file date", noVersion, noVersionOtherDate, {}, false},
      {"folding off for exceptions", {}, {}, noDupExcepts, false},
      {"incomplete checksum", With(&Facts::crc, "$1"), With(&Facts::crc, "$1"), {}, false},
      {"freezes by address", freeze, freezeOtherStack, freezeByAddress, true},
      {"exception against freeze", freeze, {}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stored = StoreAll({Report(c.stored)}, c.rules);
    const StorePlan plan = PlanStore(stored, Report(c.added), c.rules);
    EXPECT_EQ(plan.count, c.folds ? 2u : 0u);
    EXPECT_EQ(SplitStoredReports(plan.content).size(), c.folds ? 1u : 2u);
  }
}

TEST(BugReportFile, FoldingRemovesTheWholeStoredReportAndNothingElse) {
  Facts typed;  // a section line that merely begins like a report
  typed.section = "plugin:\r\ndate/time : typed by a user";
  const std::string before = Report(With(&Facts::crc, kCrcB)), after = Report(With(&Facts::crc, kCrcC));
  const std::string file = StoreAll({before, Report(typed), after});
  const StorePlan plan = PlanStore(file, Report({}), {});
  EXPECT_EQ(plan.count, 2u);
  EXPECT_TRUE(plan.content.starts_with(before + "\r\n\r\n" + after + "\r\n\r\ndate/time")) << plan.content;
  EXPECT_EQ(plan.content.find("typed by a user"), std::string::npos);

  Facts counted;  // a count edited by hand counts from 1
  for (const char* count : {"x", "", "0", "99999999999999999999999"}) {
    std::string stored = Report({});
    InsertHeaderLine(stored, "count", "callstack crc", count);
    const std::uint64_t got = PlanStore(stored + "\r\n\r\n", Report({}), {}).count;
    EXPECT_GE(got, 2u) << count;
  }
}

TEST(BugReportFile, AppendOffKeepsOnlyTheNewReport) {
  StoreRules rules;
  rules.append = false;
  const std::string r = Report(With(&Facts::crc, kCrcB));
  EXPECT_EQ(PlanStore(StoreAll({Report({}), Report({})}), r, rules).content, r + "\r\n\r\n");
}

TEST(BugReportFile, TrimmingDropsTheOldestReportsBelowThreeQuartersOfTheLimit) {
  // Reports of about 10000 bytes that never fold.
  auto big = [](int i) {
    Facts f = With(&Facts::crc, kCrcB);
    f.time = "2026-12-10, 17:00:" + std::to_string(10 + i) + ", 0ms";
    f.section = "filler:\r\n" + std::string(10000, 'x');
    return Report(f);
  };
  std::string file;
  for (int i = 0; i < 12; ++i) file += big(i) + "\r\n\r\n";
  ASSERT_GT(file.size(), 120000u);

  const std::string added = Report(With(&Facts::crc, kCrcC));
  const StorePlan trimmed = PlanStore(file, added, {});
  const std::string before = trimmed.content.substr(0, trimmed.content.size() - added.size() - 4);
  EXPECT_LT(before.size(), 75000u);
  EXPECT_GE(before.size() + 10100, 75000u) << "no more than needed goes";
  EXPECT_TRUE(file.ends_with(before)) << "the newest reports stay, whole";
  EXPECT_EQ(trimmed.droppedReports, 12 - SplitStoredReports(before).size());

  StoreRules noLimit;
  noLimit.sizeLimit = 0;
  EXPECT_EQ(PlanStore(file, added, noLimit).droppedReports, 0u);

  Facts huge = With(&Facts::crc, kCrcB);
  huge.section = "filler:\r\n" + std::string(90000, 'x');
  const std::string single = Report(huge) + "\r\n\r\n";
  Facts medium = With(&Facts::crc, kCrcD);
  medium.section = "filler:\r\n" + std::string(60000, 'x');
  EXPECT_EQ(PlanStore(single + Report(medium) + "\r\n\r\n", added, {}).droppedReports, 1u);
  const StorePlan one = PlanStore(single, added, {});
  EXPECT_EQ(one.droppedReports, 0u) << "the newest stored report stays even when it alone is too large";
  EXPECT_EQ(one.content, single + added + "\r\n\r\n");
}

TEST(BugReportFile, AFileCutShortStillGetsTheNewReportOnAReportBoundary) {
  const std::string r = Report({});
  for (const char* tail : {"", "\r\n", "\r\n\r"}) {
    SCOPED_TRACE(testing::PrintToString(tail));
    const std::string stored = Report(With(&Facts::crc, kCrcB)) + tail;
    const StorePlan plan = PlanStore(stored, r, {});
    EXPECT_EQ(SplitStoredReports(plan.content).size(), 2u);
    EXPECT_TRUE(plan.content.starts_with(stored));
  }
}

// An exclusively opened file on a device that takes limited bytes or fails the nth write.
class FakeFile : public ReportFileWriter {
 public:
  explicit FakeFile(std::string content) : content_(std::move(content)) {}
  std::size_t capacity = SIZE_MAX;
  int failWrite = -1;  // index of the write that fails
  std::string content_;

  bool WriteAt(std::uint64_t position, std::string_view data) override {
    if (writes_++ == failWrite) return false;
    if (content_.size() < position) content_.resize(position, '\0');
    const std::size_t room = capacity > position ? capacity - position : 0;
    const std::size_t n = std::min(room, data.size());
    content_.replace(position, std::min<std::size_t>(n, content_.size() - position), data.substr(0, n));
    return n == data.size();
  }
  bool SetLength(std::uint64_t length) override {
    content_.resize(length, '\0');
    return true;
  }

 private:
  int writes_ = 0;
};

TEST(BugReportFile, ReplaceStoredContentNeverLosesTheStoredReports) {
  const std::string old = StoreAll({Report(With(&Facts::crc, kCrcB)), Report({})});
  const std::string appended = PlanStore(old, Report(With(&Facts::crc, kCrcC)), {}).content;
  const std::string folded = PlanStore(old, Report({}), {}).content;
  ASSERT_TRUE(appended.starts_with(old));
  ASSERT_FALSE(folded.starts_with(old));
  struct Case {
    const char* name;
    const std::string& target;
    std::size_t capacity;
    int failWrite;
    bool ok;
  } cases[] = {
      {"append", appended, SIZE_MAX, -1, true},
      {"fold", folded, SIZE_MAX, -1, true},
      {"append, disk full", appended, old.size() + 10, -1, false},
      {"fold, disk full while staging", folded, old.size() + 10, -1, false},
      {"append, write fails", appended, SIZE_MAX, 0, false},
      {"fold, staging fails", folded, SIZE_MAX, 0, false},
      {"fold, final write fails", folded, SIZE_MAX, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFile file(old);
    file.capacity = c.capacity;
    file.failWrite = c.failWrite;
    EXPECT_EQ(ReplaceStoredContent(file, old, c.target), c.ok);
    EXPECT_EQ(file.content_, c.ok ? c.target : old);
  }
}

TEST(BugReportPath, MakeAbsolutePath) {
  struct Case {
    const char* path;
    const char* exeFolder;
    const char* want;
  } cases[] = {
      {"bugreport.txt", "C:\\Programs\\Kelvane\\", "C:\\Programs\\Kelvane\\bugreport.txt"},
      {"a", "C:\\P\\", "C:\\P\\a"},
      {"logs\\.\\r.txt", "C:\\P\\", "C:\\P\\logs\\r.txt"},
      {"..\\bugreport.txt", "C:\\Programs\\Kelvane\\", "C:\\Programs\\bugreport.txt"},
      {"..\\..\\..\\x.txt", "C:\\P\\", "C:\\..\\..\\x.txt"},
      {"\\reports\\r.txt", "D:\\Programs\\Kelvane\\", "D:\\reports\\r.txt"},
      {"\\reports\\r.txt", "\\\\server\\share\\Kelvane\\", "\\\\server\\share\\reports\\r.txt"},
      {"\\r.txt", "\\\\server\\share", "\\\\server\\share\\r.txt"},
      {"E:\\x\\y\\..\\r.txt", "C:\\P\\", "E:\\x\\r.txt"},
      {"E:\\x\\.\\.\\r.txt", "C:\\P\\", "E:\\x\\r.txt"},
      {"E:\\x\\y\\..", "C:\\P\\", "E:\\x\\"},
      {"\\\\srv\\share\\a\\..\\r.txt", "C:\\P\\", "\\\\srv\\share\\r.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeAbsolutePath(c.path, c.exeFolder), c.want) << c.path << " in " << c.exeFolder;
}

TEST(BugReportPath, MiniDumpBesideTheReport) {
  struct Case {
    const char* report;
    const char* dump;
  } cases[] = {
      {"C:\\Programs\\Kelvane\\bugreport.txt", "C:\\Programs\\Kelvane\\bugreport.dmp"},
      {"C:\\P\\report.2026.log", "C:\\P\\report.2026.dmp"},
      {"C:\\My.Reports\\bugreport", "C:\\My.Reports\\bugreport.dmp"},
      {"C:\\P\\.hidden", "C:\\P\\.hidden.dmp"},
      {"bugreport.txt", "bugreport.dmp"},
  };
  for (const Case& c : cases) EXPECT_EQ(MiniDumpPathFor(c.report), c.dump) << c.report;
}

}  // namespace
}  // namespace delivery
