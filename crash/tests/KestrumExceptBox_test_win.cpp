// The exception box on the test display, shown by the crash-test program for an exception thrown
// in its button handler ("throw": std::runtime_error "  broken pipe!!  "), and worked as a user
// would: with the pointer and the keyboard.
#include "crash/tests/BoxReading_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using gui::Program;
using gui::WaitUntil;

constexpr DWORD kShown = 20000;

using testsupport::ClipboardText;

HWND BoxOf(DWORD pid) { return testsupport::ExceptionBoxOf(pid); }

void PutOnClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return;
  EmptyClipboard();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  std::memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
  GlobalUnlock(memory);
  SetClipboardData(CF_TEXT, memory);
  CloseClipboard();
}

class ExceptBox : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int n = 0;
    result_ = std::string(temp) + "kestrum_box_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++n) + ".txt";
    DeleteFileA(result_.c_str());
  }
  void TearDown() override {
    app_.reset();
    DeleteFileA(result_.c_str());
  }

  // Starts the program, throws in its button handler and waits for the box.
  HWND Crash(const std::string& program, const std::string& autoDelay = "", const std::string& kase = "throw") {
    std::vector<std::string> env{"KESTRUM_TEST_RESULT=" + result_};
    if (!autoDelay.empty()) env.push_back("KESTRUM_TEST_AUTO_DELAY=" + autoDelay);
    app_ = std::make_unique<Program>(gui::ExeDir() + program + ".exe", kase, env);
    top_ = app_->waitWindow("Crash Test");
    if (!top_) return nullptr;
    PostMessageA(gui::FindControl(top_, "Button", "Run").hwnd, BM_CLICK, 0, 0);
    return WaitBox(nullptr);
  }
  // A box other than previous.
  HWND WaitBox(HWND previous) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = BoxOf(app_->pid())) != nullptr && box != previous; }, kShown);
    return box != previous ? box : nullptr;
  }
  static std::vector<std::string> Buttons(HWND box) {
    std::vector<std::string> captions;
    for (const gui::Control& c : gui::Controls(box)) {
      if (c.className == "Button" && c.visible) captions.push_back(c.text);
    }
    return captions;
  }
  static std::string Text(HWND box) {
    std::string text;
    for (const gui::Control& c : gui::Controls(box)) {
      if (c.className == "Static" && !c.text.empty()) text = c.text;
    }
    return text;
  }
  static HWND Child(HWND box, const std::string& className) {
    for (const gui::Control& c : gui::Controls(box)) {
      if (c.className == className) return c.hwnd;
    }
    return nullptr;
  }
  // Makes the box the window that the keyboard reaches: in front, and its loop answering.
  static bool Activate(HWND box) {
    DWORD_PTR answer = 0;
    return gui::ClickUntil(gui::FindControl(box, "Static", Text(box)).hwnd, [&] { return GetForegroundWindow() == box; }, kShown) &&
           SendMessageTimeoutA(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer) != 0;
  }
  void Click(HWND box, const std::string& caption) {
    HWND b = gui::FindControl(box, "Button", caption).hwnd;
    ASSERT_NE(b, nullptr) << caption;
    gui::ClickReal(b);
  }
  bool GoesOn() {
    if (!WaitUntil([&] { return !BoxOf(app_->pid()); }, kShown)) return false;
    Sleep(300);
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(top_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer) != 0 && !app_->waitExit(0);
  }
  DWORD ExitCode() {
    DWORD code = 99;
    EXPECT_TRUE(app_->waitExit(kShown, &code)) << "still running";
    return code;
  }
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::ifstream in(result_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
  }

  std::string result_;
  std::unique_ptr<Program> app_;
  HWND top_ = nullptr;
};

