// How every exception path of the program reaches ReportException: the runtime's seams, the
// last-chance filter, terminate and abort, the thread and work-item start wrappers put into the
// import slots of every loaded module, the stack-overflow hand-over and the debugger's
// thread-naming exception.
#include "crash/KestrumInterception_win.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <csignal>
#include <cwchar>
#include <cstring>
#include <exception>
#include <string>

#include "crash/KestrumHandling_win.h"
#include "crash/KestrumImportPatch_win.h"
#include "platform/CrashHooks_win.h"
#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Thread_win.h"
#include "platform/Trace_win.h"

namespace kestrum {
namespace {

constexpr DWORD kThreadNamingCode = 0x406D1388;
constexpr DWORD kThreadFailedExitCode = 0xFFFFFFFF;
constexpr std::size_t kMaxThreadName = 255;

using CreateThreadFn = decltype(&::CreateThread);
using QueueUserWorkItemFn = decltype(&::QueueUserWorkItem);
using LoadLibraryAFn = decltype(&::LoadLibraryA);
using LoadLibraryWFn = decltype(&::LoadLibraryW);
using LoadLibraryExAFn = decltype(&::LoadLibraryExA);
using LoadLibraryExWFn = decltype(&::LoadLibraryExW);

// The stack-overflow hand-over: the overflowed thread copies its facts here and waits; the
// helper thread reports them. One at a time (the mutex); nothing here allocates.
struct OverflowRequest {
  EXCEPTION_RECORD record;
  CONTEXT context;
  DWORD threadId;
};

// Everything the crash paths need, made at install time and never freed.
struct State {
  CreateThreadFn createThread = nullptr;
  QueueUserWorkItemFn queueUserWorkItem = nullptr;
  LoadLibraryAFn loadLibraryA = nullptr;
  LoadLibraryWFn loadLibraryW = nullptr;
  LoadLibraryExAFn loadLibraryExA = nullptr;
  LoadLibraryExWFn loadLibraryExW = nullptr;

  // The component's module and the range of its code, where creation call sites are looked for.
  HMODULE ownModule = nullptr;
  std::uintptr_t codeStart = 0, codeEnd = 0;

  HANDLE overflowMutex = nullptr, overflowRequest = nullptr, overflowDone = nullptr;
  HANDLE overflowThread = nullptr;
  DWORD overflowThreadId = 0;
  volatile LONG stopping = 0;
  OverflowRequest overflow{};

  // Set on the threads that run inside ThreadStart: an exception that reaches terminate there
  // (one that could not unwind through the C run-time's frames, as in std::thread) still
  // escaped a thread procedure.
  DWORD wrappedThreadSlot = TLS_OUT_OF_INDEXES;

