// The freeze watchdog: a thread that posts a message to the handler window of the main thread and
// counts the rounds without an answer (the rules are FreezeWatchdog's). The handler window lives
// on the main thread and is served by the program's own message loop, so an answer means that the
// loop runs.
#include "crash/KestrumWatchdog_win.h"

#include "crash/KestrumStartup_win.h"

#include "crash/KestrumHandling_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumWatchdog.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

namespace kestrum {

namespace {

const char kWindowClass[] = "KestrumHandlerWindow";

struct WatchdogState {
  explicit WatchdogState(std::uint32_t timeoutMs) : dog(timeoutMs) {}
  platform::CriticalSection lock;
  FreezeWatchdog dog;
  // Set while the watchdog runs, reset while paused; one event for the watchdog's whole life, so
  // that a waiter never waits on a closed handle.
  platform::ScopedKernelHandle running{CreateEventA(nullptr, TRUE, TRUE, nullptr)};
  platform::ScopedKernelHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  volatile LONG watching = 0;  // holds the process's watchdog mutex and runs its rounds
};

// Allocated once and never freed: the window procedure and the entry may still reach them while
// the process ends.
WatchdogState* g_dog = nullptr;
HWND g_window = nullptr;
UINT g_message = 0;

LRESULT CALLBACK HandlerWindowProc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  if (g_message && message == g_message) {
    if (wp)
      PostMessageA(reinterpret_cast<HWND>(wp), WM_NULL, kAnswerParam, kAnswerParam);
    else if (g_dog)
      PostThreadMessageA(g_dog->threadId, WM_NULL, kAnswerParam, kAnswerParam);
    return kAnswerParam;
  }
  return DefWindowProcA(w, message, wp, lp);
}

bool CreateHandlerWindow() {
  if (g_window) return true;
  g_message = RegisterWindowMessageA("KestrumFreezeWatchdog");
  WNDCLASSA wc{};
  wc.lpfnWndProc = HandlerWindowProc;
  // The class of this copy of the component: a library's copy has a window procedure of its own.
  wc.hInstance = platform::ModuleContaining(reinterpret_cast<const void*>(&HandlerWindowProc));
  wc.lpszClassName = kWindowClass;
  RegisterClassA(&wc);
  g_window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  return g_window != nullptr && g_message != 0;
}

void WatchRounds();

DWORD WINAPI WatchdogThreadProc(void*) {
  // One watchdog per process, whichever copy of the component started first: the others wait
  // for the process block's mutex and take over when its holder stops.
  const HANDLE mutex = WatchdogMutex();
  if (mutex) {
    HANDLE waits[2] = {g_dog->stop.Get(), mutex};
    const DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0 + 1 && w != WAIT_ABANDONED_0 + 1) return 0;
  }
  InterlockedExchange(&g_dog->watching, 1);
  WatchRounds();
  InterlockedExchange(&g_dog->watching, 0);
  if (mutex) ReleaseMutex(mutex);
  return 0;
}

void WatchRounds() {
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue that receives the answers
  for (;;) {
    HANDLE waits[2] = {g_dog->stop.Get(), g_dog->running.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    FreezeWatchdog::Round round;
    {
      platform::AutoLock lock(g_dog->lock);
      if (g_dog->dog.Paused()) continue;
      round = g_dog->dog.BeginRound();
    }
    if (round.post && !PostMessageA(g_window, g_message, 0, 0)) {
      platform::AutoLock lock(g_dog->lock);
      g_dog->dog.PostFailed();
    }
    if (WaitForSingleObject(g_dog->stop.Get(), round.sleepMs) == WAIT_OBJECT_0) return;
    bool answered = false;
    while (PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
      if (IsAnswerMessage(m.message, m.wParam, m.lParam)) answered = true;
    }
    bool report;
    {
      platform::AutoLock lock(g_dog->lock);
      // A round that ran into a pause counts only when it brought the answer.
      if (g_dog->dog.Paused() && !answered) continue;
      report = g_dog->dog.EndRound(answered);
    }
    if (report) {
      ReportArgs args;
      args.type = etFrozen;
      args.canContinue = true;
      args.source = esAntiFreezeCheck;
      args.crashedThreadId = ComponentMainThreadId();
      ReportException(args);
    }
  }
}

}  // namespace

bool StartWatchdog(std::uint32_t freezeTimeoutMs) {
  if (g_dog) return true;
  if (!CreateHandlerWindow()) return false;
  g_dog = new WatchdogState(freezeTimeoutMs);
  g_dog->thread = CreateThread(nullptr, 64 * 1024, WatchdogThreadProc, nullptr, CREATE_SUSPENDED, &g_dog->threadId);
  if (!g_dog->thread) return false;
  SetThreadPriority(g_dog->thread, THREAD_PRIORITY_HIGHEST);
  SetThreadEntry(g_dog->threadId, g_dog->thread, "-", GetCurrentThreadId(), nullptr, nullptr);
  ResumeThread(g_dog->thread);
  return true;
}

bool StartHandlerWindow() { return CreateHandlerWindow(); }

bool WatchdogWatching() { return g_dog && g_dog->watching != 0; }

bool StopWatchdog() {
  if (!g_dog || !g_dog->thread) return true;
  SetEvent(g_dog->stop.Get());
  bool stopped = WaitForSingleObject(g_dog->thread, 500) == WAIT_OBJECT_0;
  if (!stopped) TerminateThread(g_dog->thread, 0);
  CloseHandle(g_dog->thread);
  g_dog->thread = nullptr;
  return stopped;
}

void PauseWatchdog() {
  if (!g_dog || GetCurrentThreadId() == g_dog->threadId) return;
  platform::AutoLock lock(g_dog->lock);
  if (g_dog->dog.Pause()) ResetEvent(g_dog->running.Get());
}

void ResumeWatchdog() {
  if (!g_dog || GetCurrentThreadId() == g_dog->threadId) return;
  platform::AutoLock lock(g_dog->lock);
  if (g_dog->dog.Resume()) SetEvent(g_dog->running.Get());
}

void ResetWatchdogMisses() {
  if (!g_dog) return;
  platform::AutoLock lock(g_dog->lock);
  g_dog->dog.ResetMisses();
}

void AskMainThreadToAnswer(HWND box) {
  if (g_window && g_message) PostMessageA(g_window, g_message, reinterpret_cast<WPARAM>(box), 0);
}

}  // namespace kestrum
