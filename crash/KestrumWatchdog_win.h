// The freeze watchdog and the main thread's handler window. Not for use outside crash/.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kestrum {

// Freeze watchdog (KestrumWatchdog_win.cpp). The handler window belongs to the thread that
// starts it (the main thread) and is served by that thread's message loop.
bool StartHandlerWindow();
bool StartWatchdog(std::uint32_t freezeTimeoutMs);
// The watchdog of this copy holds the process's watchdog mutex and watches (one copy at a time).
bool WatchdogWatching();
// False when the thread had to be terminated (see StopReportingThread).
bool StopWatchdog();
void PauseWatchdog();
void ResumeWatchdog();
void ResetWatchdogMisses();
// Posts the watchdog message with a box as its parameter: the main thread answers to the box.
void AskMainThreadToAnswer(HWND box);
// The answer message of the watchdog (number 0, both parameters 777).
inline constexpr WPARAM kAnswerParam = 777;
inline bool IsAnswerMessage(UINT message, WPARAM wp, LPARAM lp) {
  return message == WM_NULL && wp == kAnswerParam && lp == static_cast<LPARAM>(kAnswerParam);
}

}  // namespace kestrum
