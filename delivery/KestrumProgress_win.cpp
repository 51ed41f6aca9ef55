#include "delivery/KestrumProgress_win.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/Application_win.h"


namespace {

constexpr int kTextWrapWidth = 420;
constexpr int kMinLabelWidth = 220;
constexpr int kMargin = 11;
constexpr int kTop = 12;
constexpr int kIconShift = 40;
constexpr int kIconTextHeight = 26;
// Posted by threads that do not own the window: the label takes the current area's text.
constexpr UINT kShowAreaText = WM_APP + 1;
constexpr UINT_PTR kIconButtonId = 1;

}  // namespace

class TIProgressAlert final : public IProgressAlert {
 public:
  TIProgressAlert(const std::string& title, HMODULE bmpModule, const char* bmpName)
      : FTitle(title), FBmpModule(bmpModule), FBmpName(bmpName ? bmpName : "") {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IProgressAlert)) {
      *out = static_cast<IProgressAlert*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&FRefCount);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  std::string STDMETHODCALLTYPE GetTitle() override { return FTitle; }
  void STDMETHODCALLTYPE SetTitle(const std::string& value) override {
    if (value == FTitle) return;
    FTitle = value;
    if (FWindow) SetWindowTextA(FWindow, FTitle.c_str());
  }
  int STDMETHODCALLTYPE GetPosition() override { return FAreas.Position(); }
  void STDMETHODCALLTYPE SetPosition(int value) override;
  void STDMETHODCALLTYPE AddArea(std::int64_t weight, const std::string& text) override { FAreas.AddArea(weight, text); }
  void STDMETHODCALLTYPE ClearAreas() override { FAreas.ClearAreas(); }
  void STDMETHODCALLTYPE AreaDone() override { SetCurrentArea(FAreas.CurrentArea() + 1); }
  int STDMETHODCALLTYPE GetCurrentArea() override { return FAreas.CurrentArea(); }
  void STDMETHODCALLTYPE SetCurrentArea(int value) override;
  void STDMETHODCALLTYPE ProcessMessages() override;
  bool STDMETHODCALLTYPE Show(HWND parentWindow, bool activate) override;
  void STDMETHODCALLTYPE Close() override;

 private:
  ~TIProgressAlert() {
    Close();
    if (FMeasureDC) DeleteDC(FMeasureDC);
    if (FFont) DeleteObject(FFont);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  bool OwnThread() const { return FWindow && GetWindowThreadProcessId(FWindow, nullptr) == GetCurrentThreadId(); }
  void ShowAreaText();
  const std::uint8_t* IconPixels() const;  // the resource's information header, or null
  void PaintIcon(const DRAWITEMSTRUCT& item);
  SIZE MeasureTexts();

  LONG FRefCount = 1;
  std::string FTitle;
  HMODULE FBmpModule;
  std::string FBmpName;
  HWND FParent = nullptr;
  delivery::ProgressAreas FAreas;
  HWND FWindow = nullptr, FIcon = nullptr, FLabel = nullptr, FBar = nullptr;
  HDC FMeasureDC = nullptr;
  HFONT FFont = nullptr;
  bool FClosing = false;
};

namespace {

ATOM RegisterProgressClass() {
  static ATOM atom = 0;
  if (atom) return atom;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  // No class device context: windows of this class may live on several threads at once.
  wc.style = 0;
  wc.lpfnWndProc = DefWindowProcA;  // replaced per window once the object is attached
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = delivery::kProgressWindowClass;
  atom = RegisterClassExA(&wc);
  if (!atom && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) atom = 1;  // another copy of the component registered it
  return atom;
}

}  // namespace

LRESULT CALLBACK TIProgressAlert::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TIProgressAlert*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return DefWindowProcA(window, msg, wp, lp);
  try {
    return self->Handle(msg, wp, lp);
  } catch (...) {
    if (Application) Application->HandleException(nullptr, std::current_exception());
    return 0;
  }
}

