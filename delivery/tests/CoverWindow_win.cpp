// A window of another process for the screenshot tests: a top-most borderless rectangle of one
// colour. Arguments: caption x y width height red green blue. Runs until it is closed or killed.
#include <windows.h>

#include <cstdlib>

namespace {

COLORREF g_colour = RGB(0, 255, 0);

LRESULT CALLBACK WindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(w, &r);
      HBRUSH brush = CreateSolidBrush(g_colour);
      FillRect(reinterpret_cast<HDC>(wp), &r, brush);
      DeleteObject(brush);
      return 1;
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 9) return 2;
  g_colour = RGB(std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]));
  WNDCLASSA wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "KestrumCoverWindow";
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, argv[1], WS_POPUP, std::atoi(argv[2]), std::atoi(argv[3]),
                           std::atoi(argv[4]), std::atoi(argv[5]), nullptr, nullptr, wc.hInstance, nullptr);
  if (!w) return 1;
  ShowWindow(w, SW_SHOWNOACTIVATE);
  SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  UpdateWindow(w);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}
