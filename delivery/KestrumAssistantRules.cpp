#include "delivery/KestrumAssistantRules.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace delivery {

namespace {

// Item heights come from measured text; a caption of megabytes must not overflow the running y.
constexpr int kMaxItemHeight = 32767;

bool IsHeadingCaption(std::string_view caption) {
  return !caption.empty() && (caption.back() == ':' || caption.back() == '?');
}

bool IsAddressChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x80 && std::isalnum(u)) || c == '\'' || c == '+' || c == '-' || c == '_';
}

}  // namespace

int ScaleToDpi(int value, int dpi) {
  if (dpi <= 0) dpi = 96;
  return static_cast<int>((static_cast<std::int64_t>(value) * dpi + 48) / 96);
}

AssistantLayout LayOutForm(const FormDescription& form, int steps, const AssistantMetrics& metrics, int dpi,
                           const std::vector<std::pair<int, int>>& bitmapSizes) {
  auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
  const std::vector<FormItem>& items = form.items;
  AssistantLayout out;
  out.items.resize(items.size());
  out.imageContent.resize(items.size());

  // The main buttons decide the least width and the height of the button row.
  int buttonWidth[3] = {}, buttonHeight[3] = {};
  int rowHeight = 0, buttonsWidth = 0;
  for (std::size_t i = kContinueBtn; i <= kCancelBtn && i < items.size(); ++i) {
    const FormItem& b = items[i];
    buttonHeight[i] = s(b.noOwnerDraw ? 23 : 32);
    if (!b.visible) continue;
    const int text = metrics.TextWidth(b.noOwnerDraw ? AssistantFont::items : AssistantFont::buttons, b.caption);
    buttonWidth[i] = std::max(text + s(20), s(b.noOwnerDraw ? 75 : 85));
    buttonsWidth += buttonWidth[i];
    rowHeight = std::max(rowHeight, buttonHeight[i]);
  }
  if (rowHeight == 0) rowHeight = buttonHeight[kContinueBtn];

  const int heading = metrics.TextWidth(AssistantFont::heading, form.message) + s(19) * std::max(steps, 0) + s(36);
  const int width = std::max({buttonsWidth + s(32), s(315), s(form.minWidth), heading});
  out.clientWidth = width;

  const int x = s(21);
  int y = s(40);
  for (std::size_t i = kFirstOwnItem; i < items.size(); ++i) {
    const FormItem& it = items[i];
    LayoutRect& r = out.items[i];
    bool headingLabel = false;
    bool takesRoom = true;
    r.left = x;
    r.top = y;
    switch (it.kind) {
      case FormItemKind::label: {
        bool oneLine = false;
        r.width = width - s(46);
        r.height = metrics.WrappedHeight(AssistantFont::items, it.caption, r.width, oneLine);
        r.top = y - s(2);
        headingLabel = oneLine && IsHeadingCaption(it.caption);
        break;
      }
      case FormItemKind::edit:
        r.width = width - s(46);
        r.height = metrics.LineHeight(AssistantFont::items) * std::max(it.lines, 1) + s(2);
        break;
      case FormItemKind::checkBox:
        r.width = metrics.TextWidth(AssistantFont::items, it.caption) + metrics.CheckMarkWidth() + s(8);
        r.height = std::max(metrics.LineHeight(AssistantFont::items), metrics.CheckMarkWidth());
        break;
      case FormItemKind::image: {
        std::int64_t w = s(32), h = s(32);
        const std::pair<int, int> bitmap = i < bitmapSizes.size() ? bitmapSizes[i] : std::pair<int, int>{0, 0};
        if (it.width > 0 && it.height > 0) {
          w = s(it.width);
          h = s(it.height);
        } else if (bitmap.first > 0 && bitmap.second > 0) {
          w = bitmap.first;
          h = bitmap.second;
        }
        const int frame = (it.clickable ? s(6) : 0) + (it.border ? s(2) : 0);
        const std::int64_t maxW = std::max(width - s(42) - frame, 1);
        const std::int64_t maxH = std::max(metrics.ScreenHeight() / 3, 1);
        if (w > maxW || h > maxH) {
          // Keep the picture's proportions: the tighter of the two limits decides.
          if (w * maxH > h * maxW) {
            h = std::max<std::int64_t>(h * maxW / w, 1);
            w = maxW;
          } else {
            w = std::max<std::int64_t>(w * maxH / h, 1);
            h = maxH;
          }
        }
        r.width = static_cast<int>(w) + frame;
        r.height = static_cast<int>(h) + frame;
        out.imageContent[i] = {x + frame / 2, y + frame / 2, static_cast<int>(w), static_cast<int>(h)};
        break;
      }
      case FormItemKind::button:
        if (!it.visible) {
          takesRoom = false;
          r.width = r.height = 0;
          break;
        }
        r.width = std::max({metrics.TextWidth(AssistantFont::items, it.caption) + s(32), s(70), s(it.minWidth)});
        r.height = metrics.LineHeight(AssistantFont::items) + s(10);
        break;
    }
    r.height = std::clamp(r.height, 0, kMaxItemHeight);
    if (!takesRoom) continue;
    y += r.height;
    if (i + 1 < items.size()) y += it.spacing ? s(it.spacing) : headingLabel ? s(4) : s(12);
  }

  out.clientHeight = rowHeight + y + s(33);
  out.buttonsTop = out.clientHeight - s(9) - rowHeight;
  if (items.size() >= 3) {
    int left[3];
    if (items[kContinueBtn].noOwnerDraw && items[kCancelBtn].noOwnerDraw && !items[kSkipBtn].visible) {
      left[kCancelBtn] = width - s(8) - buttonWidth[kCancelBtn];
      left[kContinueBtn] = left[kCancelBtn] - s(8) - buttonWidth[kContinueBtn];
      left[kSkipBtn] = s(8);
    } else {
      left[kContinueBtn] = s(8);
      left[kSkipBtn] = left[kContinueBtn] + buttonWidth[kContinueBtn] + s(8);
      left[kCancelBtn] = width - s(8) - buttonWidth[kCancelBtn];
    }
    for (std::size_t i = kContinueBtn; i <= kCancelBtn; ++i) {
      // Bottoms line up when an owner-drawn and a system button stand side by side.
      out.items[i] = {left[i], out.clientHeight - s(9) - buttonHeight[i], buttonWidth[i], buttonWidth[i] ? buttonHeight[i] : 0};
    }
  }
  return out;
}