LRESULT TIProgressAlert::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      // Only Close ends the window; the user cannot.
      if (FClosing) DestroyWindow(FWindow);
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (item && item->CtlID == kIconButtonId && FIcon) {
        PaintIcon(*item);
        return TRUE;
      }
      break;
    }
    case kShowAreaText: ShowAreaText(); return 0;
    case WM_NCDESTROY: {
      const HWND window = FWindow;
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      FWindow = FIcon = FLabel = FBar = nullptr;
      return DefWindowProcA(window, msg, wp, lp);
    }
  }
  return DefWindowProcA(FWindow, msg, wp, lp);
}

const std::uint8_t* TIProgressAlert::IconPixels() const {
  if (!FBmpModule || FBmpName.empty()) return nullptr;
  HRSRC found = FindResourceA(FBmpModule, FBmpName.c_str(), MAKEINTRESOURCEA(2));
  if (!found || SizeofResource(FBmpModule, found) != delivery::kIconResourceBytes) return nullptr;
  HGLOBAL loaded = LoadResource(FBmpModule, found);
  return loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
}

void TIProgressAlert::PaintIcon(const DRAWITEMSTRUCT& item) {
  const std::uint8_t* resource = IconPixels();
  if (!resource) return;
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const std::uint8_t faceBgr[3] = {GetBValue(face), GetGValue(face), GetRValue(face)};
  std::vector<std::uint8_t> blended(static_cast<std::size_t>(delivery::kIconSide) * delivery::kIconSide * 4);
  const std::uint8_t* src = resource + 40;
  for (std::size_t i = 0; i < blended.size(); i += 4) {
    for (int c = 0; c < 3; ++c) blended[i + c] = delivery::BlendOnFace(faceBgr[c], src[i + c], src[i + 3]);
  }
  BITMAPINFOHEADER header;
  std::memcpy(&header, resource, sizeof header);
  header.biSize = sizeof header;
  header.biWidth = delivery::kIconSide;
  header.biHeight = header.biHeight < 0 ? -delivery::kIconSide : delivery::kIconSide;  // keep the resource's row order
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  SetDIBitsToDevice(item.hDC, item.rcItem.left, item.rcItem.top, delivery::kIconSide, delivery::kIconSide, 0, 0, 0, delivery::kIconSide,
                    blended.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
}

SIZE TIProgressAlert::MeasureTexts() {
  SIZE most{0, 0};
  for (const std::string& text : FAreas.TextsFromCurrent()) {
    RECT r{0, 0, kTextWrapWidth, 0};
    DrawTextA(FMeasureDC, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    most.cx = std::max<LONG>(most.cx, r.right - r.left);
    most.cy = std::max<LONG>(most.cy, r.bottom - r.top);
  }
  return most;
}

bool STDMETHODCALLTYPE TIProgressAlert::Show(HWND parentWindow, bool activate) {
  if (FWindow) return false;
  FParent = parentWindow;
  if (FParent) EnableWindow(FParent, FALSE);
  if (FAreas.AreaCount() == 0) FAreas.AddArea(1000, "Please wait...");
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  if (!RegisterProgressClass()) {
    if (FParent) EnableWindow(FParent, TRUE);
    return false;
  }

  FClosing = false;
  FWindow = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_TOOLWINDOW, delivery::kProgressWindowClass, FTitle.c_str(),
                            WS_CAPTION | WS_POPUP, 0, 0, 100, 100, FParent, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!FWindow) {
    if (FParent) EnableWindow(FParent, TRUE);
    return false;
  }
  SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
  if (HMENU menu = GetSystemMenu(FWindow, FALSE)) {
    for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) DeleteMenu(menu, command, MF_BYCOMMAND);
  }

  if (!FFont) {
    FFont = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
    if (!FFont) FFont = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
  }
  if (!FMeasureDC) FMeasureDC = CreateCompatibleDC(nullptr);
  if (FMeasureDC && FFont) SelectObject(FMeasureDC, FFont);
  SIZE text = FMeasureDC ? MeasureTexts() : SIZE{kTextWrapWidth, 13};

  const bool icon = IconPixels() != nullptr;
  int labelX = kMargin, labelY = kTop;
  const int labelW = std::max<int>(kMinLabelWidth, text.cx);
  const int labelH = text.cy;
  int textBlockH = labelH;
  if (icon) {
    FIcon = CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, 9, 9, delivery::kIconSide,
                            delivery::kIconSide, FWindow, reinterpret_cast<HMENU>(kIconButtonId), nullptr, nullptr);
    labelX += kIconShift;
    if (labelH < kIconTextHeight) {
      labelY += (kIconTextHeight - labelH) / 2;
      textBlockH = kIconTextHeight;
    }
  }
  FLabel = CreateWindowExA(0, "Static", FAreas.CurrentText().c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, labelX, labelY, labelW,
                           labelH, FWindow, nullptr, nullptr, nullptr);
  if (FLabel && FFont) SendMessageA(FLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  const int arrowH = GetSystemMetrics(SM_CYVSCROLL);
  const int blockBottom = kTop + textBlockH;
  // The bar sits half a margin below the text, so that the window keeps an even border below it.
  const int barY = blockBottom + kTop;
  FBar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, kMargin, barY, labelW + (labelX - kMargin), arrowH, FWindow,
                         nullptr, nullptr, nullptr);
  if (FBar) SendMessageA(FBar, PBM_SETRANGE32, 0, delivery::kProgressRange);

  RECT frame{0, 0, labelX + labelW + kMargin, barY + arrowH + kTop};
  AdjustWindowRectEx(&frame, WS_CAPTION | WS_POPUP, FALSE, WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_TOOLWINDOW);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  if (activate) {
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(FWindow, HWND_TOPMOST, x, y, width, height, 0);
    ShowWindow(FWindow, SW_SHOWNORMAL);
    BringWindowToTop(FWindow);
    SetForegroundWindow(FWindow);
  } else {
    RECT work;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0) || IsRectEmpty(&work)) {
      work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    SetWindowPos(FWindow, HWND_TOPMOST, work.right - width - 2, work.bottom - height - 2, width, height, SWP_NOACTIVATE);
    ShowWindow(FWindow, SW_SHOWNOACTIVATE);
  }
  SetPosition(FAreas.Position());
  return true;
}

