#include "platform/Wine_win.h"

#include "platform/Modules_win.h"

namespace platform {
namespace {

// Wine's own exports; Windows has none of them. Their results live on the process heap.
using UnixFileNameFn = char*(CDECL*)(LPCWSTR dosName);
using DosFileNameFn = WCHAR*(CDECL*)(LPCSTR unixName);

template <class Char>
std::basic_string<Char> TakeFromProcessHeap(Char* text) {
  if (!text) return {};
  std::basic_string<Char> out(text);
  HeapFree(GetProcessHeap(), 0, text);
  return out;
}

}  // namespace

bool RunningOnWine() { return ProcAddress<void (*)()>(L"ntdll.dll", "wine_get_version") != nullptr; }

std::string UnixPathOf(const wchar_t* windowsPath) {
  const auto toUnix = ProcAddress<UnixFileNameFn>(L"kernel32.dll", "wine_get_unix_file_name");
  return toUnix && windowsPath ? TakeFromProcessHeap(toUnix(windowsPath)) : std::string();
}

std::wstring WindowsPathOf(const char* unixPath) {
  const auto toDos = ProcAddress<DosFileNameFn>(L"kernel32.dll", "wine_get_dos_file_name");
  return toDos && unixPath ? TakeFromProcessHeap(toDos(unixPath)) : std::wstring();
}

}  // namespace platform
