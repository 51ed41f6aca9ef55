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

// A picture stand-in that counts its references; the maker holds one.
class CountedShot final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 1;
};

// The capture the delivery would install: answers g_nextShot (null: nothing to take).
CountedShot* g_nextShot = nullptr;
std::vector<bool> g_captures;  // appOnly of every capture
IUnknown* CaptureForTest(bool appOnly) {
  g_captures.push_back(appOnly);
  if (g_nextShot) g_nextShot->AddRef();
  return g_nextShot;
}

class ScreenShotOfException : public ExceptionObject {
 protected:
  void SetUp() override {
    ExceptionObject::SetUp();
    before_ = DeliveryHooksInUse();
    DeliveryHooks hooks = before_;
    hooks.takeScreenShot = CaptureForTest;
    InstallDeliveryHooks(hooks);
    g_captures.clear();
  }
  void TearDown() override {
    InstallDeliveryHooks(before_);
    g_nextShot = nullptr;
    ExceptionObject::TearDown();
  }
  // An exception of its own: released by the case, before the pictures it holds go.
  TIZQException* Own(bool createScreenShot, bool appOnly = false) {
    auto* e = new TIZQException(module_, ExceptionFacts{});
    e->SetCreateScreenShot(createScreenShot);
    e->SetScreenShotAppOnly(appOnly);
    return e;
  }
  DeliveryHooks before_{};
};

TEST_F(ScreenShotOfException, TakenOnceOnTheFirstRequestWhileItIsWanted) {
  const struct {
    const char* what;
    bool create, appOnly, canTake;
    std::vector<bool> captures;
    bool createAfter;
  } cases[] = {
      {"not wanted", false, false, true, {}, false},
      {"the whole screen", true, false, true, {false}, true},
      {"the program's windows", true, true, true, {true}, true},
      {"nothing to take", true, true, false, {true}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CountedShot shot;
    g_nextShot = c.canTake ? &shot : nullptr;
    g_captures.clear();
    TIZQException* e = Own(c.create, c.appOnly);
    IUnknown* first = e->GetScreenShot();
    IUnknown* second = e->GetScreenShot();
    IUnknown* expected = c.create && c.canTake ? &shot : nullptr;
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    EXPECT_EQ(g_captures, c.captures) << "taken at most once";
    EXPECT_EQ(e->GetCreateScreenShot(), c.createAfter);
    if (first) first->Release();
    if (second) second->Release();
    EXPECT_EQ(shot.refs, expected ? 2u : 1u) << "the exception keeps one reference";
    e->Release();
    EXPECT_EQ(shot.refs, 1u) << "and gives it back when it goes";
  }
}

TEST_F(ScreenShotOfException, AnEditedPictureReplacesTheTakenOne) {
  CountedShot taken, edited;
  g_nextShot = &taken;
  TIZQException* e = Own(true);
  e->GetScreenShot()->Release();
  ASSERT_EQ(taken.refs, 2u);
  e->SetScreenShot(&edited);
  EXPECT_EQ(taken.refs, 1u);
  EXPECT_EQ(edited.refs, 2u);
  IUnknown* got = e->GetScreenShot();
  EXPECT_EQ(got, &edited);
  got->Release();
  e->SetScreenShot(&edited);
  EXPECT_EQ(edited.refs, 2u) << "the same picture again";
  // Dropped: no new picture is taken in its place.
  e->SetScreenShot(nullptr);
  EXPECT_EQ(edited.refs, 1u);
  EXPECT_EQ(e->GetScreenShot(), nullptr);
  EXPECT_EQ(g_captures.size(), 1u);
  e->SetScreenShot(&edited);
  e->Release();
  EXPECT_EQ(edited.refs, 1u);

  // Given before the first request: nothing is taken.
  TIZQException* given = Own(true);
  given->SetScreenShot(&edited);
  got = given->GetScreenShot();
  EXPECT_EQ(got, &edited);
  got->Release();
  EXPECT_EQ(g_captures.size(), 1u);
  given->Release();
  EXPECT_EQ(edited.refs, 1u);
  EXPECT_EQ(taken.refs, 1u);
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

HANDLE g_pluginEntered = nullptr;
HANDLE g_pluginGo = nullptr;
std::string WaitsToGo() {
  SetEvent(g_pluginEntered);
  WaitForSingleObject(g_pluginGo, INFINITE);
  return "late";
}
DWORD WINAPI ReleaseException(void* e) {
  static_cast<TIZQException*>(e)->Release();
  return 0;
}

// The object goes while its completion thread is in a section: the thread stops at the next step,
// what it had not stored keeps its placeholder, the report never counts as complete, and neither
// the destruction nor the thread hangs or touches the freed object.
TEST_F(ExceptionObject, DestroyedWhileTheCompletionRunsStopsItAndLeavesThePlaceholders) {
  g_pluginEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_pluginGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ::AddReportPlugin("test waiting", "", WaitsToGo, true);
  ::AddReportPlugin("test later", "", Blocks, true);
  ExceptionFacts facts;
  facts.object = Thrown([] { throw Exception("x"); });
  auto* e = new TIZQException(module_, facts);
  e->SetCompleteOnOwnThread(true);
  e->SetPropStr("Plugins", "test waiting|test later");
  report::IZQFields* header = e->GetBugReportHeader();
  header->AddRef();
  report::IZQFields* sections = e->GetBugReportSections();
  sections->AddRef();
  ASSERT_EQ(WaitForSingleObject(g_pluginEntered, 30000), WAIT_OBJECT_0) << "the completion thread reaches the plug-in";
  ASSERT_NE(e->GetCompleteThreadId(), GetCurrentThreadId());
  HANDLE completion = OpenThread(SYNCHRONIZE, FALSE, e->GetCompleteThreadId());
  ASSERT_NE(completion, nullptr);
  EXPECT_FALSE(e->BugReportComplete());

  HANDLE releaser = CreateThread(nullptr, 0, ReleaseException, e, 0, nullptr);
  ASSERT_NE(releaser, nullptr);
  EXPECT_EQ(WaitForSingleObject(releaser, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "the destructor waits for the thread";
  SetEvent(g_pluginGo);
  EXPECT_EQ(WaitForSingleObject(releaser, 30000), WAIT_OBJECT_0) << "the destruction ends";
  EXPECT_EQ(WaitForSingleObject(completion, 0), WAIT_OBJECT_0) << "and the completion thread with it";

  EXPECT_EQ(sections->GetContent("test waiting"), report::kSectionSoon) << "a section finished after the abort is not stored";
  EXPECT_EQ(sections->GetContent("test later"), report::kSectionSoon);
  EXPECT_EQ(header->GetContent("callstack crc"), "will be calculated soon");
  header->Release();
  sections->Release();
  for (HANDLE h : {releaser, completion, g_pluginEntered, g_pluginGo}) CloseHandle(h);
  ::RemoveReportPlugin("test later");
  ::RemoveReportPlugin("test waiting");
}

}  // namespace
}  // namespace kestrum
