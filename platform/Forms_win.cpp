#include "platform/Forms_win.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

namespace {

constexpr const char* kControlProp = "KelvaneControl";
constexpr const char* kPanelClass = "TPanel";
constexpr int kFirstId = 100;

void RegisterOwnClass(const std::string& name, HBRUSH background) {
  WNDCLASSA existing{};
  if (GetClassInfoA(GetModuleHandleA(nullptr), name.c_str(), &existing)) return;
  WNDCLASSA wc{};
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = DefWindowProcA;  // replaced per window by the control's procedure
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.lpszClassName = name.c_str();
  if (!RegisterClassA(&wc)) throw Exception("Fensterklasse '" + name + "' kann nicht registriert werden");
}

std::string WindowTextOf(HWND w) {
  const int n = GetWindowTextLengthA(w);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  const int got = GetWindowTextA(w, s.data(), n + 1);
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TControl

TControl::~TControl() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

TControl* TControl::FromHandle(HWND w) { return w ? static_cast<TControl*>(GetPropA(w, kControlProp)) : nullptr; }

int TControl::Id() const { return GetDlgCtrlID(hwnd_); }

std::string TControl::Caption() const { return WindowTextOf(hwnd_); }

void TControl::SetCaption(const std::string& text) { SetWindowTextA(hwnd_, text.c_str()); }

bool TControl::Enabled() const { return IsWindowEnabled(hwnd_) != FALSE; }
void TControl::SetEnabled(bool on) { EnableWindow(hwnd_, on); }
bool TControl::Visible() const { return (GetWindowLongA(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0; }
void TControl::SetVisible(bool on) { ShowWindow(hwnd_, on ? SW_SHOW : SW_HIDE); }
void TControl::SetFocus() { ::SetFocus(hwnd_); }

RECT TControl::BoundsRect() const {
  RECT r{};
  GetWindowRect(hwnd_, &r);
  if (HWND parent = GetParent(hwnd_)) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void TControl::SetBounds(int left, int top, int width, int height) {
  SetWindowPos(hwnd_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TControl::Attach(HWND w, bool subclass) {
  hwnd_ = w;
  SetPropA(w, kControlProp, this);
  if (subclass)
    original_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TControl::SubclassProc)));
}

LRESULT TControl::CallOriginal(UINT msg, WPARAM wp, LPARAM lp) {
  return original_ ? CallWindowProcA(original_, hwnd_, msg, wp, lp) : DefWindowProcA(hwnd_, msg, wp, lp);
}

LRESULT TControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) { return CallOriginal(msg, wp, lp); }

void TControl::Fire(const TNotifyEvent& e) {
  if (!e || (form_ && form_->dying_)) return;
  try {
    e(this);
  } catch (...) {
    Application->HandleException(this);
  }
}

LRESULT CALLBACK TControl::SubclassProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  TControl* c = FromHandle(w);
  if (!c && msg == WM_NCCREATE) {
    // Windows of our own classes carry their object from the start.
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    if ((c = static_cast<TControl*>(cs->lpCreateParams))) {
      c->hwnd_ = w;
      SetPropA(w, kControlProp, c);
    }
  }
  if (!c) return DefWindowProcA(w, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    LRESULT r = c->CallOriginal(msg, wp, lp);
    RemovePropA(w, kControlProp);
    if (c->original_) SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(c->original_));
    c->hwnd_ = nullptr;
    return r;
  }
  try {
    return c->WndProc(msg, wp, lp);
  } catch (...) {
    Application->HandleException(c);
    return 0;
  }
}

// Notifications that a child sends to its parent are handed to the child's object.
LRESULT TControl::DispatchToChild(UINT msg, WPARAM wp, LPARAM lp, bool& handled) {
  handled = false;
  switch (msg) {
    case WM_COMMAND:
    case WM_HSCROLL:
    case WM_VSCROLL:
      if (TControl* c = FromHandle(reinterpret_cast<HWND>(lp))) {
        handled = true;
        try {
          c->Notify(msg, wp, lp);
        } catch (...) {
          Application->HandleException(c);
        }
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      TControl* c = FromHandle(reinterpret_cast<HWND>(lp));
      if (dynamic_cast<TLabel*>(c) || dynamic_cast<TTrackBar*>(c)) {
        handled = true;
        HDC dc = reinterpret_cast<HDC>(wp);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return 0;
    }
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Controls

void TPanel::SetCaption(const std::string& text) {
  TControl::SetCaption(text);
  InvalidateRect(Handle(), nullptr, TRUE);
}

LRESULT TPanel::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  bool handled = false;
  LRESULT r = DispatchToChild(msg, wp, lp, handled);
  if (handled) return r;
  switch (msg) {
    case WM_SIZE:
      if (Form()) Form()->Realign(Handle());
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle(), &ps);
      RECT rc;
      GetClientRect(Handle(), &rc);
      FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
      DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
      const std::string text = Caption();
      if (!text.empty()) {
        HGDIOBJ old = SelectObject(dc, Form() ? Form()->Font() : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawTextA(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, old);
      }
      EndPaint(Handle(), &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
  }
  return CallOriginal(msg, wp, lp);
}

void TLabel::SetCaption(const std::string& text) {
  TControl::SetCaption(text);
  AdjustSize();
  InvalidateRect(Handle(), nullptr, TRUE);
}

void TLabel::AdjustSize() {
  const std::string text = Caption();
  if (!AutoSize || text.empty()) return;
  HDC dc = GetDC(Handle());
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(Handle(), WM_GETFONT, 0, 0)));
  RECT r{0, 0, 0, 0};
  DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_EXPANDTABS | DT_LEFT);
  SelectObject(dc, old);
  ReleaseDC(Handle(), dc);
  SetWindowPos(Handle(), nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TButton::Click() { Fire(OnClick); }

void TButton::Notify(UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED) Fire(OnClick);
}

void TEdit::Notify(UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_COMMAND && HIWORD(wp) == EN_CHANGE) Fire(OnChange);
}

void TMemo::AppendLine(const std::string& line) {
  HWND w = Handle();
  const LRESULT lines = SendMessageA(w, EM_GETLINECOUNT, 0, 0);
  const LRESULT lastStart = SendMessageA(w, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  const bool endsWithBreak = SendMessageA(w, EM_LINELENGTH, static_cast<WPARAM>(lastStart), 0) == 0;
  const std::string insert = endsWithBreak ? line + "\r\n" : "\r\n" + line;
  const int end = GetWindowTextLengthA(w);
  SendMessageA(w, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
  SendMessageA(w, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(insert.c_str()));
}

std::vector<std::string> TMemo::Lines() const {
  const std::string text = Caption();
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t eol = text.find("\r\n", start);
    if (eol == std::string::npos) {
      out.push_back(text.substr(start));
      break;
    }
    out.push_back(text.substr(start, eol - start));
    start = eol + 2;
  }
  return out;
}

LRESULT TMemo::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CONTEXTMENU && OnContextPopup) {
    const POINT at{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
    const bool fromKeyboard = at.x == -1 && at.y == -1;
    RECT client;
    GetClientRect(Handle(), &client);
    POINT inClient = at;
    ScreenToClient(Handle(), &inClient);
    if (fromKeyboard || PtInRect(&client, inClient)) {
      // As the standard edit menu does: what the menu does to the text (a clear, say) must be
      // what the next Ctrl+Z undoes, not an edit of whichever control had the focus.
      if (GetFocus() != Handle()) SetFocus();
      Fire([this, at](TObject*) { OnContextPopup(this, at); });
      return 0;
    }
  }
  LRESULT r = CallOriginal(msg, wp, lp);
  if (msg == WM_GETDLGCODE) {
    // Tab moves on to the next control instead of typing a tab into the log.
    const MSG* m = reinterpret_cast<const MSG*>(lp);
    if (m && m->message == WM_KEYDOWN && m->wParam == VK_TAB) r &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB);
    else r &= ~DLGC_WANTTAB;
  }
  return r;
}

