#pragma once
// The pure part of forms built from a description: the description's types (Forms_win.h explains
// the format), its check, where aligned controls go and the tab order. No window is needed, so
// that a form's description can be checked and laid out on the host.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class TControlKind { Panel, Label, Button, Edit, Memo, TrackBar };
enum TAlign { alNone, alTop, alBottom, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TScrollStyle { ssNone, ssVertical };
enum TPosition { poDesigned, poScreenCenter };

struct TControlDesc {
  TControlKind Kind = TControlKind::Label;
  std::string Name{};
  std::string Parent{};
  int Left = 0, Top = 0, Width = 0, Height = 0;
  std::string Caption{};
  TAlign Align = alNone;
  TAlignment Alignment = taLeftJustify;
  bool Enabled = true;
  bool Visible = true;
  int TabOrder = -1;
  bool AutoSize = true;
  int Min = 0, Max = 10, Position = 0;
  TScrollStyle ScrollBars = ssNone;
  bool ReadOnly = false;
  std::string OnClick{}, OnChange{}, OnChanged{};
};

struct TFormDesc {
  std::string Name{};
  std::string ClassName{};  // window class; "T" + Name when empty
  std::string Caption{};
  int ClientWidth = 0, ClientHeight = 0;
  TPosition Position = poScreenCenter;
  std::string FontName = "Tahoma";
  int FontHeight = -11;
  std::string OnShow{}, OnClose{};
  std::vector<TControlDesc> Controls{};
};

namespace platform {

using THandlerKnown = std::function<bool(const std::string& name)>;

// Raises Exception for the first fault of a description, before any window exists. In list order
// per control: a name that is empty or taken, a parent that is not a panel listed earlier, a
// handler name (OnClick, OnChange, OnChanged) that hasHandler does not know; then an OnClose that
// hasCloseHandler does not know, then an OnShow that hasHandler does not know. Empty handler
// names stand for no handler.
void CheckFormDesc(const TFormDesc& desc, const THandlerKnown& hasHandler, const THandlerKnown& hasCloseHandler);

// Pixels, as a window's bounds: Right and Bottom lie just outside.
struct TLayoutRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool operator==(const TLayoutRect&) const = default;
};

// One control of a parent as the align arithmetic sees it: how it is aligned and where it is.
struct TAlignItem {
  TAlign Align = alNone;
  TLayoutRect Bounds;
};

// Where the controls of one parent with this client area go, one result per item: alTop and
// alBottom controls in list order take the top or bottom of what is left, full width, with their
// own height; then alClient controls fill what is left after all of them (never a negative
// height); alNone controls keep their bounds.
std::vector<TLayoutRect> AlignBounds(const TLayoutRect& client, const std::vector<TAlignItem>& items);

// One step of setting up the tab order (the z-order among siblings): control Control goes right
// after control After of the same parent, or to the top when it is the parent's first.
struct TTabStep {
  std::size_t Control;
  std::optional<std::size_t> After;
  bool operator==(const TTabStep&) const = default;
};

// The steps for the controls of a description (indexes into its list): ordered by TabOrder, a
// TabOrder of -1 counting as the control's index in the list, equal orders in list order.
std::vector<TTabStep> TabOrderSteps(const std::vector<TControlDesc>& controls);

}  // namespace platform
