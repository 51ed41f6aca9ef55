// The test form (PlatformTestForm.exe) on the test display, worked with the real pointer and
// keyboard. The form writes every event it gets into its log memo; the tests read that log.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "testing/gui/GuiDriver_win.h"

namespace {

using namespace gui;

// Results reach the log even if the display session takes this process down.
const bool kUnbuffered = (std::setvbuf(stdout, nullptr, _IONBF, 0), true);

constexpr int kId = 100;  // window id of the first control in the description
enum { Panel1 = kId, lbInfo, lbFixed, edNumber, tbSlider, lbPos, btClick, btFault, btThrow, btWorker, btDisabled, Memo1 };


// The thumb's rectangle: the message carries a pointer, so it goes through the form's memory.
RECT ThumbRect(HWND tb) {
  RECT r{};
  DWORD pid = 0;
  GetWindowThreadProcessId(tb, &pid);
  HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  void* remote = VirtualAllocEx(proc, nullptr, sizeof r, MEM_COMMIT, PAGE_READWRITE);
  SendMessageA(tb, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(remote));
  ReadProcessMemory(proc, remote, &r, sizeof r, nullptr);
  VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
  CloseHandle(proc);
  return r;
}

class TestForm : public ::testing::Test {
 protected:
  void SetUp() override {
    top = app.waitWindow("Platform Test Form");
    ASSERT_NE(top, nullptr) << "the test form did not appear";
    ASSERT_TRUE(WaitUntil([&] { return !Log().empty(); })) << "no Show event";
  }
  void TearDown() override {
    if (!top) return;
    PostMessageA(top, WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(app.waitExit(5000, &code));
    EXPECT_EQ(code, 0u);
  }
  HWND Ctl(int id) { return ControlById(top, id).hwnd; }
  std::vector<std::string> Log() { return TextLines(Ctl(Memo1)); }
  // Lines of the log from index `from` on, once `last` has arrived.
  std::vector<std::string> LogAfter(size_t from, const std::string& last) {
    WaitUntil([&] {
      auto l = Log();
      return !l.empty() && l.back() == last;
    });
    auto l = Log();
    return std::vector<std::string>(l.begin() + static_cast<long>(std::min(from, l.size())), l.end());
  }
  POINT ClientOrigin() {
    POINT p{0, 0};
    ClientToScreen(top, &p);
    return p;
  }

  Program app{ExeDir() + "PlatformTestForm.exe"};
  HWND top = nullptr;
};

TEST_F(TestForm, ControlsSitWhereTheDescriptionPutsThem) {
  RECT client, frame;
  GetClientRect(top, &client);
  GetWindowRect(top, &frame);
  EXPECT_EQ(client.right, 400);
  EXPECT_EQ(client.bottom, 300);
  // Centred on the 1024x768 screen.
  EXPECT_EQ(frame.left, (1024 - (frame.right - frame.left)) / 2);
  EXPECT_EQ(frame.top, (768 - (frame.bottom - frame.top)) / 2);

  const POINT o = ClientOrigin();
  const POINT panel = {o.x, o.y};  // the panel is aligned to the top left of the client area
  const struct {
    int id;
    const char* cls;
    int left, top, width, height;  // -1: not checked (labels take the width of their text)
    const char* text;
    bool enabled;
  } cases[] = {
      {Panel1, "TPanel", 0, 0, 400, 120, "", true},
      {lbInfo, "Static", 8, 8, -1, 13, "Info label", true},
      {lbFixed, "Static", 8, 28, 120, 13, "Fixed", true},
      {edNumber, "Edit", 8, 50, 60, 21, "abc", true},
      {tbSlider, TRACKBAR_CLASSA, 8, 80, 150, 34, "", true},
      {lbPos, "Static", 164, 93, -1, 13, "100\xB5s", true},
      {btClick, "Button", 200, 8, 75, 25, "Click me", true},
      {btWorker, "Button", 290, 8, 100, 25, "Worker", true},
      {btDisabled, "Button", 290, 40, 100, 25, "Disabled", false},
      {Memo1, "Edit", 0, 120, 400, 180, "Show\r\n", true},
  };
  for (const auto& c : cases) {
    Control ctl = ControlById(top, c.id);
    ASSERT_NE(ctl.hwnd, nullptr) << c.id;
    EXPECT_STRCASEEQ(ctl.className.c_str(), c.cls) << c.id;
    EXPECT_EQ(ctl.rect.left - panel.x, c.left) << c.id;
    EXPECT_EQ(ctl.rect.top - panel.y, c.top) << c.id;
    if (c.width >= 0) {
      EXPECT_EQ(ctl.rect.right - ctl.rect.left, c.width) << c.id;
    }
    EXPECT_EQ(ctl.rect.bottom - ctl.rect.top, c.height) << c.id;
    EXPECT_EQ(ctl.text, c.text) << c.id;
    EXPECT_EQ(ctl.enabled, c.enabled) << c.id;
    EXPECT_TRUE(ctl.visible) << c.id;
  }
}

TEST_F(TestForm, DraggingTheSliderFiresOnChangeAtEveryStepAndOnChangedOnceAtTheRelease) {
  HWND tb = Ctl(tbSlider);
  const size_t from = Log().size();
  DragTrackBar(tb, 120);
  ASSERT_EQ(SendMessageA(tb, TBM_GETPOS, 0, 0), 120);
  const auto events = LogAfter(from, "Changed 120");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "Changed 120");
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("Changed", 0) == 0; }),
            1)
      << ::testing::PrintToString(events);
  // Every position on the way was announced.
  for (int pos = 101; pos <= 120; ++pos)
    EXPECT_NE(std::find(events.begin(), events.end(), "Change " + std::to_string(pos)), events.end())
        << pos << " in " << ::testing::PrintToString(events);
  EXPECT_EQ(WindowText(Ctl(lbPos)), "120\xB5s");

  // Arrow keys (the drag left the focus on the slider): OnChange only.
  const size_t afterDrag = Log().size();
  PressKeys("Right Right");
  const auto keys = LogAfter(afterDrag, "Change 122");
  EXPECT_EQ(keys, (std::vector<std::string>{"Change 121", "Change 122"}));
  Sleep(200);
  EXPECT_EQ(Log().size(), afterDrag + 2) << "a key release fired more events";
}

