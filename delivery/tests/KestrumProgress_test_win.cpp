// The progress window on the test display: shown by a worker thread that keeps it alive through
// the progress calls, driven and closed from the test's thread, read back through its controls.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumProgress_win.h"
#include "delivery/tests/Pictures.h"
#include "delivery/tests/TestWindows_win.h"

namespace delivery {
namespace {

using testing::Pump;

// Shows the window on a thread of its own and pumps it there until told to stop.
class ShownElsewhere {
 public:
  ShownElsewhere(IProgressAlert* alert, bool activate, HWND parent = nullptr) : alert_(alert) {
    thread_ = std::thread([this, activate, parent] {
      shown_ = alert_->Show(parent, activate);
      started_ = true;
      while (!stop_) {
        alert_->ProcessMessages();
        Sleep(5);
      }
    });
    // Disabling a parent of this thread sends it a message: keep serving them meanwhile.
    while (!started_) Pump(5);
  }
  ~ShownElsewhere() {
    stop_ = true;
    thread_.join();
  }
  bool Shown() const { return shown_; }

 private:
  IProgressAlert* alert_;
  std::thread thread_;
  std::atomic<bool> started_{false}, stop_{false}, shown_{false};
};

struct Alert {
  IProgressAlert* p;
  explicit Alert(const char* title, HMODULE module = nullptr, const char* bmp = nullptr) : p(CreateProgressWindow(title, module, bmp)) {}
  ~Alert() { p->Release(); }
  IProgressAlert* operator->() const { return p; }
};

HWND Child(HWND top, const char* className) {
  for (const gui::Control& c : gui::Controls(top)) {
    if (c.className == className) return c.hwnd;
  }
  return nullptr;
}

int BarPosition(HWND top) { return static_cast<int>(SendMessageA(Child(top, PROGRESS_CLASSA), PBM_GETPOS, 0, 0)); }
std::string LabelText(HWND top) { return gui::WindowText(Child(top, "Static")); }

RECT ClientRectOf(HWND child, HWND top) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, top, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST(ProgressWindow, DrivenAndClosedFromAnotherThreadInTheCornerWithoutFocus) {
  // A window of the test's thread holds the focus and is the parent; the progress window must
  // leave the focus there.
  testing::TwoColourWindow focus({10, 10, 110, 60});
  SetForegroundWindow(focus.Handle());
  Pump();
  const HWND foregroundBefore = GetForegroundWindow();

  Alert alert("Sending report");
  alert->AddArea(1000, "Building the report");
  alert->AddArea(100, "Sending");
  alert->AddArea(100, "");
  ShownElsewhere worker(alert.p, false, focus.Handle());
  ASSERT_TRUE(worker.Shown());
  EXPECT_FALSE(IsWindowEnabled(focus.Handle())) << "the parent is disabled while the window shows";
  const HWND top = gui::FindTopLevel("Sending report");
  ASSERT_NE(top, nullptr);
  EXPECT_FALSE(alert->Show(nullptr, false)) << "shown twice";

  char cls[64] = {};
  GetClassNameA(top, cls, sizeof cls);
  EXPECT_STREQ(cls, kProgressWindowClass);
  EXPECT_TRUE(GetWindowLongA(top, GWL_EXSTYLE) & WS_EX_TOPMOST);
  RECT work, rect;
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
  GetWindowRect(top, &rect);
  EXPECT_EQ(rect.right, work.right - 2);
  EXPECT_EQ(rect.bottom, work.bottom - 2);
  EXPECT_EQ(GetForegroundWindow(), foregroundBefore);
  EXPECT_NE(GetForegroundWindow(), top);
  HMENU menu = GetSystemMenu(top, FALSE);
  for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) EXPECT_EQ(GetMenuState(menu, command, MF_BYCOMMAND), UINT(-1));

  EXPECT_EQ(LabelText(top), "Building the report");
  EXPECT_EQ(BarPosition(top), 0);
  const RECT label = ClientRectOf(Child(top, "Static"), top), bar = ClientRectOf(Child(top, PROGRESS_CLASSA), top);
  EXPECT_EQ(label.left, 11);
  EXPECT_EQ(label.top, 12);
  EXPECT_GE(label.right - label.left, 220);
  EXPECT_EQ(bar.left, 11);
  EXPECT_GT(bar.top, label.bottom);
  EXPECT_EQ(Child(top, "Button"), nullptr) << "no icon asked for";