int TTrackBar::Position() const { return static_cast<int>(SendMessageA(Handle(), TBM_GETPOS, 0, 0)); }
void TTrackBar::SetPosition(int pos) { SendMessageA(Handle(), TBM_SETPOS, TRUE, pos); }
int TTrackBar::Min() const { return static_cast<int>(SendMessageA(Handle(), TBM_GETRANGEMIN, 0, 0)); }
int TTrackBar::Max() const { return static_cast<int>(SendMessageA(Handle(), TBM_GETRANGEMAX, 0, 0)); }
void TTrackBar::SetRange(int min, int max) {
  SendMessageA(Handle(), TBM_SETRANGEMIN, FALSE, min);
  SendMessageA(Handle(), TBM_SETRANGEMAX, TRUE, max);
}

void TTrackBar::Notify(UINT msg, WPARAM wp, LPARAM) {
  if ((msg == WM_HSCROLL || msg == WM_VSCROLL) && LOWORD(wp) != TB_ENDTRACK) Fire(OnChange);
}

LRESULT TTrackBar::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  const LRESULT r = CallOriginal(msg, wp, lp);
  if (msg == WM_LBUTTONUP || msg == WM_RBUTTONUP || msg == WM_MBUTTONUP) Fire(OnChanged);
  return r;
}

