// Descriptions checked and laid out without a window: the check's first fault, the align
// arithmetic and the tab order.
#include "platform/FormLayout.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/Exceptions.h"

namespace platform {

// Readable failures.
void PrintTo(const TLayoutRect& r, std::ostream* os) {
  *os << "{" << r.Left << ", " << r.Top << ", " << r.Right << ", " << r.Bottom << "}";
}
void PrintTo(const TTabStep& s, std::ostream* os) {
  *os << s.Control << " after " << (s.After ? std::to_string(*s.After) : std::string("none"));
}

}  // namespace platform

namespace {

using K = TControlKind;
using platform::TAlignItem;
using platform::TLayoutRect;
using platform::TTabStep;

// A top panel with controls and a memo below, as the receiver tool's window has them.
TFormDesc Description() {
  return {.Name = "FormTest",
          .OnShow = "FormShow",
          .OnClose = "FormClose",
          .Controls = {
              {.Kind = K::Panel, .Name = "Panel1", .Align = alTop},
              {.Kind = K::Label, .Name = "lbStatus", .Parent = "Panel1"},
              {.Kind = K::TrackBar, .Name = "tb", .Parent = "Panel1", .OnChange = "TbChange", .OnChanged = "TbChanged"},
              {.Kind = K::Button, .Name = "btA", .Parent = "Panel1", .OnClick = "Click"},
              {.Kind = K::Memo, .Name = "Memo1", .Align = alClient},
          }};
}

TEST(FormDescription, FirstFaultIsRefusedWithItsName) {
  const std::set<std::string> handlers = {"FormShow", "TbChange", "TbChanged", "Click"};
  const std::set<std::string> closeHandlers = {"FormClose"};
  const struct {
    const char* what;
    void (*change)(TFormDesc&);
    const char* fault;  // a part of the message; nullptr: the description is sound
  } cases[] = {
      {"sound", [](TFormDesc&) {}, nullptr},
      {"no handlers at all", [](TFormDesc& d) { d = {.Name = "Bare", .Controls = {{.Kind = K::Button, .Name = "b"}}}; }, nullptr},
      {"empty name", [](TFormDesc& d) { d.Controls[1].Name = ""; }, "Steuerelementname ''"},
      {"name taken", [](TFormDesc& d) { d.Controls[3].Name = "lbStatus"; }, "'lbStatus' fehlt oder ist doppelt im Formular 'FormTest'"},
      {"parent listed later", [](TFormDesc& d) { std::swap(d.Controls[0], d.Controls[1]); }, "'Panel1' ist kein vorher genanntes Panel"},
      {"parent not a panel", [](TFormDesc& d) { d.Controls[3].Parent = "lbStatus"; },
       "'lbStatus' ist kein vorher genanntes Panel (Steuerelement 'btA')"},
      {"parent unknown", [](TFormDesc& d) { d.Controls[3].Parent = "Panel2"; }, "'Panel2' ist kein"},
      {"unknown OnClick", [](TFormDesc& d) { d.Controls[3].OnClick = "NoSuchHandler"; }, "'NoSuchHandler' fehlt im Formular 'FormTest'"},
      {"unknown OnChange", [](TFormDesc& d) { d.Controls[2].OnChange = "Gone"; }, "'Gone' fehlt"},
      {"unknown OnChanged", [](TFormDesc& d) { d.Controls[2].OnChanged = "Gone"; }, "'Gone' fehlt"},
      {"OnClose among the notify handlers only", [](TFormDesc& d) { d.OnClose = "Click"; }, "'Click' fehlt im Formular 'FormTest'"},
      {"OnShow among the close handlers only", [](TFormDesc& d) { d.OnShow = "FormClose"; }, "'FormClose' fehlt"},
      {"the first fault in list order wins",
       [](TFormDesc& d) {
         d.Controls[1].OnClick = "First";
         d.Controls[3].Name = "lbStatus";
       },
       "'First' fehlt"},
      {"controls before OnClose",
       [](TFormDesc& d) {
         d.OnClose = "NoClose";
         d.Controls[4].OnChange = "NoChange";
       },
       "'NoChange' fehlt"},
      {"OnClose before OnShow",
       [](TFormDesc& d) {
         d.OnClose = "NoClose";
         d.OnShow = "NoShow";
       },
       "'NoClose' fehlt"},
  };
  auto known = [](const std::set<std::string>& set) { return [&set](const std::string& n) { return set.count(n) != 0; }; };
  for (const auto& c : cases) {
    TFormDesc d = Description();
    c.change(d);
    if (!c.fault) {
      EXPECT_NO_THROW(platform::CheckFormDesc(d, known(handlers), known(closeHandlers))) << c.what;
      continue;
    }
    try {
      platform::CheckFormDesc(d, known(handlers), known(closeHandlers));
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(c.fault), std::string::npos) << c.what << ": " << e.Message();
    }
  }
}

