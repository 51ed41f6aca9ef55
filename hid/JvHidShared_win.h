#pragma once
// Helpers shared by the units of the HID controller class (PnP information, device, controller,
// read thread). Internal to hid/: callers include hid/JvHidControllerClass_win.h.

#include <windows.h>

#include <cstddef>
#include <string>

#include "platform/Modules_win.h"

namespace hid {

// The text of a fixed buffer up to its first zero unit, or all of it.
inline std::wstring TextUpToZero(const WCHAR* units, std::size_t max) {
  std::size_t n = 0;
  while (n < max && units[n] != 0) ++n;
  return std::wstring(units, n);
}

// The module this code is linked into: the program, or a DLL that carries its own copy.
inline HINSTANCE ThisModule() { return platform::ModuleContaining(reinterpret_cast<const void*>(&ThisModule)); }

inline bool RunningInLibrary() { return ThisModule() != GetModuleHandleW(nullptr); }

}  // namespace hid
