// The entry of every exception and the reporting thread that handles one exception at a time
// (the handling itself is KestrumHandleException_win.cpp).
//
// A failing thread puts a request into a locked queue and waits on the request's event and on the
// reporting thread's handle at once: when the reporting thread is gone (a fault in foreign code
// that the guard could not catch, a termination), the waiter handles its request itself instead
// of waiting for ever. Requests are reference counted and carry their own copy of the context,
// so a main thread whose wait ends early on a quit message leaves nothing of its stack behind.
#include "crash/KestrumReporting_win.h"

#include "crash/KestrumHandling_win.h"

#include "crash/KestrumGuard_win.h"
#include "crash/KestrumHandleException_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumPause_win.h"
#include "crash/KestrumProgramEnd_win.h"
#include "crash/KestrumRestart.h"
#include "crash/KestrumStartup_win.h"
#include "crash/KestrumTimeHistory.h"
#include "crash/KestrumWatchdog_win.h"
#include "platform/Exceptions.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Trace_win.h"
#include "report/KorbStackTrace_win.h"

#include <cstring>

namespace kestrum {

namespace {

struct ReportRequest {
  LONG refs = 0;
  bool pooled = false;
  HANDLE done = nullptr;  // manual reset, made with the request
  ReportRequest* next = nullptr;
  LONG state = 0;  // kQueued, kTaken, kFinished
  DWORD callerThreadId = 0;
  ExceptionFacts facts;
  CONTEXT context{};
  bool wantReport = false;
  std::string report;
};
constexpr LONG kQueued = 0, kTaken = 1, kFinished = 2;

// Requests come from here first, so that reporting allocates nothing; a burst beyond the pool
// allocates.
constexpr int kPoolSize = 8;

struct ReportingState {
  platform::CriticalSection queueLock;
  ReportRequest* head = nullptr;
  ReportRequest* tail = nullptr;
  platform::ScopedKernelHandle queueEvent{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  platform::ScopedKernelHandle stopEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  // Handling runs one exception at a time, also on threads that handle their own request. A
  // mutex, not a critical section: a thread that dies while handling leaves it abandoned, and
  // the next one takes it over.
  platform::ScopedKernelHandle handlingMutex{CreateMutexA(nullptr, FALSE, nullptr)};
  HANDLE thread = nullptr;  // kept open for the life of the process: waiters wait on it
  DWORD threadId = 0;
  ReportRequest pool[kPoolSize];
  LONG poolUsed[kPoolSize] = {};
};

ReportingState* g_state = nullptr;

// --- The memory reserve: address space and memory kept back so that an out-of-memory exception
// still finds some to be handled with. Given back while any thread is in the entry, taken again
// when the last one leaves.
constexpr SIZE_T kReservedRegion = 0x400000, kCommittedRegion = 0x80000;
constexpr int kRegions = 4;
struct MemoryReserve {
  platform::CriticalSection lock;
  void* reserved[kRegions] = {};
  void* committed[kRegions] = {};
  int inEntry = 0;
};
MemoryReserve* g_reserve = nullptr;

void AcquireReserve() {
  for (int i = 0; i < kRegions; ++i) {
    if (!g_reserve->reserved[i]) g_reserve->reserved[i] = VirtualAlloc(nullptr, kReservedRegion, MEM_RESERVE, PAGE_NOACCESS);
    if (!g_reserve->committed[i]) {
      g_reserve->committed[i] = VirtualAlloc(nullptr, kCommittedRegion, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    }
  }
}

void ReleaseReserve() {
  for (int i = 0; i < kRegions; ++i) {
    if (g_reserve->reserved[i]) VirtualFree(g_reserve->reserved[i], 0, MEM_RELEASE);
    if (g_reserve->committed[i]) VirtualFree(g_reserve->committed[i], 0, MEM_RELEASE);
    g_reserve->reserved[i] = g_reserve->committed[i] = nullptr;
  }
}

// Holds the reserve released for the scope of one entry.
class ReserveReleased {
 public:
  ReserveReleased() {
    if (!g_reserve) return;
    platform::AutoLock lock(g_reserve->lock);
    if (g_reserve->inEntry++ == 0) ReleaseReserve();
  }
  ~ReserveReleased() {
    if (!g_reserve) return;
    platform::AutoLock lock(g_reserve->lock);
    if (--g_reserve->inEntry == 0) AcquireReserve();
  }
  ReserveReleased(const ReserveReleased&) = delete;
  ReserveReleased& operator=(const ReserveReleased&) = delete;
};

// --- Requests.

ReportRequest* AcquireRequest() {
  for (int i = 0; i < kPoolSize; ++i) {
    if (InterlockedCompareExchange(&g_state->poolUsed[i], 1, 0) == 0) {
      ReportRequest* r = &g_state->pool[i];
      ResetEvent(r->done);
      return r;
    }
  }
  auto* r = new (std::nothrow) ReportRequest;
  if (!r) return nullptr;
  r->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!r->done) {
    delete r;
    return nullptr;
  }
  return r;
}

void ReleaseRequest(ReportRequest* r) {
  if (InterlockedDecrement(&r->refs) != 0) return;
  r->facts = ExceptionFacts{};
  r->report.clear();
  r->next = nullptr;
  if (r->pooled) {
    InterlockedExchange(&g_state->poolUsed[r - g_state->pool], 0);
  } else {
    CloseHandle(r->done);
    delete r;
  }
}

void Push(ReportRequest* r) {
  {
    platform::AutoLock lock(g_state->queueLock);
    r->next = nullptr;
    if (g_state->tail)
      g_state->tail->next = r;
    else
      g_state->head = r;
    g_state->tail = r;
  }
  SetEvent(g_state->queueEvent.Get());
}

ReportRequest* Pop() {
  platform::AutoLock lock(g_state->queueLock);
  ReportRequest* r = g_state->head;
  if (r) {
    g_state->head = r->next;
    if (!g_state->head) g_state->tail = nullptr;
    r->next = nullptr;
  }
  return r;
}

// Takes a request out of the queue; false when it was not (or no longer) in it.
bool Unqueue(ReportRequest* r) {
  platform::AutoLock lock(g_state->queueLock);
  ReportRequest** link = &g_state->head;
  ReportRequest* before = nullptr;
  while (*link && *link != r) {
    before = *link;
    link = &(*link)->next;
  }
  if (!*link) return false;
  *link = r->next;
  if (g_state->tail == r) g_state->tail = before;
  r->next = nullptr;
  return true;
}

}  // namespace

namespace {

void HandleRequestNoThrow(void* p) {
  auto* r = static_cast<ReportRequest*>(p);
  try {
    platform::MutexGuard one(g_state->handlingMutex.Get());
    HandleException(r->facts, r->wantReport ? &r->report : nullptr);
  } catch (...) { platform::Trace("kestrum: exception inside the handling swallowed"); }
}

DWORD WINAPI ReportingThreadProc(void*) {
  for (;;) {
    HANDLE waits[2] = {g_state->stopEvent.Get(), g_state->queueEvent.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
    while (ReportRequest* r = Pop()) {
      if (InterlockedCompareExchange(&r->state, kTaken, kQueued) == kQueued) {
        if (!GuardedRun(HandleRequestNoThrow, r)) ReleasePausedThreads();
        InterlockedExchange(&r->state, kFinished);
      }
      SetEvent(r->done);
      // Wakes a main thread that waits in its message loop.
      PostThreadMessageA(r->callerThreadId, WM_NULL, 0, 0);
      ReleaseRequest(r);
      if (WaitForSingleObject(g_state->stopEvent.Get(), 0) == WAIT_OBJECT_0) return 0;
    }
  }
}

// --- The loader lock. A thread that holds it cannot wait for the reporting thread, which may need
// it (a box loads libraries); one that sees another thread hold it for long must not wait either.

bool MustHandleInThisThread() {
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 25; ++i) {
    const auto [loader, environment] = platform::CurrentProcessLockOwners();
    if (!loader && !environment) return false;
    if (loader == self || environment == self) return true;
    Sleep(10);
  }
  return true;
}

// Waits until the request is handled. False when the reporting thread is gone: the caller handles
// the request itself.
bool WaitForHandling(ReportRequest* r) {
  const bool mainThread = GetCurrentThreadId() == ComponentMainThreadId();
  HANDLE waits[2] = {r->done, g_state->thread};
  for (;;) {
    const DWORD w =
        mainThread ? MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT) : WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0) return true;
    if (w == WAIT_OBJECT_0 + 1) return false;
    if (w != WAIT_OBJECT_0 + 2) return true;  // a failed wait: give up rather than spin
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // The program is ending: leave the request to the reporting thread (it holds its own
        // reference) and let the loop see the quit message again.
        PostQuitMessage(static_cast<int>(m.wParam));
        return true;
      }
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }
}

}  // namespace

