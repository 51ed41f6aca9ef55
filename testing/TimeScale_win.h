#pragma once
// Time limits of tests that wait for something to happen. Where the scripts run 32-bit programs
// emulated, everything takes several times longer, and they set KELVANE_TIME_SCALE accordingly;
// limits grow by that factor, never what a test expects to happen.
#include <windows.h>

#include <cstdlib>

namespace testsupport {

inline DWORD TimeScale() {
  static const DWORD scale = [] {
    char text[16] = {};
    DWORD n = GetEnvironmentVariableA("KELVANE_TIME_SCALE", text, sizeof text);
    long v = n > 0 && n < sizeof text ? std::strtol(text, nullptr, 10) : 1;
    return static_cast<DWORD>(v >= 1 && v <= 100 ? v : 1);
  }();
  return scale;
}

inline DWORD Scaled(DWORD ms) { return ms == INFINITE ? INFINITE : ms * TimeScale(); }

}  // namespace testsupport