  struct Step {
    const char* what;
    void (*act)(IProgressAlert*);
    int bar;
    const char* text;
  } steps[] = {
      {"half of the first area", [](IProgressAlert* a) { a->SetPosition(500); }, 416, "Building the report"},
      {"first area done", [](IProgressAlert* a) { a->AreaDone(); }, 833, "Sending"},
      {"second area done", [](IProgressAlert* a) { a->AreaDone(); }, 916, "Sending"},
      {"all done", [](IProgressAlert* a) { a->AreaDone(); }, 1000, "Sending"},
      {"beyond the last area", [](IProgressAlert* a) { a->AreaDone(); }, 1000, "Sending"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.act(alert.p);
    EXPECT_TRUE(gui::WaitUntil([&] { return BarPosition(top) == s.bar && LabelText(top) == s.text; }))
        << BarPosition(top) << " " << LabelText(top);
  }
  alert->SetTitle("Sent");
  EXPECT_TRUE(gui::WaitUntil([&] { return gui::WindowText(top) == "Sent"; }));

  // A close request of the user does nothing; Close from this thread ends the window at once.
  PostMessageA(top, WM_CLOSE, 0, 0);
  Sleep(200);
  EXPECT_TRUE(IsWindow(top));
  alert->Close();
  EXPECT_FALSE(IsWindow(top));
  EXPECT_TRUE(IsWindowEnabled(focus.Handle()));
  alert->SetPosition(10);  // no window: nothing to update
}

TEST(ProgressWindow, WithoutAreasSaysPleaseWaitCentredAndActive) {
  Alert alert("Please wait");
  ShownElsewhere worker(alert.p, true);
  ASSERT_TRUE(worker.Shown());
  const HWND top = gui::FindTopLevel("Please wait");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(LabelText(top), "Please wait...");
  EXPECT_EQ(BarPosition(top), 0);
  RECT rect;
  GetWindowRect(top, &rect);
  EXPECT_NEAR((rect.left + rect.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((rect.top + rect.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
  EXPECT_TRUE(gui::WaitUntil([&] { return GetForegroundWindow() == top; }));
  alert->Close();
  EXPECT_FALSE(IsWindow(top));
}

TEST(ProgressWindow, IconBlendedOnTheButtonFaceMovesTheText) {
  Alert alert("With icon", GetModuleHandleA(nullptr), "ZQITEST");
  ShownElsewhere worker(alert.p, false);
  const HWND top = gui::FindTopLevel("With icon");
  ASSERT_NE(top, nullptr);
  const HWND icon = Child(top, "Button");
  ASSERT_NE(icon, nullptr);
  EXPECT_FALSE(IsWindowEnabled(icon));
  const RECT iconRect = ClientRectOf(icon, top), label = ClientRectOf(Child(top, "Static"), top);
  EXPECT_EQ(iconRect.left, 9);
  EXPECT_EQ(iconRect.top, 9);
  EXPECT_EQ(iconRect.right - iconRect.left, 32);
  EXPECT_EQ(label.left, 51);
  // A short text is centred on the icon's 26 pixels.
  EXPECT_NEAR((label.top + label.bottom) / 2, 12 + 13, 1);

  // Opaque red on the left, fully transparent on the right: the button face shows there.
  POINT at{0, 0};
  ClientToScreen(icon, &at);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  auto pixels = [&](delivery::Rgb& left, delivery::Rgb& right) {
    INVBitmap* shot = TakeScreenShot(false);
    if (!shot) return false;
    const std::string bmp = shot->AsBmpStr();
    shot->Release();
    BmpLoad loaded = LoadBmp({reinterpret_cast<const std::uint8_t*>(bmp.data()), bmp.size()});
    left = testing::PixelAt(loaded.picture.View(), at.x + 5, at.y + 5);
    right = testing::PixelAt(loaded.picture.View(), at.x + 26, at.y + 5);
    return true;
  };
  delivery::Rgb left{}, right{};
  EXPECT_TRUE(gui::WaitUntil([&] { return pixels(left, right) && left == delivery::Rgb({255, 0, 0}); }));
  EXPECT_EQ(left, (delivery::Rgb{255, 0, 0}));
  EXPECT_EQ(right.r, BlendOnFace(GetRValue(face), 0, 0));
  EXPECT_EQ(right.b, BlendOnFace(GetBValue(face), 255, 0));
  alert->Close();
}

TEST(ProgressWindow, IconBlending) {
  struct Case {
    int face, pixel, opacity, want;
  } cases[] = {{200, 0, 255, 0}, {200, 100, 255, 100}, {200, 0, 0, 199}, {0, 255, 0, 0}, {100, 200, 127, 150}};
  for (const Case& c : cases) {
    EXPECT_EQ(BlendOnFace(static_cast<std::uint8_t>(c.face), static_cast<std::uint8_t>(c.pixel), static_cast<std::uint8_t>(c.opacity)),
              c.want)
        << c.face << " " << c.pixel << " " << c.opacity;
  }
}

}  // namespace
}  // namespace delivery
