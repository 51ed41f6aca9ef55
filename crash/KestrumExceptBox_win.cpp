// The box is one object per showing, owned by the modal loop on the handling thread. Other threads
// reach it only by messages: the report-change callback posts to whatever box window exists at
// that moment and never touches the object, so a callback that runs late (the report completing
// after the box went, or after it was made again with the report) cannot reach freed memory.
#include "crash/KestrumExceptBox_win.h"

#include "crash/KestrumBoxLogic.h"
#include "crash/KestrumBoxModel.h"
#include "crash/KestrumDeliveryHooks_win.h"
#include "crash/KestrumTimeHistory_win.h"
#include "crash/KestrumWatchdog_win.h"
#include "crash/settings/KestrumPlaceholders.h"
#include "platform/Modules_win.h"
#include "platform/Text.h"
#include "report/KestrumReportText.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace kestrum {

namespace {

constexpr UINT_PTR kCountdownTimer = 777;
constexpr int kButtonIdBase = 100;
constexpr int kTabId = 200, kEditId = 201, kTextId = 202, kIconId = 203, kListId = 204;
// Button numbers as the box and its glyph names count them.
enum ButtonNo : int { kSend = 0, kSave, kPrint, kShow, kContinue, kRestart, kClose, kCount };
constexpr int kMargin = kBoxMargin, kGap = kBoxGap, kIconSize = kBoxIconSize, kLabelHeight = kBoxLabelHeight,
              kDetailsHeight = kBoxDetailsHeight, kMinBoxWidth = kBoxMinWidth;
static_assert(int{kClose} == int{kBoxBtnClose} && int{kCount} == int{kBoxBtnCount}, "the model's button numbers");
constexpr COLORREF kDecoration = 0x101010;
constexpr COLORREF kTitleRowColor = RGB(0, 0, 128);
constexpr char kCreditText[] = "Kestrum crash report";

// The box window of this process, for the report-change callback (any thread).
std::atomic<HWND> g_boxWindow{nullptr};

void BugReportChanged(bool, const std::string&, IZQException*) {
  HWND box = g_boxWindow.load();
  if (box && IsWindow(box)) PostMessageA(box, kBoxReportChanged, 1357, 2468);
}

std::string ExeNameWithoutExtension() {
  std::string name = platform::ModuleFileName(nullptr);
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
  return name;
}

HFONT MakeFont(const char* face, int height, const char* fallbackFace, int fallbackHeight) {
  HFONT f = CreateFontA(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                        DEFAULT_QUALITY, DEFAULT_PITCH, face);
  if (!f && fallbackFace) {
    f = CreateFontA(-fallbackHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                    DEFAULT_QUALITY, DEFAULT_PITCH, fallbackFace);
  }
  return f ? f : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// A cell as the list shows it.
std::string ShownCell(const DetailView& view, std::size_t row, std::size_t column) {
  std::string cell = view.rows[row].cells[column];
  if (view.columns[column].upperCase && !view.rows[row].title) CharUpperBuffA(cell.data(), static_cast<DWORD>(cell.size()));
  return cell;
}

// The module of this code: a library with its own copy of the component registers its own box
// class, whose window procedure goes when the library goes.
HINSTANCE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module ? module : GetModuleHandleA(nullptr);
}

bool RegisterBoxClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSA wc{};
  if (GetClassInfoA(instance, kExceptBoxClass, &wc)) return true;
  wc.style = CS_CLASSDC | CS_PARENTDC;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kExceptBoxClass;
  return RegisterClassA(&wc) != 0;
}

}  // namespace

}  // namespace kestrum

using namespace kestrum;

// Global name, as the component's other classes: traces and reports show it by name.
class TExceptionBox {
 public:
  TExceptionBox(IZQException* exc, bool defaultMsgBox, bool detailsBtn, bool makeSound);
  ~TExceptionBox();
  TExceptionBox(const TExceptionBox&) = delete;
  TExceptionBox& operator=(const TExceptionBox&) = delete;

  HWND Window() const { return FMainWnd; }
  bool Reshow() const { return FReshow; }
  bool SmallLook() const { return FDefaultMsgBox; }
  // A close request as the close box and Escape make it.
  void CloseRequest();

 private:
  static LRESULT CALLBACK WndProc(HWND w, UINT message, WPARAM wp, LPARAM lp);
  LRESULT DialogWndMethod(UINT message, WPARAM wp, LPARAM lp);
  HWND MakeButton(int number, const std::string& caption, int width);
  void Layout();
  void Press(int number);
  void DoDetails();
  void CloseMainWnd();
  void StopCountdown();
  void OnTimer();
  void DrawButton(const DRAWITEMSTRUCT& d);
  void DrawPlainButton(const DRAWITEMSTRUCT& d, int number);
  // The caption centred, moved by shift when pressed, and the focus frame inset by focusInset.
  void DrawCaption(const DRAWITEMSTRUCT& d, COLORREF color, int shift, int focusInset);
  void DrawIcon(const DRAWITEMSTRUCT& d);
  void CheckTabs();
  void CheckCurrentTab();
  void FillList(const DetailView& view);
  void OfferToIde(int row);
  LRESULT ListCustomDraw(NMLVCUSTOMDRAW& draw);
  int TextWidth(HFONT font, const std::string& text);