// --- Reporting thread.

bool StartReportingThread() {
  if (g_state) return true;
  g_state = new ReportingState;
  for (int i = 0; i < kPoolSize; ++i) {
    g_state->pool[i].pooled = true;
    g_state->pool[i].done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  g_state->thread = CreateThread(nullptr, 64 * 1024, ReportingThreadProc, nullptr, 0, &g_state->threadId);
  if (!g_state->thread) return false;
  SetThreadPriority(g_state->thread, THREAD_PRIORITY_HIGHEST);
  SetThreadEntry(g_state->threadId, g_state->thread, "-", GetCurrentThreadId(), nullptr, nullptr);
  return true;
}

bool StopReportingThread() {
  if (!g_state || !g_state->thread) return true;
  SetEvent(g_state->stopEvent.Get());
  if (WaitForSingleObject(g_state->thread, 500) == WAIT_OBJECT_0 || WaitForSingleObject(g_state->thread, 50) == WAIT_OBJECT_0) {
    return true;
  }
  TerminateThread(g_state->thread, 0);
  WaitForSingleObject(g_state->thread, 1000);
  return false;
}

DWORD ReportingThreadId() { return g_state ? g_state->threadId : 0; }

void TakeMemoryReserve() {
  if (!g_reserve) g_reserve = new MemoryReserve;
  platform::AutoLock lock(g_reserve->lock);
  AcquireReserve();
}

void GiveBackMemoryReserve() {
  if (!g_reserve) return;
  platform::AutoLock lock(g_reserve->lock);
  ReleaseReserve();
}

SIZE_T MemoryReserveBytes() {
  if (!g_reserve) return 0;
  platform::AutoLock lock(g_reserve->lock);
  SIZE_T bytes = 0;
  for (int i = 0; i < kRegions; ++i) {
    bytes += g_reserve->reserved[i] ? kReservedRegion : 0;
    bytes += g_reserve->committed[i] ? kCommittedRegion : 0;
  }
  return bytes;
}

// --- The entry.

void ReportException(const ReportArgs& args) {
  try {
    if (!g_state || GetCurrentThreadId() == g_state->threadId) return;
    ReserveReleased reserve;
    ExceptionFacts facts;
    facts.type = args.type;
    facts.object = args.object;
    if (!facts.object && args.takeCurrent) facts.object = std::current_exception();
    facts.address = args.address;
    const RaiseFacts* raised = CurrentRaiseFacts();
    const CONTEXT* context = args.context;
    if (raised && (facts.object || facts.address)) {
      const bool sameObject = facts.object && raised->object == ThrownObjectOf(facts.object);
      const bool sameAddress = !facts.address || raised->address == facts.address;
      if (sameObject && sameAddress) {
        if (!facts.address) facts.address = raised->address;
        if (!context && raised->hasContext) context = &raised->context;
        facts.preparedStack = PreparedStackOf(*raised);
        facts.stackCopy = raised->stackCopy;
        facts.stackCopySize = raised->stackCopySize;
        facts.stackCopyBegin = raised->stackCopyBegin;
      }
    }
    if (facts.object && ExceptionInheritsFrom(facts.object, "EAbort")) {
      ClearRaiseFacts();
      if (!args.canContinue) CloseProgram();
      return;
    }
    facts.canContinue = args.canContinue;
    facts.crashedThreadId = args.crashedThreadId ? args.crashedThreadId : GetCurrentThreadId();
    DWORD esp;
    asm volatile("movl %%esp, %0" : "=r"(esp));
    facts.stackPointer = args.stackPointer ? args.stackPointer : esp;
    facts.framePointer = args.framePointer ? args.framePointer : reinterpret_cast<DWORD>(__builtin_frame_address(0));
    if (context && reinterpret_cast<DWORD>(facts.address) - context->Eip <= 4) {
      facts.stackPointer = context->Esp;
      facts.framePointer = context->Ebp;
    }
    facts.source = args.source;
    facts.relatedObject = args.relatedObject;
    facts.package = args.package;

    ReportRequest* r = AcquireRequest();
    if (!r) return;
    r->facts = facts;
    if (context) {
      r->context = *context;
      r->facts.context = &r->context;
    }
    r->callerThreadId = GetCurrentThreadId();
    r->wantReport = args.reportBuffer != nullptr;
    r->state = kQueued;
    r->refs = 2;  // this thread and the queue

    bool handedOver = false;
    // Without a reporting thread (it could not be made) there is nobody to wait for.
    if (g_state->thread && !MustHandleInThisThread()) {
      PauseWatchdog();
      Push(r);
      handedOver = WaitForHandling(r);
      ResumeWatchdog();
      if (!handedOver) {
        // The reporting thread is gone. Whatever it took with it is handled here again; a request
        // still queued is this thread's alone now.
        if (Unqueue(r)) ReleaseRequest(r);
        if (InterlockedExchange(&r->state, kTaken) != kFinished) {
          HandleRequestNoThrow(r);
          InterlockedExchange(&r->state, kFinished);
        }
      }
    } else {
      // No waiting on another thread here; nor on the handling lock, whose holder may need the
      // loader lock that this thread holds.
      r->refs = 1;
      r->state = kTaken;
      try {
        HandleException(r->facts, r->wantReport ? &r->report : nullptr);
      } catch (...) {}
      r->state = kFinished;
    }
    if (args.reportBuffer && r->state == kFinished) *args.reportBuffer = r->report;
    ReleaseRequest(r);
    ClearRaiseFacts();
  } catch (...) { platform::Trace("kestrum: exception inside the entry swallowed"); }
}

const std::uint8_t* PreparedStackOf(const RaiseFacts& facts) {
  if (!facts.stackCopy || facts.stackCopySize < 4 || !facts.preparedBuffer) return nullptr;
  report::ProcessStackMemory memory;
  memory.UseStackCopy(facts.stackCopyBegin, facts.stackCopy, facts.stackCopySize);
  const report::Addr top = facts.stackCopyBegin + static_cast<report::Addr>(facts.stackCopySize);
  const std::vector<report::TPreStackItem> items =
      report::PreScanStack(memory, facts.context.Ebp, top, facts.stackCopyBegin, true,
                           static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(facts.address)));
  const std::vector<std::uint8_t> packed = report::PackPreparedStack(items);
  if (packed.size() > kMaxPreparedBytes) return nullptr;
  std::memcpy(facts.preparedBuffer, packed.data(), packed.size());
  return facts.preparedBuffer;
}

}  // namespace kestrum