TEST(FormLayout, AlignedControlsShareTheParentInListOrder) {
  const TLayoutRect client{0, 0, 697, 524};
  const TLayoutRect placed{16, 16, 91, 41};  // an unaligned control somewhere
  const struct {
    const char* what;
    std::vector<TAlignItem> items;
    std::vector<TLayoutRect> expected;
  } cases[] = {
      {"top panel, memo fills the rest",
       {{alTop, {5, 7, 50, 152}}, {alClient, {0, 0, 10, 10}}},
       {{0, 0, 697, 145}, {0, 145, 697, 524}}},
      {"tops stack, bottoms stack upwards",
       {{alTop, {0, 0, 1, 20}}, {alBottom, {0, 0, 1, 30}}, {alTop, {0, 0, 1, 10}}, {alBottom, {0, 0, 1, 5}}},
       {{0, 0, 697, 20}, {0, 494, 697, 524}, {0, 20, 697, 30}, {0, 489, 697, 494}}},
      {"a client control listed first still gets what the others leave",
       {{alClient, {0, 0, 1, 1}}, {alTop, {0, 0, 1, 100}}, {alBottom, {0, 0, 1, 24}}},
       {{0, 100, 697, 500}, {0, 0, 697, 100}, {0, 500, 697, 524}}},
      {"two client controls get the same rest",
       {{alClient, {0, 0, 1, 1}}, {alClient, {0, 0, 1, 1}}},
       {{0, 0, 697, 524}, {0, 0, 697, 524}}},
      {"too tall: the client control gets no height, never a negative one",
       {{alTop, {0, 0, 1, 400}}, {alBottom, {0, 0, 1, 200}}, {alClient, {0, 0, 1, 1}}},
       {{0, 0, 697, 400}, {0, 324, 697, 524}, {0, 400, 697, 400}}},
      {"unaligned controls keep their bounds and take no room",
       {{alNone, placed}, {alTop, {0, 0, 1, 30}}, {alNone, placed}},
       {placed, {0, 0, 697, 30}, placed}},
      {"nothing to place", {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::AlignBounds(client, c.items), c.expected) << c.what;

  // The client area need not start at the origin (a panel's border).
  EXPECT_EQ(platform::AlignBounds({2, 3, 102, 53}, {{alTop, {0, 0, 1, 10}}, {alClient, {}}}),
            (std::vector<TLayoutRect>{{2, 3, 102, 13}, {2, 13, 102, 53}}));
}

TEST(FormLayout, TabOrderPerParentByTabOrderThenListOrder) {
  auto control = [](const char* name, const char* parent, int tabOrder) {
    return TControlDesc{.Name = name, .Parent = parent, .TabOrder = tabOrder};
  };
  const struct {
    const char* what;
    std::vector<TControlDesc> controls;
    std::vector<TTabStep> expected;
  } cases[] = {
      {"list order by default",
       {control("a", "", -1), control("b", "", -1), control("c", "", -1)},
       {{0, {}}, {1, 0}, {2, 1}}},
      {"given orders",
       {control("a", "", 2), control("b", "", 0), control("c", "", 1)},
       {{1, {}}, {2, 1}, {0, 2}}},
      {"equal orders keep list order",
       {control("a", "", 1), control("b", "", 0), control("c", "", 1), control("d", "", 0)},
       {{1, {}}, {3, 1}, {0, 3}, {2, 0}}},
      {"each parent has a chain of its own",
       {control("p", "", -1), control("x", "p", 1), control("q", "", -1), control("y", "p", 0)},
       {{0, {}}, {3, {}}, {1, 3}, {2, 0}}},
      // The receiver tool's window: -1 counts as the control's index, so btA (0) comes right after
      // the panel (index 0) and the memo (index 7) last.
      {"-1 is the index in the list",
       {control("Panel1", "", -1), control("lbStatus", "Panel1", -1), control("lbEmpty", "Panel1", -1),
        control("tb", "Panel1", 3), control("Edit1", "Panel1", 2), control("btA", "Panel1", 0),
        control("btB", "Panel1", 1), control("Memo1", "", -1)},
       {{0, {}}, {5, {}}, {1, 5}, {6, 1}, {2, 6}, {4, 2}, {3, 4}, {7, 0}}},
      {"no controls", {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::TabOrderSteps(c.controls), c.expected) << c.what;
}

}  // namespace