TEST_F(ExceptBox, ShowsTheTextsAndTheButtonsTheSettingsName) {
  const struct {
    const char* program;
    std::string caption, text;
    std::vector<std::string> buttons;
  } cases[] = {
      {"CrashTestBox", "CrashTestBox.exe", "An error occurred in the application.",
       {"send bug report", "show bug report", "continue application", "restart application", "close application"}},
      {"CrashTestBoxFew", "CrashTestBoxFew.exe - std::runtime_error", "broken pipe.",
       {"save bug report", "continue application", "close application"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    HWND box = Crash(c.program);
    ASSERT_NE(box, nullptr) << "no box";
    EXPECT_EQ(gui::WindowText(box), c.caption);
    EXPECT_EQ(Text(box), c.text);
    EXPECT_EQ(Buttons(box), c.buttons);
    if (std::find(c.buttons.begin(), c.buttons.end(), "save bug report") != c.buttons.end()) {
      // Saving asks the exception object, whose save seam the program records; the box stays.
      Click(box, "save bug report");
      EXPECT_TRUE(WaitUntil([&] { return Lines("save ").size() == 1; }, kShown)) << "not saved";
      EXPECT_TRUE(IsWindow(box));
    }
    PostMessageA(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(GoesOn());
    PostMessageA(top_, WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCode(), 0u);
    TearDown();
    SetUp();
  }
}

TEST_F(ExceptBox, EachWayOutEndsAsTheFlowSays) {
  constexpr DWORD kGoesOn = 100;
  const struct {
    const char* how;
    DWORD exitCode;
  } cases[] = {
      {"Escape", kGoesOn},  // FocusedBtn 0 and a continue button: continue
      {"close box", kGoesOn},
      {"continue application", kGoesOn},
      {"close application", 1},
      {"restart application", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    HWND box = Crash("CrashTestBox");
    ASSERT_NE(box, nullptr) << "no box";
    const std::string how = c.how;
    if (how == "Escape") {
      ASSERT_TRUE(Activate(box));
      gui::PressKeys("Escape");
    } else if (how == "close box") {
      PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
      Click(box, how);
    }
    if (c.exitCode == kGoesOn) {
      EXPECT_TRUE(GoesOn());
      EXPECT_EQ(Lines("save ").size(), 1u) << "the automatic save after continuing";
      PostMessageA(top_, WM_CLOSE, 0, 0);
      EXPECT_EQ(ExitCode(), 0u);
    } else {
      EXPECT_EQ(ExitCode(), c.exitCode);
      EXPECT_EQ(Lines("save ").size(), 1u) << "the automatic save before ending";
    }
    if (c.exitCode == 2) {
      // The new process reports that its predecessor had ended before it ran.
      ASSERT_TRUE(WaitUntil([&] { return !Lines("restarted").empty(); }, kShown)) << "no new process";
      EXPECT_NE(Lines("restarted")[0].find("predecessorEnded=1"), std::string::npos) << Lines("restarted")[0];
    }
    TearDown();
    SetUp();
  }
}

TEST_F(ExceptBox, AProgramThatCannotGoOnOffersNoContinue) {
  // A fault in a system library on the main thread: the program cannot continue.
  HWND box = Crash("CrashTestBox", "", "foreignmain");
  ASSERT_NE(box, nullptr);
  HWND continueButton = gui::FindControl(box, "Button", "continue application").hwnd;
  ASSERT_NE(continueButton, nullptr);
  EXPECT_FALSE(IsWindowEnabled(continueButton));
  // Escape, with the continue button there but disabled, closes.
  ASSERT_TRUE(Activate(box));
  gui::PressKeys("Escape");
  EXPECT_EQ(ExitCode(), 1u);
}

TEST_F(ExceptBox, ShowBugReportReopensWithTheReportSectionBySection) {
  HWND box = Crash("CrashTestBox");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Child(box, WC_TABCONTROLA), nullptr) << "no details before they are asked for";
  Click(box, "show bug report");
  HWND again = WaitBox(box);
  ASSERT_NE(again, nullptr) << "not shown again";
  EXPECT_FALSE(IsWindow(box));
  EXPECT_EQ(Buttons(again), (std::vector<std::string>{"send bug report", "continue application", "restart application",
                                                      "close application"}));
  HWND tabs = Child(again, WC_TABCONTROLA);
  HWND list = Child(again, WC_LISTVIEWA);
  ASSERT_NE(tabs, nullptr);
  ASSERT_NE(list, nullptr);
  // The general tab first: the report's header as description and value.
  const std::vector<std::string> general = testsupport::ListViewRows(list);
  EXPECT_NE(std::find(general.begin(), general.end(), "exception class\tstd::runtime_error"), general.end());
  EXPECT_NE(std::find(general.begin(), general.end(), "exception message\tbroken pipe."), general.end());
  // Then the threads, each under its title row.
  ASSERT_GE(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
  SendMessageA(tabs, TCM_SETCURFOCUS, 1, 0);
  std::vector<std::string> stacks;
  ASSERT_TRUE(WaitUntil([&] {
    stacks = testsupport::ListViewRows(list);
    return !stacks.empty() && stacks[0].rfind(">> ", 0) == 0;
  })) << (stacks.empty() ? "(no rows)" : stacks[0]);
  EXPECT_NE(stacks[0].find("main thread"), std::string::npos) << stacks[0];

  // Ctrl+C copies what the box shows: the report now.
  PutOnClipboard("before");
  ASSERT_TRUE(Activate(again));
  gui::PressKeys("ctrl+c");
  ASSERT_TRUE(WaitUntil([&] { return ClipboardText() != "before"; }));
  EXPECT_NE(ClipboardText().find("exception class"), std::string::npos) << ClipboardText();

  Click(again, "continue application");
  EXPECT_TRUE(GoesOn());
  PostMessageA(top_, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(ExceptBox, CtrlCCopiesTheMessageWhileNoReportIsShown) {
  HWND box = Crash("CrashTestBox");
  ASSERT_NE(box, nullptr);
  PutOnClipboard("before");
  ASSERT_TRUE(Activate(box));
  gui::PressKeys("ctrl+c");
  EXPECT_TRUE(WaitUntil([&] { return ClipboardText() == "broken pipe."; })) << ClipboardText();
  PostMessageA(box, WM_CLOSE, 0, 0);
  EXPECT_TRUE(GoesOn());
}

TEST_F(ExceptBox, TheCountdownPressesItsButtonUnlessTheFocusMoves) {
  // AutoClose 1 focuses the close button, which presses itself after AutoDelay (1 s), drawn by
  // the box or in the system's look.
  for (const char* program : {"CrashTestBoxAutoClose", "CrashTestBoxPlain"}) {
    SCOPED_TRACE(program);
    ASSERT_NE(Crash(program, "1"), nullptr);
    EXPECT_EQ(ExitCode(), 1u);
    TearDown();
    SetUp();
  }

  // With AutoDelay 2 s, the focus moves to another button: nothing presses itself any more.
  HWND box = Crash("CrashTestBoxAutoClose", "2");
  ASSERT_NE(box, nullptr);
  Activate(box);
  gui::PressKeys("Tab");
  Sleep(4000);
  EXPECT_TRUE(IsWindow(box)) << "the countdown went on";
  EXPECT_FALSE(app_->waitExit(0));
  PostMessageA(box, WM_CLOSE, 0, 0);
  EXPECT_TRUE(GoesOn());
}

TEST_F(ExceptBox, SmallBoxes) {
  HWND box = Crash("CrashTestSimple");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(gui::WindowText(box), "CrashTestSimple");
  EXPECT_EQ(Text(box), "broken pipe.");
  EXPECT_EQ(Buttons(box), (std::vector<std::string>{"&OK"}));
  Click(box, "&OK");
  EXPECT_TRUE(GoesOn());
  TearDown();
  SetUp();

  box = Crash("CrashTestDetail");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Buttons(box), (std::vector<std::string>{"&OK", "&Details"}));
  Click(box, "&Details");
  HWND full = WaitBox(box);
  ASSERT_NE(full, nullptr) << "Details shows the full box";
  EXPECT_NE(Child(full, WC_TABCONTROLA), nullptr);
  EXPECT_EQ(Text(full), "An error occurred in the application.");
  PostMessageA(full, WM_CLOSE, 0, 0);
  EXPECT_TRUE(GoesOn());
}

}  // namespace
