// The exception box in process, shown on a thread of its own as the reporting thread shows it,
// for an exception object made here with the shipped settings: the report changing under it, the
// box made again, the countdown without a delay, the message as the box breaks it.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "crash/KestrumExceptBox_win.h"
#include "crash/KestrumException_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace kestrum {
namespace {

using gui::WaitUntil;

struct Showing {
  TIZQException* exception;
  BoxLook look;
};

DWORD WINAPI ShowBody(void* p) {
  auto* s = static_cast<Showing*>(p);
  ShowExceptionBox(s->exception, s->look);
  return 0;
}

const char kReport[] = "exception class   : std::runtime_error\r\n\r\nmain thread ($1):\r\n00401000 x";

class BoxWindow : public ::testing::Test {
 protected:
  void SetUp() override { module_ = SettingsForModule(GetModuleHandleA(nullptr)); }
  void TearDown() override {
    if (thread_) {
      if (HWND box = FindExceptionBox()) PostMessageA(box, kBoxClose, 0, 0);
      WaitForSingleObject(thread_, 10000);
      CloseHandle(thread_);
    }
    if (e_) e_->Release();
    module_->Release();
  }
  void Make(const std::string& message) {
    ExceptionFacts facts;
    try {
      throw std::runtime_error(message);
    } catch (...) {
      facts.object = std::current_exception();
    }
    e_ = new TIZQException(module_, facts);
  }
  HWND Show(BoxLook look, HWND previous = nullptr) {
    showing_ = {e_, look};
    if (!thread_) thread_ = CreateThread(nullptr, 0, ShowBody, &showing_, 0, nullptr);
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindExceptionBox()) != nullptr && box != previous && IsWindowVisible(box); });
    return box != previous ? box : nullptr;
  }
  static int TabCount(HWND box) {
    HWND tabs = FindWindowExA(box, nullptr, WC_TABCONTROLA, nullptr);
    return tabs ? static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0)) : -1;
  }
  bool Ended() { return WaitForSingleObject(thread_, 10000) == WAIT_OBJECT_0; }

  IZQModuleSettings* module_ = nullptr;
  TIZQException* e_ = nullptr;
  Showing showing_{};
  HANDLE thread_ = nullptr;
};

TEST_F(BoxWindow, ReportChangesReachTheBoxThatIsThereAndNoBoxAfterIt) {
  Make("broken");
  e_->SetAutoShowBugReport(true);
  e_->SetBugReport(kReport);
  HWND box = Show(BoxLook::full);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(TabCount(box), 2);  // general, call stack

  // A section completes on another thread, as the report's completion does.
  const std::string withModules = std::string(kReport) + "\r\n\r\nmodules:\r\n00400000 x.exe";
  e_->SetBugReport(withModules);
  EXPECT_TRUE(WaitUntil([&] { return TabCount(box) == 3; })) << TabCount(box);

  // "show bug report" makes the box again; later changes reach the new one.
  e_->ShowBugReport(nullptr);
  HWND again = Show(BoxLook::full, box);
  ASSERT_NE(again, nullptr) << "not made again";
  EXPECT_FALSE(IsWindow(box));
  e_->SetBugReport(withModules + "\r\n\r\nprocesses:\r\n0001 x.exe");
  EXPECT_TRUE(WaitUntil([&] { return TabCount(again) == 4; })) << TabCount(again);

  // Gone while the report goes on changing: the changes find no box and harm nothing.
  PostMessageA(again, kBoxClose, 0, 0);
  ASSERT_TRUE(Ended());
  e_->SetBugReport(kReport);
  e_->SetBugReport(withModules);
  EXPECT_EQ(FindExceptionBox(), nullptr);
}

TEST_F(BoxWindow, AutoDelayZeroNeverPressesTheCountdownButton) {
  Make("broken");
  // The close button is the countdown button: were it pressed, this test program would end.
  e_->SetAutoClose(1);
  e_->SetAutoDelay(0);
  HWND box = Show(BoxLook::full);
  ASSERT_NE(box, nullptr);
  Sleep(1500);
  EXPECT_TRUE(IsWindow(box));
  PostMessageA(box, kBoxClose, 0, 0);
  EXPECT_TRUE(Ended());
}