  IZQException* FExc;
  HFONT FFont1 = nullptr, FFont2 = nullptr, FFont3 = nullptr;
  HWND FMainWnd = nullptr, FText = nullptr, FIcoWnd = nullptr, FTabs = nullptr, FEdit = nullptr, FList = nullptr;
  HWND FButtons[kCount] = {};
  int FButtonWidth[kCount] = {};
  bool FDefaultMsgBox = false;
  bool FUgly = false;
  bool FReshow = false;
  bool FShuttingDown = false;
  bool FShowReport = false;  // the details area is there
  bool FStacked = false;     // the right group runs down the right edge
  int FFocused = kContinue;
  int FTimerBtn = -1;  // the button that counts down, -1 when none
  ULONGLONG FTime = 0;
  std::int64_t FOldX = -1;
  int FInverted = -1;  // the button drawn inverted while it flashes
  ULONGLONG FLastFocusTime = 0;
  int FBtnHeight = 22;
  int FTextHeight = 0;
  HICON FIcon = nullptr;
  int FMinWidth = 0, FMinHeight = 0;
  std::vector<std::string> FTabNames;
  std::string FCurrentTab;
  std::string FCurrentTabContent;
  DetailView FView;  // what the list shows
};

TExceptionBox::TExceptionBox(IZQException* exc, bool defaultMsgBox, bool detailsBtn, bool makeSound)
    : FExc(exc), FDefaultMsgBox(defaultMsgBox) {
  FExc->AddRef();
  const bool frozen = FExc->GetExceptType() == etFrozen;
  // The open details leave nothing to show, also for whoever reads the settings afterwards.
  if (!FDefaultMsgBox && FExc->GetAutoShowBugReport()) FExc->SetShowBtnVisible(false);
  const ExceptionTimes history = ExceptionHistory();
  const std::int64_t now = NowSeconds();
  BoxFacts facts;
  facts.defaultMsgBox = FDefaultMsgBox;
  facts.detailsBtn = detailsBtn;
  facts.frozen = frozen;
  facts.autoShowBugReport = FExc->GetAutoShowBugReport();
  facts.noOwnerDrawButtons = FExc->GetNoOwnerDrawButtons();
  facts.canContinue = FExc->GetCanContinue();
  facts.exceptClass = FExc->GetExceptClass();
  facts.exceptMessage = FExc->GetExceptMessage();
  facts.frozenMsg = FExc->GetFrozenMsg();
  facts.exceptMsg = FExc->GetExceptMsg();
  facts.titleBar = FExc->GetTitleBar();
  facts.exeName = ExeNameWithoutExtension();
  facts.okCaption = FExc->GetOkBtnCaption();
  facts.detailsCaption = FExc->GetDetailsBtnCaption();
  facts.visible = {FExc->GetSendBtnVisible(),     FExc->GetSaveBtnVisible(),    FExc->GetPrintBtnVisible(), FExc->GetShowBtnVisible(),
                   FExc->GetContinueBtnVisible(), FExc->GetRestartBtnVisible(), FExc->GetCloseBtnVisible()};
  facts.captions = {FExc->GetSendBtnCaption(),     FExc->GetSaveBtnCaption(),    FExc->GetPrintBtnCaption(), FExc->GetShowBtnCaption(),
                    FExc->GetContinueBtnCaption(), FExc->GetRestartBtnCaption(), FExc->GetCloseBtnCaption()};
  facts.rules.focusedBtn = FExc->GetFocusedButton();
  facts.rules.autoCloseOn = AutoActionOn(FExc->GetAutoClose(), history, now);
  facts.rules.autoRestartOn = AutoActionOn(FExc->GetAutoRestart(), history, now);
  facts.rules.autoContinue = FExc->GetAutoContinue();
  facts.rules.closeVis = FExc->GetCloseBtnVisible();
  facts.rules.restartVis = FExc->GetRestartBtnVisible();
  facts.rules.continueVis = FExc->GetContinueBtnVisible();
  facts.rules.canContinue = FExc->GetCanContinue();
  const BoxModel model = MakeBoxModel(facts);
  FShowReport = model.showReport;
  FUgly = model.ugly;
  const std::string& text = model.text;
  const std::string& caption = model.caption;

  HINSTANCE instance = OwnModule();
  if (!RegisterBoxClass(instance, WndProc)) return;
  FFont1 = MakeFont("Tahoma", 11, "MS Sans Serif", 12);
  FFont2 = MakeFont("Courier New", 11, nullptr, 0);
  FFont3 = MakeFont("Small Fonts", 8, nullptr, 0);
  FIcon = LoadIconA(nullptr, IDI_HAND);

  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | DS_MODALFRAME;
  if (FShowReport) style |= WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
  FMainWnd = CreateWindowExA(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kExceptBoxClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                             kMinBoxWidth, 200, nullptr, nullptr, instance, this);
  if (!FMainWnd) return;
  if (!FShowReport) {
    HMENU menu = GetSystemMenu(FMainWnd, FALSE);
    for (UINT item : {SC_SIZE, SC_MAXIMIZE, SC_MINIMIZE, SC_RESTORE}) DeleteMenu(menu, item, MF_BYCOMMAND);
  }

  FIcoWnd = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, 0, 0, kIconSize, kIconSize, FMainWnd,
                            reinterpret_cast<HMENU>(kIconId), instance, nullptr);
  FText = CreateWindowExA(0, "STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 0, 10, 10, FMainWnd,
                          reinterpret_cast<HMENU>(kTextId), instance, nullptr);
  SendMessageA(FText, WM_SETFONT, reinterpret_cast<WPARAM>(FFont1), FALSE);

  // Buttons.
  FBtnHeight = model.buttonHeight;
  // The small box has OK first in the tab order, as the system's own boxes.
  static constexpr int kSmallOrder[] = {kContinue, kShow};
  static constexpr int kFullOrder[] = {kSend, kSave, kPrint, kShow, kContinue, kRestart, kClose};
  for (const int i : FDefaultMsgBox ? std::span<const int>(kSmallOrder) : std::span<const int>(kFullOrder)) {
    const BoxModel::Button& button = model.buttons[i];
    if (!button.present) continue;
    int width = TextWidth(FFont1, button.caption) + 39;
    if (button.small && width < 75) width = 79;
    MakeButton(i, button.caption, width);
    if (!button.enabled) EnableWindow(FButtons[i], FALSE);
  }
  FStacked = model.stacked;
  FTimerBtn = model.countdown;
  FFocused = model.focused;

  if (FShowReport) {
    FTabs = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0, 10, 10, FMainWnd,
                            reinterpret_cast<HMENU>(kTabId), instance, nullptr);
    SendMessageA(FTabs, WM_SETFONT, reinterpret_cast<WPARAM>(FFont1), FALSE);
    // The report's columns line up only in a fixed-width font.
    FEdit = CreateWindowExA(
        WS_EX_CLIENTEDGE, "EDIT", "",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL, 0, 0,
        10, 10, FMainWnd, reinterpret_cast<HMENU>(kEditId), instance, nullptr);
    SendMessageA(FEdit, WM_SETFONT, reinterpret_cast<WPARAM>(FFont2), FALSE);
    // Known kinds of sections are shown as columns; the view that does not fit stays hidden.
    FList = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                            WS_CHILD | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 0, 0, 10, 10,
                            FMainWnd, reinterpret_cast<HMENU>(kListId), instance, nullptr);
    SendMessageA(FList, WM_SETFONT, reinterpret_cast<WPARAM>(FFont1), FALSE);
    SendMessageA(FList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    SetWindowPos(FTabs, FList, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  // Size: as wide as the buttons need, at least the standard width, never beyond the screen.
  RECT frame{0, 0, 0, 0};
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_TOPMOST | WS_EX_DLGMODALFRAME);
  BoxSizeInput sizing;
  for (int i = 0; i < kCount; ++i) sizing.buttonWidth[i] = FButtons[i] ? FButtonWidth[i] : 0;
  sizing.stacked = FStacked;
  sizing.showReport = FShowReport;
  sizing.buttonHeight = FBtnHeight;
  sizing.frameW = frame.right - frame.left;
  sizing.frameH = frame.bottom - frame.top;
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  sizing.screenW = screenW;
  sizing.screenH = screenH;
  sizing.captionH = GetSystemMetrics(SM_CYCAPTION);
  BoxSize size = BoxWidth(sizing);
  // The text's height once word-wrapped to the room beside the icon.
  {
    RECT r{0, 0, size.textWidth, 0};
    HDC dc = GetDC(FMainWnd);
    HGDIOBJ old = SelectObject(dc, FFont1);
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(FMainWnd, dc);
    FTextHeight = r.bottom - r.top;
  }
  BoxHeight(sizing, FTextHeight, size);
  const int boxW = size.width, boxH = size.height;
  SetWindowPos(FMainWnd, nullptr, (screenW - boxW) / 2, (screenH - boxH) / 2, boxW, boxH, SWP_NOZORDER | SWP_NOACTIVATE);
  FMinWidth = boxW;
  FMinHeight = boxH;
  // The tabs first: the details view goes below their row, whose height they decide.
  if (FShowReport) CheckTabs();
  Layout();
  if (FShowReport) CheckCurrentTab();

  // Showing.
  if (makeSound) MessageBeep(MB_ICONHAND);
  ShowWindow(FMainWnd, SW_SHOWNORMAL);
  SetWindowPos(FMainWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(FMainWnd);
  if (FFocused >= 0) SetFocus(FButtons[FFocused]);
  if (FTimerBtn >= 0) {
    FTime = GetTickCount64();
    SetTimer(FMainWnd, kCountdownTimer, 10, nullptr);
  }
  if (frozen) AskMainThreadToAnswer(FMainWnd);
  g_boxWindow.store(FMainWnd);
  FExc->RegisterBugReportCallback(BugReportChanged, false);
}

TExceptionBox::~TExceptionBox() {
  if (FMainWnd) CloseMainWnd();
  for (HFONT f : {FFont1, FFont2, FFont3}) {
    if (f && f != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(f);
  }
  FExc->Release();
}

int TExceptionBox::TextWidth(HFONT font, const std::string& text) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r{0, 0, 0, 0};
  DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return r.right - r.left;
}

HWND TExceptionBox::MakeButton(int number, const std::string& caption, int width) {
  // Screen readers and the test driver read a button by its window text, so every button has its caption.
  const DWORD kind = FDefaultMsgBox ? BS_PUSHBUTTON : BS_OWNERDRAW;
  HWND b = CreateWindowExA(0, "BUTTON", caption.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_NOTIFY | kind, 0, 0, width, FBtnHeight,
                           FMainWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonIdBase + number)), OwnModule(), nullptr);
  if (!b) return nullptr;
  SendMessageA(b, WM_SETFONT, reinterpret_cast<WPARAM>(FFont1), FALSE);
  SetWindowLongPtrA(b, GWLP_USERDATA, number);
  FButtons[number] = b;
  FButtonWidth[number] = width;
  return b;
}

