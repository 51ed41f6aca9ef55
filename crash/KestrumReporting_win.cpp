// The entry of every exception, the reporting thread that handles one exception at a time, and
// the handling of one exception from the exception object to continue, restart or close.
//
// A failing thread puts a request into a locked queue and waits on the request's event and on the
// reporting thread's handle at once: when the reporting thread is gone (a fault in foreign code
// that the guard could not catch, a termination), the waiter handles its request itself instead
// of waiting for ever. Requests are reference counted and carry their own copy of the context,
// so a main thread whose wait ends early on a quit message leaves nothing of its stack behind.
#include "crash/KestrumHandling_win.h"

#include "crash/KestrumComponent_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumRestart.h"
#include "crash/KestrumTimeHistory.h"
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
  platform::CriticalSection historyLock;
  ExceptionTimes history{};
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
ExceptionTimes g_earlyHistory{};  // a hand-over read before the reporting state exists
std::wstring* g_startDirectory = nullptr;

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
    if (g_state->tail) g_state->tail->next = r;
    else g_state->head = r;
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

// --- The guard around each handling on the reporting thread. Own code's faults arrive as C++
// exceptions; a fault in foreign code (a system library showing the box, the clipboard) travels
// the structured handler chain, where this frame catches it and resumes behind the setjmp point.

struct GuardFrame {
  void* next;     // must come first: the system walks these records as a chain
  void* handler;
  void* resume[5];
  DWORD code;
  void* address;
};

extern "C" EXCEPTION_DISPOSITION __cdecl KestrumGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  // Only errors: notices (thread names, debug strings) go on to whoever expects them.
  if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u) return ExceptionContinueSearch;
  auto* g = static_cast<GuardFrame*>(frame);
  g->code = record->ExceptionCode;
  g->address = record->ExceptionAddress;
  context->Ebp = reinterpret_cast<DWORD>(g->resume[0]);
  context->Eip = reinterpret_cast<DWORD>(g->resume[1]);
  context->Esp = reinterpret_cast<DWORD>(g->resume[2]);
  return ExceptionContinueExecution;
}

}  // namespace

// fn must not throw: a C++ exception leaving it would skip the removal of the frame.
__attribute__((noinline)) bool GuardedRun(void (*fn)(void*), void* arg, const void** faultAddress) {
  GuardFrame g{};
  g.handler = reinterpret_cast<void*>(&KestrumGuardHandler);
  asm volatile("movl %%fs:0, %0" : "=r"(g.next));
  if (__builtin_setjmp(g.resume)) {
    asm volatile("movl %0, %%fs:0" : : "r"(g.next) : "memory");
    platform::Trace("kestrum: fault %08lx in the handling, guarded", static_cast<unsigned long>(g.code));
    if (faultAddress) *faultAddress = g.address;
    return false;
  }
  asm volatile("movl %0, %%fs:0" : : "r"(&g) : "memory");
  fn(arg);
  asm volatile("movl %0, %%fs:0" : : "r"(g.next) : "memory");
  return true;
}

namespace {

void HandleRequestNoThrow(void* p) {
  auto* r = static_cast<ReportRequest*>(p);
  try {
    platform::MutexGuard one(g_state->handlingMutex.Get());
    HandleException(r->facts, r->wantReport ? &r->report : nullptr);
  } catch (...) {
    platform::Trace("kestrum: exception inside the handling swallowed");
  }
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
    const DWORD w = mainThread ? MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT)
                               : WaitForMultipleObjects(2, waits, FALSE, INFINITE);
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

void AutoWorkCallback(bool complete, const std::string& report, IZQException* exception) {
  auto* e = static_cast<TIZQException*>(exception);
  const AutoWorkStep step = e->AutoWorkStepFor(complete);
  if (step.send) e->StartSending(nullptr, true);
  if (step.copyToClipboard) DeliveryHooksInUse().copyToClipboard(report);
  if (step.unregister) e->UnregisterBugReportCallback(AutoWorkCallback);
}

}  // namespace

// --- Reporting thread.

bool StartReportingThread() {
  if (g_state) return true;
  g_state = new ReportingState;
  g_state->history = g_earlyHistory;
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
      } catch (...) {
      }
      r->state = kFinished;
    }
    if (args.reportBuffer && r->state == kFinished) *args.reportBuffer = r->report;
    ReleaseRequest(r);
    ClearRaiseFacts();
  } catch (...) {
    platform::Trace("kestrum: exception inside the entry swallowed");
  }
}

// --- The handling of one exception.

namespace {

// Only the program's own copy of the component holds threads: a library's copy does not know
// the program's loop.
bool OwnModuleIsTheProgram() {
  static const bool own = platform::ModuleContaining(reinterpret_cast<const void*>(&OwnModuleIsTheProgram)) == GetModuleHandleA(nullptr);
  return own;
}

}  // namespace

