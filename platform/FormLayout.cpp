#include "platform/FormLayout.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/Exceptions.h"

namespace platform {

void CheckFormDesc(const TFormDesc& desc, const THandlerKnown& hasHandler, const THandlerKnown& hasCloseHandler) {
  auto checkHandler = [&](const std::string& name) {
    if (!name.empty() && !hasHandler(name))
      throw Exception("Ereignisbehandlung '" + name + "' fehlt im Formular '" + desc.Name + "'");
  };
  std::set<std::string> names, panels;
  for (const TControlDesc& c : desc.Controls) {
    if (c.Name.empty() || !names.insert(c.Name).second)
      throw Exception("Steuerelementname '" + c.Name + "' fehlt oder ist doppelt im Formular '" + desc.Name + "'");
    if (!c.Parent.empty() && !panels.count(c.Parent))
      throw Exception("'" + c.Parent + "' ist kein vorher genanntes Panel (Steuerelement '" + c.Name + "')");
    if (c.Kind == TControlKind::Panel) panels.insert(c.Name);
    for (const std::string* h : {&c.OnClick, &c.OnChange, &c.OnChanged}) checkHandler(*h);
  }
  if (!desc.OnClose.empty() && !hasCloseHandler(desc.OnClose))
    throw Exception("Ereignisbehandlung '" + desc.OnClose + "' fehlt im Formular '" + desc.Name + "'");
  checkHandler(desc.OnShow);
}

std::vector<TLayoutRect> AlignBounds(const TLayoutRect& client, const std::vector<TAlignItem>& items) {
  std::vector<TLayoutRect> out;
  out.reserve(items.size());
  for (const TAlignItem& item : items) out.push_back(item.Bounds);
  TLayoutRect rest = client;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      const TAlign align = items[i].Align;
      const int h = items[i].Bounds.Bottom - items[i].Bounds.Top;
      if (pass == 0 && align == alTop) {
        out[i] = {rest.Left, rest.Top, rest.Right, rest.Top + h};
        rest.Top += h;
      } else if (pass == 0 && align == alBottom) {
        out[i] = {rest.Left, rest.Bottom - h, rest.Right, rest.Bottom};
        rest.Bottom -= h;
      } else if (pass == 1 && align == alClient) {
        out[i] = {rest.Left, rest.Top, rest.Right, rest.Top + std::max(0, rest.Bottom - rest.Top)};
      }
    }
  }
  return out;
}

std::vector<TTabStep> TabOrderSteps(const std::vector<TControlDesc>& controls) {
  std::vector<std::size_t> order(controls.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto key = [&](std::size_t i) { return controls[i].TabOrder >= 0 ? controls[i].TabOrder : static_cast<int>(i); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  std::vector<TTabStep> steps;
  steps.reserve(order.size());
  std::map<std::string, std::size_t> lastOf;  // by parent name; "" is the form
  for (std::size_t i : order) {
    auto it = lastOf.find(controls[i].Parent);
    steps.push_back({i, it == lastOf.end() ? std::nullopt : std::optional<std::size_t>(it->second)});
    lastOf[controls[i].Parent] = i;
  }
  return steps;
}

}  // namespace platform
