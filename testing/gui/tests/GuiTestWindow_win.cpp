// A small window for the driver's own test: a counter label with its button, an edit field and
// a track bar whose position a label follows.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

namespace {

enum { IdClicks = 101, IdButton = 102, IdEdit = 103, IdTrack = 104, IdPos = 105 };
int clicks = 0;

void ShowPos(HWND wnd) {
  char text[32];
  LRESULT pos = SendDlgItemMessageA(wnd, IdTrack, TBM_GETPOS, 0, 0);
  std::snprintf(text, sizeof text, "Pos: %ld", static_cast<long>(pos));
  SetDlgItemTextA(wnd, IdPos, text);
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      auto child = [&](const char* cls, const char* text, DWORD style, int x, int y, int w, int h, int id) {
        CreateWindowA(cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, wnd,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
      };
      child("STATIC", "Clicks: 0", 0, 10, 10, 120, 16, IdClicks);
      child("BUTTON", "Press me", WS_TABSTOP | BS_PUSHBUTTON, 10, 34, 100, 25, IdButton);
      child("EDIT", "", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 10, 70, 150, 21, IdEdit);
      child(TRACKBAR_CLASSA, "", WS_TABSTOP | TBS_HORZ, 10, 100, 200, 34, IdTrack);
      child("STATIC", "", 0, 220, 110, 80, 16, IdPos);
      SendDlgItemMessageA(wnd, IdTrack, TBM_SETRANGE, TRUE, MAKELPARAM(0, 20));
      SendDlgItemMessageA(wnd, IdTrack, TBM_SETPOS, TRUE, 5);
      ShowPos(wnd);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IdButton && HIWORD(wp) == BN_CLICKED) {
        char text[32];
        std::snprintf(text, sizeof text, "Clicks: %d", ++clicks);
        SetDlgItemTextA(wnd, IdClicks, text);
      }
      return 0;
    case WM_HSCROLL:
      ShowPos(wnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(wnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSA wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = "GuiTestWindow";
  RegisterClassA(&wc);
  HWND wnd = CreateWindowA("GuiTestWindow", "GUI Driver Test", WS_OVERLAPPEDWINDOW, 100, 100, 340, 200, nullptr,
                           nullptr, instance, nullptr);
  ShowWindow(wnd, SW_SHOW);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageA(wnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return 0;
}
