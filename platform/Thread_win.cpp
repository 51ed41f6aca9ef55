#include "platform/Thread_win.h"

#include <cstdlib>
#include <deque>
#include <typeinfo>

#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/Handles_win.h"

namespace {

constexpr UINT kWakeMessage = WM_APP + 0x51;
constexpr const char* kSyncWindowClass = "KelvaneSyncWindow";

// One routine handed to the UI thread; lives on the waiting thread's stack.
struct SyncRequest {
  const std::function<void()>* fn;
  HANDLE done;
  std::exception_ptr error;
};

struct SyncState {
  platform::CriticalSection lock;
  std::deque<SyncRequest*> queue;
  HANDLE pending;  // manual reset: set while the queue is not empty
  volatile DWORD uiThreadId;
  volatile HWND wakeWindow;

  SyncState() : pending(CreateEventA(nullptr, TRUE, FALSE, nullptr)), uiThreadId(GetCurrentThreadId()), wakeWindow(nullptr) {}
};

SyncState& State() {
  static SyncState* state = new SyncState;  // never destroyed: threads may outlive static destruction
  return *state;
}

// The thread that runs static initialisation is the program's main thread: it is the UI thread
// until someone calls InitUIThread().
const bool kStateReady = (State(), true);

LRESULT CALLBACK SyncWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kWakeMessage) {
    try {
      CheckSynchronize();
    } catch (...) {
      // CheckSynchronize hands every routine's exception on; nothing may cross this boundary.
    }
    return 0;
  }
  return DefWindowProcA(wnd, msg, wp, lp);
}

void WakeUIThread() {
  SyncState& s = State();
  HWND w = s.wakeWindow;
  if (!w || !PostMessageA(w, kWakeMessage, 0, 0)) PostThreadMessageA(s.uiThreadId, WM_NULL, 0, 0);
}

}  // namespace

bool IsUIThread() { return GetCurrentThreadId() == State().uiThreadId; }

void InitUIThread() {
  (void)kStateReady;
  InstallFaultConversion();
  SyncState& s = State();
  const DWORD me = GetCurrentThreadId();
  if (s.uiThreadId == me && s.wakeWindow) return;

  WNDCLASSA wc{};
  wc.lpfnWndProc = SyncWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kSyncWindowClass;
  RegisterClassA(&wc);  // fails harmlessly when already registered
  HWND w = CreateWindowExA(0, kSyncWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  HWND old = s.wakeWindow;
  s.uiThreadId = me;
  s.wakeWindow = w;
  // A window of another thread cannot be destroyed from here; it simply stays idle.
  if (old && GetWindowThreadProcessId(old, nullptr) == me) DestroyWindow(old);
  // Requests queued before the switch must not wait for a wake-up that went elsewhere.
  bool waiting;
  {
    platform::AutoLock lock(s.lock);
    waiting = !s.queue.empty();
  }
  if (waiting) WakeUIThread();
}

bool CheckSynchronize() {
  if (!IsUIThread()) return false;
  SyncState& s = State();
  bool ran = false;
  for (;;) {
    // One at a time: a routine that pumps messages itself serves the later ones in order.
    SyncRequest* r;
    {
      platform::AutoLock lock(s.lock);
      if (s.queue.empty()) {
        ResetEvent(s.pending);
        return ran;
      }
      r = s.queue.front();
      s.queue.pop_front();
    }

    ran = true;
    try {
      (*r->fn)();
    } catch (...) {
      std::exception_ptr e = std::current_exception();
      bool swallowed = false;
      try {
        swallowed = SynchronizeExceptionHook && SynchronizeExceptionHook(e);
      } catch (...) {
      }
      if (!swallowed) r->error = e;
    }
    SetEvent(r->done);  // r belongs to the waiting thread from here on
  }
}

void RunOnUIThread(const std::function<void()>& fn) {
  if (IsUIThread()) {
    fn();
    return;
  }
  SyncState& s = State();
  platform::ScopedKernelHandle done(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!done) throw Exception("RunOnUIThread: CreateEvent fehlgeschlagen");
  SyncRequest r{&fn, done.Get(), nullptr};
  bool first;
  {
    platform::AutoLock lock(s.lock);
    first = s.queue.empty();
    s.queue.push_back(&r);
    SetEvent(s.pending);
  }
  if (first) WakeUIThread();
  WaitForSingleObject(r.done, INFINITE);
  if (r.error) std::rethrow_exception(r.error);
}

DWORD WaitServingUI(HANDLE h, DWORD timeoutMs) {
  if (!IsUIThread()) return WaitForSingleObject(h, timeoutMs);
  SyncState& s = State();
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD remaining = INFINITE;
    if (timeoutMs != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    }
    HANDLE handles[2] = {h, s.pending};
    const DWORD r = MsgWaitForMultipleObjects(2, handles, FALSE, remaining, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0 + 1) {
      CheckSynchronize();
    } else if (r == WAIT_OBJECT_0 + 2) {
      MSG m;
      PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // delivers sent messages
    } else {
      return r;  // h signalled or abandoned, time-out, failure
    }
  }
}

// ---------------------------------------------------------------------------------------------

TThread::TThread() {
  (void)kStateReady;
  InstallFaultConversion();
  handle_.Reset(CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &threadId_));
  if (!handle_) throw Exception("Thread-Erzeugung fehlgeschlagen (Fehler " + std::to_string(GetLastError()) + ")");
}

TThread::~TThread() {
  if (handle_) {
    if (!Finished()) {
      Terminate();
      // A thread that never started still has to run out: its procedure sees the flag and
      // skips Execute.
      if (!started_) {
        skipExecute_ = true;
        Start();
      }
      WaitFor();
    }
  }
}

DWORD WINAPI TThread::ThreadProc(LPVOID self) {
  TThread* t = static_cast<TThread*>(self);
  try {
    if (!t->skipExecute_) t->Execute();
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    try {
      if (ThreadExceptionHook) ThreadExceptionHook(t, e);
    } catch (...) {
    }
  }
  const DWORD rv = t->ReturnValue;
  InterlockedExchange(&t->finished_, 1);  // the owner may destroy *t from here on
  return rv;
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  ResumeThread(handle_.Get());
}

void TThread::Terminate() { InterlockedExchange(&terminated_, 1); }
bool TThread::Terminated() const { return terminated_ != 0; }
bool TThread::Finished() const { return finished_ != 0; }
bool TThread::Started() const { return started_; }
DWORD TThread::ThreadID() const { return threadId_; }
HANDLE TThread::Handle() const { return handle_.Get(); }

DWORD TThread::WaitFor() {
  WaitServingUI(handle_.Get(), INFINITE);
  DWORD code = 0;
  GetExitCodeThread(handle_.Get(), &code);
  return code;
}

void TThread::Synchronize(const std::function<void()>& fn) { RunOnUIThread(fn); }

TThread* TThread::FromThreadStart(LPTHREAD_START_ROUTINE start, void* parameter) {
  return start == &TThread::ThreadProc ? static_cast<TThread*>(parameter) : nullptr;
}
