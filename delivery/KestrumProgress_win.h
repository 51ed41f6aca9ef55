// The progress window: a small top-most window with an optional icon, a text and a bar, used as
// the please-wait box while a report is built and as the sending window. It has no message loop
// of its own: it lives on the thread that shows it, which pumps it through the progress calls.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "crash/KestrumProgressAlert_win.h"
#include "delivery/KestrumProgress.h"

// A new object (one reference) without a window yet. The icon is the 32 x 32 bitmap resource
// bmpName of bmpModule, 32 bits a pixel with the opacity in the top byte; none when absent.
IProgressAlert* CreateProgressWindow(const std::string& title, HMODULE bmpModule, const char* bmpName);

namespace delivery {

// Window class and layout numbers that tests look at.
inline constexpr char kProgressWindowClass[] = "prgrAlertWndClass";
inline constexpr int kIconSide = 32;
// The size of the icon resource: a 40-byte information header and 32 x 32 pixels of 4 bytes.
inline constexpr DWORD kIconResourceBytes = 40 + kIconSide * kIconSide * 4;

// One channel of an icon pixel drawn over the button face: a = opacity + 1.
inline std::uint8_t BlendOnFace(std::uint8_t face, std::uint8_t pixel, std::uint8_t opacity) {
  const int a = opacity + 1;
  return static_cast<std::uint8_t>(((256 - a) * face + a * pixel) / 256);
}

}  // namespace delivery
