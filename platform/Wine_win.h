#pragma once
// Whether the program runs under Wine, and paths between Wine's two worlds: the tests and the
// test doubles are driven by Unix scripts that speak in Unix paths.

#include <windows.h>

#include <string>

namespace platform {

// True under Wine (its ntdll exports wine_get_version), false on Windows.
bool RunningOnWine();
// The Unix path of a Windows path, in the Unix locale's encoding; "" on Windows or when Wine
// maps the path to no Unix file name.
std::string UnixPathOf(const wchar_t* windowsPath);
// The Windows path under which Wine shows a Unix path given in UTF-8; "" on Windows or when
// Wine has none for it.
std::wstring WindowsPathOf(const char* unixPath);

}  // namespace platform
