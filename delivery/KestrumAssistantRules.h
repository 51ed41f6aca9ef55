// The arithmetic and rules of the assistant steps that need no window: where every item goes,
// when Continue may be pressed, which mail addresses are accepted, and what the finished steps
// put into the report. The window side measures text and hands the numbers in.
#pragma once

#include "delivery/KestrumAssistantForm.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

// The three fonts of a step: items in Tahoma 11 pixels, the main buttons and step numbers in Arial
// 15 pixels, the heading in Arial 15 pixels bold (pixel heights at 96 DPI).
enum class AssistantFont { items, buttons, heading };

// Text measurement in device pixels at the DPI the layout is made for.
struct AssistantMetrics {
  virtual ~AssistantMetrics() = default;
  virtual int TextWidth(AssistantFont font, std::string_view text) const = 0;
  virtual int LineHeight(AssistantFont font) const = 0;  // the height of "Gg"
  // The height of text word-wrapped to width, and whether it took a single line.
  virtual int WrappedHeight(AssistantFont font, std::string_view text, int width, bool& oneLine) const = 0;
  virtual int CheckMarkWidth() const = 0;
  virtual int ScreenHeight() const = 0;
};

struct LayoutRect {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const LayoutRect&) const = default;
};

struct AssistantLayout {
  int clientWidth = 0, clientHeight = 0;
  std::vector<LayoutRect> items;  // one per item of the form, in its order; invisible buttons are 0 wide
  // The size an image is shown in (inside its frame), 0 x 0 for other items.
  std::vector<LayoutRect> imageContent;
  int buttonsTop = 0;  // the three main buttons' top
};

// bitmapSizes: for every item, the size of the bitmap an image holds (0 x 0 without one).
// dpi 96 gives the pixel values as designed; other values scale every fixed distance.
AssistantLayout LayOutForm(const FormDescription& form, int steps, const AssistantMetrics& metrics, int dpi,
                           const std::vector<std::pair<int, int>>& bitmapSizes = {});

// A value at 96 DPI in pixels at dpi, rounded to nearest.
int ScaleToDpi(int value, int dpi);

// Continue may be pressed unless an edit after the main buttons refuses: one that is not optional
// and is either marked invalid or empty.
bool ContinueAllowed(const std::vector<FormItem>& items);

// Accepts local@domain addresses made of letters, digits, ' + - _ and dots, with exactly one at
// sign that is neither first nor followed by a dot, a dot after it, and no dot at either end.
bool ValidMailAddress(std::string_view text);

// The sender a finished contact step sets: "name <address>". Nothing without a name or without a
// valid address, so that an unanswered or mistyped address never replaces the configured sender.
// Line breaks in the name (a remembered value can hold any text) become blanks, so the name
// cannot add header lines to the mail.
std::optional<std::string> ContactMailFrom(std::string_view name, std::string_view address);

// --- What the steps closed with OK put into the report.
struct AssistantOutput {
  bool ownSection = false;  // else a header field
  std::string name, content;
  bool operator==(const AssistantOutput&) const = default;
};
struct FinishedForm {
  bool closedWithOk = false;
  std::vector<FormItem> items;
};
std::vector<AssistantOutput> AssistantOutputs(const std::vector<FinishedForm>& forms);

}  // namespace delivery
