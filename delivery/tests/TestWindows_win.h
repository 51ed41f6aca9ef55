// Windows of the test process itself for the screenshot and progress tests.
#pragma once

#include <windows.h>

#include <functional>

#include "testing/gui/GuiDriver_win.h"

namespace delivery::testing {

// Dispatches what waits for this thread, for the given time: the test's own windows paint.
inline void Pump(DWORD ms = 200) {
  const DWORD end = GetTickCount() + ms;
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(5);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

// Waits for a condition while keeping this thread's windows alive.
inline bool PumpUntil(const std::function<bool()>& cond, DWORD ms = 5000) {
  return gui::WaitUntil(
      [&] {
        Pump(20);
        return cond();
      },
      ms);
}

// A top-most borderless window, its left half red and its right half blue.
class TwoColourWindow {
 public:
  static constexpr COLORREF kLeft = RGB(255, 0, 0), kRight = RGB(0, 0, 255);

  explicit TwoColourWindow(RECT r) {
    static ATOM atom = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = Proc;
      wc.hInstance = GetModuleHandleA(nullptr);
      wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
      wc.lpszClassName = "KestrumTwoColour";
      return RegisterClassA(&wc);
    }();
    (void)atom;
    window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "KestrumTwoColour", "Two colours", WS_POPUP | WS_MINIMIZEBOX, r.left, r.top,
                              r.right - r.left, r.bottom - r.top, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    Pump();
  }
  ~TwoColourWindow() { DestroyWindow(window_); }
  TwoColourWindow(const TwoColourWindow&) = delete;
  TwoColourWindow& operator=(const TwoColourWindow&) = delete;
  HWND Handle() const { return window_; }

 private:
  static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_ERASEBKGND) {
      RECT r;
      GetClientRect(w, &r);
      RECT left = r, right = r;
      left.right = right.left = r.right / 2;
      HBRUSH red = CreateSolidBrush(kLeft), blue = CreateSolidBrush(kRight);
      FillRect(reinterpret_cast<HDC>(wp), &left, red);
      FillRect(reinterpret_cast<HDC>(wp), &right, blue);
      DeleteObject(red);
      DeleteObject(blue);
      return 1;
    }
    return DefWindowProcA(w, msg, wp, lp);
  }
  HWND window_;
};

}  // namespace delivery::testing