void TExceptionBox::Layout() {
  RECT client;
  GetClientRect(FMainWnd, &client);
  const int w = client.right, h = client.bottom;
  const int textX = kMargin + kIconSize + 8;
  int textY = 12;
  if (FTextHeight < kIconSize) textY += (kIconSize - FTextHeight) / 2;
  MoveWindow(FIcoWnd, kMargin, 12, kIconSize, kIconSize, FALSE);
  MoveWindow(FText, textX, textY, std::max(10, w - textX - kMargin), FTextHeight, FALSE);
  const int buttonsTop = std::max(12 + FTextHeight, 12 + kIconSize) + 14;
  int x = kMargin;
  int bottom = buttonsTop;
  if (FDefaultMsgBox) {
    // As a message box: the buttons centred.
    int total = 0;
    for (int i = 0; i < kCount; ++i) total += FButtons[i] ? FButtonWidth[i] + kGap : 0;
    x = std::max(kMargin, (w - total + kGap) / 2);
    for (int i : {kContinue, kShow}) {
      if (!FButtons[i]) continue;
      MoveWindow(FButtons[i], x, buttonsTop, FButtonWidth[i], FBtnHeight, FALSE);
      x += FButtonWidth[i] + kGap;
    }
    bottom = buttonsTop + FBtnHeight;
  } else {
    for (int i = kSend; i <= kShow; ++i) {
      if (!FButtons[i]) continue;
      MoveWindow(FButtons[i], x, buttonsTop, FButtonWidth[i], FBtnHeight, FALSE);
      x += FButtonWidth[i] + kGap;
    }
    bottom = buttonsTop + FBtnHeight;
    if (FStacked) {
      int widest = 0;
      for (int i = kContinue; i < kCount; ++i) widest = FButtons[i] ? std::max(widest, FButtonWidth[i]) : widest;
      int y = buttonsTop;
      for (int i = kContinue; i < kCount; ++i) {
        if (!FButtons[i]) continue;
        MoveWindow(FButtons[i], w - kMargin - widest, y, widest, FBtnHeight, FALSE);
        FButtonWidth[i] = widest;
        bottom = y + FBtnHeight;
        y += FBtnHeight + 4;
      }
    } else {
      int rx = w - kMargin;
      for (int i = kCount - 1; i >= kContinue; --i) {
        if (!FButtons[i]) continue;
        rx -= FButtonWidth[i];
        MoveWindow(FButtons[i], rx, buttonsTop, FButtonWidth[i], FBtnHeight, FALSE);
        rx -= kGap;
      }
    }
  }
  if (FTabs) {
    const int tabTop = bottom + 10;
    const int tabH = std::max(40, h - kLabelHeight - 6 - tabTop);
    MoveWindow(FTabs, kMargin, tabTop, std::max(40, w - 2 * kMargin), tabH, FALSE);
    RECT inner{kMargin, tabTop, kMargin + std::max(40, w - 2 * kMargin), tabTop + tabH};
    TabCtrl_AdjustRect(FTabs, FALSE, &inner);
    for (HWND view : {FEdit, FList}) {
      MoveWindow(view, inner.left, inner.top, std::max(10, static_cast<int>(inner.right - inner.left)),
                 std::max(10, static_cast<int>(inner.bottom - inner.top)), FALSE);
    }
  }
  InvalidateRect(FMainWnd, nullptr, TRUE);
}

