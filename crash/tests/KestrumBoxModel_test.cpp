#include "crash/KestrumBoxModel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrum {
namespace {

// The shipped full box: every button, Send focused, the class in the title.
BoxFacts FullBox() {
  BoxFacts f;
  f.exceptClass = "EDivByZero";
  f.exceptMessage = "The receiver did not answer in time. Try it again later.";
  f.exceptMsg = "An error occurred: %exceptMsg%";
  f.titleBar = "Kelvane - %EXCEPTCLASS%";
  f.frozenMsg = "The program does not answer.";
  f.exeName = "Kelvane";
  f.okCaption = "OK";
  f.detailsCaption = "Details";
  f.visible = {true, true, true, true, true, true, true};
  f.captions = {"send", "save", "print", "show", "continue", "restart", "close"};
  f.rules.focusedBtn = bSendBugReport;
  f.rules.closeVis = f.rules.restartVis = f.rules.continueVis = true;
  return f;
}

std::vector<int> Present(const BoxModel& m) {
  std::vector<int> out;
  for (int i = 0; i < kBoxBtnCount; ++i) {
    if (m.buttons[i].present) out.push_back(i);
  }
  return out;
}

TEST(BoxModel, TextsOfTheFullTheSmallAndTheFrozenBox) {
  const BoxModel full = MakeBoxModel(FullBox());
  // The message is broken into sentences; the placeholders are found in any case.
  EXPECT_EQ(full.text, "An error occurred: The receiver did not answer in time.\r\nTry it again later.");
  EXPECT_EQ(full.caption, "Kelvane - EDivByZero");

  BoxFacts small = FullBox();
  small.defaultMsgBox = true;
  const BoxModel s = MakeBoxModel(small);
  EXPECT_EQ(s.text, "The receiver did not answer in time.\r\nTry it again later.");
  EXPECT_EQ(s.caption, "Kelvane");

  BoxFacts frozen = FullBox();
  frozen.frozen = true;
  EXPECT_EQ(MakeBoxModel(frozen).text, "The program does not answer.");
}

TEST(BoxModel, ButtonsStackingFocusAndCountdown) {
  struct Case {
    const char* name;
    void (*change)(BoxFacts&);
    std::vector<int> present;
    bool stacked;
    int focused, countdown;
    bool continueEnabled;
  };
  const Case cases[] = {
      {"shipped", [](BoxFacts&) {}, {0, 1, 2, 3, 4, 5, 6}, true, kBoxBtnSend, -1, true},
      {"only the right-hand buttons do not stack",
       [](BoxFacts& f) { f.visible = {false, false, false, false, true, true, true}; },
       {4, 5, 6},
       false,
       // Send is configured but absent: the first button that can take the focus.
       kBoxBtnContinue,
       -1,
       true},
      {"one right-hand button does not stack",
       [](BoxFacts& f) { f.visible = {true, false, false, false, false, false, true}; },
       {0, 6},
       false,
       kBoxBtnSend,
       -1,
       true},
      {"a program that cannot go on",
       [](BoxFacts& f) {
         f.canContinue = false;
         f.rules.canContinue = false;
         f.rules.focusedBtn = bContinueApplication;
       },
       {0, 1, 2, 3, 4, 5, 6},
       true,
       kBoxBtnSend,
       -1,
       false},
      {"continuing is the only way out",
       [](BoxFacts& f) {
         f.canContinue = false;
         f.visible = {true, false, false, false, true, false, false};
         f.rules.focusedBtn = bContinueApplication;
       },
       {0, 4},
       false,
       kBoxBtnContinue,
       -1,
       true},
      {"the automatic close counts down on Close",
       [](BoxFacts& f) { f.rules.autoCloseOn = true; },
       {0, 1, 2, 3, 4, 5, 6},
       true,
       kBoxBtnClose,
       kBoxBtnClose,
       true},
      {"a countdown button that is not there",
       [](BoxFacts& f) {
         f.rules.autoRestartOn = true;
         f.visible[kBoxBtnRestart] = false;
       },
       {0, 1, 2, 3, 4, 6},
       true,
       kBoxBtnSend,
       -1,
       true},
      {"the open details leave no Show button",
       [](BoxFacts& f) {
         f.autoShowBugReport = true;
         f.rules.focusedBtn = bShowBugReport;
       },
       {0, 1, 2, 4, 5, 6},
       true,
       kBoxBtnSend,
       -1,
       true},
      {"a damaged focus setting", [](BoxFacts& f) { f.rules.focusedBtn = static_cast<TZQButton>(42); }, {0, 1, 2, 3, 4, 5, 6}, true,
       kBoxBtnContinue, -1, true},
      {"no button at all", [](BoxFacts& f) { f.visible = {}; }, {}, false, -1, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoxFacts f = FullBox();
    c.change(f);
    const BoxModel m = MakeBoxModel(f);
    EXPECT_EQ(Present(m), c.present);
    EXPECT_EQ(m.stacked, c.stacked);
    EXPECT_EQ(m.focused, c.focused);
    EXPECT_EQ(m.countdown, c.countdown);
    EXPECT_EQ(m.buttons[kBoxBtnContinue].enabled, c.continueEnabled);
    for (const int i : Present(m)) EXPECT_EQ(m.buttons[i].caption, f.captions[i]);
  }
}

TEST(BoxModel, TheSmallBoxHasOkAndDetailsOnly) {
  BoxFacts f = FullBox();
  f.defaultMsgBox = true;
  f.noOwnerDrawButtons = true;  // the full box's look only
  f.autoShowBugReport = true;
  f.rules.focusedBtn = bCloseApplication;
  BoxModel m = MakeBoxModel(f);
  EXPECT_EQ(Present(m), std::vector<int>{kBoxBtnContinue});
  EXPECT_EQ(m.buttons[kBoxBtnContinue].caption, "OK");
  EXPECT_TRUE(m.buttons[kBoxBtnContinue].small);
  EXPECT_EQ(m.focused, kBoxBtnContinue);
  EXPECT_FALSE(m.ugly);
  EXPECT_FALSE(m.showReport);
  EXPECT_EQ(m.buttonHeight, 23);
  f.detailsBtn = true;
  m = MakeBoxModel(f);
  EXPECT_EQ(Present(m), (std::vector<int>{kBoxBtnShow, kBoxBtnContinue}));
  EXPECT_EQ(m.buttons[kBoxBtnShow].caption, "Details");
}

TEST(BoxModel, SizeFollowsTheButtonsAndStaysOnTheScreen) {
  BoxSizeInput in;
  in.frameW = 8;
  in.frameH = 30;
  in.screenW = 1024;
  in.screenH = 768;
  in.captionH = 18;
  in.buttonWidth = {90, 90, 90, 90, 100, 100, 100};
  // Four on the left, the widest right-hand one beside them: narrower than the standard width.
  in.stacked = true;
  BoxSize size = BoxWidth(in);
  EXPECT_EQ(size.width, kBoxMinWidth);
  EXPECT_EQ(size.textWidth, kBoxMinWidth - 8 - (kBoxMargin + kBoxIconSize + 8) - kBoxMargin);
  int textHeight = 13;
  BoxHeight(in, textHeight, size);
  // Three stacked rows below the icon's height.
  EXPECT_EQ(size.height, 12 + kBoxIconSize + 14 + 3 * (22 + 4) + 8 + kBoxLabelHeight + 30);
  EXPECT_EQ(textHeight, 13);

  // In a row, seven wide buttons need more than the standard width, but never the whole screen.
  in.stacked = false;
  in.buttonWidth = {150, 150, 150, 150, 150, 150, 150};
  EXPECT_EQ(BoxWidth(in).width, 1024 - 5 * 18);

  // A message too high for the screen is cut, never the buttons.
  in.showReport = true;
  textHeight = 2000;
  size = BoxWidth(in);
  BoxHeight(in, textHeight, size);
  EXPECT_EQ(size.height, 768 - 5 * 18);
  EXPECT_EQ(12 + textHeight + 14 + (22 + 4) + 8 + kBoxLabelHeight + kBoxDetailsHeight + 30, size.height);
}

}  // namespace
}  // namespace kestrum
