// The one entry of every intercepted exception, and the component's start and end.
//
// Every intercept (application handlers, thread boundaries, the last-chance filter, terminate,
// the stack-overflow hand-over, the freeze watchdog) ends in ReportException. The entry hands a
// request to the reporting thread, which builds the exception object, runs the handling and
// shows, saves, restarts or closes; the calling thread waits (the main thread keeps dispatching
// its messages meanwhile). Requests are heap objects with a reference count that carry their own
// context copy, so a waiter that returns early never leaves the reporting thread reading its stack.
#pragma once

#include <windows.h>

#include "crash/KestrumExceptTypes.h"

#include <cstdint>
#include <exception>
#include <string>

class TObject;

namespace kestrum {

struct ReportArgs {
  TExceptType type = etNormal;
  // The exception; null for reports without one (freeze, manual report) or when the entry should
  // take the current thread's innermost exception (takeCurrent).
  std::exception_ptr object;
  bool takeCurrent = false;
  const void* address = nullptr;  // exception address; null: from the raise-time facts
  bool canContinue = true;
  DWORD stackPointer = 0, framePointer = 0;  // 0: the caller's
  const CONTEXT* context = nullptr;           // copied into the request
  TExceptSource source = esManual;
  TObject* relatedObject = nullptr;           // sender or thread object
  HMODULE package = nullptr;
  std::string* reportBuffer = nullptr;        // receives the complete report (manual reports)
  DWORD crashedThreadId = 0;                  // 0: the calling thread
};

// Hands the exception to the reporting thread and waits until it has been handled. Never throws.
// Returns at once on the reporting thread itself. A thread that holds the loader lock (the
// reporting thread may need it), or that finds the reporting thread gone, handles its exception
// itself. Requests come from a pool made at start-up, so the entry allocates nothing unless a
// burst of exceptions outgrows the pool.
void ReportException(const ReportArgs& args);
// The thread that handles the exceptions; 0 before the start.
DWORD ReportingThreadId();

// Start-up of the component, before the window framework starts (app/Kelvane_win.cpp): restart
// hand-over, temporary folders, main settings, file check, thread registry, hooks, reporting
// thread, handler window, watchdog. Returns false when the component is disabled or has no valid
// settings (the program then runs without it). A failed file check ends the process (exit code 0).
bool InstallKestrum();
// End of the component at program end (InstallKestrum registers it with atexit): hooks out,
// threads stopped, shared blocks released. When a thread of the component does not stop in time
// and has to be terminated, the process ends at once (exit code 0) instead of running finalisation
// that could need a lock the terminated thread held.
void UninstallKestrum();

// This process's own folder in the component's temporary folder, made on first use; other copies
// of the program and ended processes have their own. "" when there is no temporary folder.
std::string ProcessTempFolder();
// A folder of its own for one delivery (a background send), inside ProcessTempFolder(); delivery
// receives its number. EndDeliveryFolder removes it. The folder of a delivery that never ended
// is removed when the next exception is handled. "" when there is no temporary folder.
std::string BeginDeliveryFolder(std::uint32_t& delivery);
void EndDeliveryFolder(std::uint32_t delivery);
// The process was started by a restart of the component (the hand-over was taken).
bool StartedByRestart();
// A thread that works for the component (the outbox's sender): reports leave it out. Its handle
// must stay open while the thread runs.
void MarkComponentThread(DWORD threadId, HANDLE thread);

}  // namespace kestrum
