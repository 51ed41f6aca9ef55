// What the exception box shows, decided without a window: its text and title, which buttons it
// has with which captions, which of them is enabled, focused and counting down, whether the
// right-hand buttons stack, and the box's size from the measured parts. The window builder
// (KestrumExceptBox_win.cpp) measures texts and creates the windows from this.
#pragma once

#include <array>
#include <string>

#include "crash/KestrumBoxLogic.h"

namespace kestrum {

// In the order of the settings' TZQButton.
enum BoxButton : int { kBoxBtnSend = 0, kBoxBtnSave, kBoxBtnPrint, kBoxBtnShow, kBoxBtnContinue, kBoxBtnRestart, kBoxBtnClose, kBoxBtnCount };

// What the box reads of the exception and its settings.
struct BoxFacts {
  bool defaultMsgBox = false;  // the small box of the runtime's own kind: OK and maybe Details
  bool detailsBtn = false;     // the small box offers Details
  bool frozen = false;
  bool autoShowBugReport = false;
  bool noOwnerDrawButtons = false;
  bool canContinue = true;
  std::string exceptClass, exceptMessage;
  std::string frozenMsg, exceptMsg, titleBar;  // the settings' texts, with their placeholders
  std::string exeName;                         // the program file's name without its extension
  std::string okCaption, detailsCaption;
  std::array<bool, kBoxBtnCount> visible{};
  std::array<std::string, kBoxBtnCount> captions;
  BoxButtonRules rules;  // focusedBtn as configured, the automatic rules' results
};

struct BoxModel {
  std::string text, caption;
  bool showReport = false;  // the details area is open from the start
  bool ugly = false;        // plain system buttons instead of owner-drawn ones
  int buttonHeight = 22;
  struct Button {
    bool present = false;
    bool enabled = true;
    bool small = false;  // a button of the small box: at least 79 pixels wide
    std::string caption;
  };
  std::array<Button, kBoxBtnCount> buttons;
  bool stacked = false;  // continue, restart and close one above the other on the right
  int focused = -1;      // -1: no button can take the focus
  int countdown = -1;    // the button that presses itself after AutoDelay, -1: none
};

BoxModel MakeBoxModel(const BoxFacts& facts);

// The box's size from the measured parts, on a screen of screenW x screenH whose caption height
// is captionH; frameW and frameH are what the window's frame adds to the client area.
struct BoxSizeInput {
  std::array<int, kBoxBtnCount> buttonWidth{};  // 0: no such button
  bool stacked = false;
  bool showReport = false;
  int buttonHeight = 22;
  int frameW = 0, frameH = 0;
  int screenW = 0, screenH = 0, captionH = 0;
};
struct BoxSize {
  int width = 0, height = 0;
  int textWidth = 0;  // the room for the text beside the icon, to measure its height in
};
// The width first (the text's height depends on it), then the height from the text's height.
BoxSize BoxWidth(const BoxSizeInput& in);
// height and the text's height, cut so that the buttons stay on the screen.
void BoxHeight(const BoxSizeInput& in, int& textHeight, BoxSize& size);

// The box's fixed layout numbers.
inline constexpr int kBoxMargin = 11, kBoxGap = 6, kBoxIconSize = 32, kBoxLabelHeight = 16, kBoxDetailsHeight = 474,
                     kBoxMinWidth = 664;

}  // namespace kestrum
