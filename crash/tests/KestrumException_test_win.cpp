// The exception object in process, with the shipped settings compiled into this test program:
// its private view of the settings, the filter groups, the rules of its setters and its texts.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/KestrumException_win.h"
#include "platform/Exceptions.h"
#include "report/KestrumSystemLists.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

KELVANE_EXCEPTION_CLASS(EOwnEditError, EDBEditError);

namespace kestrum {
namespace {

std::exception_ptr Thrown(auto make) {
  try {
    make();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

class ExceptionObject : public ::testing::Test {
 protected:
  void SetUp() override { module_ = SettingsForModule(GetModuleHandleA(nullptr)); }
  void TearDown() override {
    for (TIZQException* e : made_) e->Release();
    module_->Release();
  }
  TIZQException* Make(std::exception_ptr object, bool canContinue = true, TExceptType type = etNormal) {
    ExceptionFacts facts;
    facts.object = std::move(object);
    facts.canContinue = canContinue;
    facts.type = type;
    made_.push_back(new TIZQException(module_, facts));
    return made_.back();
  }

  IZQModuleSettings* module_ = nullptr;
  std::vector<TIZQException*> made_;
};

TEST_F(ExceptionObject, ChangesStayWithTheExceptionAndReadsFallThrough) {
  ASSERT_TRUE(module_->IsValid());
  TIZQException* e = Make(Thrown([] { throw Exception("x"); }));
  TIZQException* other = Make(Thrown([] { throw Exception("y"); }));
  e->SetAutoSave(false);
  e->SetTitleBar("changed");
  EXPECT_FALSE(e->GetAutoSave());
  EXPECT_EQ(e->GetTitleBar(), "changed");
  EXPECT_TRUE(module_->GetAutoSave()) << "the module's settings are untouched";
  EXPECT_TRUE(other->GetAutoSave()) << "and so are another exception's";
  EXPECT_EQ(other->GetTitleBar(), module_->GetTitleBar());
  EXPECT_EQ(e->GetBugReportFile(), module_->GetBugReportFile()) << "reads fall through to the module";
  // The settings interface of the exception is the same private view.
  EXPECT_FALSE(e->Settings()->GetAutoSave());
}

TEST_F(ExceptionObject, FilterGroupsByClassAndAncestors) {
  const struct {
    const char* what;
    std::exception_ptr object;
    TZQShowSetting show;
    bool report;
  } cases[] = {
      {"general", Thrown([] { throw Exception("x"); }), ssFullBox, true},
      {"filter 1 by class", Thrown([] { throw EDBEditError("x"); }), ssSimpleBox, false},
      {"filter 1 by ancestor", Thrown([] { throw EOwnEditError("x"); }), ssSimpleBox, false},
      {"a foreign exception", Thrown([] { throw std::logic_error("x"); }), ssFullBox, true},
  };
  for (const auto& c : cases) {
    TIZQException* e = Make(c.object);
    EXPECT_EQ(e->GetShowSetting(), c.show) << c.what;
    EXPECT_EQ(e->GetCreateBugReport(), c.report) << c.what;
    EXPECT_EQ(e->GetCallHandlers(), c.report) << c.what;
    EXPECT_EQ(e->GetCreateScreenShot(), c.report) << c.what << ": the screenshot goes with the report here";
  }
}

TEST_F(ExceptionObject, CanContinueReturnsOnlyWhenItWasGivenAtCreation) {
  TIZQException* can = Make(nullptr, true);
  can->SetCanContinue(false);
  EXPECT_FALSE(can->GetCanContinue());
  can->SetCanContinue(true);
  EXPECT_TRUE(can->GetCanContinue());
  TIZQException* cannot = Make(nullptr, false);
  cannot->SetCanContinue(true);
  EXPECT_FALSE(cannot->GetCanContinue());
}

TEST_F(ExceptionObject, PostProcessingOfACompleteReportIsTheCompletePhase) {
  TIZQException* e = Make(nullptr);
  EXPECT_EQ(e->GetPhase(), epNotHandledYet);
  e->GetBugReport(true);
  e->SetPhase(epPostProcessing);
  EXPECT_EQ(e->GetPhase(), epCompleteReport);
}

TEST_F(ExceptionObject, TextsAndReport) {
  TIZQException* e = Make(Thrown([] { throw std::runtime_error("\t  broken pipe!!  "); }));
  EXPECT_EQ(e->GetExceptClass(), "std::runtime_error");
  EXPECT_EQ(e->GetExceptMessage(), "broken pipe.");
  const std::string report = e->GetBugReport();
  // Names are padded to the longest name ("exception message") + 1.
  EXPECT_NE(report.find("exception class   : std::runtime_error\r\n"), std::string::npos) << report;
  EXPECT_NE(report.find("exception message : broken pipe.\r\n"), std::string::npos) << report;
  EXPECT_EQ(Make(nullptr)->GetExceptClass(), "Unknown");
  TIZQException* frozen = Make(nullptr, true, etFrozen);
  EXPECT_EQ(frozen->ShowText(), "The application seems to be frozen.");
  EXPECT_EQ(frozen->GetBugReport().find("exception class"), std::string::npos);
  // The box breaks long messages after each sentence, but not near either end.
  TIZQException* longer = Make(Thrown([] { throw Exception("First sentence here. Second sentence. End"); }));
  EXPECT_EQ(longer->ShowText(), "First sentence here.\r\nSecond sentence. End.");
  TIZQException* early = Make(Thrown([] { throw Exception("Short one. Then a longer second sentence"); }));
  EXPECT_EQ(early->ShowText(), "Short one. Then a longer second sentence.");
}

std::vector<std::string> g_seen;
void Remember(bool complete, const std::string& report, IZQException*) {
  g_seen.push_back((complete ? "complete " : "partial ") + report);
}

TEST_F(ExceptionObject, ReportCallbacksAndTheOneAutomaticSave) {
  g_seen.clear();
  TIZQException* e = Make(Thrown([] { throw Exception("x"); }));
  e->RegisterBugReportCallback(Remember, false);
  ASSERT_EQ(g_seen.size(), 1u) << "called at once with the report as it stands";
  EXPECT_FALSE(e->CriticalBugReportCallbackExists());
  e->RegisterBugReportCallback(Remember, true);
  EXPECT_EQ(g_seen.size(), 1u) << "registered again: only the flag changes";
  EXPECT_TRUE(e->CriticalBugReportCallbackExists());
  e->BeginUpdate();
  e->SetBugReport("one");
  e->SetBugReport("two");
  EXPECT_EQ(g_seen.size(), 1u) << "nothing announced during an update";
  e->EndUpdate();
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen.back(), "complete two");
  e->UnregisterBugReportCallback(Remember);
  e->SetBugReport("three");
  EXPECT_EQ(g_seen.size(), 2u);

  EXPECT_TRUE(e->FirstAutoSave());
  EXPECT_FALSE(e->FirstAutoSave());
}

// --- The report in two stages.

std::vector<std::string> Names(report::IZQFields* list) {
  std::vector<std::string> names;
  for (int i = 0; i < list->GetItemCount(); ++i) names.push_back(list->GetItem(i));
  return names;
}

std::string Blocks() { return "blocks"; }
std::string Fails() { throw Exception("plug-in failed"); }
std::string Seen(IZQException* e) { return "for " + e->GetExceptClass(); }
int* volatile g_nowhere = nullptr;
std::string FaultsInTheLibrary() {
  // The C library's copy faults in its own module, where no C++ exception comes of it.
  char target[8];
  volatile std::size_t bytes = sizeof target;
  std::memcpy(target, g_nowhere, bytes);
  return std::string(target, 1);
}

TEST_F(ExceptionObject, PlaceholdersFirstThenTheCompletedSectionsAndChecksum) {
  TIZQException* e = Make(Thrown([] { throw Exception("x"); }));
  e->SetDontCompleteYet(true);
  report::IZQFields* header = e->GetBugReportHeader();
  report::IZQFields* sections = e->GetBugReportSections();
  EXPECT_EQ(header->GetContent("callstack crc"), "will be calculated soon");
  const std::vector<std::string> names = Names(header);
  const auto at = [&](const char* name) { return std::find(names.begin(), names.end(), name) - names.begin(); };
  EXPECT_LT(at("callstack crc"), at("exception number"));
  EXPECT_LT(at("exception number"), at("exception class"));
  EXPECT_EQ(header->GetContent("exception message"), "x.");

  const std::vector<std::string> titles = Names(sections);
  ASSERT_GE(titles.size(), 2u);
  EXPECT_EQ(titles.front().rfind("thread $", 0), 0u) << "the crashed thread (this one, not registered) first";
  const std::string placeholder = sections->GetContent(titles.front());
  EXPECT_EQ(placeholder.substr(placeholder.size() - 34), "\r\n>> stack will be calculated soon") << placeholder;
  EXPECT_EQ(titles.back(), "disassembling");
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "cpu registers"), 0) << "no processor context, no registers";
  EXPECT_NE(e->GetBugReport(false).find("will be calculated soon"), std::string::npos);
  EXPECT_FALSE(e->BugReportComplete());

