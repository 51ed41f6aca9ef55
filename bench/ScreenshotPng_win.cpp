// Screenshot benchmark: shows a desktop-like picture over the whole screen (a photo-like
// wallpaper, windows with title bars, text and icons), then times the capture and the 256-colour
// PNG encoding of it, best of five each. Writes capture.bmp, ours.png and result.txt (capture
// microseconds, encoding microseconds, PNG bytes) into the folder named by its argument.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "delivery/KestrumBitmap_win.h"

namespace {

void PaintDesktop(HDC dc, int width, int height) {
  // Wallpaper: a smooth photo-like colour field with some fine texture.
  for (int y = 0; y < height; y += 2) {
    for (int x = 0; x < width; x += 2) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      const int r = static_cast<int>(90 + 80 * std::sin(u * 5 + v * 2) + 20 * std::sin(x * 0.37) * std::cos(y * 0.23));
      const int g = static_cast<int>(120 + 60 * std::cos(v * 4 - u) + 15 * std::sin(y * 0.41));
      const int b = static_cast<int>(160 + 70 * std::sin(v * 3 + u * 1.5));
      const RECT cell{x, y, x + 2, y + 2};
      HBRUSH brush = CreateSolidBrush(RGB(r < 0 ? 0 : r > 255 ? 255 : r, g < 0 ? 0 : g > 255 ? 255 : g, b < 0 ? 0 : b > 255 ? 255 : b));
      FillRect(dc, &cell, brush);
      DeleteObject(brush);
    }
  }
  // Windows: frame, title bar, white client with lines of text, a few coloured controls.
  HFONT text = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
  HFONT bold = CreateFontA(-13, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
  const int count = width / 300;
  for (int i = 0; i < count; ++i) {
    const int left = 40 + i * (width - 500) / count, top = 40 + (i * 97) % (height / 2), w = 460, h = height / 2;
    RECT frame{left, top, left + w, top + h};
    FillRect(dc, &frame, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &frame, EDGE_RAISED, BF_RECT);
    TRIVERTEX vertices[2] = {{left + 3, top + 3, 0x0A00, 0x2400, 0x6A00, 0}, {left + w - 3, top + 22, 0xA600, 0xCA00, 0xF000, 0}};
    GRADIENT_RECT gradient{0, 1};
    GradientFill(dc, vertices, 2, &gradient, 1, GRADIENT_FILL_RECT_H);
    SetBkMode(dc, TRANSPARENT);
    SelectObject(dc, bold);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, left + 8, top + 6, "Kelvane - IR receiver log", 25);
    RECT client{left + 8, top + 30, left + w - 8, top + h - 40};
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SelectObject(dc, text);
    SetTextColor(dc, RGB(0, 0, 0));
    for (int line = 0; top + 34 + line * 15 < client.bottom - 15; ++line) {
      char s[96];
      const int n = std::snprintf(s, sizeof s, "%02d:%02d:%02d.%03d  NEC  addr 0x%04X  cmd 0x%02X  repeat %d", line / 60, line % 60,
                                  (line * 7) % 60, (line * 131) % 1000, 0x1F00 + line * 3, (line * 29) % 256, line % 3);
      TextOutA(dc, client.left + 4, top + 34 + line * 15, s, n);
    }
    for (int button = 0; button < 3; ++button) {
      RECT b{left + 8 + button * 110, top + h - 32, left + 108 + button * 110, top + h - 8};
      DrawFrameControl(dc, &b, DFC_BUTTON, DFCS_BUTTONPUSH);
      TextOutA(dc, b.left + 20, b.top + 5, "Button", 6);
    }
    HBRUSH accent = CreateSolidBrush(RGB(200 - i * 20, 60 + i * 30, 40 + i * 25));
    SelectObject(dc, accent);
    Ellipse(dc, left + w - 70, top + h - 36, left + w - 10, top + h - 6);
    DeleteObject(accent);
  }
  // A task bar with icons.
  RECT bar{0, height - 30, width, height};
  FillRect(dc, &bar, GetSysColorBrush(COLOR_BTNFACE));
  for (int i = 0; i < 12; ++i) DrawIcon(dc, 8 + i * 40, height - 31, LoadIcon(nullptr, i % 2 ? IDI_APPLICATION : IDI_INFORMATION));
  DeleteObject(text);
  DeleteObject(bold);
}

HDC g_picture = nullptr;

LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    RECT r;
    GetClientRect(w, &r);
    BitBlt(dc, 0, 0, r.right, r.bottom, g_picture, 0, 0, SRCCOPY);
    EndPaint(w, &ps);
    return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1e6 / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string out = std::string(argv[1]) + "\\";
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  HDC screen = GetDC(nullptr);
  g_picture = CreateCompatibleDC(screen);
  SelectObject(g_picture, CreateCompatibleBitmap(screen, width, height));
  ReleaseDC(nullptr, screen);
  PaintDesktop(g_picture, width, height);

  WNDCLASSA wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "KestrumBenchDesktop";
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, "desktop", WS_POPUP | WS_VISIBLE, GetSystemMetrics(SM_XVIRTUALSCREEN),
                           GetSystemMetrics(SM_YVIRTUALSCREEN), width, height, nullptr, nullptr, wc.hInstance, nullptr);
  UpdateWindow(w);
  for (int i = 0; i < 50; ++i) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(10);
  }

  double bestCapture = 1e30, bestEncode = 1e30;
  INVBitmap* shot = nullptr;
  for (int round = 0; round < 5; ++round) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    INVBitmap* s = TakeScreenShot(false);
    QueryPerformanceCounter(&t1);
    if (!s) return 1;
    bestCapture = std::min(bestCapture, Microseconds(t0, t1));
    if (shot) shot->Release();
    shot = s;
  }
  std::string png;
  for (int round = 0; round < 5; ++round) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    png = shot->AsPngStr(pf256Colors);
    QueryPerformanceCounter(&t1);
    bestEncode = std::min(bestEncode, Microseconds(t0, t1));
  }
  shot->SaveBmp(out + "capture.bmp");
  shot->SavePng(out + "ours.png", pf256Colors);
  if (FILE* f = std::fopen((out + "result.txt").c_str(), "w")) {
    std::fprintf(f, "%d %d %.0f %.0f %u\n", shot->GetWidth(), shot->GetHeight(), bestCapture, bestEncode,
                 static_cast<unsigned>(png.size()));
    std::fclose(f);
  }
  shot->Release();
  DestroyWindow(w);
  return 0;
}
