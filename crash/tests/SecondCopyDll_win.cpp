// A library with a copy of the component's thread registry of its own, as a DLL built with the
// component has: both copies must share the one process block.
#include <windows.h>

#include "crash/KestrumInterception_win.h"
#include "crash/KestrumWatchdog_win.h"

// The main thread as this copy sees it; 0 when the block could not be opened.
extern "C" __declspec(dllexport) DWORD SecondCopyOpen() { return kestrum::OpenThreadRegistry() ? kestrum::MainThreadId() : 0; }
extern "C" __declspec(dllexport) void SecondCopyName(DWORD threadId, const char* name) { kestrum::SetThreadName(threadId, name); }
extern "C" __declspec(dllexport) void SecondCopyClose() { kestrum::CloseThreadRegistry(); }
// This copy's freeze watchdog, beside the program's own.
extern "C" __declspec(dllexport) BOOL SecondCopyStartWatchdog(DWORD timeoutMs) { return kestrum::StartWatchdog(timeoutMs); }
extern "C" __declspec(dllexport) BOOL SecondCopyWatching() { return kestrum::WatchdogWatching(); }
extern "C" __declspec(dllexport) void SecondCopyStopWatchdog() { kestrum::StopWatchdog(); }