// ---------------------------------------------------------------------------------------------
// TForm

TForm::TForm() { form_ = this; }

TForm::~TForm() {
  dying_ = true;  // the handlers belong to the derived form, which is gone already
  Application->UnregisterForm(this);
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  hwnd_ = nullptr;
  controls_.clear();
  if (font_) DeleteObject(font_);
}

TNotifyEvent TForm::Bound(const std::string& name) const {
  if (name.empty()) return nullptr;
  auto it = handlers_.find(name);
  if (it == handlers_.end())
    throw Exception("Ereignisbehandlung '" + name + "' fehlt im Formular '" + Name() + "'");
  return it->second;
}

void TForm::Load(const TFormDesc& desc) {
  if (hwnd_) throw Exception("Formular '" + desc.Name + "' ist schon geladen");
  Application->Initialize();
  auto S = [](int v) { return Application->Scale(v); };

  // Check the whole description before any window exists.
  platform::CheckFormDesc(
      desc, [this](const std::string& n) { return handlers_.count(n) != 0; },
      [this](const std::string& n) { return closeHandlers_.count(n) != 0; });
  OnShow = Bound(desc.OnShow);
  if (!desc.OnClose.empty()) OnClose = closeHandlers_.at(desc.OnClose);

  name_ = desc.Name;
  position_ = desc.Position;
  const std::string cls = desc.ClassName.empty() ? "T" + desc.Name : desc.ClassName;
  RegisterOwnClass(cls, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  RegisterOwnClass(kPanelClass, nullptr);

  const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_CONTROLPARENT;
  RECT r{0, 0, S(desc.ClientWidth), S(desc.ClientHeight)};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  HWND w = CreateWindowExA(exStyle, cls.c_str(), desc.Caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                           r.right - r.left, r.bottom - r.top, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!w) throw Exception("Formular '" + desc.Name + "' kann nicht erzeugt werden");
  Attach(w, true);
  Application->RegisterForm(this);

  font_ = CreateFontA(MulDiv(desc.FontHeight, Application->Dpi(), 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, desc.FontName.c_str());
  SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  for (size_t i = 0; i < desc.Controls.size(); ++i) {
    const TControlDesc& d = desc.Controls[i];
    TControl* parent = d.Parent.empty() ? static_cast<TControl*>(this) : byName_.at(d.Parent);
    DWORD cs = WS_CHILD | WS_CLIPSIBLINGS | (d.Visible ? WS_VISIBLE : 0) | (d.Enabled ? 0 : WS_DISABLED);
    DWORD ex = 0;
    const char* sysClass = nullptr;
    std::unique_ptr<TControl> obj;
    switch (d.Kind) {
      case TControlKind::Panel:
        obj = std::make_unique<TPanel>();
        cs |= WS_CLIPCHILDREN;
        ex |= WS_EX_CONTROLPARENT;
        break;
      case TControlKind::Label: {
        auto l = std::make_unique<TLabel>();
        l->AutoSize = d.AutoSize;
        obj = std::move(l);
        sysClass = "Static";
        cs |= SS_LEFT;
        break;
      }
      case TControlKind::Button: {
        auto b = std::make_unique<TButton>();
        b->OnClick = Bound(d.OnClick);
        obj = std::move(b);
        sysClass = "Button";
        cs |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      }
      case TControlKind::Edit: {
        auto e = std::make_unique<TEdit>();
        e->OnChange = Bound(d.OnChange);
        obj = std::move(e);
        sysClass = "Edit";
        ex |= WS_EX_CLIENTEDGE;
        cs |= ES_AUTOHSCROLL | WS_TABSTOP | (d.ReadOnly ? ES_READONLY : 0) |
              (d.Alignment == taRightJustify ? ES_RIGHT : d.Alignment == taCenter ? ES_CENTER : ES_LEFT);
        break;
      }
      case TControlKind::Memo: {
        auto m = std::make_unique<TMemo>();
        m->OnChange = Bound(d.OnChange);
        obj = std::move(m);
        sysClass = "Edit";
        ex |= WS_EX_CLIENTEDGE;
        cs |= ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_TABSTOP | (d.ReadOnly ? ES_READONLY : 0) |
              (d.ScrollBars == ssVertical ? WS_VSCROLL : 0);
        break;
      }
      case TControlKind::TrackBar: {
        auto t = std::make_unique<TTrackBar>();
        t->OnChange = Bound(d.OnChange);
        t->OnChanged = Bound(d.OnChanged);
        obj = std::move(t);
        sysClass = TRACKBAR_CLASSA;
        cs |= TBS_HORZ | TBS_AUTOTICKS | TBS_BOTTOM | WS_TABSTOP;
        break;
      }
    }
    obj->name_ = d.Name;
    obj->form_ = this;
    obj->parent_ = parent;
    obj->align_ = d.Align;
    const HMENU id = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kFirstId + i));
    // Text comes after creation for edits and memos, once the length limit is lifted.
    const bool textLater = d.Kind == TControlKind::Edit || d.Kind == TControlKind::Memo;
    HWND cw = CreateWindowExA(ex, sysClass ? sysClass : kPanelClass, textLater ? "" : d.Caption.c_str(), cs,
                              S(d.Left), S(d.Top), S(d.Width), S(d.Height), parent->Handle(), id,
                              GetModuleHandleA(nullptr), sysClass ? nullptr : obj.get());
    if (!cw) {
      DestroyWindow(w);
      throw Exception("Steuerelement '" + d.Name + "' kann nicht erzeugt werden");
    }
    obj->Attach(cw, true);
    SendMessageA(cw, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (d.Kind == TControlKind::Memo) SendMessageA(cw, EM_SETLIMITTEXT, 0, 0);  // the log keeps every line
    if (textLater) SetWindowTextA(cw, d.Caption.c_str());
    if (auto* t = dynamic_cast<TTrackBar*>(obj.get())) {
      SendMessageA(cw, TBM_SETRANGEMIN, FALSE, d.Min);
      SendMessageA(cw, TBM_SETRANGEMAX, FALSE, d.Max);
      SendMessageA(cw, TBM_SETLINESIZE, 0, 1);
      SendMessageA(cw, TBM_SETPAGESIZE, 0, 2);
      SendMessageA(cw, TBM_SETTICFREQ, 1, 0);
      t->SetPosition(d.Position);
    }
    if (auto* l = dynamic_cast<TLabel*>(obj.get())) l->AdjustSize();
    byName_[d.Name] = obj.get();
    controls_.push_back(std::move(obj));
  }

  // Tab order is the z-order among siblings.
  for (const platform::TTabStep& step : platform::TabOrderSteps(desc.Controls)) {
    SetWindowPos(controls_[step.Control]->Handle(), step.After ? controls_[*step.After]->Handle() : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  Realign(w);
  for (const auto& c : controls_)
    if (dynamic_cast<TPanel*>(c.get())) Realign(c->Handle());
}

void TForm::Realign(HWND parent) {
  RECT client;
  GetClientRect(parent, &client);
  std::vector<TControl*> aligned;
  std::vector<platform::TAlignItem> items;
  for (const auto& c : controls_) {
    if (GetParent(c->Handle()) != parent || c->align_ == alNone) continue;
    const RECT b = c->BoundsRect();
    aligned.push_back(c.get());
    items.push_back({c->align_, {b.left, b.top, b.right, b.bottom}});
  }
  const std::vector<platform::TLayoutRect> bounds =
      platform::AlignBounds({client.left, client.top, client.right, client.bottom}, items);
  for (size_t i = 0; i < aligned.size(); ++i) {
    const platform::TLayoutRect& r = bounds[i];
    aligned[i]->SetBounds(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
  }
}

void TForm::SetCaption(const std::string& text) { SetWindowTextA(hwnd_, text.c_str()); }

void TForm::ClientSize(int& width, int& height) const {
  RECT r{};
  GetClientRect(hwnd_, &r);
  width = r.right;
  height = r.bottom;
}

void TForm::DoShow() {
  if (!shownOnce_ && position_ == poScreenCenter) {
    RECT r;
    GetWindowRect(hwnd_, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    SetWindowPos(hwnd_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  shownOnce_ = true;
  Fire(OnShow);
}

void TForm::Show() {
  if (!hwnd_) return;
  if (!IsWindowVisible(hwnd_)) {
    DoShow();
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
  }
  SetForegroundWindow(hwnd_);
}

void TForm::Hide() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose) {
    try {
      OnClose(this, action);
    } catch (...) {
      Application->HandleException(this);
      return;
    }
  }
  if (action == caNone) return;
  Hide();
  if (Application->MainForm() == this) Application->Terminate();
}

LRESULT TForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  bool handled = false;
  LRESULT r = DispatchToChild(msg, wp, lp, handled);
  if (handled) return r;
  switch (msg) {
    case WM_SIZE:
      Realign(hwnd_);
      break;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_ACTIVATE:
      // Give the keyboard focus to a control, as a dialog does.
      if (LOWORD(wp) != WA_INACTIVE) {
        HWND focus = GetFocus();
        if (!focus || !IsChild(hwnd_, focus))
          if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) ::SetFocus(first);
        return 0;
      }
      break;
  }
  return CallOriginal(msg, wp, lp);
}
