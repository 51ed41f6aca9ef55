#include "delivery/KestrumAssistant_win.h"

#include <shellapi.h>

#include "crash/KestrumHandling_win.h"
#include "platform/Text.h"
#include "platform/Trace_win.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <optional>

const GUID IID_INVAssistant = {0x14A3AFE4, 0xB39F, 0x4745, {0x8F, 0x85, 0x08, 0xFF, 0xAB, 0xE8, 0x77, 0x1C}};
const GUID IID_INVForm = {0x9C62303F, 0x3C4A, 0x4E2F, {0x9C, 0x14, 0x74, 0xC5, 0x18, 0x87, 0x19, 0x95}};
const GUID IID_INVItem = {0x36EE4E77, 0xB6B3, 0x41D0, {0xAB, 0xA7, 0x3D, 0x9B, 0x90, 0x84, 0x7E, 0xC0}};
const GUID IID_INVItemEx = {0x94D23487, 0x7861, 0x4FD8, {0x93, 0xFA, 0xE6, 0x26, 0x80, 0xEC, 0xAC, 0x99}};
const GUID IID_INVButton = {0x20E07644, 0x4788, 0x4FDF, {0x8F, 0x90, 0xB6, 0x2C, 0x0E, 0x61, 0xE2, 0x0B}};
const GUID IID_INVLabel = {0xEA968486, 0x7DA2, 0x486F, {0x9D, 0x40, 0xDE, 0x0B, 0x7B, 0xDE, 0xCB, 0xEC}};
const GUID IID_INVEdit = {0x22AC205D, 0x0FED, 0x425B, {0xBE, 0xBB, 0x9F, 0xBA, 0xB8, 0x50, 0xC1, 0xDC}};
const GUID IID_INVCheckBox = {0x34E76977, 0xC2B5, 0x4819, {0xB8, 0xF6, 0xB6, 0x17, 0x00, 0x89, 0xA0, 0x3C}};
const GUID IID_INVImage = {0xA0DE7AC1, 0xF790, 0x4BDB, {0xB6, 0xB2, 0x45, 0x3A, 0xF2, 0x5A, 0x6B, 0x7B}};

using delivery::FormItem;
using delivery::FormItemKind;
using delivery::kCancelBtn;
using delivery::kContinueBtn;
using delivery::kFirstOwnItem;
using delivery::kSkipBtn;

class TNVAssistant;
class TNVForm;

namespace {

// The concrete form behind an INVForm of this component; not an interface anyone else implements.
const GUID kFormSelf = {0x6b1d53a0, 0x2c4e, 0x4f0b, {0x9a, 0x51, 0x3e, 0x77, 0x0d, 0x2a, 0x8c, 0x41}};

constexpr int kFirstControlId = 100;
constexpr UINT_PTR kTimerId = 1;
const char kWindowClass[] = "KorbNVAssistantWnd";

COLORREF Shift(COLORREF c, int delta) {
  auto ch = [delta](int v) { return static_cast<BYTE>(std::clamp(v + delta, 0, 255)); };
  return RGB(ch(GetRValue(c)), ch(GetGValue(c)), ch(GetBValue(c)));
}

std::string WindowTextOf(HWND w) {
  const int n = GetWindowTextLengthA(w);
  std::string s(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
  const int got = GetWindowTextA(w, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(std::max(got, 0)));
  return s;
}

}  // namespace

// --- Items.

// What the form needs of every item, whatever its interface.
class TNVItem {
 public:
  TNVItem(TNVForm* parent, FormItem desc, int index) : FParent(parent), d(std::move(desc)), FIndex(index) {}
  virtual ~TNVItem() = default;
  virtual INVItem* Item() = 0;
  bool EnabledOnScreen() const { return d.enabled && !FForceDisabled; }
  bool TabStop() const { return d.kind != FormItemKind::label && d.kind != FormItemKind::image; }
  bool Focusable() const {
    // The window's own style, not IsWindowVisible: the first focus is chosen before the form shows.
    return FHandle && TabStop() && EnabledOnScreen() && (GetWindowLongA(FHandle, GWL_STYLE) & WS_VISIBLE);
  }
  void ApplyEnabled() {
    if (FHandle) EnableWindow(FHandle, EnabledOnScreen());
  }

