// What the parts of the component's handling flow offer each other: the reporting thread and the
// handling of one exception, the time history, the ends of the program, the plain box and the
// freeze watchdog. Not for use outside crash/.
#pragma once

#include <windows.h>

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"
#include "crash/settings/KestrumRules.h"

#include <cstdint>
#include <string>

namespace kestrum {

// --- Start-up facts (KestrumStartup_win.cpp).
DWORD ComponentMainThreadId();  // the thread that installed the component
// When the component started, on the clock of report::CounterMilliseconds ("program up time").
std::int64_t ComponentStartMs();
void RemoveEndedTempFolders();

// --- Reporting thread (KestrumReporting_win.cpp).
bool StartReportingThread();
// Asks the thread to stop and waits a little. False when it had to be terminated: it may have
// died holding the heap's or the loader's lock, so nothing that allocates may run afterwards.
bool StopReportingThread();
// The memory reserve (four 4 MB regions reserved, four 512 KB committed, none accessible): taken
// at the start, given back while exceptions are reported and at the end.
void TakeMemoryReserve();
void GiveBackMemoryReserve();
SIZE_T MemoryReserveBytes();  // what is held now
// Runs fn under a structured-exception frame of its own: a fault in foreign code that fn reaches
// (which no conversion makes a C++ exception) ends fn there and gives false, with the fault's
// address. fn must not let a C++ exception out.
bool GuardedRun(void (*fn)(void*), void* arg, const void** faultAddress = nullptr);
// The handling of one exception on the calling thread (the reporting thread, or a thread that
// cannot hand its request over). reportOut receives the report when given.
void HandleException(const ExceptionFacts& facts, std::string* reportOut);

// --- Exception time history, newest first.
ExceptionTimes ExceptionHistory();
void SetExceptionHistory(const ExceptionTimes& history);
std::int64_t NowSeconds();  // local time in whole seconds since 1601

// --- Ending the program. Both end at once with TerminateProcess, so that no library detaches
// while another thread holds its lock.
void RememberStartDirectory();
[[noreturn]] void RestartProgram();  // exit code 2
[[noreturn]] void CloseProgram();    // exit code 1

// --- The plain box of Show (KestrumPlainBox_win.cpp): a message box naming class and message,
// captioned with TitleBar. A box for a freeze report closes itself when the main thread answers.
void ShowPlainBox(TIZQException* exception);

// --- Holding the program's threads while an exception is handled (KestrumPause_win.cpp). The
// message-retrieval imports get their check at start-up when the main settings pause threads, or
// at the first pause otherwise. PauseThreads holds the main thread and the threads that the
// program's own code created, except the calling and the spared thread, as soon as they next ask
// for a message; ReleasePausedThreads lets them go (also when nothing is held).
bool InstallPauseHooks();
void PauseThreads(DWORD spared);
void ReleasePausedThreads();

// --- Freeze watchdog (KestrumWatchdog_win.cpp). The handler window belongs to the thread that
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
