#pragma once
// Files the tests find beside their own program: the build puts programs, test programs and DLLs
// side by side in bin/.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/Modules_win.h"

namespace testsupport {

inline std::string BesideThisProgram(const char* name) { return platform::ModuleFolder(nullptr) + name; }

inline std::wstring BesideThisProgram(const wchar_t* name) {
  const std::wstring self = platform::ModulePathW(nullptr);
  return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

// The offset of an export from its module's base, read from the program file without running
// it: an outside tool finds an entry of another process this way. 0 when there is none.
inline DWORD ExportOffset(const std::string& program, const char* name) {
  HMODULE image = LoadLibraryExA(program.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (!image) return 0;
  auto* entry = reinterpret_cast<const std::uint8_t*>(GetProcAddress(image, name));
  const DWORD offset = entry ? static_cast<DWORD>(entry - reinterpret_cast<const std::uint8_t*>(image)) : 0;
  FreeLibrary(image);
  return offset;
}

}  // namespace testsupport
