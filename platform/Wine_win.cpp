#include "platform/Wine_win.h"

#include "platform/Modules_win.h"

namespace platform {
namespace {

// Wine's own exports; Windows has none of them. Both results live on the process heap.
using UnixFileNameFn = char*(CDECL*)(LPCWSTR dosName);
using DosFileNameFn = WCHAR*(CDECL*)(LPCSTR unixName);

}  // namespace

bool RunningOnWine() { return ProcAddress<void (*)()>(L"ntdll.dll", "wine_get_version") != nullptr; }

std::string UnixPathOf(const wchar_t* windowsPath) {
  const auto toUnix = ProcAddress<UnixFileNameFn>(L"kernel32.dll", "wine_get_unix_file_name");
  if (!toUnix || !windowsPath) return {};
  char* unix = toUnix(windowsPath);
  if (!unix) return {};
  std::string out(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

std::wstring WindowsPathOf(const char* unixPath) {
  const auto toDos = ProcAddress<DosFileNameFn>(L"kernel32.dll", "wine_get_dos_file_name");
  if (!toDos || !unixPath) return {};
  WCHAR* dos = toDos(unixPath);
  if (!dos) return {};
  std::wstring out(dos);
  HeapFree(GetProcessHeap(), 0, dos);
  return out;
}

}  // namespace platform