void TExceptionBox::StopCountdown() {
  if (FTimerBtn < 0) return;
  KillTimer(FMainWnd, kCountdownTimer);
  const int b = FTimerBtn;
  FTimerBtn = -1;
  InvalidateRect(FButtons[b], nullptr, FALSE);
}

void TExceptionBox::OnTimer() {
  if (FTimerBtn < 0) return;
  HWND b = FButtons[FTimerBtn];
  const int width = FButtonWidth[FTimerBtn];
  const auto x = CountdownPosition(GetTickCount64() - FTime, FUgly ? width - 11 : width, FUgly ? 5 : 0, FExc->GetAutoDelay());
  if (!x) return;
  if (*x != FOldX) {
    FOldX = *x;
    InvalidateRect(b, nullptr, FALSE);
  }
  if (*x > (FUgly ? width - 6 : width)) {
    const int number = FTimerBtn;
    StopCountdown();
    PostMessageA(FMainWnd, WM_COMMAND, MAKEWPARAM(kButtonIdBase + number, BN_CLICKED), reinterpret_cast<LPARAM>(b));
  }
}

void TExceptionBox::DrawButton(const DRAWITEMSTRUCT& d) {
  const int number = static_cast<int>(GetWindowLongPtrA(d.hwndItem, GWLP_USERDATA));
  if (FUgly) {
    DrawPlainButton(d, number);
    return;
  }
  const bool isDefault = number == FFocused;
  bool inverted = (d.itemState & ODS_SELECTED) != 0 || number == FInverted;
  COLORREF back = isDefault ? GetSysColor(COLOR_3DDKSHADOW) : GetSysColor(COLOR_BTNFACE);
  COLORREF fore = isDefault ? RGB(255, 255, 255) : RGB(0, 0, 0);
  if (inverted) std::swap(back, fore);
  if (d.itemState & ODS_DISABLED) fore = GetSysColor(COLOR_GRAYTEXT);
  HBRUSH backBrush = CreateSolidBrush(back);
  FillRect(d.hDC, &d.rcItem, backBrush);
  DeleteObject(backBrush);
  if (number == FTimerBtn && FOldX > 0) {
    // The countdown: a bar that grows to the button's width.
    RECT bar = d.rcItem;
    bar.top = bar.bottom - 4;
    bar.right = bar.left + static_cast<LONG>(std::min<std::int64_t>(FOldX, d.rcItem.right - d.rcItem.left));
    HBRUSH barBrush = CreateSolidBrush(isDefault ? RGB(255, 255, 255) : GetSysColor(COLOR_3DDKSHADOW));
    FillRect(d.hDC, &bar, barBrush);
    DeleteObject(barBrush);
  }
  HBRUSH frame = CreateSolidBrush(kDecoration);
  FrameRect(d.hDC, &d.rcItem, frame);
  DeleteObject(frame);
  DrawCaption(d, fore, 0, 3);
}