  const std::string complete = e->GetBugReport(true);
  EXPECT_TRUE(e->BugReportComplete());
  EXPECT_EQ(complete.find("will be calculated soon"), std::string::npos) << complete;
  EXPECT_TRUE(std::regex_match(header->GetContent("callstack crc"), std::regex(R"(\$[0-9a-f]{8}, \$[0-9a-f]{8}, \$[0-9a-f]{8})")));
  // This program has no debug information: its own lines have no names, the system's do.
  const std::string trace = sections->GetContent(titles.front());
  EXPECT_EQ(trace.find(">>"), std::string::npos) << trace;
  EXPECT_NE(trace.find("ntdll.dll"), std::string::npos) << trace;

  // A field added later goes in front of the checksum, and the report is composed again.
  header->SetContent("customer", "ACME");
  const std::vector<std::string> after = Names(header);
  const auto customer = std::find(after.begin(), after.end(), "customer");
  ASSERT_NE(customer, after.end());
  EXPECT_EQ(*(customer + 1), "callstack crc");
  EXPECT_NE(e->GetBugReport(false).find("customer"), std::string::npos);
}

TEST_F(ExceptionObject, ASingleThreadsReportHasTheSameChecksumForAllStacksAsForItsOwn) {
  TIZQException* e = Make(Thrown([] { throw Exception("x"); }));
  e->SetDontCompleteYet(true);
  e->SetListThreads(false);
  e->GetBugReport(true);
  EXPECT_NE(e->GetCallstackCrc(1), 0u);
  EXPECT_EQ(e->GetCallstackCrc(2), e->GetCallstackCrc(1));
  char text[40];
  std::snprintf(text, sizeof text, "$%08lx, $%08lx, $%08lx", e->GetCallstackCrc(0), e->GetCallstackCrc(1), e->GetCallstackCrc(2));
  EXPECT_EQ(e->GetBugReportHeader()->GetContent("callstack crc"), text);
}

// Nothing left to compute must still complete the report, or whoever waits for it would find the
// checksum's placeholder for ever.
TEST_F(ExceptionObject, AReportWhoseThreadCannotBeReadStillCompletes) {
  ExceptionFacts facts;
  facts.object = Thrown([] { throw Exception("x"); });
  facts.crashedThreadId = 0xFFFFFFF0;  // no such thread
  facts.address = reinterpret_cast<const void*>(0x401234);
  made_.push_back(new TIZQException(module_, facts));
  TIZQException* e = made_.back();
  e->SetDontCompleteYet(true);
  e->SetListThreads(false);
  e->SetShowDisAsm(false);
  e->SetPropStr("Plugins", "");
  const std::string report = e->GetBugReport(true);
  EXPECT_TRUE(e->BugReportComplete());
  EXPECT_NE(report.find("thread $fffffff0:\r\n>> stack not accessible, exception location:\r\n00401234 +0 ???"), std::string::npos)
      << report;
  EXPECT_EQ(e->GetBugReportHeader()->GetContent("callstack crc"), "$00000000, $00000000, $00000000");
}

TEST_F(ExceptionObject, PlugInsFillFieldsAndSectionsAndAFailingOneSaysSo) {
  ::AddReportPlugin("test header", "", Blocks, false);
  ::AddReportPlugin("test failing", "", Fails, true);
  ::AddReportPluginEx("test section", "", Seen, true);
  ::AddReportPlugin("test faulting", "", FaultsInTheLibrary, true);
  ::AddReportPlugin("test faulting field", "", FaultsInTheLibrary, false);
  TIZQException* e = Make(Thrown([] { throw Exception("x"); }));
  e->SetDontCompleteYet(true);
  e->SetPropStr("Plugins", "TEST SECTION|test header|unknown|test failing|test faulting|test faulting field");
  e->GetBugReport(true);
  report::IZQFields* header = e->GetBugReportHeader();
  report::IZQFields* sections = e->GetBugReportSections();
  EXPECT_EQ(header->GetContent("test header"), "blocks");
  const std::vector<std::string> titles = Names(sections);
  const auto section = std::find(titles.begin(), titles.end(), "test section");
  ASSERT_NE(section, titles.end());
  EXPECT_EQ(*(section + 1), "test failing") << "in the order of the setting, under the registered names";
  EXPECT_EQ(sections->GetContent("test section"), "for Exception");
  EXPECT_EQ(sections->GetContent("test failing").rfind(">> internal error in plugin", 0), 0u) << sections->GetContent("test failing");
  EXPECT_EQ(sections->FindItem("unknown"), -1);
  const std::string faulted = sections->GetContent("test faulting");
  EXPECT_EQ(faulted.rfind(">> internal error in plugin:\r\n", 0), 0u) << faulted;
  EXPECT_EQ(header->FindItem("test faulting field"), -1) << "a field whose plug-in failed is left out";
  for (const char* name : {"test header", "test failing", "test section", "test faulting", "test faulting field"})
    ::RemoveReportPlugin(name);
}

}  // namespace
}  // namespace kestrum
