// Form resources can come from any module loaded into the process: the reader must stay inside
// the data, keep to its limits, and whatever it accepts must lay out without overflow.
#include "delivery/KestrumAssistantForm.h"
#include "delivery/KestrumAssistantRules.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

class Metrics : public delivery::AssistantMetrics {
 public:
  int TextWidth(delivery::AssistantFont, std::string_view text) const override {
    return static_cast<int>(std::min<std::size_t>(text.size(), 100000)) * 7;
  }
  int LineHeight(delivery::AssistantFont) const override { return 14; }
  int WrappedHeight(delivery::AssistantFont, std::string_view text, int width, bool& oneLine) const override {
    const std::size_t perLine = static_cast<std::size_t>(std::max(width / 7, 1));
    const std::size_t lines = std::max<std::size_t>((text.size() + perLine - 1) / perLine, 1);
    oneLine = lines == 1;
    return static_cast<int>(std::min<std::size_t>(lines * 14, 1 << 20));
  }
  int CheckMarkWidth() const override { return 13; }
  int ScreenHeight() const override { return 1080; }
};

std::size_t CountObjects(const delivery::FormObject& o, int depth, int& maxDepth) {
  maxDepth = std::max(maxDepth, depth);
  std::size_t n = 1;
  for (const auto& c : o.children) n += CountObjects(c, depth + 1, maxDepth);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  const delivery::FormStream s = delivery::ParseFormStream(copy.get(), size);
  int depth = 0;
  if (s.signatureOk && (CountObjects(s.root, 0, depth) > delivery::kMaxFormObjects || depth > delivery::kMaxFormDepth)) std::abort();

  const delivery::FormRead r = delivery::ReadFormResource(copy.get(), size);
  const auto& items = r.form.items;
  if (items.size() < 3 || items[0].name != "ContinueBtn" || items[1].name != "SkipBtn" || items[2].name != "CancelBtn") std::abort();
  if (r.damaged) return 0;
  for (int dpi : {96, 144}) {
    std::vector<std::pair<int, int>> bitmaps(items.size(), {5000, 3});
    const delivery::AssistantLayout l = delivery::LayOutForm(r.form, 3, Metrics(), dpi, bitmaps);
    if (l.items.size() != items.size() || l.clientWidth <= 0 || l.clientHeight <= 0) std::abort();
    for (const auto& rect : l.items) {
      if (rect.width < 0 || rect.height < 0) std::abort();
    }
  }
  delivery::ContinueAllowed(items);
  // Whatever was read can be written back (a name or text longer than a length byte excepted).
  if (s.signatureOk && s.invalidType == -1) {
    try {
      const std::vector<std::uint8_t> again = delivery::WriteFormStream(s.root);
      if (!(delivery::ParseFormStream(again.data(), again.size()).root == s.root)) std::abort();
    } catch (const std::invalid_argument&) {
    }
  }
  return 0;
}
