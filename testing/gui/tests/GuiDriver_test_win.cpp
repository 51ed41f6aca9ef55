// The driver on a window of known shape: what it reads matches what the window holds, and what
// it does with the real pointer and keyboard arrives as it would from a person.
#include "testing/gui/GuiDriver_win.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace gui;

class GuiTestWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    top = app.waitWindow("GUI Driver Test");
    ASSERT_NE(top, nullptr) << "the test window did not appear";
  }
  void TearDown() override {
    if (top) PostMessageA(top, WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(app.waitExit(5000, &code));
    EXPECT_EQ(code, 0u);
  }
  std::string TextOf(int id) { return WindowText(ControlById(top, id).hwnd); }

  Program app{ExeDir() + "GuiTestWindow.exe"};
  HWND top = nullptr;
};

TEST_F(GuiTestWindow, ReadsEveryControl) {
  const std::vector<Control> all = Controls(top);
  ASSERT_EQ(all.size(), 5u);
  RECT frame;
  GetWindowRect(top, &frame);

  Control label = FindControl(top, "Static", "Clicks: 0");
  ASSERT_NE(label.hwnd, nullptr);
  EXPECT_EQ(label.id, 101);
  EXPECT_TRUE(label.enabled);
  EXPECT_TRUE(label.visible);
  // Client position 10,10 with size 120x16, somewhere inside the frame.
  EXPECT_EQ(label.rect.right - label.rect.left, 120);
  EXPECT_EQ(label.rect.bottom - label.rect.top, 16);
  EXPECT_GT(label.rect.left, frame.left);
  EXPECT_GT(label.rect.top, frame.top);

  Control button = ControlById(top, 102);
  EXPECT_EQ(button.className, "Button");
  EXPECT_EQ(button.text, "Press me");
  EXPECT_EQ(button.rect.left - label.rect.left, 0);
  EXPECT_EQ(button.rect.top - label.rect.top, 24);
  EXPECT_EQ(ControlById(top, 104).className, TRACKBAR_CLASSA);
  EXPECT_EQ(TextOf(105), "Pos: 5");
}

TEST_F(GuiTestWindow, ClicksByPointerAndByMessage) {
  HWND button = FindControl(top, "Button", "Press me").hwnd;
  ClickReal(button);
  EXPECT_TRUE(WaitUntil([&] { return TextOf(101) == "Clicks: 1"; })) << TextOf(101);
  ClickMessage(button);
  EXPECT_TRUE(WaitUntil([&] { return TextOf(101) == "Clicks: 2"; })) << TextOf(101);
}

TEST_F(GuiTestWindow, TypesIntoEditField) {
  HWND edit = ControlById(top, 103).hwnd;
  SetTextMessage(edit, "old text");
  TypeText(edit, "hello 'world' 42");
  EXPECT_TRUE(WaitUntil([&] { return WindowText(edit) == "hello 'world' 42"; })) << WindowText(edit);
}

TEST_F(GuiTestWindow, DragsTrackBarAndPressesKeys) {
  HWND track = ControlById(top, 104).hwnd;
  DragTrackBar(track, 12);
  EXPECT_EQ(SendMessageA(track, TBM_GETPOS, 0, 0), 12);
  EXPECT_TRUE(WaitUntil([&] { return TextOf(105) == "Pos: 12"; })) << TextOf(105);
  DragTrackBar(track, 3);
  EXPECT_EQ(SendMessageA(track, TBM_GETPOS, 0, 0), 3);
  // The drag left the keyboard focus on the track bar.
  PressKeys("Right Right");
  EXPECT_TRUE(WaitUntil([&] { return TextOf(105) == "Pos: 5"; })) << TextOf(105);
}

TEST_F(GuiTestWindow, SavesScreenshot) {
  const std::string path = ExeDir() + "gui-driver-test.png";
  DeleteFileA(path.c_str());
  ASSERT_TRUE(Screenshot(path));
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  unsigned char sig[8] = {};
  ASSERT_EQ(std::fread(sig, 1, 8, f), 8u);
  std::fclose(f);
  EXPECT_EQ(0, std::memcmp(sig, "\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
