#include "crash/KestrumBoxModel.h"

#include <algorithm>

#include "platform/Text.h"
#include "report/KestrumReportText.h"

namespace kestrum {

BoxModel MakeBoxModel(const BoxFacts& f) {
  BoxModel m;
  m.showReport = !f.defaultMsgBox && f.autoShowBugReport;
  m.ugly = !f.defaultMsgBox && f.noOwnerDrawButtons;
  m.buttonHeight = f.defaultMsgBox ? 23 : m.ugly ? 26 : 22;

  const std::string broken = report::BreakMessage(f.exceptMessage);
  auto expand = [&](const std::string& setting) {
    return platform::ReplaceAllNoCase(platform::ReplaceAllNoCase(setting, "%exceptClass%", f.exceptClass), "%exceptMsg%", broken);
  };
  if (f.frozen) {
    m.text = f.frozenMsg;
  } else {
    m.text = f.defaultMsgBox ? broken : expand(f.exceptMsg);
  }
  // A title that names the exception's class or message gets them as the main text does.
  m.caption = f.defaultMsgBox ? f.exeName : expand(f.titleBar);

  const FocusChoice focus = ChooseFocus(f.rules);
  m.focused = f.defaultMsgBox ? kBoxBtnContinue : static_cast<int>(focus.focused);
  if (m.focused < 0 || m.focused >= kBoxBtnCount) m.focused = kBoxBtnContinue;  // a damaged setting

  auto& b = m.buttons;
  if (f.defaultMsgBox) {
    b[kBoxBtnContinue] = {true, true, true, f.okCaption};
    if (f.detailsBtn) b[kBoxBtnShow] = {true, true, true, f.detailsCaption};
  } else {
    for (int i = 0; i < kBoxBtnCount; ++i) {
      // The open details leave nothing to show.
      const bool visible = f.visible[i] && !(i == kBoxBtnShow && m.showReport);
      if (visible) b[i] = {true, true, false, f.captions[i]};
    }
    // A program that cannot go on offers continuing only where nothing else ends the box.
    if (b[kBoxBtnContinue].present && !f.canContinue && (b[kBoxBtnRestart].present || b[kBoxBtnClose].present)) b[kBoxBtnContinue].enabled = false;
    const int right = b[kBoxBtnContinue].present + b[kBoxBtnRestart].present + b[kBoxBtnClose].present;
    const bool left = b[kBoxBtnSend].present || b[kBoxBtnSave].present || b[kBoxBtnPrint].present || b[kBoxBtnShow].present;
    m.stacked = right >= 2 && left;
    if (focus.countdown && b[focus.focused].present) m.countdown = focus.focused;
  }
  if (!b[m.focused].present || !b[m.focused].enabled) {
    m.focused = -1;
    for (int i = 0; i < kBoxBtnCount && m.focused < 0; ++i) {
      if (b[i].present && b[i].enabled) m.focused = i;
    }
  }
  return m;
}

BoxSize BoxWidth(const BoxSizeInput& in) {
  // As wide as the buttons need, at least the standard width, never beyond the screen.
  const int caption5 = 5 * in.captionH;
  int buttonsW = kBoxMargin;
  int widestRight = 0;
  for (int i = 0; i < kBoxBtnCount; ++i) {
    if (!in.buttonWidth[i]) continue;
    if (in.stacked && i >= kBoxBtnContinue) {
      widestRight = std::max(widestRight, in.buttonWidth[i]);
    } else {
      buttonsW += in.buttonWidth[i] + kBoxGap;
    }
  }
  if (in.stacked) buttonsW += kBoxGap + widestRight;
  buttonsW += kBoxMargin;
  BoxSize size;
  size.width = std::min(std::max(kBoxMinWidth, buttonsW + in.frameW), std::max(200, in.screenW - caption5));
  size.textWidth = size.width - in.frameW - (kBoxMargin + kBoxIconSize + 8) - kBoxMargin;
  return size;
}

void BoxHeight(const BoxSizeInput& in, int& textHeight, BoxSize& size) {
  const int caption5 = 5 * in.captionH;
  const int top = std::max(12 + textHeight, 12 + kBoxIconSize);
  int rows = 1;
  if (in.stacked) {
    rows = std::max(1, (in.buttonWidth[kBoxBtnContinue] ? 1 : 0) + (in.buttonWidth[kBoxBtnRestart] ? 1 : 0) + (in.buttonWidth[kBoxBtnClose] ? 1 : 0));
  }
  int clientH = top + 14 + rows * (in.buttonHeight + 4) + 8 + kBoxLabelHeight;
  if (in.showReport) clientH += kBoxDetailsHeight;
  size.height = std::min(clientH + in.frameH, std::max(150, in.screenH - caption5));
  // A message too long for the screen is cut, never the buttons below it.
  if (clientH + in.frameH > size.height) textHeight = std::max(16, textHeight - (clientH + in.frameH - size.height));
}

}  // namespace kestrum
