#pragma once
// Files the tests find beside their own program: the build puts programs, test programs and DLLs
// side by side in bin/.
#include <windows.h>

#include <string>

#include "platform/Modules_win.h"

namespace testsupport {

inline std::string BesideThisProgram(const char* name) { return platform::ModuleFolder(nullptr) + name; }

inline std::wstring BesideThisProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

}  // namespace testsupport
