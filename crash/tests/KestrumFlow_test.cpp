#include "crash/KestrumFlow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrum {
namespace {

HandlingState Window(bool handled = false, bool canContinue = true, TZQShowSetting show = ssFullBox) {
  HandlingState s;
  s.handled = handled;
  s.canContinue = canContinue;
  s.showSetting = show;
  return s;
}

HandlingState With(HandlingState s, void (*change)(HandlingState&)) {
  change(s);
  return s;
}

TEST(Flow, ShowAndAutomaticWorkSetUp) {
  struct Case {
    const char* what;
    HandlingState state;
    ShowDecision expected;
  } cases[] = {
      {"window program shows", Window(), {false, ShowPath::show}},
      {"show setting nothing still goes through Show", Window(false, true, ssNothing), {false, ShowPath::show}},
      {"AutoSave sets up the automatic work", With(Window(), [](HandlingState& s) { s.autoSave = true; }), {true, ShowPath::show}},
      {"AutoSend", With(Window(), [](HandlingState& s) { s.autoSend = true; }), {true, ShowPath::show}},
      {"AutoClip", With(Window(), [](HandlingState& s) { s.autoClip = true; }), {true, ShowPath::show}},
      {"handled: neither", With(Window(true), [](HandlingState& s) { s.autoSave = s.autoSend = s.autoClip = true; }),
       {false, ShowPath::none}},
      {"handled and cannot continue: neither", Window(true, false), {false, ShowPath::none}},
      {"console program shows", With(Window(), [](HandlingState& s) { s.consoleProgram = true; }), {false, ShowPath::show}},
      {"console program with nothing to show, work still set up",
       With(Window(false, true, ssNothing), [](HandlingState& s) { s.consoleProgram = s.autoClip = true; }), {true, ShowPath::none}},
      {"web extension answers with the report",
       With(Window(), [](HandlingState& s) { s.webExtension = s.hasReportBuffer = true; }), {false, ShowPath::copyToReportBuffer}},
      {"web extension without a buffer", With(Window(), [](HandlingState& s) { s.webExtension = true; }), {false, ShowPath::none}},
      {"web extension with nothing to show",
       With(Window(false, true, ssNothing), [](HandlingState& s) { s.webExtension = s.hasReportBuffer = true; }), {false, ShowPath::none}},
  };
  for (const Case& c : cases) EXPECT_EQ(DecideShow(c.state), c.expected) << c.what;
}

TEST(Flow, ShowLookBySetting) {
  struct Case {
    ShowLookInput in;
    ShowLookDecision expected;
  } cases[] = {
      {{ssFullBox, false, false, false, false}, {ShowLook::fullBox, false}},
      {{ssAssistant, true, false, false, false}, {ShowLook::assistant, false}},
      {{ssAssistant, false, false, false, false}, {ShowLook::fullBox, false}},  // unknown assistant
      {{ssDetailBox, false, false, false, false}, {ShowLook::detailBox, false}},
      {{ssSimpleBox, false, false, false, false}, {ShowLook::simpleBox, false}},
      {{ssNothing, false, false, true, true}, {ShowLook::nothing, false}},
      {{ssFullBox, false, true, false, false}, {ShowLook::consoleLine, false}},
      {{ssSimpleBox, false, true, true, false}, {ShowLook::consoleLine, true}},
      {{ssAssistant, true, true, false, true}, {ShowLook::consoleLine, true}},
      {{static_cast<TZQShowSetting>(77), false, false, false, false}, {ShowLook::fullBox, false}},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseShowLook(c.in), c.expected) << c.in.showSetting << " console " << c.in.consoleProgram;
}

TEST(Flow, EndingAfterShow) {
  const EndDecision nothing{std::nullopt, Ending::goOn, FinishMode::none};
  const EndDecision goOnAfterBox{std::nullopt, Ending::goOn, FinishMode::withoutWaiting};
  const EndDecision autoContinue{eaContinueApplication, Ending::goOn, FinishMode::withoutWaiting};
  const EndDecision autoRestart{eaRestartApplication, Ending::restart, FinishMode::withWaiting};
  const EndDecision autoClose{eaCloseApplication, Ending::close, FinishMode::withWaiting};
  auto console = [](HandlingState& s) { s.consoleProgram = true; };
  auto web = [](HandlingState& s) { s.webExtension = true; };
  struct Case {
    const char* what;
    HandlingState state;
    bool closeOn, restartOn;
    EndDecision expected;
  } cases[] = {
      {"handled, may continue", Window(true), true, true, nothing},
      {"handled, cannot continue", Window(true, false), false, false, autoClose},
      {"handled, cannot continue, AutoRestart on", Window(true, false), false, true, autoRestart},
      {"box shown: the user chose, the rules are the box's", Window(), true, true, goOnAfterBox},
      {"nothing shown, no rule", Window(false, true, ssNothing), false, false, autoContinue},
      {"nothing shown, AutoClose", Window(false, true, ssNothing), true, false, autoClose},
      {"nothing shown, AutoRestart", Window(false, true, ssNothing), false, true, autoRestart},
      {"nothing shown, both rules: close wins", Window(false, true, ssNothing), true, true, autoClose},
      {"box closed, cannot continue", Window(false, false), false, false, autoClose},
      {"box closed, cannot continue, AutoRestart", Window(false, false), false, true, autoRestart},
      {"console program", With(Window(), console), false, false, autoContinue},
      {"console program, AutoRestart", With(Window(), console), false, true, autoRestart},
      {"web extension", With(Window(), web), false, false, autoContinue},
  };
  for (const Case& c : cases) EXPECT_EQ(DecideEnd(c.state, c.closeOn, c.restartOn), c.expected) << c.what;
}

TEST(Flow, AutomaticWorkActsOnTheFirstCompleteReportOnly) {
  struct Case {
    bool autoSend, autoClip;
    AutoWorkStep first;
  } cases[] = {
      {false, false, {false, false, true}},
      {true, false, {true, false, true}},
      {false, true, {false, true, false}},
      {true, true, {true, true, false}},
  };
  for (const Case& c : cases) {
    FirstCall firstComplete;
    EXPECT_EQ(DecideAutoWork(false, c.autoSend, c.autoClip, firstComplete), AutoWorkStep{}) << "incomplete report";
    EXPECT_EQ(DecideAutoWork(true, c.autoSend, c.autoClip, firstComplete), c.first) << c.autoSend << c.autoClip;
    EXPECT_EQ(DecideAutoWork(true, c.autoSend, c.autoClip, firstComplete), AutoWorkStep{}) << "second complete call";
  }
}

TEST(Flow, FirstCallIsFirstForOneThreadOnly) {
  FirstCall first;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 100; ++k) winners += first() ? 1 : 0;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(winners, 1);
}