TEST_F(TestForm, ClickOnTheThumbWithoutMovingFiresOnChanged) {
  HWND tb = Ctl(tbSlider);
  const RECT thumb = ThumbRect(tb);
  POINT p{(thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2};
  ClientToScreen(tb, &p);
  const size_t from = Log().size();
  ASSERT_EQ(RunUnix("xdotool mousemove " + std::to_string(p.x) + " " + std::to_string(p.y) + " sleep 0.05 click 1"), 0);
  const auto events = LogAfter(from, "Changed 100");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "Changed 100");
  EXPECT_EQ(SendMessageA(tb, TBM_GETPOS, 0, 0), 100);
}

TEST_F(TestForm, ExceptionsInHandlersReachHandleExceptionAndTheFormGoesOn) {
  const size_t from = Log().size();
  ClickReal(Ctl(btFault));
  ClickReal(Ctl(btThrow));
  ClickReal(Ctl(btClick));
  const auto events = LogAfter(from, "Click btClick");
  ASSERT_EQ(events.size(), 3u) << ::testing::PrintToString(events);
  const std::string av = "HandleException btFault EAccessViolation: Zugriffsverletzung bei Adresse $";
  EXPECT_EQ(events[0].rfind(av, 0), 0u) << events[0];
  EXPECT_NE(events[0].find(" in Modul 'PlatformTestForm.exe'. Schreiben von Adresse $0"), std::string::npos)
      << events[0];
  EXPECT_EQ(events[1], "HandleException btThrow EConvertError: ''abc'' ist kein g\xFCltiger Integer-Wert");
}

TEST_F(TestForm, ClickHandlerWaitsForAWorkerThatSynchronizes) {
  const size_t from = Log().size();
  ClickReal(Ctl(btWorker));
  const auto events = LogAfter(from, "worker done");
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back("worker " + std::to_string(i));
  expected.push_back("worker done");
  EXPECT_EQ(events, expected);
}

TEST_F(TestForm, TabMovesThroughTheGivenOrder) {
  // Focus starts on the first control in tab order; Tab walks btClick, btFault, btThrow,
  // btWorker, edNumber, tbSlider, then into the memo. Enter on a button clicks it.
  const size_t from = Log().size();
  ClickReal(Ctl(btClick));
  PressKeys("Tab Tab Tab Return");
  const auto events = LogAfter(from, "worker done");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "Click btClick");
}

}  // namespace
