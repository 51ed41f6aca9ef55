#pragma once
// Forms built from a description: a table of controls plus handlers registered by name.
//
// The description format
// ----------------------
// A TFormDesc gives the window (caption, client size, font, events) and its controls, in order.
// Each TControlDesc has:
//
//   Kind        Panel, Label, Button, Edit, Memo or TrackBar.
//   Name        unique within the form; Find<T>(Name) returns the control.
//   Parent      "" for the form itself, else the Name of a Panel listed earlier.
//   Left, Top, Width, Height
//               pixels at 96 DPI, relative to the parent's client area; scaled by the system DPI
//               (Application->Scale), so at 96 DPI they come out exactly as given.
//   Caption     the caption of a label, button or panel; the text of an edit field or memo (memo
//               lines separated by "\r\n").
//   Align       alNone keeps the bounds; alTop puts the control at the top of what is left of the
//               parent, full width, with its own height; alBottom likewise at the bottom; alClient
//               fills the rest. Aligned controls are placed in list order, again on every resize.
//   Alignment   text alignment of an edit field (taLeftJustify or taRightJustify).
//   Enabled, Visible
//   TabOrder    position in the parent's tab order; -1 (default) keeps list order. Panels,
//               buttons, edits, memos and track bars are tab stops; labels are not.
//   AutoSize    labels only: the label takes the size of its caption whenever the caption is not
//               empty (so a label never cuts its text); on by default.
//   Min, Max, Position
//               track bar range and position.
//   ScrollBars  memo: ssVertical gives a vertical scroll bar.
//   ReadOnly    edit and memo.
//   OnClick     button: name of a handler, fired on every click (pointer, keyboard, BM_CLICK).
//   OnChange    edit/memo: the text changed. Track bar: every scroll notification except the
//               end-of-track one (TB_ENDTRACK, code 8), i.e. every move by pointer or keyboard.
//   OnChanged   track bar: every release of a mouse button on the control, after the control's
//               own handling of it, whether or not the position changed. Keyboard changes fire
//               OnChange only.
//
// Each control window gets the id 100 + its index in the list (so that dialog keys such as Enter,
// which arrive as command 1, never reach a control), and the control object can be found from its
// window with TControl::FromHandle.
//
// The form: client area ClientWidth x ClientHeight, button-face background, font FontName at
// FontHeight (at 96 DPI; -11 is Tahoma 8 pt), centred on the screen when first shown
// (poScreenCenter), class name ClassName ("T" + Name when empty). OnShow fires each time the
// form becomes visible, before it appears; OnClose when it is asked to close (the action can
// refuse or hide); closing the main form ends the application's message loop.
//
// Handler names in a description are bound to functions registered with Handler(name, fn) before
// Load(desc); a name without a registered handler makes Load raise Exception. An exception that
// escapes a handler goes to Application->HandleException with the control as sender.
//
// A form is written as:
//
//   class TFormMain : public TForm {
//    public:
//     TFormMain() {
//       Handler("btOpenClick", [this](TObject* s) { btOpenClick(s); });
//       Load(kFormMainDesc);
//       btOpen = Find<TButton>("btOpen");
//     }
//     TButton* btOpen = nullptr;
//     void btOpenClick(TObject* Sender);
//   };
//
// The description's types, its check and the layout arithmetic are pure (FormLayout.h) and
// tested on the host; the rest runs on the UI thread only.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/FormLayout.h"

enum TCloseAction { caNone, caHide };

using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

class TForm;

class TControl : public TObject {
 public:
  ~TControl() override;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  HWND Handle() const { return hwnd_; }
  const std::string& Name() const { return name_; }
  TForm* Form() const { return form_; }
  TControl* Parent() const { return parent_; }
  int Id() const;

  std::string Caption() const;  // the window text
  virtual void SetCaption(const std::string& text);
  std::string Text() const { return Caption(); }
  void SetText(const std::string& text) { SetCaption(text); }
  bool Enabled() const;
  void SetEnabled(bool on);
  bool Visible() const;
  void SetVisible(bool on);
  void SetFocus();
  RECT BoundsRect() const;  // pixels, in the parent's client coordinates
  void SetBounds(int left, int top, int width, int height);  // pixels
  TAlign Align() const { return align_; }

  static TControl* FromHandle(HWND w);