TEST(Flow, CompleteReportIsReadWhenSomethingWaitsForIt) {
  EXPECT_FALSE(ReadCompleteReportFirst(false, false, true));
  EXPECT_TRUE(ReadCompleteReportFirst(true, false, false));
  EXPECT_TRUE(ReadCompleteReportFirst(false, true, true));
  EXPECT_FALSE(ReadCompleteReportFirst(false, true, false)) << "handlers switched off by the filter group";
}

TEST(Flow, AutomaticSave) {
  struct Case {
    bool autoSave, ifNotSent, mailSent, saves;
  } cases[] = {
      {false, false, false, false}, {true, false, false, true}, {true, false, true, true},
      {true, true, false, true},    {true, true, true, false},  {false, true, true, false},
  };
  for (const Case& c : cases) {
    FirstCall firstSave;
    EXPECT_EQ(ShouldAutoSave(c.autoSave, c.ifNotSent, c.mailSent, firstSave), c.saves) << c.autoSave << c.ifNotSent << c.mailSent;
    // Finishing runs once without waiting and again with waiting when the user closes: one save.
    EXPECT_FALSE(ShouldAutoSave(c.autoSave, c.ifNotSent, c.mailSent, firstSave));
  }
}

TEST(Flow, SkippedSaveLeavesTheSaveForLater) {
  FirstCall firstSave;
  EXPECT_FALSE(ShouldAutoSave(false, false, false, firstSave));
  EXPECT_TRUE(ShouldAutoSave(true, false, false, firstSave)) << "AutoSave switched on by a handler afterwards";
}

}  // namespace
}  // namespace kestrum