  TNVForm* FParent;
  FormItem d;
  int FIndex;
  HWND FHandle = nullptr;
  bool FForceDisabled = false;
  TNVItem* FNext = nullptr;
  TNVItem* FPrev = nullptr;
  delivery::LayoutRect FRect, FContent;
  // Images: the bitmap and its copy fitted to the content rectangle.
  INVBitmap* FBitmap = nullptr;
  INVBitmap* FShown = nullptr;
};

class TNVForm final : public INVForm {
 public:
  TNVForm(TNVAssistant* parent, delivery::FormDescription desc, int step, int steps, kestrum::IZQException* exception);
  ~TNVForm();
  TNVForm(const TNVForm&) = delete;
  TNVForm& operator=(const TNVForm&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  INVAssistant* STDMETHODCALLTYPE GetAssistant() override;
  std::string STDMETHODCALLTYPE GetName() override { return FName; }
  std::string STDMETHODCALLTYPE GetTitle() override { return FTitle; }
  void STDMETHODCALLTYPE SetTitle(const std::string& value) override {
    FTitle = value;
    if (Handle) SetWindowTextA(Handle, value.c_str());
  }
  std::string STDMETHODCALLTYPE GetMessageText() override { return FMessage; }
  void STDMETHODCALLTYPE SetMessageText(const std::string& value) override {
    FMessage = value;
    if (Handle) InvalidateRect(Handle, nullptr, TRUE);
  }
  int STDMETHODCALLTYPE GetItemCount() override { return static_cast<int>(FItems.size()); }
  INVItem* STDMETHODCALLTYPE GetItem(int index) override {
    return index >= 0 && index < GetItemCount() ? FItems[static_cast<std::size_t>(index)]->Item() : nullptr;
  }
  INVButton* STDMETHODCALLTYPE GetContinueBtn() override { return AsButton(kContinueBtn); }
  INVButton* STDMETHODCALLTYPE GetSkipBtn() override { return AsButton(kSkipBtn); }
  INVButton* STDMETHODCALLTYPE GetCancelBtn() override { return AsButton(kCancelBtn); }
  std::string STDMETHODCALLTYPE GetActiveControl() override { return FActiveControl; }
  void STDMETHODCALLTYPE SetActiveControl(const std::string& value) override { FActiveControl = value; }
  int STDMETHODCALLTYPE GetTimer() override { return FTimer; }
  HWND STDMETHODCALLTYPE GetHandle() override { return Handle; }
  TNVModalResult STDMETHODCALLTYPE GetModalResult() override { return FModalResult; }
  TNVActionHandler STDMETHODCALLTYPE GetOnAction() override { return FOnAction; }
  void STDMETHODCALLTYPE SetOnAction(TNVActionHandler value) override { FOnAction = value; }
  INVEdit* STDMETHODCALLTYPE FindEdit(const std::string& name) override;
  INVLabel* STDMETHODCALLTYPE FindLabel(const std::string& name) override;
  INVButton* STDMETHODCALLTYPE FindButton(const std::string& name) override;
  INVCheckBox* STDMETHODCALLTYPE FindCheckBox(const std::string& name) override;
  INVImage* STDMETHODCALLTYPE FindImage(const std::string& name) override;
  void STDMETHODCALLTYPE Skip() override { FSkip = true; }
  TNVModalResult STDMETHODCALLTYPE ShowModal(HWND parentWindow) override;
  kestrum::IZQException* STDMETHODCALLTYPE GetException() override { return FException; }
  void STDMETHODCALLTYPE SetException(kestrum::IZQException* value) override { FException = value; }
  void* STDMETHODCALLTYPE GetData() override { return FData; }
  void STDMETHODCALLTYPE SetData(void* value) override { FData = value; }

  void Raise(TNVAction action, TNVItem* item);
  void EvaluateContinue();
  void ItemChanged(TNVItem* item) {
    if (item->FHandle) InvalidateRect(item->FHandle, nullptr, TRUE);
  }
  std::vector<FormItem> CurrentItems() const;
  void FitImage(TNVItem* image);

  // State of the screenshot edit, kept for the built-in screenshot handler.
  struct ScreenshotEdit {
    std::string file;
    FILETIME lastWrite{};
    ULONGLONG size = 0;
    bool saved = false;
    HANDLE editor = nullptr;
  } FScreenshotEdit;

 private:
  friend class TNVAssistant;
  INVButton* AsButton(std::size_t index);
  TNVItem* FindKind(const std::string& name, FormItemKind kind);
  TNVItem* ItemOf(HWND w);
  TNVItem* FocusedItem();
  void MoveFocus(TNVItem* from, bool forward);
  void CreateWindowAndItems(HWND parentWindow);
  void CloseWith(TNVModalResult result);
  void Paint(HDC dc);
  void DrawItem(const DRAWITEMSTRUCT& di);
  void DrawMainButton(const DRAWITEMSTRUCT& di, TNVItem* item);
  void DrawCheckBox(const DRAWITEMSTRUCT& di, TNVItem* item);
  void DrawImage(const DRAWITEMSTRUCT& di, TNVItem* item);
  void MessageLoop();
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK StaticWndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
  int S(int v) const { return delivery::ScaleToDpi(v, FDpi); }

  TNVAssistant* FParent;
  std::string FName, FTitle, FMessage;
  int FStep, FSteps;
  std::vector<std::unique_ptr<TNVItem>> FItems;
  TNVActionHandler FOnAction = nullptr;
  HWND Handle = nullptr;
  int FWidth = 0, FHeight = 0, FButtonsTop = 0;
  HFONT FFont = nullptr, FButtonFont = nullptr, FHeadingFont = nullptr, FStepFont = nullptr, FMarlett = nullptr;
  int MinWidth = 0;
  HWND LastFocus = nullptr;
  std::string FActiveControl;
  int FTimer = 0;
  TNVModalResult FModalResult = nvmInvalid;
  kestrum::IZQException* FException;
  void* FData = nullptr;
  bool FSkip = false;
  bool FClosing = false;
  int FDpi = 96;
};

class TNVAssistant final : public INVAssistant {
 public:
  TNVAssistant(std::string title, kestrum::IZQException* exception) : FTitle(std::move(title)), FException(exception) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_INVAssistant)) {
      *out = static_cast<INVAssistant*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = InterlockedDecrement(&FRefCount);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  std::string STDMETHODCALLTYPE GetTitle() override { return FTitle; }
  void STDMETHODCALLTYPE SetTitle(const std::string& value) override {
    FTitle = value;
    for (auto& f : FForms) f->SetTitle(value);
  }
  int STDMETHODCALLTYPE GetFormCount() override { return static_cast<int>(FForms.size()); }
  INVForm* STDMETHODCALLTYPE GetForm(int index) override {
    return index >= 0 && index < GetFormCount() ? FForms[static_cast<std::size_t>(index)].get() : nullptr;
  }
  INVForm* STDMETHODCALLTYPE GetFormByName(const std::string& name) override {
    for (auto& f : FForms) {
      if (platform::EqualNoCase(f->FName, name)) return f.get();
    }
    return nullptr;
  }
  TNVModalResult STDMETHODCALLTYPE GetModalResult() override { return FModalResult; }
  TNVActionHandler STDMETHODCALLTYPE GetOnAction() override { return FOnAction; }
  void STDMETHODCALLTYPE SetOnAction(TNVActionHandler value) override { FOnAction = value; }
  TNVModalResult STDMETHODCALLTYPE ShowModal(HWND parentWindow) override {
    const bool disabledHere = parentWindow && IsWindowEnabled(parentWindow);
    if (disabledHere) EnableWindow(parentWindow, FALSE);
    FModalResult = nvmOk;
    for (auto& f : FForms) {
      if (f->ShowModal(parentWindow) == nvmCancel) {
        FModalResult = nvmCancel;
        break;
      }
    }
    if (disabledHere) EnableWindow(parentWindow, TRUE);
    return FModalResult;
  }
  kestrum::IZQException* STDMETHODCALLTYPE GetException() override { return FException; }
  void STDMETHODCALLTYPE SetException(kestrum::IZQException* value) override { FException = value; }
  void* STDMETHODCALLTYPE GetData() override { return FData; }
  void STDMETHODCALLTYPE SetData(void* value) override { FData = value; }

  std::vector<std::unique_ptr<TNVForm>> FForms;

 private:
  ~TNVAssistant() = default;

  LONG FRefCount = 1;
  std::string FTitle;
  TNVModalResult FModalResult = nvmInvalid;
  TNVActionHandler FOnAction = nullptr;
  kestrum::IZQException* FException;
  void* FData = nullptr;
};

namespace {

// The common part of the item interfaces; references count on the assistant.
template <class I>
class ItemBase : public I, public TNVItem {
 public:
  ItemBase(TNVForm* parent, FormItem desc, int index, const GUID& own) : TNVItem(parent, std::move(desc), index), own_(own) {}
  INVItem* Item() override { return this; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_INVItem) || IsEqualGUID(iid, own_)) {
      *out = static_cast<I*>(this);
    } else if (IsEqualGUID(iid, IID_INVItemEx)) {
      // The internal view carries no interface of its own here: the item object itself.
      *out = static_cast<TNVItem*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return FParent->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return FParent->Release(); }

  std::string STDMETHODCALLTYPE GetName() override { return d.name; }
  HWND STDMETHODCALLTYPE GetHandle() override { return FHandle; }
  bool STDMETHODCALLTYPE GetTabStop() override { return TabStop(); }
  int STDMETHODCALLTYPE GetSpacing() override { return d.spacing; }
  bool STDMETHODCALLTYPE GetEnabled() override { return d.enabled; }
  void STDMETHODCALLTYPE SetEnabled(bool value) override {
    d.enabled = value;
    ApplyEnabled();
  }
  void STDMETHODCALLTYPE SetFocus() override {
    if (FHandle) ::SetFocus(FHandle);
  }

 protected:
  void SetWindowCaption(const std::string& text) {
    if (FHandle) SetWindowTextA(FHandle, text.c_str());
  }

 private:
  const GUID& own_;
};

}  // namespace

class TNVButton final : public ItemBase<INVButton> {
 public:
  TNVButton(TNVForm* p, FormItem desc, int index) : ItemBase(p, std::move(desc), index, IID_INVButton) {}
  std::string STDMETHODCALLTYPE GetCaption() override { return d.caption; }
  void STDMETHODCALLTYPE SetCaption(const std::string& value) override {
    d.caption = value;
    SetWindowCaption(value);
  }
};

class TNVLabel final : public ItemBase<INVLabel> {
 public:
  TNVLabel(TNVForm* p, FormItem desc, int index) : ItemBase(p, std::move(desc), index, IID_INVLabel) {}
  std::string STDMETHODCALLTYPE GetCaption() override { return d.caption; }
  void STDMETHODCALLTYPE SetCaption(const std::string& value) override {
    d.caption = value;
    SetWindowCaption(value);
  }
};

