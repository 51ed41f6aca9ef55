#pragma once
// Thread base class and run-on-the-UI-thread-and-wait.
//
// The UI thread is the one that called InitUIThread() (the application object does so at
// start-up); before that call the program's main thread counts as the UI thread. A routine handed
// to the UI thread (Synchronize, RunOnUIThread) waits in a queue that the UI thread serves from
// its message loop, from every WaitFor/WaitServingUI it makes, and from any modal loop (a hidden
// window of the UI thread is woken for each request).

#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "platform/CrashHooks_win.h"
#include "platform/Handles_win.h"
#include "platform/Object.h"

// Thread base: created suspended, started explicitly, stopped through a terminate flag.
class TThread : public TObject {
 public:
  // Always created suspended; FreeOnTerminate is off. The OS thread exists after construction
  // (so ThreadID() is valid at once) but does not run Execute until Start().
  TThread();
  virtual ~TThread();            // if still running: Terminate() + WaitFor(); the handle closes after
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();                  // resume once
  void Terminate();              // sets the terminate flag only
  bool Terminated() const;
  DWORD WaitFor();               // waits for the end; on the UI thread keeps serving Synchronize requests; returns exit code
  bool Finished() const;
  DWORD ThreadID() const;
  HANDLE Handle() const;
  bool Started() const;
  // ClassName() (from TObject) gives the dynamic class name ("THIDThread") for thread lists.

  // The thread object behind a thread start routine and its parameter, as CreateThread sees them,
  // or null when they are not a thread object's: lets a thread start wrapper name the class.
  static TThread* FromThreadStart(LPTHREAD_START_ROUTINE start, void* parameter);

 protected:
  virtual void Execute() = 0;
  // Runs fn on the UI thread while this thread waits; runs at once when called on the UI thread.
  // An exception thrown by fn is re-raised in the caller's thread after fn has run.
  void Synchronize(const std::function<void()>& fn);
  // The thread's exit code; an exception escaping Execute leaves it as it was.
  DWORD ReturnValue = 0;

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);

  platform::ScopedKernelHandle handle_;
  DWORD threadId_ = 0;
  volatile LONG terminated_ = 0;
  volatile LONG finished_ = 0;
  bool started_ = false;
  bool skipExecute_ = false;  // destroyed before it was started
};

// The same for code that has no TThread object at hand (e.g. a device read thread helper).
void RunOnUIThread(const std::function<void()>& fn);
bool IsUIThread();  // the UI thread is the thread that called InitUIThread() (the application does so at start-up; tests may call it)
void InitUIThread();
// Waits for handle h from any thread; on the UI thread it keeps serving RunOnUIThread requests
// (and dispatches sent messages) so that two threads never wait for each other.
DWORD WaitServingUI(HANDLE h, DWORD timeoutMs);
// Serves pending RunOnUIThread requests now (the message loop calls this; tests may too). Returns true if one ran.
bool CheckSynchronize();

// An exception escaping Execute goes to ThreadExceptionHook; one thrown by a routine handed to the
// UI thread goes to SynchronizeExceptionHook on the UI thread, right after the routine (see
// CrashHooks_win.h).
