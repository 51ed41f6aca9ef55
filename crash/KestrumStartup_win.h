// What the component's start leaves for the flow. Not for use outside crash/.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kestrum {

// Start-up facts (KestrumStartup_win.cpp).
DWORD ComponentMainThreadId();  // the thread that installed the component
// When the component started, on the clock of report::CounterMilliseconds ("program up time").
std::int64_t ComponentStartMs();
void RemoveEndedTempFolders();

}  // namespace kestrum
