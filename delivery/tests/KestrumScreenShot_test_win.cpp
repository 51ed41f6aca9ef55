// Screenshots of the test display (Xvfb through Wine's virtual desktop) with windows of known
// colours: the whole screen, the program's windows only, covered parts, minimized windows.
#include <gtest/gtest.h>

#include "delivery/KestrumBitmap_win.h"
#include "delivery/tests/Pictures.h"
#include "delivery/tests/TestWindows_win.h"

namespace delivery {
namespace {

using testing::PixelAt;
using testing::Pump;
using testing::TwoColourWindow;

// The pixels of a screenshot, through its BMP image and the loader.
struct Shot {
  explicit Shot(INVBitmap* b) : bitmap(b) {
    if (!b) return;
    const std::string bmp = b->AsBmpStr();
    BmpLoad loaded = LoadBmp({reinterpret_cast<const std::uint8_t*>(bmp.data()), bmp.size()});
    EXPECT_TRUE(loaded.ok) << loaded.error;
    picture = std::move(loaded.picture);
  }
  ~Shot() {
    if (bitmap) bitmap->Release();
  }
  Rgb At(int x, int y) { return PixelAt(picture.View(), x, y); }
  INVBitmap* bitmap;
  Picture picture;
};

const Rgb kRed{255, 0, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255}, kGreen{0, 255, 0};
const RECT kPlace{100, 120, 300, 270};  // 200 x 150

class ScreenShot : public ::testing::Test {
 protected:
  // The pointer away from every window of the tests.
  void SetUp() override { SetCursorPos(3, 765); }
};

TEST_F(ScreenShot, WholeScreenSpansTheVirtualScreen) {
  TwoColourWindow w(kPlace);
  Shot s(TakeScreenShot(false));
  ASSERT_NE(s.bitmap, nullptr);
  EXPECT_EQ(s.bitmap->GetWidth(), GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(s.bitmap->GetHeight(), GetSystemMetrics(SM_CYVIRTUALSCREEN));
  const int x0 = GetSystemMetrics(SM_XVIRTUALSCREEN), y0 = GetSystemMetrics(SM_YVIRTUALSCREEN);
  EXPECT_EQ(s.At(kPlace.left + 10 - x0, kPlace.top + 10 - y0), kRed);
  EXPECT_EQ(s.At(kPlace.right - 10 - x0, kPlace.bottom - 10 - y0), kBlue);
}

TEST_F(ScreenShot, OwnWindowsOnlyTakesTheirBox) {
  TwoColourWindow w(kPlace);
  Shot s(TakeScreenShot(true));
  ASSERT_NE(s.bitmap, nullptr);
  ASSERT_EQ(s.bitmap->GetWidth(), 200);
  ASSERT_EQ(s.bitmap->GetHeight(), 150);
  EXPECT_EQ(s.At(0, 0), kRed);
  EXPECT_EQ(s.At(99, 149), kRed);
  EXPECT_EQ(s.At(100, 0), kBlue);
  EXPECT_EQ(s.At(199, 149), kBlue);
}

TEST_F(ScreenShot, ForeignWindowOverOwnIsWhite) {
  TwoColourWindow w(kPlace);
  // Another program's window over the right 80 pixels of the blue half, from y 150 down.
  gui::Program cover(gui::ExeDir() + "CoverWindow.exe", "Cover 220 150 200 200 0 255 0");
  ASSERT_NE(cover.waitWindow("Cover"), nullptr);
  Pump(300);
  {
    Shot whole(TakeScreenShot(false));
    ASSERT_NE(whole.bitmap, nullptr);
    ASSERT_EQ(whole.At(250, 200), kGreen) << "the cover is not on the screen";
  }
  Shot s(TakeScreenShot(true));
  ASSERT_NE(s.bitmap, nullptr);
  ASSERT_EQ(s.bitmap->GetWidth(), 200);
  EXPECT_EQ(s.At(150, 10), kBlue);   // above the cover
  EXPECT_EQ(s.At(110, 100), kBlue);  // left of it
  EXPECT_EQ(s.At(120, 30), kWhite);  // its top left corner
  EXPECT_EQ(s.At(199, 149), kWhite);
  EXPECT_EQ(s.At(10, 140), kRed);
}

TEST_F(ScreenShot, NothingWhenNoOwnWindowShows) {
  TwoColourWindow w(kPlace);
  ShowWindow(w.Handle(), SW_MINIMIZE);
  Pump();
  ASSERT_TRUE(IsIconic(w.Handle()));
  INVBitmap* minimized = TakeScreenShot(true);
  EXPECT_EQ(minimized, nullptr);
  if (minimized) minimized->Release();

  ShowWindow(w.Handle(), SW_RESTORE);
  ShowWindow(w.Handle(), SW_HIDE);
  Pump();
  INVBitmap* hidden = TakeScreenShot(true);
  EXPECT_EQ(hidden, nullptr);
  if (hidden) hidden->Release();
}

TEST_F(ScreenShot, CoveredEntirelyGivesNothing) {
  TwoColourWindow w(kPlace);
  gui::Program cover(gui::ExeDir() + "CoverWindow.exe", "Cover 90 110 230 180 0 255 0");
  ASSERT_NE(cover.waitWindow("Cover"), nullptr);
  Pump(300);
  INVBitmap* shot = TakeScreenShot(true);
  EXPECT_EQ(shot, nullptr);
  if (shot) shot->Release();
}

TEST_F(ScreenShot, TheCursorIsDrawnIn) {
  TwoColourWindow w(kPlace);
  SetCursorPos(kPlace.left + 50, kPlace.top + 50);
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
  Pump();
  CURSORINFO info{};
  info.cbSize = sizeof info;
  if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || !info.hCursor) GTEST_SKIP() << "no cursor shows on this display";
  Shot s(TakeScreenShot(true));
  ASSERT_NE(s.bitmap, nullptr);
  int notRed = 0;
  for (int y = 40; y < 70; ++y) {
    for (int x = 40; x < 70; ++x) notRed += !(s.At(x, y) == kRed);
  }
  EXPECT_GT(notRed, 10) << "no cursor near the pointer";
  EXPECT_EQ(s.At(10, 10), kRed);
}

}  // namespace
}  // namespace delivery
