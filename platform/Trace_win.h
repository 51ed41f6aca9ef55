#pragma once
// A quiet trace for failures that the program otherwise swallows (a window that could not be
// created, a diagnostic file that could not be opened), so that whoever investigates can turn it
// on without a rebuild.
//
// Off unless the environment variable KELVANE_TRACE is set (and not "0") when the first line is
// traced:
//   KELVANE_TRACE=1      each line goes to OutputDebugStringA (under Wine: WINEDEBUG=+debugstr);
//   KELVANE_TRACE=FILE   each line is appended to FILE.
// A line is "PID.TID text" and ends in a line break. It is formatted into a fixed buffer on the
// stack (see FixedFormat.h for the conversions; longer lines are cut), never allocates and keeps
// no handle open, so that the crash path and DllMain may trace.

#include <cstddef>

#include "platform/FixedFormat.h"

namespace platform {

// Longest line, the prefix and line break included.
inline constexpr std::size_t kTraceLineMax = 512;

void Trace(const char* format, ...) KELVANE_PRINTF_FORMAT(1, 2);
// True when lines go somewhere: spares the work of gathering what a line would say.
bool TraceEnabled();
// Reads KELVANE_TRACE again (the first line reads it otherwise); for tests and for a program
// that sets the variable itself.
void ReloadTraceSetting();

}  // namespace platform
