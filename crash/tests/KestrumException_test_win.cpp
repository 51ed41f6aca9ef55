// The exception object in process, with the shipped settings compiled into this test program:
// its private view of the settings, the filter groups, the rules of its setters and its texts.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/KestrumException_win.h"
#include "platform/Exceptions.h"

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

}  // namespace
}  // namespace kestrum