 protected:
  TControl() = default;
  // A notification for this control that arrived at its parent (WM_COMMAND, WM_HSCROLL, ...).
  virtual void Notify(UINT msg, WPARAM wp, LPARAM lp) { (void)msg, (void)wp, (void)lp; }
  // Messages of the control's own window, after it was subclassed. Default: the original
  // procedure.
  virtual LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT CallOriginal(UINT msg, WPARAM wp, LPARAM lp);
  void Attach(HWND w, bool subclass);
  // Runs a handler; an escaping exception goes to the application.
  void Fire(const TNotifyEvent& e);

 private:
  friend class TForm;
  friend class TPanel;
  static LRESULT CALLBACK SubclassProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT DispatchToChild(UINT msg, WPARAM wp, LPARAM lp, bool& handled);

  HWND hwnd_ = nullptr;
  WNDPROC original_ = nullptr;
  std::string name_;
  TForm* form_ = nullptr;
  TControl* parent_ = nullptr;
  TAlign align_ = alNone;
};

class TPanel : public TControl {
 public:
  void SetCaption(const std::string& text) override;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
};

class TLabel : public TControl {
 public:
  void SetCaption(const std::string& text) override;  // with AutoSize the label resizes to the text
  bool AutoSize = true;
  void AdjustSize();
};

class TButton : public TControl {
 public:
  TNotifyEvent OnClick;
  void Click();  // as if clicked

 protected:
  void Notify(UINT msg, WPARAM wp, LPARAM lp) override;
};

class TEdit : public TControl {
 public:
  TNotifyEvent OnChange;

 protected:
  void Notify(UINT msg, WPARAM wp, LPARAM lp) override;
};

class TMemo : public TEdit {
 public:
  // Adds a line at the end as the run-time's line list did: when the text does not end in a line
  // break, the line starts on a new one. The text has no length limit.
  void AppendLine(const std::string& line);
  std::vector<std::string> Lines() const;  // without the empty line after a final line break
  int LineCount() const { return static_cast<int>(Lines().size()); }
  void Clear() { SetText(""); }

  // Replaces the control's own context menu (right click, the menu key, Shift+F10) when set.
  // The point is in screen coordinates, or (-1, -1) when the keyboard asked for the menu. A
  // right click on the scroll bar keeps the control's own menu.
  std::function<void(TMemo* Sender, POINT ScreenPoint)> OnContextPopup;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
};

class TTrackBar : public TControl {
 public:
  TNotifyEvent OnChange;
  TNotifyEvent OnChanged;
  int Position() const;
  void SetPosition(int pos);  // fires nothing
  int Min() const;
  int Max() const;
  void SetRange(int min, int max);

 protected:
  void Notify(UINT msg, WPARAM wp, LPARAM lp) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
};

class TForm : public TControl {
 public:
  TForm();
  ~TForm() override;

  void Show();
  void Hide();
  void Close();  // as the close box does: OnClose, then hide (the main form ends the application)
  void SetCaption(const std::string& text) override;
  void ClientSize(int& width, int& height) const;  // pixels

  TNotifyEvent OnShow;
  TCloseEvent OnClose;

  // Controls of the description, by name; throws Exception when absent or of another class.
  template <class T>
  T* Find(const std::string& name) const {
    auto it = byName_.find(name);
    T* c = it == byName_.end() ? nullptr : dynamic_cast<T*>(it->second);
    if (!c) throw Exception("Steuerelement '" + name + "' fehlt im Formular '" + Name() + "'");
    return c;
  }
  const std::vector<std::unique_ptr<TControl>>& Controls() const { return controls_; }
  HFONT Font() const { return font_; }

 protected:
  void Handler(const std::string& name, TNotifyEvent fn) { handlers_[name] = std::move(fn); }
  void Handler(const std::string& name, TCloseEvent fn) { closeHandlers_[name] = std::move(fn); }
  // Creates the window and its controls, hidden. Raises Exception for a broken description.
  void Load(const TFormDesc& desc);
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  friend class TControl;
  friend class TPanel;
  static LRESULT CALLBACK FormProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
  TNotifyEvent Bound(const std::string& name) const;
  void Realign(HWND parent);
  void DoShow();

  std::map<std::string, TNotifyEvent> handlers_;
  std::map<std::string, TCloseEvent> closeHandlers_;
  std::vector<std::unique_ptr<TControl>> controls_;
  std::map<std::string, TControl*> byName_;
  HFONT font_ = nullptr;
  TPosition position_ = poScreenCenter;
  bool shownOnce_ = false;
  bool dying_ = false;
};