void TExceptionBox::DrawCaption(const DRAWITEMSTRUCT& d, COLORREF color, int shift, int focusInset) {
  char caption[256] = {};
  GetWindowTextA(d.hwndItem, caption, sizeof caption);
  SetBkMode(d.hDC, TRANSPARENT);
  SetTextColor(d.hDC, color);
  HGDIOBJ old = SelectObject(d.hDC, FFont1);
  RECT text = d.rcItem;
  OffsetRect(&text, shift, shift);
  DrawTextA(d.hDC, caption, -1, &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  SelectObject(d.hDC, old);
  if (d.itemState & ODS_FOCUS) {
    RECT focus = d.rcItem;
    InflateRect(&focus, -focusInset, -focusInset);
    DrawFocusRect(d.hDC, &focus);
  }
}

// The look of the system's own buttons, with the countdown's bar inside the frame.
void TExceptionBox::DrawPlainButton(const DRAWITEMSTRUCT& d, int number) {
  const bool pressed = (d.itemState & ODS_SELECTED) != 0 || number == FInverted;
  RECT r = d.rcItem;
  if (number == FFocused) {
    // The default button's extra frame.
    FrameRect(d.hDC, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
    InflateRect(&r, -1, -1);
  }
  DrawFrameControl(d.hDC, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
  if (number == FTimerBtn && FOldX > 5) {
    RECT bar{d.rcItem.left + 5, d.rcItem.bottom - 8,
             d.rcItem.left + static_cast<LONG>(std::min<std::int64_t>(FOldX, d.rcItem.right - d.rcItem.left - 6)), d.rcItem.bottom - 5};
    FillRect(d.hDC, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
  }
  DrawCaption(d, GetSysColor((d.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT), pressed ? 1 : 0, 4);
}

void TExceptionBox::DrawIcon(const DRAWITEMSTRUCT& d) {
  FillRect(d.hDC, &d.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  if (FIcon) DrawIconEx(d.hDC, 0, 0, FIcon, kIconSize, kIconSize, 0, nullptr, DI_NORMAL);
}

void TExceptionBox::Press(int number) {
  StopCountdown();
  // A flash shows which button a key or the countdown pressed; a click shows it already.
  if (!FDefaultMsgBox && !FUgly && number >= 0 && number < kCount && FButtons[number] && GetTickCount64() - FLastFocusTime >= 200) {
    FInverted = number;
    RedrawWindow(FButtons[number], nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    if (number != kShow) Sleep(10);
    FInverted = -1;
    RedrawWindow(FButtons[number], nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  }
  HWND box = FMainWnd;
  switch (number) {
    case kShow: DoDetails(); break;
    case kClose: FExc->CloseApplication(box); break;
    case kRestart: FExc->RestartApplication(box); break;
    case kContinue:
      if (FExc->GetCanContinue()) {
        FExc->ContinueApplication(box);
      } else {
        FExc->CloseApplication(box);
      }
      break;
    case kSend: FExc->SendBugReport(box); break;
    case kSave: FExc->SaveBugReport(box); break;
    case kPrint: FExc->PrintBugReport(box); break;
    default: break;
  }
}

void TExceptionBox::DoDetails() {
  // No action handlers are registered in this program; eaShowBugReport has nobody to ask.
  FReshow = true;
  CloseMainWnd();
}

void TExceptionBox::CloseRequest() {
  CloseRequestInput in;
  in.focusedBtn = FDefaultMsgBox ? bSendBugReport : FExc->GetFocusedButton();
  in.hasContinue = FButtons[kContinue] != nullptr;
  in.hasRestart = FButtons[kRestart] != nullptr;
  in.hasClose = FButtons[kClose] != nullptr;
  in.canContinue = FExc->GetCanContinue();
  in.smallBox = FDefaultMsgBox;
  switch (ChooseCloseRequest(in)) {
    case kestrum::CloseRequest::continueApp: FExc->ContinueApplication(FMainWnd); break;
    case kestrum::CloseRequest::restartApp: FExc->RestartApplication(FMainWnd); break;
    case kestrum::CloseRequest::closeApp: FExc->CloseApplication(FMainWnd); break;
  }
}

void TExceptionBox::CloseMainWnd() {
  if (!FMainWnd || FShuttingDown) return;
  FShuttingDown = true;
  // Gone from the callback's view before the window goes, under the handler lock of the
  // unregistration: a report change after this posts to no box of ours.
  FExc->UnregisterBugReportCallback(BugReportChanged);
  HWND expected = FMainWnd;
  g_boxWindow.compare_exchange_strong(expected, nullptr);
  KillTimer(FMainWnd, kCountdownTimer);
  DestroyWindow(FMainWnd);
}

void TExceptionBox::CheckTabs() {
  if (!FTabs) return;
  const std::vector<std::string> wanted = DetailTabs(ParseReport(FExc->GetBugReport(false)));
  // Tabs still wanted stay (and keep the user's selection), the others go, the missing come in
  // at their place.
  for (int i = static_cast<int>(FTabNames.size()) - 1; i >= 0; --i) {
    if (std::find(wanted.begin(), wanted.end(), FTabNames[i]) == wanted.end()) {
      TabCtrl_DeleteItem(FTabs, i);
      FTabNames.erase(FTabNames.begin() + i);
    }
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (i < FTabNames.size() && FTabNames[i] == wanted[i]) continue;
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(wanted[i].c_str());
    SendMessageA(FTabs, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
    FTabNames.insert(FTabNames.begin() + static_cast<std::ptrdiff_t>(i), wanted[i]);
  }
  if (TabCtrl_GetCurSel(FTabs) < 0 && !FTabNames.empty()) TabCtrl_SetCurSel(FTabs, 0);
}

void TExceptionBox::CheckCurrentTab() {
  if (!FTabs) return;
  const int sel = TabCtrl_GetCurSel(FTabs);
  const std::string tab = sel >= 0 && sel < static_cast<int>(FTabNames.size()) ? FTabNames[sel] : std::string();
  const std::string content = DetailTabText(ParseReport(FExc->GetBugReport(false)), tab);
  if (tab == FCurrentTab && content == FCurrentTabContent) return;
  FCurrentTab = tab;
  FCurrentTabContent = content;
  FView = MakeDetailView(tab, content);
  const DetailView& view = FView;
  if (view.list) {
    FillList(view);
    SetWindowTextA(FEdit, "");
  } else {
    SetWindowTextA(FEdit, content.c_str());
  }
  ShowWindow(FList, view.list ? SW_SHOW : SW_HIDE);
  ShowWindow(FEdit, view.list ? SW_HIDE : SW_SHOW);
}

void TExceptionBox::FillList(const DetailView& view) {
  SendMessageA(FList, WM_SETREDRAW, FALSE, 0);
  SendMessageA(FList, LVM_DELETEALLITEMS, 0, 0);
  while (SendMessageA(FList, LVM_DELETECOLUMN, 0, 0)) {}
  for (std::size_t c = 0; c < view.columns.size(); ++c) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH;
    column.fmt = view.columns[c].rightAligned && c > 0 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = 60;
    column.pszText = const_cast<char*>(view.columns[c].caption.c_str());
    SendMessageA(FList, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&column));
  }
  for (std::size_t r = 0; r < view.rows.size(); ++r) {
    const DetailRow& row = view.rows[r];
    for (std::size_t c = 0; c < row.cells.size() && c < view.columns.size(); ++c) {
      std::string cell = ShownCell(view, r, c);
      LVITEMA item{};
      item.iItem = static_cast<int>(r);
      item.iSubItem = static_cast<int>(c);
      item.pszText = cell.data();
      if (c == 0) {
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.lParam = row.title ? 1 : 0;
        SendMessageA(FList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
      } else {
        item.mask = LVIF_TEXT;
        SendMessageA(FList, LVM_SETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
      }
    }
  }
  for (std::size_t c = 0; c < view.columns.size(); ++c) SendMessageA(FList, LVM_SETCOLUMNWIDTH, c, LVSCW_AUTOSIZE_USEHEADER);
  SendMessageA(FList, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(FList, nullptr, TRUE);
}

// A call stack line offered to a running development environment, which shows that place in its
// source: to every message window of the environment's process, with a time limit so that a hung
// receiver cannot hold the box.
void TExceptionBox::OfferToIde(int row) {
  if (FCurrentTab != "call stack" && FCurrentTab != "call stacks") return;
  if (row <= 0 || row >= static_cast<int>(FView.rows.size())) return;
  std::string text;
  for (std::size_t c = 0; c < FView.rows[row].cells.size() && c < FView.columns.size(); ++c) {
    if (c > 0) text += ' ';
    text += ShownCell(FView, static_cast<std::size_t>(row), c);
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty() || text == ">") return;
  SetWindowPos(FMainWnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  HWND ide = FindWindowA("TAppBuilder", nullptr);
  if (!ide) return;
  DWORD idePid = 0;
  GetWindowThreadProcessId(ide, &idePid);
  char cls[64];
  std::snprintf(cls, sizeof cls, "KorbToolsMsgHandlerWindow$%lx", static_cast<unsigned long>(idePid));
  const UINT message = RegisterWindowMessageA("KestrumIdeJumpCommand");
  for (HWND parent : {HWND(nullptr), HWND_MESSAGE}) {
    for (HWND w = FindWindowExA(parent, nullptr, cls, nullptr); w; w = FindWindowExA(parent, w, cls, nullptr)) {
      DWORD_PTR result = 0;
      SendMessageTimeoutA(w, message, GetCurrentProcessId(), reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 1000, &result);
    }
  }
}

LRESULT TExceptionBox::ListCustomDraw(NMLVCUSTOMDRAW& draw) {
  if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT && draw.nmcd.lItemlParam == 1) {
    draw.clrText = kTitleRowColor;
    return CDRF_NEWFONT;
  }
  return CDRF_DODEFAULT;
}

LRESULT CALLBACK TExceptionBox::WndProc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_NCCREATE) {
    auto* box = static_cast<TExceptionBox*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(box));
    box->FMainWnd = w;
  }
  auto* box = reinterpret_cast<TExceptionBox*>(GetWindowLongPtrA(w, GWLP_USERDATA));
  if (!box) return DefWindowProcA(w, message, wp, lp);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(w, GWLP_USERDATA, 0);
    HWND expected = w;
    g_boxWindow.compare_exchange_strong(expected, nullptr);
    box->FMainWnd = nullptr;
    return DefWindowProcA(w, message, wp, lp);
  }
  return box->DialogWndMethod(message, wp, lp);
}

LRESULT TExceptionBox::DialogWndMethod(UINT message, WPARAM wp, LPARAM lp) {
  HWND w = FMainWnd;
  if (IsAnswerMessage(message, wp, lp)) {
    // The main thread answered the freeze watchdog: the program is no longer frozen.
    CloseMainWnd();
    return 0;
  }
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(w, &ps);
      RECT client;
      GetClientRect(w, &client);
      const int lineY = client.bottom - kLabelHeight - 2;
      HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_3DSHADOW));
      HGDIOBJ oldPen = SelectObject(dc, shadow);
      MoveToEx(dc, 0, lineY, nullptr);
      LineTo(dc, client.right, lineY);
      SelectObject(dc, oldPen);
      DeleteObject(shadow);
      HGDIOBJ oldFont = SelectObject(dc, FFont3);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_3DDKSHADOW));
      RECT label{0, lineY + 2, client.right - 6, client.bottom};
      DrawTextA(dc, kCreditText, -1, &label, DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      SelectObject(dc, oldFont);
      EndPaint(w, &ps);
      return 0;
    }
    case WM_DRAWITEM: {
      const auto& d = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d.hwndItem == FIcoWnd) {
        DrawIcon(d);
      } else {
        DrawButton(d);
      }
      return TRUE;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      const int code = HIWORD(wp);
      if (id < kButtonIdBase || id >= kButtonIdBase + kCount) break;
      const int number = id - kButtonIdBase;
      if (code == BN_SETFOCUS) {
        FLastFocusTime = GetTickCount64();
        if (number != FTimerBtn) StopCountdown();
        return 0;
      }
      if (code == BN_CLICKED) Press(number);
      return 0;
    }
    case WM_CLOSE: CloseRequest(); return 0;
    case WM_TIMER:
      if (wp == kCountdownTimer) OnTimer();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lp);
      if (FMinWidth > 0) {
        info->ptMinTrackSize.x = FMinWidth;
        info->ptMinTrackSize.y = FMinHeight;
      }
      return 0;
    }
    case WM_SIZE:
      if (FMinWidth > 0) Layout();
      return 0;
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const NMHDR*>(lp);
      if (n->hwndFrom == FTabs && n->code == TCN_SELCHANGE) CheckCurrentTab();
      if (n->hwndFrom == FList && n->code == NM_DBLCLK) OfferToIde(reinterpret_cast<const NMITEMACTIVATE*>(n)->iItem);
      if (n->hwndFrom == FList && n->code == NM_CUSTOMDRAW) {
        return ListCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(n)));
      }
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lp) == FEdit) break;
      SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    default:
      if (message == kBoxReportChanged) {
        if (FTabs) {
          CheckTabs();
          CheckCurrentTab();
        }
        return 0;
      }
      if (message == kBoxShowReport) {
        DoDetails();
        return 0;
      }
      if (message == kBoxClose) {
        CloseMainWnd();
        return 0;
      }
      break;
  }
  return DefWindowProcA(w, message, wp, lp);
}