bool ContinueAllowed(const std::vector<FormItem>& items) {
  for (std::size_t i = kFirstOwnItem; i < items.size(); ++i) {
    const FormItem& it = items[i];
    if (it.kind == FormItemKind::edit && !it.optional && (!it.valid || it.text.empty())) return false;
  }
  return true;
}

bool ValidMailAddress(std::string_view text) {
  if (text.empty() || text.front() == ' ' || text.back() == ' ') return false;
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return false;
  if (text.find('.', at + 1) == std::string_view::npos) return false;
  if (text.front() == '.' || text.back() == '.') return false;
  if (at + 1 < text.size() && text[at + 1] == '.') return false;
  bool anyAddressChar = false;
  int others = 0, ats = 0;
  for (char c : text) {
    if (IsAddressChar(c)) anyAddressChar = true;
    else if (c == '@') ++ats;
    else if (c != '.') ++others;
  }
  return anyAddressChar && others == 0 && ats == 1;
}

std::optional<std::string> ContactMailFrom(std::string_view name, std::string_view address) {
  if (name.empty() || !ValidMailAddress(address)) return std::nullopt;
  std::string from(name);
  std::replace_if(from.begin(), from.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return from + " <" + std::string(address) + ">";
}

std::vector<AssistantOutput> AssistantOutputs(const std::vector<FinishedForm>& forms) {
  std::vector<AssistantOutput> out;
  for (const FinishedForm& f : forms) {
    if (!f.closedWithOk) continue;
    for (const FormItem& it : f.items) {
      if (it.outputName.empty()) continue;
      if (it.kind == FormItemKind::edit && !it.text.empty()) {
        out.push_back({it.outputType == otOwnSection && it.lines > 1, it.outputName, it.text});
      } else if (it.kind == FormItemKind::checkBox) {
        out.push_back({false, it.outputName, it.checked ? "yes" : "no"});
      }
    }
  }
  return out;
}

}  // namespace delivery