class TNVEdit final : public ItemBase<INVEdit> {
 public:
  TNVEdit(TNVForm* p, FormItem desc, int index) : ItemBase(p, std::move(desc), index, IID_INVEdit) {}
  std::string STDMETHODCALLTYPE GetText() override {
    if (FHandle) d.text = WindowTextOf(FHandle);
    return d.text;
  }
  void STDMETHODCALLTYPE SetText(const std::string& value) override {
    d.text = value;
    if (FHandle) {
      // The change notification of the window raises the event, as typing does.
      SetWindowTextA(FHandle, value.c_str());
    } else {
      FParent->Raise(nvaItemEvent, this);
      FParent->EvaluateContinue();
    }
  }
  int STDMETHODCALLTYPE GetLines() override { return d.lines; }
  bool STDMETHODCALLTYPE GetOptional() override { return d.optional; }
  bool STDMETHODCALLTYPE GetColored() override { return d.colored; }
  bool STDMETHODCALLTYPE GetValid() override { return d.valid; }
  void STDMETHODCALLTYPE SetValid(bool value) override {
    d.valid = value;
    FParent->ItemChanged(this);
    FParent->EvaluateContinue();
  }
};

class TNVCheckBox final : public ItemBase<INVCheckBox> {
 public:
  TNVCheckBox(TNVForm* p, FormItem desc, int index) : ItemBase(p, std::move(desc), index, IID_INVCheckBox) {}
  std::string STDMETHODCALLTYPE GetCaption() override { return d.caption; }
  void STDMETHODCALLTYPE SetCaption(const std::string& value) override {
    d.caption = value;
    SetWindowCaption(value);
  }
  bool STDMETHODCALLTYPE GetChecked() override { return d.checked; }
  void STDMETHODCALLTYPE SetChecked(bool value) override {
    d.checked = value;
    FParent->ItemChanged(this);
  }
};

class TNVImage final : public ItemBase<INVImage> {
 public:
  TNVImage(TNVForm* p, FormItem desc, int index) : ItemBase(p, std::move(desc), index, IID_INVImage) {}
  ~TNVImage() override {
    if (FShown) FShown->Release();
    if (FBitmap) FBitmap->Release();
  }
  std::string STDMETHODCALLTYPE GetFile() override { return d.file; }
  INVBitmap* STDMETHODCALLTYPE GetBitmap() override { return FBitmap; }
  void STDMETHODCALLTYPE SetBitmap(INVBitmap* value) override {
    if (value) value->AddRef();
    if (FBitmap) FBitmap->Release();
    FBitmap = value;
    FParent->FitImage(this);
    FParent->ItemChanged(this);
  }
};

// --- The form.

TNVForm::TNVForm(TNVAssistant* parent, delivery::FormDescription desc, int step, int steps, kestrum::IZQException* exception)
    : FParent(parent),
      FName(std::move(desc.name)),
      FTitle(parent->GetTitle()),
      FMessage(std::move(desc.message)),
      FStep(step),
      FSteps(steps),
      MinWidth(desc.minWidth),
      FActiveControl(std::move(desc.activeControl)),
      FTimer(desc.timer),
      FException(exception) {
  for (std::size_t i = 0; i < desc.items.size(); ++i) {
    FormItem& it = desc.items[i];
    const int index = static_cast<int>(i);
    switch (it.kind) {
      case FormItemKind::button: FItems.push_back(std::make_unique<TNVButton>(this, std::move(it), index)); break;
      case FormItemKind::label: FItems.push_back(std::make_unique<TNVLabel>(this, std::move(it), index)); break;
      case FormItemKind::edit: FItems.push_back(std::make_unique<TNVEdit>(this, std::move(it), index)); break;
      case FormItemKind::checkBox: FItems.push_back(std::make_unique<TNVCheckBox>(this, std::move(it), index)); break;
      case FormItemKind::image: FItems.push_back(std::make_unique<TNVImage>(this, std::move(it), index)); break;
    }
  }
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    FItems[i]->FNext = FItems[(i + 1) % FItems.size()].get();
    FItems[i]->FPrev = FItems[(i + FItems.size() - 1) % FItems.size()].get();
  }
  EvaluateContinue();
}

TNVForm::~TNVForm() {
  if (Handle) DestroyWindow(Handle);
  if (FScreenshotEdit.editor) CloseHandle(FScreenshotEdit.editor);
  for (HFONT f : {FFont, FButtonFont, FHeadingFont, FStepFont, FMarlett}) {
    if (f) DeleteObject(f);
  }
}

