// A structured-exception frame around a call. Not for use outside crash/.
#pragma once

#include <windows.h>

namespace kestrum {

// Runs fn under a structured-exception frame of its own: a fault in foreign code that fn reaches
// (which no conversion makes a C++ exception) ends fn there and gives false, with the fault's
// address. fn must not let a C++ exception out.
bool GuardedRun(void (*fn)(void*), void* arg, const void** faultAddress = nullptr);

}  // namespace kestrum