  void* vectoredHandler = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
  // Whoever opened the registry closes it: the component's start-up usually has, and still
  // writes to it after the interception is gone (its own threads' entries).
  bool closeRegistry = false;
  platform::CrashHooks previousHooks{};
};

State* g_state = nullptr;
volatile LONG g_installed = 0;

bool IsMainThread() { return GetCurrentThreadId() == MainThreadId(); }

void Report(TExceptSource source, std::exception_ptr object, bool canContinue, TObject* related = nullptr,
            const CONTEXT* context = nullptr, const void* address = nullptr, DWORD crashedThreadId = 0) {
  try {
    ReportArgs args;
    args.object = std::move(object);
    args.takeCurrent = !args.object;
    args.source = source;
    args.canContinue = canContinue;
    args.relatedObject = related;
    args.context = context;
    args.address = address;
    args.crashedThreadId = crashedThreadId;
    if (context) {
      args.stackPointer = context->Esp;
      args.framePointer = context->Ebp;
    }
    ReportException(args);
  } catch (...) {
    // An intercept returns as the intercepted routine would, whatever happens in the report.
  }
}

std::exception_ptr MakeKorbException(const std::string& message) {
  try {
    return std::make_exception_ptr(KorbException(message));
  } catch (...) {
    return nullptr;
  }
}

// The end of a thread whose exception nobody could catch: the main thread takes the process with
// it (an invisible process whose workers go on would be left otherwise), another thread just ends.
[[noreturn]] void EndFailedThread(DWORD threadExitCode) {
  if (IsMainThread()) TerminateProcess(GetCurrentProcess(), 1);
  SetThreadEntry(GetCurrentThreadId(), nullptr, nullptr, 0, nullptr, nullptr);
  ExitThread(threadExitCode);
}

// ---------------------------------------------------------------------------------------------
// The runtime's seams.

void OnThreadException(TThread* thread, std::exception_ptr e) { Report(esTThreadExecute, e, true, thread); }

bool OnSynchronizeException(std::exception_ptr e) {
  // An EAbort belongs to the caller, which waits for the routine: it unwinds there silently.
  if (ExceptionInheritsFrom(e, "EAbort")) return false;
  Report(esTThreadSynchronize, e, true);
  return true;
}

void OnHandleException(TObject* sender, std::exception_ptr e) {
  if (HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
  Report(esApplicationHandleException, e, true, sender);
}

void OnShowException(std::exception_ptr e) { Report(esApplicationShowException, e, true); }

void OnSysUtilsShowException(std::exception_ptr e, const void* address) {
  Report(esSysUtilsShowException, e, true, nullptr, nullptr, address);
}

bool InsideThreadStart() {
  const DWORD slot = g_state ? g_state->wrappedThreadSlot : TLS_OUT_OF_INDEXES;
  return slot != TLS_OUT_OF_INDEXES && TlsGetValue(slot) != nullptr;
}

void OnTerminate() {
  if (std::exception_ptr e = std::current_exception()) {
    if (InsideThreadStart()) {
      Report(esThreadFrame, e, true);
      EndFailedThread(kThreadFailedExitCode);
    }
    Report(esExceptProc, e, !IsMainThread());
    EndFailedThread(0);
  }
  const char* text = TakePureVirtualMark() ? "Pure virtual function call" : "Runtime error";
  Report(esRuntimeError, MakeKorbException(text), false);
  TerminateProcess(GetCurrentProcess(), 1);
  for (;;) Sleep(INFINITE);
}

void OnAbortSignal(int) {
  Report(esRuntimeError, MakeKorbException("Abnormal program termination"), false);
  TerminateProcess(GetCurrentProcess(), 1);
}

// ---------------------------------------------------------------------------------------------
// The last chance: an operating-system exception that nobody handled (a fault in another module;
// faults in our own code became C++ exceptions and went through the boundaries above).

LONG WINAPI LastChanceFilter(EXCEPTION_POINTERS* ep) {
  const EXCEPTION_RECORD& record = *ep->ExceptionRecord;
  // Raised without a debugger to catch it: the name is registered already, go on after it.
  if (record.ExceptionCode == kThreadNamingCode) return EXCEPTION_CONTINUE_EXECUTION;
  const bool main = IsMainThread();
  std::exception_ptr object;
  try {
    object = CreateExternalException(record, ep->ContextRecord);
  } catch (...) {
  }
  if (object) {
    Report(esExceptProc, object, !main, nullptr, ep->ContextRecord, record.ExceptionAddress);
  } else {
    std::exception_ptr korb;
    try {
      korb = MakeKorbException(ExternalExceptionMessage(FromExceptionRecord(record), ModuleNameOf(record.ExceptionAddress)));
    } catch (...) {
    }
    Report(esSystemExceptionHandler, korb, false, nullptr, ep->ContextRecord, record.ExceptionAddress);
  }
  EndFailedThread(0);
}

// ---------------------------------------------------------------------------------------------
// The vectored first chance: thread names and stack overflows.

// Copies a zero-terminated text that another thread handed over by address, reading only pages
// that are committed and readable, at most kMaxThreadName characters.
std::size_t ReadNameGuarded(const char* from, char (&to)[kMaxThreadName + 1]) {
  std::size_t n = 0;
  const char* pageEnd = from;
  while (n < kMaxThreadName) {
    const char* at = from + n;
    if (at >= pageEnd) {
      MEMORY_BASIC_INFORMATION mbi{};
      if (VirtualQuery(at, &mbi, sizeof mbi) != sizeof mbi || mbi.State != MEM_COMMIT) break;
      const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                             PAGE_EXECUTE_WRITECOPY;
      if (!(mbi.Protect & readable) || (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS))) break;
      pageEnd = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    if (*at == 0) break;
    to[n++] = *at;
  }
  to[n] = 0;
  return n;
}

void NameFromDebuggerException(const EXCEPTION_RECORD& record) {
  if (record.NumberParameters < 3 || record.ExceptionInformation[0] != 0x1000) return;
  char name[kMaxThreadName + 1];
  const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
  if (!text || ReadNameGuarded(text, name) == 0) return;
  DWORD threadId = static_cast<DWORD>(record.ExceptionInformation[2]);
  if (threadId == 0xFFFFFFFF) threadId = GetCurrentThreadId();
  SetThreadEntry(threadId, nullptr, name, 0, nullptr, nullptr);
}

[[noreturn]] void HandOverStackOverflow(const EXCEPTION_POINTERS* ep) {
  State& s = *g_state;
  // Little stack is left: only waits and copies into storage made at install time.
  WaitForSingleObject(s.overflowMutex, INFINITE);
  s.overflow.record = *ep->ExceptionRecord;
  s.overflow.record.ExceptionRecord = nullptr;
  s.overflow.context = *ep->ContextRecord;
  s.overflow.threadId = GetCurrentThreadId();
  SetEvent(s.overflowRequest);
  WaitForSingleObject(s.overflowDone, INFINITE);
  ReleaseMutex(s.overflowMutex);
  if (IsMainThread()) TerminateProcess(GetCurrentProcess(), 1);
  ExitThread(kThreadFailedExitCode);  // the helper has removed the registry entry already
}

LONG CALLBACK FirstChanceHandler(EXCEPTION_POINTERS* ep) {
  const EXCEPTION_RECORD& record = *ep->ExceptionRecord;
  if (record.ExceptionCode == kThreadNamingCode) {
    NameFromDebuggerException(record);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Without its helper the hand-over would wait for ever: the fault conversion then has its go.
  if (record.ExceptionCode == excode::StackOverflow && g_state->overflowThread && GetCurrentThreadId() != g_state->overflowThreadId &&
      g_state->stopping == 0)
    HandOverStackOverflow(ep);
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI OverflowReporter(void*) {
  State& s = *g_state;
  for (;;) {
    WaitForSingleObject(s.overflowRequest, INFINITE);
    if (s.stopping) return 0;
    const OverflowRequest& r = s.overflow;
    const bool main = r.threadId == MainThreadId();
    std::exception_ptr object;
    try {
      object = CreateExternalException(r.record, &r.context);
    } catch (...) {
    }
    Report(esExceptProc, object ? object : MakeKorbException(msg::SStackOverflow), !main, nullptr, &r.context,
           r.record.ExceptionAddress, r.threadId);
    if (!main) SetThreadEntry(r.threadId, nullptr, nullptr, 0, nullptr, nullptr);
    SetEvent(s.overflowDone);
  }
}

// ---------------------------------------------------------------------------------------------
// Thread creation and work items.

struct StartBlock {
  LPTHREAD_START_ROUTINE start;
  void* parameter;
  const void* creator;
  DWORD creatorThreadId;
};

bool FollowsCall(std::uintptr_t ret) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(ret);
  const auto indirect = [&](int back) { return p[-back] == 0xFF && (p[-back + 1] & 0x38) == 0x10; };
  return p[-5] == 0xE8 || indirect(2) || indirect(3) || indirect(4) || indirect(6) || indirect(7);
}

// The first return address on the stack above `from` that lies in the component's module's code
// and follows a call: where our own code asked for the thread, also when the call went through
// the C run-time or the threads library first.
const void* CreationCallSite(const void* from) {
  const State& s = *g_state;
  const auto* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  const auto* p = static_cast<const std::uintptr_t*>(from);
  const auto* end = static_cast<const std::uintptr_t*>(tib->StackBase);
  const auto* limit = p + 16384;
  for (; p < end && p < limit; ++p) {
    const std::uintptr_t v = *p;
    if (v >= s.codeStart + 8 && v < s.codeEnd && FollowsCall(v)) return reinterpret_cast<const void*>(v);
  }
  return nullptr;
}

DWORD WINAPI ThreadStart(void* p) {
  const StartBlock block = *static_cast<StartBlock*>(p);
  HeapFree(GetProcessHeap(), 0, p);
  const DWORD self = GetCurrentThreadId();
  if (g_state->wrappedThreadSlot != TLS_OUT_OF_INDEXES) TlsSetValue(g_state->wrappedThreadSlot, reinterpret_cast<void*>(1));
  if (TThread* thread = TThread::FromThreadStart(block.start, block.parameter)) {
    try {
      const std::string cls = thread->ClassName();
      SetThreadEntry(self, nullptr, nullptr, block.creatorThreadId, block.creator, cls.c_str());
    } catch (...) {
    }
  }
  DWORD result;
  try {
    result = block.start(block.parameter);
  } catch (...) {
    Report(esThreadFrame, std::current_exception(), true);
    result = kThreadFailedExitCode;
  }
  SetThreadEntry(self, nullptr, nullptr, 0, nullptr, nullptr);
  return result;
}

HANDLE WINAPI CreateThreadHook(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD threadId) {
  State& s = *g_state;
  auto* block = static_cast<StartBlock*>(HeapAlloc(GetProcessHeap(), 0, sizeof(StartBlock)));
  if (!block) return s.createThread(attributes, stackSize, start, parameter, flags, threadId);
  block->start = start;
  block->parameter = parameter;
  block->creator = CreationCallSite(static_cast<void* const*>(__builtin_frame_address(0)) + 1);
  block->creatorThreadId = GetCurrentThreadId();
  const void* creator = block->creator;
  DWORD id = 0;
  HANDLE thread = s.createThread(attributes, stackSize, ThreadStart, block, flags, &id);
  if (!thread) {
    const DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, block);
    SetLastError(error);
    return nullptr;
  }
  if (threadId) *threadId = id;
  // The creator is known even when no call site was found: the entry then names the creating
  // thread alone (the procedure field must not be empty, or the call would remove the entry).
  SetThreadEntry(id, thread, nullptr, GetCurrentThreadId(), creator ? creator : reinterpret_cast<const void*>(start), nullptr);
  return thread;
}

DWORD WINAPI WorkItemStart(void* p) {
  const StartBlock block = *static_cast<StartBlock*>(p);
  HeapFree(GetProcessHeap(), 0, p);
  try {
    return block.start(block.parameter);
  } catch (...) {
    Report(esThreadFrame, std::current_exception(), true);
    return kThreadFailedExitCode;
  }
}

BOOL WINAPI QueueUserWorkItemHook(LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags) {
  State& s = *g_state;
  auto* block = static_cast<StartBlock*>(HeapAlloc(GetProcessHeap(), 0, sizeof(StartBlock)));
  if (!block) return s.queueUserWorkItem(function, context, flags);
  *block = {function, context, nullptr, GetCurrentThreadId()};
  if (s.queueUserWorkItem(WorkItemStart, block, flags)) return TRUE;
  const DWORD error = GetLastError();
  HeapFree(GetProcessHeap(), 0, block);
  SetLastError(error);
  return FALSE;
}

// Libraries loaded later get their import slots redirected as soon as the load returns (their
// dependencies too: every loaded module is looked at again, slots already redirected no longer
// match). A load of a library that was there already loads nothing new and is not looked at again.
constexpr DWORD kNoCode = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE;

HMODULE AfterLoad(HMODULE loaded, bool wasLoaded) {
  const DWORD error = GetLastError();
  if (loaded && !wasLoaded) PatchLoadedModules();
  SetLastError(error);
  return loaded;
}

HMODULE WINAPI LoadLibraryAHook(LPCSTR name) {
  const bool was = name && GetModuleHandleA(name);
  return AfterLoad(g_state->loadLibraryA(name), was);
}
HMODULE WINAPI LoadLibraryWHook(LPCWSTR name) {
  const bool was = name && GetModuleHandleW(name);
  return AfterLoad(g_state->loadLibraryW(name), was);
}
HMODULE WINAPI LoadLibraryExAHook(LPCSTR name, HANDLE file, DWORD flags) {
  const bool was = (flags & kNoCode) || (name && GetModuleHandleA(name));
  return AfterLoad(g_state->loadLibraryExA(name, file, flags), was);
}
HMODULE WINAPI LoadLibraryExWHook(LPCWSTR name, HANDLE file, DWORD flags) {
  const bool was = (flags & kNoCode) || (name && GetModuleHandleW(name));
  return AfterLoad(g_state->loadLibraryExW(name, file, flags), was);
}

template <class Fn>
void AddRedirect(const char* name, Fn& original, Fn replacement) {
  original = platform::ProcAddress<Fn>(L"kernel32.dll", name);
  if (!original) return;
  ImportRedirect r{name, {reinterpret_cast<void*>(original), nullptr}, reinterpret_cast<void*>(replacement)};
  if (Fn own = platform::ProcAddress<Fn>(L"kernelbase.dll", name); own && own != original) r.original[1] = reinterpret_cast<void*>(own);
  AddImportRedirect(r);
}

void FindOwnCode(State& s) {
  s.ownModule = platform::ModuleContaining(reinterpret_cast<const void*>(&FindOwnCode));
  const auto* base = reinterpret_cast<const BYTE*>(s.ownModule);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  const auto own = reinterpret_cast<std::uintptr_t>(&FindOwnCode) - reinterpret_cast<std::uintptr_t>(base);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (own >= section->VirtualAddress && own < section->VirtualAddress + section->Misc.VirtualSize) {
      s.codeStart = reinterpret_cast<std::uintptr_t>(base) + section->VirtualAddress;
      s.codeEnd = s.codeStart + section->Misc.VirtualSize;
    }
  }
}

}  // namespace

void InstallInterception() {
  if (InterlockedExchange(&g_installed, 1) != 0) return;
  const bool registryWasOpen = ThreadRegistryOpen();
  auto* state = new State;
  State& s = *state;
  s.closeRegistry = !registryWasOpen && OpenThreadRegistry();
  FindOwnCode(s);
  BeginImportPatching();
  AddRedirect("CreateThread", s.createThread, &CreateThreadHook);
  AddRedirect("QueueUserWorkItem", s.queueUserWorkItem, &QueueUserWorkItemHook);
  AddRedirect("LoadLibraryA", s.loadLibraryA, &LoadLibraryAHook);
  AddRedirect("LoadLibraryW", s.loadLibraryW, &LoadLibraryWHook);
  AddRedirect("LoadLibraryExA", s.loadLibraryExA, &LoadLibraryExAHook);
  AddRedirect("LoadLibraryExW", s.loadLibraryExW, &LoadLibraryExWHook);
  s.wrappedThreadSlot = TlsAlloc();
  s.overflowMutex = CreateMutexA(nullptr, FALSE, nullptr);
  s.overflowRequest = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  s.overflowDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_state = state;

  // Made with the real CreateThread: the component's own helper is no thread of the program's.
  if (s.createThread) s.overflowThread = s.createThread(nullptr, 64 * 1024, OverflowReporter, nullptr, 0, &s.overflowThreadId);
  if (s.overflowThread) {
    SetThreadPriority(s.overflowThread, THREAD_PRIORITY_HIGHEST);
    SetThreadEntry(s.overflowThreadId, s.overflowThread, "-", GetCurrentThreadId(), reinterpret_cast<const void*>(&OverflowReporter),
                   nullptr);
  }

  platform::CrashHooks hooks;
  hooks.threadException = OnThreadException;
  hooks.synchronizeException = OnSynchronizeException;
  hooks.handleException = OnHandleException;
  hooks.showException = OnShowException;
  hooks.sysUtilsShowException = OnSysUtilsShowException;
  hooks.terminate = OnTerminate;
  hooks.abortSignal = OnAbortSignal;
  s.previousHooks = platform::InstallCrashHooks(hooks);
  // Before the fault conversion's handler (installed by InstallCrashHooks): a stack overflow must
  // not be turned into a throw on the stack that has no room left.
  s.vectoredHandler = AddVectoredExceptionHandler(1, FirstChanceHandler);
  s.previousFilter = SetUnhandledExceptionFilter(LastChanceFilter);
  // The run-time's own "abnormal program termination" box would come before the report.
  using AbortBehaviorFn = unsigned int(__cdecl*)(unsigned int, unsigned int);
  if (auto setAbortBehavior = platform::ProcAddress<AbortBehaviorFn>(L"msvcrt.dll", "_set_abort_behavior"))
    setAbortBehavior(0, 1 /* _WRITE_ABORT_MSG */);
  PatchLoadedModules();
}

void RemoveInterception() {
  if (InterlockedExchange(&g_installed, 0) != 1 || !g_state) return;
  State& s = *g_state;
  SetUnhandledExceptionFilter(s.previousFilter);
  RestoreImports();
  if (s.vectoredHandler) RemoveVectoredExceptionHandler(s.vectoredHandler);
  platform::InstallCrashHooks(s.previousHooks);
  InterlockedExchange(&s.stopping, 1);
  if (s.overflowThread) {
    SetEvent(s.overflowRequest);
    WaitForSingleObject(s.overflowThread, 500);
    SetThreadEntry(s.overflowThreadId, nullptr, nullptr, 0, nullptr, nullptr);
  }
  if (s.closeRegistry) CloseThreadRegistry();
  // The state stays: a thread that is still in a wrapper reads it.
}

}  // namespace kestrum