void HandleException(const ExceptionFacts& facts, std::string* reportOut) {
  RemoveEndedTempFolders();
  ZQRef<IZQModuleSettings> settings(SettingsForAddress(facts.address));
  auto* e = new TIZQException(settings.get(), facts);
  struct Release {
    TIZQException* e;
    ~Release() { e->Release(); }
  } release{e};

  // A report of the process's state for an outside tool: built, never shown, counted or acted on
  // (a box would wait for a user that the tool does not have).
  if (IsStateReport(facts)) {
    e->SetShowPleaseWaitBox(false);
    e->SetListThreads(true);
    e->SetCreateBugReport(true);
    if (reportOut) *reportOut = e->GetBugReport(true);
    return;
  }

  e->SetPhase(epQuickFiltering);
  // No handler list has entries in this program: "handled" is decided by the type alone.
  const bool handled = facts.type == etHidden;
  if (!handled) {
    platform::AutoLock lock(g_state->historyLock);
    PushExceptionTime(g_state->history, NowSeconds());
  }
  e->SetPhase(epMainPhase);
  // The program's threads are held while the exception is shown; a freeze report holds nothing,
  // the main thread must be free to answer. Released however the handling ends (a fault that the
  // reporting thread's guard caught releases them there).
  struct Paused {
    bool on = false;
    ~Paused() {
      if (on) ReleasePausedThreads();
    }
  } paused;
  if (!handled && facts.type != etFrozen && e->GetSuspendThreads() && OwnModuleIsTheProgram()) {
    paused.on = true;
    PauseThreads(0);
  }
  // Now, while the screen still shows the program as the user saw it: a box or an assistant
  // would cover it. The object keeps the picture for them and for the sending.
  if (!handled && e->GetCreateScreenShot()) {
    if (IUnknown* shot = e->GetScreenShot()) shot->Release();
  }
  if (!handled) {
    e->SetPhase(epPostProcessing);
    HandlingState state;
    state.canContinue = e->GetCanContinue();
    state.showSetting = e->GetShowSetting();
    state.autoSave = e->GetAutoSave();
    state.autoSend = e->GetAutoSend();
    state.autoClip = e->GetAutoClipboard();
    const ShowDecision show = DecideShow(state);
    if (show.registerAutoWork) e->RegisterBugReportCallback(AutoWorkCallback, true);
    if (show.path == ShowPath::show) e->Show();

    // The box may have changed what happens next.
    state.canContinue = e->GetCanContinue();
    state.showSetting = e->GetShowSetting();
    const ExceptionTimes history = ExceptionHistory();
    const std::int64_t now = NowSeconds();
    const EndDecision end = DecideEnd(state, AutoActionOn(e->GetAutoClose(), history, now),
                                      AutoActionOn(e->GetAutoRestart(), history, now));
    if (end.finish != FinishMode::none) e->FinishAutoWork(end.finish == FinishMode::withWaiting);
    if (end.ending == Ending::close) CloseProgram();
    if (end.ending == Ending::restart) RestartProgram();
  }
  if (reportOut) *reportOut = e->GetBugReport(true);
  ResetWatchdogMisses();
}

// --- Time history.

ExceptionTimes ExceptionHistory() {
  if (!g_state) return g_earlyHistory;
  platform::AutoLock lock(g_state->historyLock);
  return g_state->history;
}

void SetExceptionHistory(const ExceptionTimes& history) {
  if (!g_state) {
    g_earlyHistory = history;
    return;
  }
  platform::AutoLock lock(g_state->historyLock);
  g_state->history = history;
}

std::int64_t NowSeconds() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  FILETIME ft;
  if (!SystemTimeToFileTime(&local, &ft)) return 0;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000u);
}

// --- Ending the program.

void RememberStartDirectory() {
  wchar_t dir[MAX_PATH * 2];
  const DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, dir);
  if (!g_startDirectory) g_startDirectory = new std::wstring;
  if (n > 0 && n < MAX_PATH * 2) g_startDirectory->assign(dir, n);
}

namespace {

// Hands the time history to the suspended new process in "KestrumRestart$<pid>", with the
// section's handle duplicated into it so that the section outlives this process.
void WriteHandOver(const PROCESS_INFORMATION& pi) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  const std::string name = RestartSectionName(pi.dwProcessId);
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kRestartSectionBytes, name.c_str());
  if (!section) return;
  HANDLE inNew = nullptr;
  DuplicateHandle(GetCurrentProcess(), section, pi.hProcess, &inNew, 0, FALSE, DUPLICATE_SAME_ACCESS);
  if (void* view = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, kRestartSectionBytes)) {
    RestartHandOver handOver;
    handOver.predecessorId = GetCurrentProcessId();
    handOver.sectionHandle = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(inNew));
    handOver.history = ExceptionHistory();
    const RestartSectionBytes bytes = WriteRestartSection(handOver);
    std::memcpy(view, bytes.data(), bytes.size());
    UnmapViewOfFile(view);
  }
  CloseHandle(section);
}

[[noreturn]] void EndProcess(UINT exitCode) {
  TerminateProcess(GetCurrentProcess(), exitCode);
  for (;;) Sleep(INFINITE);
}

}  // namespace

void RestartProgram() {
  // The module's own file and the directory the program started in: a relative command line
  // would resolve against whatever the current directory has become (a save dialog moves it).
  const std::wstring path = platform::ModulePathW(nullptr);
  std::wstring commandLine = GetCommandLineW();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const wchar_t* dir = g_startDirectory && !g_startDirectory->empty() ? g_startDirectory->c_str() : nullptr;
  if (!path.empty() &&
      CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, dir, &si, &pi)) {
    WriteHandOver(pi);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  EndProcess(2);
}

void CloseProgram() { EndProcess(1); }

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
