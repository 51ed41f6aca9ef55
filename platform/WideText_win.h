#pragma once
// Conversions between the system's UTF-16 texts and 8-bit texts of a code page: the ANSI code
// page, in which the program's texts, messages and reports are written, unless another is named
// (the test doubles read their scenario files as UTF-8). A character the code page lacks becomes
// its default character; a text that cannot be converted at all comes back empty.

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

std::wstring WideFromAnsi(std::string_view text, UINT codePage = CP_ACP);
std::string AnsiFromWide(std::wstring_view text, UINT codePage = CP_ACP);
// The settings resource carries its texts as UTF-16 code units; to the ANSI code page.
std::string AnsiFromUtf16(std::u16string_view text);

}  // namespace platform