// ---------------------------------------------------------------------------------------------

// Outside tools look the export up by its plain name: the linker is told so directly, because the
// compiler's own directive would carry the stdcall decoration.
asm(".section .drectve\n\t.ascii \" -export:KorbTraceProcess\"\n\t.text");

extern "C" DWORD WINAPI KorbTraceProcess(DWORD bufferSize) {
  using namespace kestrum;
  const DWORD self = GetCurrentThreadId();
  SetThreadEntry(self, nullptr, "-", 0, nullptr, nullptr);
  try {
    std::string report;
    ReportArgs args;
    args.type = etFrozen;
    args.source = esManual;
    args.canContinue = true;
    args.reportBuffer = &report;
    ReportException(args);
    if (bufferSize < 1) {
      if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        if (HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, report.size() + 1)) {
          std::memcpy(GlobalLock(text), report.c_str(), report.size() + 1);
          GlobalUnlock(text);
          if (!SetClipboardData(CF_TEXT, text)) GlobalFree(text);
        }
        CloseClipboard();
      }
    } else {
      HANDLE map = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Global\\KorbTraceProcessMap");
      if (!map) map = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "KorbTraceProcessMap");
      platform::ScopedKernelHandle section(map);
      if (void* view = section ? MapViewOfFile(section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr) {
        // The caller's size may promise more than the section holds.
        MEMORY_BASIC_INFORMATION mbi{};
        const std::size_t real = VirtualQuery(view, &mbi, sizeof mbi) == sizeof mbi ? mbi.RegionSize : 0;
        if (real > 0) {
          std::size_t n = report.size();
          n = std::min<std::size_t>(n, bufferSize - 1);
          n = std::min<std::size_t>(n, real - 1);
          std::memcpy(view, report.data(), n);
          static_cast<char*>(view)[n] = 0;
        }
        UnmapViewOfFile(view);
      }
    }
  } catch (...) {
  }
  SetThreadEntry(self, nullptr, nullptr, 0, nullptr, nullptr);
  return 0;
}
