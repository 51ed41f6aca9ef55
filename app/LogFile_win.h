#pragma once
// Saving the log: the file is either replaced whole or left as it was.

#include <windows.h>

#include <string>

namespace app {
// Writes bytes to a new file in the folder of path and then moves it over path, so that a
// failure at any step leaves path as it was and no half-written file behind. Returns 0, or the
// system error code of the step that failed.
DWORD ReplaceFileContents(const std::wstring& path, const std::string& bytes);

// The system's text for an error code, without the line break at its end.
std::wstring SystemErrorText(DWORD error);

}  // namespace app