TEST_F(BoxWindow, TheSmallBoxBreaksLongMessagesOnlyInTheirMiddle) {
  const struct {
    const char* message;
    const char* shown;
  } cases[] = {
      {"Short. Two. Three", "Short. Two. Three."},  // 30 characters or fewer: no middle to break in
      {"abcdefghijklmnopqrstuvw. Second sentence here. x", "abcdefghijklmnopqrstuvw.\r\nSecond sentence here. x."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Make(c.message);
    HWND box = Show(BoxLook::simple);
    ASSERT_NE(box, nullptr);
    std::string text;
    for (const gui::Control& control : gui::Controls(box)) {
      if (control.className == "Static" && !control.text.empty()) text = control.text;
    }
    EXPECT_EQ(text, c.shown);
    PostMessageA(box, kBoxClose, 0, 0);
    ASSERT_TRUE(Ended());
    CloseHandle(thread_);
    thread_ = nullptr;
    e_->Release();
    e_ = nullptr;
  }
}

TEST_F(BoxWindow, AMessageTooLongForTheScreenLeavesTheButtonsOnIt) {
  std::string message;
  for (int i = 0; i < 3000; ++i) message += "word" + std::to_string(i) + " ";
  Make(message);
  HWND box = Show(BoxLook::simple);
  ASSERT_NE(box, nullptr);
  HWND ok = FindWindowExA(box, nullptr, "Button", nullptr);
  ASSERT_NE(ok, nullptr);
  RECT boxRect, okRect;
  GetWindowRect(box, &boxRect);
  GetWindowRect(ok, &okRect);
  EXPECT_LE(boxRect.bottom, GetSystemMetrics(SM_CYSCREEN));
  EXPECT_GE(boxRect.top, 0);
  EXPECT_LT(okRect.bottom, boxRect.bottom) << "the button is below the box";
}

// A development environment as the box finds it: a main window of class TAppBuilder and, in the
// same process, a message window that receives the line to show.
std::string g_offered;
DWORD g_offeredBy = 0;

LRESULT CALLBACK IdeProc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  if (message == RegisterWindowMessageA("KestrumIdeJumpCommand")) {
    g_offeredBy = static_cast<DWORD>(wp);
    g_offered = reinterpret_cast<const char*>(lp);
    return 1;
  }
  return DefWindowProcA(w, message, wp, lp);
}

HWND MakeWindow(const char* className) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = IdeProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = className;
  RegisterClassA(&wc);
  return CreateWindowExA(0, className, "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, wc.hInstance, nullptr);
}

TEST_F(BoxWindow, ADoubleClickedCallStackLineGoesToTheDevelopmentEnvironment) {
  HWND appBuilder = MakeWindow("TAppBuilder");
  char handlerClass[64];
  std::snprintf(handlerClass, sizeof handlerClass, "KorbToolsMsgHandlerWindow$%lx", GetCurrentProcessId());
  HWND handler = MakeWindow(handlerClass);
  ASSERT_TRUE(appBuilder && handler);

  Make("broken");
  e_->SetAutoShowBugReport(true);
  e_->SetBugReport("exception class : E\r\n\r\nmain thread ($1):\r\n00401a3f +34 Kelvane.exe uMain 120 +3 TFormMain.Click");
  HWND box = Show(BoxLook::full);
  ASSERT_NE(box, nullptr);
  HWND tabs = FindWindowExA(box, nullptr, WC_TABCONTROLA, nullptr);
  HWND list = FindWindowExA(box, nullptr, WC_LISTVIEWA, nullptr);
  SendMessageA(tabs, TCM_SETCURFOCUS, 1, 0);
  ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 2);  // the thread's title, its line

  auto doubleClick = [&](int row) {
    RECT r{LVIR_BOUNDS, 0, 0, 0};
    SendMessageA(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r));
    const LPARAM at = MAKELPARAM(r.left + 4, (r.top + r.bottom) / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
  };
  // The box's thread sends to our windows: they are served while we wait.
  auto serveFor = [](DWORD ms) {
    const DWORD end = GetTickCount() + ms;
    while (GetTickCount() < end && g_offered.empty()) {
      MSG m;
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
      Sleep(10);
    }
  };
  doubleClick(0);
  serveFor(1000);
  EXPECT_EQ(g_offered, "") << "a thread's title is no place in the source";
  doubleClick(1);
  serveFor(5000);
  // The line as the list shows it: the address in upper case.
  EXPECT_EQ(g_offered, "00401A3F +34 Kelvane.exe uMain 120 +3 TFormMain.Click");
  EXPECT_EQ(g_offeredBy, GetCurrentProcessId());
  EXPECT_EQ(GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST, 0) << "the box stays above the environment";
  DestroyWindow(handler);
  DestroyWindow(appBuilder);
}

}  // namespace
}  // namespace kestrum
