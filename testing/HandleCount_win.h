#pragma once
// How many handles this process holds, for leak checks in tests. Wine answers the platform's
// count with 0, so there every handle value is tried instead.
#include <windows.h>

#include <cstdint>

namespace testsupport {

inline DWORD HandleCount() {
  DWORD n = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return n;
  for (std::uintptr_t v = 4; v < (1u << 16); v += 4) {
    DWORD flags = 0;
    n += GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags) ? 1 : 0;
  }
  return n;
}

}  // namespace testsupport