void STDMETHODCALLTYPE TIProgressAlert::SetPosition(int value) {
  FAreas.SetPosition(value);
  if (!FBar) return;
  const int bar = FAreas.BarValue();
  if (OwnThread()) {
    SendMessageA(FBar, PBM_SETPOS, static_cast<WPARAM>(bar), 0);
    ProcessMessages();
  } else {
    PostMessageA(FBar, PBM_SETPOS, static_cast<WPARAM>(bar), 0);
  }
}

void STDMETHODCALLTYPE TIProgressAlert::SetCurrentArea(int value) {
  if (!FAreas.SetCurrentArea(value)) return;
  if (!FWindow) return;
  if (OwnThread()) {
    ShowAreaText();
  } else {
    PostMessageA(FWindow, kShowAreaText, 0, 0);
  }
  SetPosition(FAreas.Position());
}

void TIProgressAlert::ShowAreaText() {
  if (FLabel) SetWindowTextA(FLabel, FAreas.CurrentText().c_str());
}

void STDMETHODCALLTYPE TIProgressAlert::ProcessMessages() {
  if (!OwnThread()) return;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Not ours to take: the thread's own loop must still see it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void STDMETHODCALLTYPE TIProgressAlert::Close() {
  if (!FWindow) return;
  FIcon = nullptr;
  if (OwnThread()) {
    DestroyWindow(FWindow);
  } else {
    FClosing = true;
    DWORD_PTR ignored;
    // The owning thread pumps only inside the progress calls; if it stopped doing so, the window
    // is cut loose from this object instead of waiting for ever.
    if (!SendMessageTimeoutA(FWindow, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 10000, &ignored) && FWindow) {
      SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
      PostMessageA(FWindow, WM_CLOSE, 0, 0);
      FWindow = FLabel = FBar = nullptr;
    }
  }
  if (FParent) {
    EnableWindow(FParent, TRUE);
    SetActiveWindow(FParent);
  }
}

IProgressAlert* CreateProgressWindow(const std::string& title, HMODULE bmpModule, const char* bmpName) {
  return new TIProgressAlert(title, bmpModule, bmpName);
}
