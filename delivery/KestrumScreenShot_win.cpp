// Capture of the screen into a bitmap object.
#include <vector>

#include "crash/KestrumExceptionApi_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "platform/Modules_win.h"

namespace {

// A region handle, deleted with the owner.
class Region {
 public:
  explicit Region(HRGN r = nullptr) : r_(r) {}
  ~Region() {
    if (r_) DeleteObject(r_);
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  HRGN Get() const { return r_; }
  void Reset(HRGN r) {
    if (r_) DeleteObject(r_);
    r_ = r;
  }

 private:
  HRGN r_;
};

// A window that shows on the screen: visible, not minimized, not empty.
bool Showing(HWND w, RECT& rect) { return IsWindowVisible(w) && !IsIconic(w) && GetWindowRect(w, &rect) && !IsRectEmpty(&rect); }

struct TopLevel {
  HWND window;
  RECT rect;
  bool own;
};

BOOL CALLBACK Collect(HWND w, LPARAM list) {
  RECT rect;
  if (Showing(w, rect)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    reinterpret_cast<std::vector<TopLevel>*>(list)->push_back({w, rect, pid == GetCurrentProcessId()});
  }
  return TRUE;
}

// The parts of the program's own windows that nothing covers, in screen coordinates, and the box
// around its windows. Null region when no own window shows.
HRGN VisibleOwnParts(RECT& box) {
  std::vector<TopLevel> windows;  // top of the Z order first
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  SetRectEmpty(&box);
  HRGN visible = nullptr;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (!windows[i].own) continue;
    UnionRect(&box, &box, &windows[i].rect);
    Region part(CreateRectRgnIndirect(&windows[i].rect));
    for (std::size_t above = 0; above < i; ++above) {
      Region cover(CreateRectRgnIndirect(&windows[above].rect));
      CombineRgn(part.Get(), part.Get(), cover.Get(), RGN_DIFF);
    }
    if (!visible) visible = CreateRectRgn(0, 0, 0, 0);
    CombineRgn(visible, visible, part.Get(), RGN_OR);
  }
  return visible;
}

void DrawCursor(HDC canvas, POINT origin) {
  const auto getCursorInfo = platform::ProcAddress<decltype(&::GetCursorInfo)>(L"user32.dll", "GetCursorInfo");
  if (!getCursorInfo) return;
  CURSORINFO info{};
  info.cbSize = sizeof info;
  if (!getCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || !info.hCursor) return;
  ICONINFO icon{};
  if (!GetIconInfo(info.hCursor, &icon)) return;
  DrawIconEx(canvas, info.ptScreenPos.x - static_cast<int>(icon.xHotspot) - origin.x,
             info.ptScreenPos.y - static_cast<int>(icon.yHotspot) - origin.y, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
  if (icon.hbmMask) DeleteObject(icon.hbmMask);
  if (icon.hbmColor) DeleteObject(icon.hbmColor);
}

}  // namespace

INVBitmap* TakeScreenShot(bool appOnly) {
  HDC screen = GetDC(nullptr);
  if (!screen) return nullptr;
  struct Release {
    HDC dc;
    ~Release() { ReleaseDC(nullptr, dc); }
  } releaseScreen{screen};

  RECT area;
  if (GetSystemMetrics(SM_CMONITORS) != 0) {
    area.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    area.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    area.right = area.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    area.bottom = area.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
  } else {
    area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }

  RECT capture = area;
  Region visible;
  if (appOnly) {
    RECT box;
    visible.Reset(VisibleOwnParts(box));
    if (!visible.Get()) return nullptr;
    if (!IntersectRect(&capture, &box, &area)) return nullptr;
    RECT probe;
    if (GetRgnBox(visible.Get(), &probe) == NULLREGION) return nullptr;  // every own window covered
  }
  const int width = capture.right - capture.left, height = capture.bottom - capture.top;
  TINVBitmap* shot = TINVBitmap::Create(width, height);
  if (!shot) return nullptr;
  HDC canvas = shot->Canvas();
  if (appOnly) {
    PatBlt(canvas, 0, 0, width, height, WHITENESS);
    // The region in the bitmap's coordinates: covered parts and foreign windows stay white.
    OffsetRgn(visible.Get(), -capture.left, -capture.top);
    SelectClipRgn(canvas, visible.Get());
  }
  const bool copied = BitBlt(canvas, 0, 0, width, height, screen, capture.left, capture.top, SRCCOPY | CAPTUREBLT) != FALSE;
  SelectClipRgn(canvas, nullptr);
  if (!copied) {
    shot->Release();
    return nullptr;
  }
  DrawCursor(canvas, {capture.left, capture.top});
  GdiFlush();
  return shot;
}

namespace delivery {

IUnknown* TakeExceptionScreenShot(bool appOnly) { return TakeScreenShot(appOnly); }

INVBitmap* ExceptionScreenShot(kestrum::IZQException* exception) {
  IUnknown* shot = exception ? exception->GetScreenShot() : nullptr;
  if (!shot) return nullptr;
  // A program may hand the exception a picture of its own: only a bitmap can be sent or shown.
  INVBitmap* bitmap = nullptr;
  if (FAILED(shot->QueryInterface(IID_INVBitmap, reinterpret_cast<void**>(&bitmap)))) bitmap = nullptr;
  shot->Release();
  return bitmap;
}

}  // namespace delivery