namespace kestrum {

namespace {

// One box until its window is gone. Keys the box handles for the whole window come first.
void RunModalLoop(TExceptionBox& box, IZQException* exception) {
  MSG m;
  while (box.Window() && IsWindow(box.Window())) {
    const BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got <= 0) {
      // The thread's queue ends: leave the quit for whoever waits for it after us.
      if (got == 0) PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    HWND box_ = box.Window();
    const bool forBox = box_ && (m.hwnd == box_ || IsChild(box_, m.hwnd));
    if (forBox && m.message == WM_KEYDOWN) {
      if (m.wParam == VK_ESCAPE) {
        box.CloseRequest();
        continue;
      }
      if (m.wParam == VK_F1) continue;  // eaHelp: no action handler is registered in this program
      if (m.wParam == 'C' && (GetKeyState(VK_CONTROL) & 0x8000) && !(GetKeyState(VK_MENU) & 0x8000)) {
        const std::string text = exception->GetAutoShowBugReport() ? exception->GetBugReport(false) : exception->GetExceptMessage();
        DeliveryHooksInUse().copyToClipboard(text);
        continue;
      }
      if (m.wParam == VK_RETURN) {
        // Enter presses the focused button, as in a dialog.
        HWND focus = GetFocus();
        const int id = focus && GetParent(focus) == box_ ? GetDlgCtrlID(focus) : 0;
        if (id >= kButtonIdBase && id < kButtonIdBase + kCount) {
          PostMessageA(box_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(focus));
          continue;
        }
      }
    }
    if (forBox && GetDlgCtrlID(m.hwnd) != kEditId && IsDialogMessageA(box_, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
}

BOOL CALLBACK FindBoxWindow(HWND w, LPARAM out) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  char cls[64] = {};
  if (pid == GetCurrentProcessId() && GetClassNameA(w, cls, sizeof cls) && lstrcmpA(cls, kExceptBoxClass) == 0) {
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND FindExceptionBox() {
  HWND found = nullptr;
  EnumWindows(FindBoxWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool ShowExceptionBox(IZQException* exception, BoxLook look) {
  static bool commonControls = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)commonControls;
  bool sound = true;
  for (;;) {
    TExceptionBox box(exception, look != BoxLook::full, look == BoxLook::detail, sound);
    if (!box.Window()) return false;
    RunModalLoop(box, exception);
    if (!box.Reshow() || look == BoxLook::simple) return true;
    // Shown again at once with the report, and nothing counts down any more.
    exception->SetAutoShowBugReport(true);
    exception->SetAutoContinue(false);
    exception->SetAutoRestart(0);
    exception->SetAutoClose(0);
    look = BoxLook::full;
    sound = false;
  }
}

}  // namespace kestrum