HRESULT STDMETHODCALLTYPE TNVForm::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, kFormSelf)) {
    *out = this;  // no reference: only this file asks
    return S_OK;
  }
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_INVForm)) {
    *out = static_cast<INVForm*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TNVForm::AddRef() { return FParent->AddRef(); }
ULONG STDMETHODCALLTYPE TNVForm::Release() { return FParent->Release(); }
INVAssistant* STDMETHODCALLTYPE TNVForm::GetAssistant() { return FParent; }

INVButton* TNVForm::AsButton(std::size_t index) {
  return index < FItems.size() ? dynamic_cast<INVButton*>(FItems[index]->Item()) : nullptr;
}

TNVItem* TNVForm::FindKind(const std::string& name, FormItemKind kind) {
  for (auto& it : FItems) {
    if (it->d.name == name) return it->d.kind == kind ? it.get() : nullptr;
  }
  return nullptr;
}

INVEdit* STDMETHODCALLTYPE TNVForm::FindEdit(const std::string& name) {
  TNVItem* it = FindKind(name, FormItemKind::edit);
  return it ? static_cast<TNVEdit*>(it) : nullptr;
}
INVLabel* STDMETHODCALLTYPE TNVForm::FindLabel(const std::string& name) {
  TNVItem* it = FindKind(name, FormItemKind::label);
  return it ? static_cast<TNVLabel*>(it) : nullptr;
}
INVButton* STDMETHODCALLTYPE TNVForm::FindButton(const std::string& name) {
  TNVItem* it = FindKind(name, FormItemKind::button);
  return it ? static_cast<TNVButton*>(it) : nullptr;
}
INVCheckBox* STDMETHODCALLTYPE TNVForm::FindCheckBox(const std::string& name) {
  TNVItem* it = FindKind(name, FormItemKind::checkBox);
  return it ? static_cast<TNVCheckBox*>(it) : nullptr;
}
INVImage* STDMETHODCALLTYPE TNVForm::FindImage(const std::string& name) {
  TNVItem* it = FindKind(name, FormItemKind::image);
  return it ? static_cast<TNVImage*>(it) : nullptr;
}

void TNVForm::Raise(TNVAction action, TNVItem* item) {
  INVItem* i = item ? item->Item() : nullptr;
  // Handlers run inside the handling of another exception: one that fails must not take the
  // assistant (or the handling) down with it.
  try {
    if (FOnAction) FOnAction(this, action, i, FException);
  } catch (...) {
    platform::Trace("assistant form %s: the form's handler failed", FName.c_str());
  }
  try {
    if (TNVActionHandler h = FParent->GetOnAction()) h(this, action, i, FParent->GetException());
  } catch (...) {
    platform::Trace("assistant form %s: the assistant's handler failed", FName.c_str());
  }
}

std::vector<FormItem> TNVForm::CurrentItems() const {
  std::vector<FormItem> items;
  for (const auto& it : FItems) {
    FormItem copy = it->d;
    if (copy.kind == FormItemKind::edit && it->FHandle) copy.text = WindowTextOf(it->FHandle);
    items.push_back(std::move(copy));
  }
  return items;
}

void TNVForm::EvaluateContinue() {
  if (FItems.size() <= kContinueBtn) return;
  TNVItem* cont = FItems[kContinueBtn].get();
  const bool refused = !delivery::ContinueAllowed(CurrentItems());
  if (refused == cont->FForceDisabled) return;
  cont->FForceDisabled = refused;
  cont->ApplyEnabled();
}

void TNVForm::FitImage(TNVItem* image) {
  if (image->FShown) {
    image->FShown->Release();
    image->FShown = nullptr;
  }
  if (!image->FBitmap || image->FContent.width <= 0 || image->FContent.height <= 0) return;
  if (image->FBitmap->GetWidth() <= image->FContent.width && image->FBitmap->GetHeight() <= image->FContent.height) {
    image->FShown = image->FBitmap;
    image->FShown->AddRef();
  } else {
    image->FShown = image->FBitmap->Zoom(image->FContent.width, image->FContent.height);
  }
}

TNVItem* TNVForm::ItemOf(HWND w) {
  if (!w) return nullptr;
  for (auto& it : FItems) {
    if (it->FHandle == w) return it.get();
  }
  return nullptr;
}

TNVItem* TNVForm::FocusedItem() {
  HWND f = GetFocus();
  // The focus may sit in a child of an item's window.
  while (f && f != Handle) {
    if (TNVItem* it = ItemOf(f)) return it;
    f = GetParent(f);
  }
  return nullptr;
}

void TNVForm::MoveFocus(TNVItem* from, bool forward) {
  if (FItems.empty()) return;
  TNVItem* start = from ? from : FItems.back().get();
  TNVItem* it = start;
  for (std::size_t n = 0; n < FItems.size(); ++n) {
    it = forward ? it->FNext : it->FPrev;
    if (it->Focusable()) {
      ::SetFocus(it->FHandle);
      return;
    }
  }
}

namespace {

// Text measurement with the form's fonts on the screen.
class GdiMetrics final : public delivery::AssistantMetrics {
 public:
  GdiMetrics(HFONT items, HFONT buttons, HFONT heading) : dc_(GetDC(nullptr)), fonts_{items, buttons, heading} {}
  ~GdiMetrics() override { ReleaseDC(nullptr, dc_); }
  int TextWidth(delivery::AssistantFont font, std::string_view text) const override {
    Select(font);
    SIZE s{};
    GetTextExtentPoint32A(dc_, text.data(), static_cast<int>(text.size()), &s);
    return s.cx;
  }
  int LineHeight(delivery::AssistantFont font) const override {
    Select(font);
    SIZE s{};
    GetTextExtentPoint32A(dc_, "Gg", 2, &s);
    return s.cy;
  }
  int WrappedHeight(delivery::AssistantFont font, std::string_view text, int width, bool& oneLine) const override {
    Select(font);
    RECT r{0, 0, width, 0};
    const std::string s(text.empty() ? std::string_view(" ") : text);
    DrawTextA(dc_, s.c_str(), static_cast<int>(s.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    const int h = r.bottom - r.top;
    oneLine = h <= LineHeight(font);
    return h;
  }
  int CheckMarkWidth() const override { return GetSystemMetrics(SM_CXMENUCHECK); }
  int ScreenHeight() const override { return GetSystemMetrics(SM_CYSCREEN); }

 private:
  void Select(delivery::AssistantFont font) const { SelectObject(dc_, fonts_[static_cast<int>(font)]); }
  HDC dc_;
  HFONT fonts_[3];
};

HFONT MakeFont(const char* face, int pixels, bool bold) {
  return CreateFontA(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

bool RegisterFormClass() {
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_CLASSDC | CS_PARENTDC;
    wc.lpfnWndProc = DefWindowProcA;  // replaced per window once the form is attached
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

LRESULT CALLBACK TNVForm::StaticWndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  auto* form = reinterpret_cast<TNVForm*>(GetWindowLongPtrA(w, GWLP_USERDATA));
  if (!form) return DefWindowProcA(w, msg, wp, lp);
  // No C++ exception may cross the window procedure.
  try {
    return form->WndProc(msg, wp, lp);
  } catch (...) {
    platform::Trace("assistant form %s: message %u failed", form->FName.c_str(), msg);
    return DefWindowProcA(w, msg, wp, lp);
  }
}

void TNVForm::CreateWindowAndItems(HWND parentWindow) {
  HDC screen = GetDC(nullptr);
  FDpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  if (FDpi <= 0) FDpi = 96;
  for (HFONT* f : {&FFont, &FButtonFont, &FHeadingFont, &FStepFont, &FMarlett}) {
    if (*f) DeleteObject(*f);
  }
  FFont = MakeFont("Tahoma", S(11), false);
  FButtonFont = MakeFont("Arial", S(15), false);
  FHeadingFont = MakeFont("Arial", S(15), true);
  FStepFont = MakeFont("Arial", S(15), false);
  FMarlett = MakeFont("Marlett", S(13), false);

  delivery::FormDescription desc;
  desc.message = FMessage;
  desc.minWidth = MinWidth;
  std::vector<std::pair<int, int>> bitmaps;
  for (auto& it : FItems) {
    desc.items.push_back(it->d);
    bitmaps.emplace_back(it->FBitmap ? it->FBitmap->GetWidth() : 0, it->FBitmap ? it->FBitmap->GetHeight() : 0);
  }
  const delivery::AssistantLayout layout =
      delivery::LayOutForm(desc, FSteps, GdiMetrics(FFont, FButtonFont, FHeadingFont), FDpi, bitmaps);
  FWidth = layout.clientWidth;
  FHeight = layout.clientHeight;
  FButtonsTop = layout.buttonsTop;

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_DLGMODALFRAME;
  RECT r{0, 0, FWidth, FHeight};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  HWND w = CreateWindowExA(exStyle, kWindowClass, FTitle.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left,
                           r.bottom - r.top, parentWindow, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!w) return;
  Handle = w;
  SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TNVForm::StaticWndProc));
  if (HMENU menu = GetSystemMenu(w, FALSE)) {
    for (UINT cmd : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) DeleteMenu(menu, cmd, MF_BYCOMMAND);
  }

  for (std::size_t i = 0; i < FItems.size(); ++i) {
    TNVItem& it = *FItems[i];
    it.FRect = layout.items[i];
    it.FContent = layout.imageContent[i];
    const char* cls = "BUTTON";
    DWORD s = WS_CHILD | WS_VISIBLE;
    std::string text;
    switch (it.d.kind) {
      case FormItemKind::button:
        s |= WS_TABSTOP | (i <= kCancelBtn && !it.d.noOwnerDraw ? BS_OWNERDRAW : BS_PUSHBUTTON);
        if (!it.d.visible) s &= ~WS_VISIBLE;
        text = it.d.caption;
        break;
      case FormItemKind::label:
        cls = "STATIC";
        s |= SS_LEFT | SS_NOPREFIX;
        text = it.d.caption;
        break;
      case FormItemKind::edit:
        cls = "EDIT";
        s |= WS_TABSTOP | ES_AUTOHSCROLL;
        if (it.d.lines > 1) s |= ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL;
        text = it.d.text;
        break;
      case FormItemKind::checkBox:
        s |= WS_TABSTOP | BS_OWNERDRAW;
        text = it.d.caption;
        break;
      case FormItemKind::image:
        cls = "STATIC";
        s |= SS_OWNERDRAW | (it.d.clickable ? SS_NOTIFY : 0);
        break;
    }
    it.FHandle = CreateWindowExA(0, cls, text.c_str(), s, it.FRect.left, it.FRect.top, it.FRect.width, it.FRect.height, w,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)), GetModuleHandleA(nullptr), nullptr);
    if (!it.FHandle) continue;
    SendMessageA(it.FHandle, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    it.ApplyEnabled();
    if (it.d.kind == FormItemKind::image) FitImage(&it);
  }
}

TNVModalResult STDMETHODCALLTYPE TNVForm::ShowModal(HWND parentWindow) {
  if (FSkip) return FModalResult = nvmSkip;
  const bool disabledHere = parentWindow && IsWindowEnabled(parentWindow);
  if (disabledHere) EnableWindow(parentWindow, FALSE);
  auto enableParent = [&] {
    if (disabledHere) EnableWindow(parentWindow, TRUE);
  };
  FModalResult = nvmInvalid;
  FClosing = false;
  if (!RegisterFormClass()) {
    enableParent();
    return FModalResult = nvmCancel;
  }
  CreateWindowAndItems(parentWindow);
  if (!Handle) {
    enableParent();
    return FModalResult = nvmCancel;
  }
  EvaluateContinue();

  TNVItem* first = nullptr;
  for (auto& it : FItems) {
    if (!FActiveControl.empty() && it->d.name == FActiveControl && it->Focusable()) first = it.get();
  }
  if (!first && FItems.size() > kCancelBtn) {
    for (TNVItem* it = FItems[kCancelBtn]->FNext; it != FItems[kCancelBtn].get(); it = it->FNext) {
      if (it->Focusable()) {
        first = it;
        break;
      }
    }
  }
  RECT wr{};
  GetWindowRect(Handle, &wr);
  SetWindowPos(Handle, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (wr.right - wr.left)) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (wr.bottom - wr.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  Raise(nvaFormShow, nullptr);
  if (FSkip) {
    DestroyWindow(Handle);
    enableParent();
    return FModalResult = nvmSkip;
  }
  ShowWindow(Handle, SW_SHOW);
  SetForegroundWindow(Handle);
  if (first) ::SetFocus(first->FHandle);
  LastFocus = GetFocus();
  if (FTimer > 0) SetTimer(Handle, kTimerId, static_cast<UINT>(FTimer), nullptr);
  MessageLoop();
  enableParent();
  if (parentWindow) SetForegroundWindow(parentWindow);
  return FModalResult;
}

void TNVForm::MessageLoop() {
  MSG msg;
  while (Handle && IsWindow(Handle)) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // A quit request belongs to the program's own loop: end this form and hand it on.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      if (Handle) CloseWith(nvmCancel);
      break;
    }
    const bool ours = msg.hwnd == Handle || (Handle && IsChild(Handle, msg.hwnd));
    if (ours && msg.message == WM_KEYDOWN) {
      TNVItem* item = FocusedItem();
      if (msg.wParam == VK_ESCAPE) {
        if (FItems.size() > kCancelBtn && FItems[kCancelBtn]->EnabledOnScreen()) CloseWith(nvmCancel);
        continue;
      }
      if (msg.wParam == VK_TAB) {
        MoveFocus(item, GetKeyState(VK_SHIFT) >= 0);
        continue;
      }
      if (msg.wParam == VK_RETURN && item) {
        if (item->d.kind == FormItemKind::button) {
          SendMessageA(item->FHandle, BM_CLICK, 0, 0);
          continue;
        }
        if (item->d.kind != FormItemKind::edit || item->d.lines <= 1) {
          MoveFocus(item, true);
          continue;
        }
        // A field of several lines takes Enter as a line break.
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        continue;
      }
    }
    if (ours && msg.message == WM_CHAR && (msg.wParam == '\r' || msg.wParam == '\n')) {
      DispatchMessageA(&msg);
      continue;
    }
    if (!Handle || !IsDialogMessageA(Handle, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (Handle) {
      HWND f = GetFocus();
      if (f && IsChild(Handle, f)) LastFocus = f;
    }
  }
}

void TNVForm::CloseWith(TNVModalResult result) {
  if (FClosing || !Handle) return;
  FClosing = true;
  KillTimer(Handle, kTimerId);
  FModalResult = result;
  if (result == nvmOk) {
    for (auto& it : FItems) {
      if (it->d.kind == FormItemKind::edit && it->FHandle) it->d.text = WindowTextOf(it->FHandle);
    }
  }
  Raise(nvaFormClose, nullptr);
  HWND w = Handle;
  DestroyWindow(w);
}

LRESULT TNVForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  HWND w = Handle;
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(w, &ps);
      Paint(dc);
      EndPaint(w, &ps);
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && LastFocus && IsWindow(LastFocus)) {
        ::SetFocus(LastFocus);
        return 0;
      }
      break;
    case WM_SETCURSOR:
      if (TNVItem* it = ItemOf(reinterpret_cast<HWND>(wp)); it && it->d.kind == FormItemKind::image && it->d.clickable) {
        SetCursor(LoadCursor(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wp);
      TNVItem* it = ItemOf(reinterpret_cast<HWND>(lp));
      if (it && it->d.kind == FormItemKind::edit) {
        COLORREF c = RGB(0, 0, 0);
        if (it->d.colored) c = it->d.valid ? RGB(0, 128, 0) : RGB(128, 0, 0);
        SetTextColor(dc, c);
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
      return TRUE;
    case WM_COMMAND: {
      const int id = LOWORD(wp) - kFirstControlId;
      if (id < 0 || id >= static_cast<int>(FItems.size()) || !lp) break;
      TNVItem* it = FItems[static_cast<std::size_t>(id)].get();
      const WORD code = HIWORD(wp);
      switch (it->d.kind) {
        case FormItemKind::button:
          if (code != BN_CLICKED || !it->EnabledOnScreen()) break;
          Raise(nvaItemEvent, it);
          if (id == kContinueBtn) CloseWith(nvmOk);
          else if (id == kSkipBtn) CloseWith(nvmSkip);
          else if (id == kCancelBtn) CloseWith(nvmCancel);
          break;
        case FormItemKind::checkBox:
          // Owner-drawn buttons report a quick second click as a double click.
          if (code != BN_CLICKED && code != BN_DOUBLECLICKED) break;
          it->d.checked = !it->d.checked;
          InvalidateRect(it->FHandle, nullptr, TRUE);
          Raise(nvaItemEvent, it);
          break;
        case FormItemKind::edit:
          if (code == EN_CHANGE) {
            it->d.text = WindowTextOf(it->FHandle);
            Raise(nvaItemEvent, it);
            EvaluateContinue();
          } else if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
            // The frame around the field shows the focus.
            RECT r{it->FRect.left - S(3), it->FRect.top - S(3), it->FRect.left + it->FRect.width + S(3),
                   it->FRect.top + it->FRect.height + S(3)};
            InvalidateRect(w, &r, TRUE);
          }
          break;
        case FormItemKind::image:
          if (code == STN_CLICKED && it->d.clickable) Raise(nvaItemEvent, it);
          break;
        case FormItemKind::label:
          break;
      }
      return 0;
    }
    case WM_TIMER:
      if (wp == kTimerId) Raise(nvaItemEvent, nullptr);
      return 0;
    case WM_CLOSE:
      CloseWith(nvmCancel);
      return 0;
    case WM_DESTROY:
      KillTimer(w, kTimerId);
      for (auto& it : FItems) it->FHandle = nullptr;
      Handle = nullptr;
      LastFocus = nullptr;
      SetWindowLongPtrA(w, GWLP_USERDATA, 0);
      return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

void TNVForm::Paint(HDC dc) {
  RECT client{0, 0, FWidth, FHeight};
  GetClientRect(Handle, &client);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  HBRUSH back = CreateSolidBrush(Shift(face, 8));
  FillRect(dc, &client, back);
  DeleteObject(back);

  RECT panel{S(8), S(25), client.right - S(8), FButtonsTop - S(10)};
  HBRUSH faceBrush = CreateSolidBrush(face);
  FillRect(dc, &panel, faceBrush);
  DeleteObject(faceBrush);
  HPEN dotted = CreatePen(PS_DOT, 1, Shift(face, -16));
  HGDIOBJ oldPen = SelectObject(dc, dotted);
  HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  SetBkMode(dc, TRANSPARENT);
  for (int i = 0; i < 2; ++i) Rectangle(dc, panel.left + i, panel.top + i, panel.right - i, panel.bottom - i);
  SelectObject(dc, oldPen);
  DeleteObject(dotted);

  // The halo keeps the heading readable whatever the system colours are.
  HGDIOBJ oldFont = SelectObject(dc, FHeadingFont);
  const int hx = S(11), hy = S(6);
  SetTextColor(dc, RGB(255, 255, 255));
  for (const POINT d : {POINT{-1, 0}, POINT{1, 0}, POINT{0, -1}, POINT{0, 1}}) {
    TextOutA(dc, hx + d.x, hy + d.y, FMessage.c_str(), static_cast<int>(FMessage.size()));
  }
  SetTextColor(dc, GetSysColor(COLOR_3DDKSHADOW));
  TextOutA(dc, hx, hy, FMessage.c_str(), static_cast<int>(FMessage.size()));

  for (int step = 1; step <= FSteps; ++step) {
    const std::string n = std::to_string(step);
    const int x = client.right - S(14) - S(19) * (FSteps - step + 1);
    SelectObject(dc, step == FStep ? FHeadingFont : FStepFont);
    SIZE sz{};
    GetTextExtentPoint32A(dc, n.c_str(), static_cast<int>(n.size()), &sz);
    if (step == FStep) {
      RECT box{x - S(4), hy - S(1), x + sz.cx + S(4), hy + sz.cy + S(1)};
      HBRUSH shade = CreateSolidBrush(Shift(face, -24));
      FillRect(dc, &box, shade);
      DeleteObject(shade);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    } else {
      SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
    }
    TextOutA(dc, x, hy, n.c_str(), static_cast<int>(n.size()));
  }
  SelectObject(dc, oldFont);

  // The fields have no border of their own, so the focus shows in the frame the form draws.
  HWND focus = GetFocus();
  for (auto& it : FItems) {
    if (it->d.kind != FormItemKind::edit || !it->FHandle) continue;
    const COLORREF c = focus == it->FHandle ? GetSysColor(COLOR_HIGHLIGHT) : GetSysColor(COLOR_BTNSHADOW);
    HPEN pen = CreatePen(PS_SOLID, 1, c);
    SelectObject(dc, pen);
    for (int i = 1; i <= 2; ++i) {
      Rectangle(dc, it->FRect.left - i, it->FRect.top - i, it->FRect.left + it->FRect.width + i, it->FRect.top + it->FRect.height + i);
    }
    SelectObject(dc, oldPen);
    DeleteObject(pen);
  }
  SelectObject(dc, oldBrush);
}

void TNVForm::DrawItem(const DRAWITEMSTRUCT& di) {
  const int id = static_cast<int>(di.CtlID) - kFirstControlId;
  if (id < 0 || id >= static_cast<int>(FItems.size())) return;
  TNVItem* it = FItems[static_cast<std::size_t>(id)].get();
  switch (it->d.kind) {
    case FormItemKind::button: DrawMainButton(di, it); break;
    case FormItemKind::checkBox: DrawCheckBox(di, it); break;
    case FormItemKind::image: DrawImage(di, it); break;
    default: break;
  }
}

void TNVForm::DrawMainButton(const DRAWITEMSTRUCT& di, TNVItem* item) {
  HDC dc = di.hDC;
  RECT r = di.rcItem;
  const bool disabled = di.itemState & ODS_DISABLED;
  const bool focused = di.itemState & ODS_FOCUS;
  const bool pressed = di.itemState & ODS_SELECTED;
  static const COLORREF kFrames[] = {RGB(40, 130, 60), RGB(50, 90, 170), RGB(170, 50, 50)};
  const COLORREF frame = kFrames[std::min<std::size_t>(static_cast<std::size_t>(item->FIndex), 2)];
  if (disabled) {
    HBRUSH b = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    FillRect(dc, &r, b);
    DeleteObject(b);
    DrawEdge(dc, &r, EDGE_SUNKEN, BF_RECT);
  } else {
    // Line by line: a gradient call would add a library to the program's imports for one effect.
    const COLORREF top = focused ? RGB(110, 110, 120) : RGB(252, 252, 252);
    const COLORREF bottom = focused ? RGB(40, 40, 50) : RGB(214, 214, 220);
    const int h = std::max<int>(r.bottom - r.top, 1);
    for (int y = 0; y < h; ++y) {
      auto mix = [&](int a, int b) { return a + (b - a) * y / h; };
      HPEN pen = CreatePen(PS_SOLID, 1, RGB(mix(GetRValue(top), GetRValue(bottom)), mix(GetGValue(top), GetGValue(bottom)),
                                            mix(GetBValue(top), GetBValue(bottom))));
      HGDIOBJ old = SelectObject(dc, pen);
      MoveToEx(dc, r.left, r.top + y, nullptr);
      LineTo(dc, r.right, r.top + y);
      SelectObject(dc, old);
      DeleteObject(pen);
    }
    HPEN pen = CreatePen(PS_SOLID, 2, frame);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, r.left + 1, r.top + 1, r.right, r.bottom);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
  }
  HGDIOBJ oldFont = SelectObject(dc, FButtonFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, disabled ? GetSysColor(COLOR_GRAYTEXT) : focused ? RGB(255, 255, 255) : RGB(0, 0, 0));
  if (pressed) OffsetRect(&r, 1, 1);
  DrawTextA(dc, item->d.caption.c_str(), static_cast<int>(item->d.caption.size()), &r,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);
}

void TNVForm::DrawCheckBox(const DRAWITEMSTRUCT& di, TNVItem* item) {
  HDC dc = di.hDC;
  RECT r = di.rcItem;
  HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  FillRect(dc, &r, face);
  DeleteObject(face);
  const int box = GetSystemMetrics(SM_CXMENUCHECK);
  const int top = r.top + (r.bottom - r.top - box) / 2;
  RECT b{r.left, top, r.left + box, top + box};
  FillRect(dc, &b, GetSysColorBrush(COLOR_WINDOW));
  FrameRect(dc, &b, GetSysColorBrush(COLOR_BTNSHADOW));
  SetBkMode(dc, TRANSPARENT);
  if (item->d.checked) {
    HGDIOBJ old = SelectObject(dc, FMarlett);
    SetTextColor(dc, GetSysColor(di.itemState & ODS_DISABLED ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
    DrawTextA(dc, "a", 1, &b, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old);
  }
  HGDIOBJ old = SelectObject(dc, FFont);
  RECT t{r.left + box + S(4), r.top, r.right, r.bottom};
  SetTextColor(dc, GetSysColor(di.itemState & ODS_DISABLED ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  DrawTextA(dc, item->d.caption.c_str(), static_cast<int>(item->d.caption.size()), &t, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  if (di.itemState & ODS_FOCUS) {
    RECT f = t;
    DrawTextA(dc, item->d.caption.c_str(), static_cast<int>(item->d.caption.size()), &f, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    f.top = t.top;
    f.bottom = t.bottom;
    InflateRect(&f, 1, 0);
    DrawFocusRect(dc, &f);
  }
  SelectObject(dc, old);
}

void TNVForm::DrawImage(const DRAWITEMSTRUCT& di, TNVItem* item) {
  HDC dc = di.hDC;
  RECT r = di.rcItem;
  HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  FillRect(dc, &r, face);
  DeleteObject(face);
  if (item->d.clickable) {
    RECT e = r;
    if (item->d.border) InflateRect(&e, -S(1), -S(1));
    DrawEdge(dc, &e, EDGE_RAISED, BF_RECT);
  }
  if (item->d.border) FrameRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
  if (!item->FShown) return;
  // The content rectangle is in form coordinates; the picture is centred in it.
  const int cx = item->FContent.left - item->FRect.left, cy = item->FContent.top - item->FRect.top;
  const int x = cx + (item->FContent.width - item->FShown->GetWidth()) / 2;
  const int y = cy + (item->FContent.height - item->FShown->GetHeight()) / 2;
  item->FShown->Draw(dc, x, y);
}

// --- Handlers.

namespace delivery {

namespace {

std::mutex g_handlersLock;
std::map<std::string, TNVActionHandler>& Handlers() {
  static std::map<std::string, TNVActionHandler> handlers = {
      {"kestrum.handlecontactform", &HandleContactForm},
      {"kestrum.handlescreenshotform", &HandleScreenshotForm},
  };
  return handlers;
}

TNVForm* OwnForm(INVForm* form) {
  void* self = nullptr;
  return form && form->QueryInterface(kFormSelf, &self) == S_OK ? static_cast<TNVForm*>(self) : nullptr;
}

std::string ReadString(HKEY key, const char* name) {
  char buffer[1024];
  DWORD type = 0, size = sizeof buffer - 1;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS || type != REG_SZ) return {};
  buffer[std::min<DWORD>(size, sizeof buffer - 1)] = '\0';
  return buffer;
}

// The time alone can miss a save on file systems that keep it in coarse steps; the size is
// compared too.
bool LastWrite(const std::string& file, FILETIME& time, ULONGLONG& size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) return false;
  time = data.ftLastWriteTime;
  size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

// The component's own temporary folder while it is installed, else the user's.
std::string TempFolder() {
  if (const std::string f = kestrum::ProcessTempFolder(); !f.empty()) return f.back() == '\\' ? f : f + '\\';
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(MAX_PATH, buffer);
  return n > 0 && n <= MAX_PATH ? std::string(buffer, n) : std::string();
}

}  // namespace

const char kContactFormKey[] = "Software\\Tarnwell\\ContactForm";

void RegisterAssistantHandler(const std::string& name, TNVActionHandler handler) {
  std::lock_guard<std::mutex> lock(g_handlersLock);
  Handlers()[platform::AsciiLowered(name)] = handler;
}

TNVActionHandler FindAssistantHandler(const std::string& name) {
  if (name.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(g_handlersLock);
  const auto it = Handlers().find(platform::AsciiLowered(name));
  return it == Handlers().end() ? nullptr : it->second;
}

RememberedContact ReadRememberedContact() {
  RememberedContact c;
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kContactFormKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return c;
  c.name = ReadString(key, "RememberName");
  c.email = ReadString(key, "RememberEmail");
  RegCloseKey(key);
  return c;
}

void WriteRememberedContact(const RememberedContact& contact) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kContactFormKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) return;
  RegSetValueExA(key, "RememberName", 0, REG_SZ, reinterpret_cast<const BYTE*>(contact.name.c_str()),
                 static_cast<DWORD>(contact.name.size() + 1));
  RegSetValueExA(key, "RememberEmail", 0, REG_SZ, reinterpret_cast<const BYTE*>(contact.email.c_str()),
                 static_cast<DWORD>(contact.email.size() + 1));
  RegCloseKey(key);
}

void ForgetRememberedContact() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kContactFormKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, "RememberName");
  RegDeleteValueA(key, "RememberEmail");
  RegCloseKey(key);
}

std::vector<FinishedForm> FinishedForms(INVAssistant* assistant) {
  std::vector<FinishedForm> forms;
  for (int i = 0; assistant && i < assistant->GetFormCount(); ++i) {
    TNVForm* f = OwnForm(assistant->GetForm(i));
    if (!f) continue;
    forms.push_back({f->GetModalResult() == nvmOk, f->CurrentItems()});
  }
  return forms;
}

}  // namespace delivery

void HandleContactForm(INVForm* form, TNVAction action, INVItem* item, kestrum::IZQException* exception) {
  INVEdit* name = form->FindEdit("NameEdit");
  INVEdit* email = form->FindEdit("EmailEdit");
  INVCheckBox* remember = form->FindCheckBox("MemCheck");
  switch (action) {
    case nvaFormCreate: {
      const delivery::RememberedContact c = delivery::ReadRememberedContact();
      if (c.name.empty() && c.email.empty()) break;
      if (name) name->SetText(c.name);
      if (email) email->SetText(c.email);
      if (remember) remember->SetChecked(true);
      // Enabled on screen: the remembered address may no longer pass the check.
      void* self = nullptr;
      INVItem* cont = form->GetContinueBtn();
      if (cont && cont->QueryInterface(IID_INVItemEx, &self) == S_OK) {
        cont->Release();
        if (static_cast<TNVItem*>(self)->EnabledOnScreen()) form->SetActiveControl("ContinueBtn");
      }
      break;
    }
    case nvaItemEvent:
      if (email && item && item->GetName() == "EmailEdit") email->SetValid(delivery::ValidMailAddress(email->GetText()));
      break;
    case nvaFormClose: {
      if (form->GetModalResult() != nvmOk) break;
      const std::string n = name ? name->GetText() : std::string(), e = email ? email->GetText() : std::string();
      if (remember && remember->GetChecked()) delivery::WriteRememberedContact({n, e});
      else delivery::ForgetRememberedContact();
      if (exception) {
        if (const std::optional<std::string> from = delivery::ContactMailFrom(n, e)) exception->SetMailFrom(*from);
      }
      break;
    }
    case nvaFormShow:
      break;
  }
}

void HandleScreenshotForm(INVForm* form, TNVAction action, INVItem* item, kestrum::IZQException* exception) {
  TNVForm* f = delivery::OwnForm(form);
  if (!exception || !f) return;
  INVImage* image = form->FindImage("ScrShotImg");
  INVCheckBox* attach = form->FindCheckBox("AttachCheck");
  TNVForm::ScreenshotEdit& edit = f->FScreenshotEdit;
  switch (action) {
    case nvaFormCreate:
      if (image) {
        if (INVBitmap* shot = delivery::ExceptionScreenShot(exception)) {
          image->SetBitmap(shot);
          shot->Release();
        }
      }
      if (attach) attach->SetChecked(exception->GetAppendScreenShot());
      break;
    case nvaItemEvent:
      if (item && image && item->GetName() == "ScrShotImg" && image->GetBitmap()) {
        if (!edit.saved) {
          edit.file = delivery::TempFolder() + "screenShot.bmp";
          edit.saved = image->GetBitmap()->SaveBmp(edit.file) && delivery::LastWrite(edit.file, edit.lastWrite, edit.size);
          if (!edit.saved) {
            Beep(60, 60);
            break;
          }
        }
        if (edit.editor && WaitForSingleObject(edit.editor, 0) != WAIT_TIMEOUT) {
          CloseHandle(edit.editor);
          edit.editor = nullptr;
        }
        if (edit.editor) break;
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.hwnd = form->GetHandle();
        info.lpVerb = "edit";
        info.lpFile = edit.file.c_str();
        info.nShow = SW_SHOWMAXIMIZED;
        if (ShellExecuteExA(&info)) edit.editor = info.hProcess;
        else Beep(60, 60);
      } else if (!item && edit.saved) {
        FILETIME now{};
        ULONGLONG size = 0;
        if (!delivery::LastWrite(edit.file, now, size) || (CompareFileTime(&now, &edit.lastWrite) == 0 && size == edit.size)) break;
        // A file the editor is still writing does not load; the next tick tries again.
        if (INVBitmap* loaded = LoadBitmapFile(edit.file)) {
          edit.lastWrite = now;
          edit.size = size;
          exception->SetScreenShot(loaded);
          if (image) image->SetBitmap(loaded);
          loaded->Release();
        }
      }
      break;
    case nvaFormClose:
      if (edit.editor) {
        CloseHandle(edit.editor);
        edit.editor = nullptr;
      }
      if (edit.saved) DeleteFileA(edit.file.c_str());
      edit.saved = false;
      if (attach) exception->SetAppendScreenShot(attach->GetChecked());
      break;
    case nvaFormShow:
      break;
  }
}

// --- Building and running.

INVAssistant* BuildAssistant(HMODULE module, const std::string& title, const std::vector<std::string>& formNames,
                             kestrum::IZQException* exception) {
  auto* assistant = new TNVAssistant(title, exception);
  const int steps = static_cast<int>(formNames.size());
  for (int i = 0; i < steps; ++i) {
    const std::string resource = "TZQ" + [&] {
      std::string u = formNames[static_cast<std::size_t>(i)];
      for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return u;
    }();
    delivery::FormRead read;
    read.form = delivery::DefaultFormDescription();
    if (HRSRC found = FindResourceA(module, resource.c_str(), MAKEINTRESOURCEA(10))) {
      HGLOBAL loaded = LoadResource(module, found);
      const void* data = loaded ? LockResource(loaded) : nullptr;
      const DWORD size = SizeofResource(module, found);
      if (data) read = delivery::ReadFormResource(static_cast<const std::uint8_t*>(data), size);
    }
    if (read.damaged) {
      platform::Trace("assistant form %s: damaged resource, no assistant", resource.c_str());
      assistant->Release();
      return nullptr;
    }
    if (read.invalidType >= 0) {
      kestrum::ShowInternalError(delivery::InvalidAssistantResourceMessage(static_cast<std::uint8_t>(read.invalidType)).c_str());
    }
    if (read.form.name.empty()) read.form.name = formNames[static_cast<std::size_t>(i)];
    const std::string onAction = read.form.onAction;
    assistant->FForms.push_back(std::make_unique<TNVForm>(assistant, std::move(read.form), i + 1, steps, exception));
    TNVForm* form = assistant->FForms.back().get();
    for (int j = 0; j < form->GetItemCount(); ++j) {
      INVImage* image = nullptr;
      INVItem* item = form->GetItem(j);
      if (item->QueryInterface(IID_INVImage, reinterpret_cast<void**>(&image)) != S_OK) continue;
      // A picture file named by the form; one that cannot be read leaves the image empty.
      if (!image->GetFile().empty()) {
        if (INVBitmap* picture = LoadBitmapFile(image->GetFile())) {
          image->SetBitmap(picture);
          picture->Release();
        }
      }
      image->Release();
    }
    form->SetOnAction(delivery::FindAssistantHandler(onAction));
    form->Raise(nvaFormCreate, nullptr);
  }
  return assistant;
}

std::vector<delivery::AssistantOutput> ApplyAssistantOutputs(INVAssistant* assistant, kestrum::IZQException* exception) {
  const std::vector<delivery::AssistantOutput> outputs = delivery::AssistantOutputs(delivery::FinishedForms(assistant));
  // Only the component's own exception objects have a report to put them into.
  kestrum::IZQExceptionEx* own = nullptr;
  if (!exception || FAILED(exception->QueryInterface(kestrum::IID_IZQExceptionEx, reinterpret_cast<void**>(&own)))) return outputs;
  for (const delivery::AssistantOutput& o : outputs) {
    if (o.ownSection) {
      own->SetSection(o.name, o.content);
    } else {
      own->SetHeaderField(o.name, o.content);
    }
  }
  own->Release();
  return outputs;
}

namespace delivery {

namespace {

std::vector<kestrum::FormCacheForm> CacheForms(INVAssistant* assistant) {
  std::vector<kestrum::FormCacheForm> out;
  for (const FinishedForm& f : FinishedForms(assistant)) {
    kestrum::FormCacheForm c;
    c.closedWithOk = f.closedWithOk;
    for (const FormItem& it : f.items) {
      kestrum::FormCacheItem ci;
      ci.kind = it.kind == FormItemKind::edit       ? kestrum::FormCacheItem::edit
                : it.kind == FormItemKind::checkBox ? kestrum::FormCacheItem::checkBox
                                                    : kestrum::FormCacheItem::other;
      ci.name = it.name;
      ci.text = it.text;
      ci.checked = it.checked;
      c.items.push_back(std::move(ci));
    }
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

TNVModalResult RunAssistant(kestrum::IZQException* exception, HMODULE module, const kestrum::AssistantDefinition& definition,
                            bool takesScreenShot, HWND parentWindow, kestrum::IZQPropertyAccess* formCache) {
  std::vector<std::string> forms = definition.forms;
  if (!takesScreenShot) std::erase_if(forms, [](const std::string& f) { return platform::EqualNoCase(f, "ScrShotForm"); });
  INVAssistant* assistant = BuildAssistant(module, definition.title, forms, exception);
  if (!assistant) return nvmInvalid;

  if (formCache) {
    std::vector<kestrum::FormCacheForm> cached = CacheForms(assistant);
    const std::vector<bool> complete = formCache->ReadFormCache(cached);
    for (std::size_t i = 0; i < cached.size(); ++i) {
      INVForm* form = assistant->GetForm(static_cast<int>(i));
      for (const kestrum::FormCacheItem& ci : cached[i].items) {
        if (ci.kind == kestrum::FormCacheItem::edit) {
          if (INVEdit* e = form->FindEdit(ci.name); e && e->GetText() != ci.text) e->SetText(ci.text);
        } else if (ci.kind == kestrum::FormCacheItem::checkBox) {
          if (INVCheckBox* c = form->FindCheckBox(ci.name)) c->SetChecked(ci.checked);
        }
      }
      // Everything came from the cache: Continue is the likely answer.
      if (i < complete.size() && complete[i]) form->SetActiveControl("ContinueBtn");
    }
  }

  const TNVModalResult result = assistant->ShowModal(parentWindow);
  // The steps confirmed before a Cancel are remembered too: a second try need not retype them.
  if (formCache) formCache->FillFormCache(CacheForms(assistant));
  if (result == nvmOk) ApplyAssistantOutputs(assistant, exception);
  assistant->Release();
  return result;
}

}  // namespace delivery
