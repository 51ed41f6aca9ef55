// The crash-test program of the interception: one switch per exception path. It links the
// interception as the product does, with a ReportException that only records what reached it:
// one line per report in the file named by KESTRUM_RESULT, together with lines the program adds
// itself (thread exit codes, names). Interception_test_win.cpp runs it and reads the file.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <pthread.h>

#include "crash/KestrumHandling_win.h"
#include "crash/tests/CrashPaths_win.h"
#include "crash/KestrumImports.h"
#include "crash/KestrumInterception_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/Modules_win.h"
#include "platform/Thread_win.h"

namespace {

using namespace kestrum::crashpaths;

HANDLE g_reported = nullptr;  // set after each recorded report

void Record(const std::string& line) {
  char path[MAX_PATH];
  if (!GetEnvironmentVariableA("KESTRUM_RESULT", path, MAX_PATH)) return;
  HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

std::string Hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%lx", static_cast<unsigned long>(v));
  return b;
}

}  // namespace

// The stand-in for the handling flow.
void kestrum::ReportException(const ReportArgs& args) {
  std::exception_ptr e = args.object ? args.object : (args.takeCurrent ? std::current_exception() : nullptr);
  const DWORD crashed = args.crashedThreadId ? args.crashedThreadId : GetCurrentThreadId();
  std::string line = "report source=" + std::to_string(args.source) + " class=" + (e ? ExceptionClassName(e) : "-") +
                     " message=" + (e ? ExceptionMessage(e) : "-") + " continue=" + (args.canContinue ? "1" : "0") +
                     " thread=" + (crashed == MainThreadId() ? "main" : "other") +
                     " related=" + (args.relatedObject ? args.relatedObject->ClassName() : "-") +
                     " context=" + (args.context ? "1" : "0");
  if (args.reportBuffer) {
    // What a report's thread list would say about the threads the outside test looks at.
    std::string text = "main: " + ThreadDisplayName(MainThreadId(), false) + "\r\n";
    char worker[32] = "";
    if (GetEnvironmentVariableA("KESTRUM_WORKER", worker, sizeof worker)) {
      const DWORD id = std::strtoul(worker, nullptr, 16);
      const void* creator = nullptr;
      DWORD creatorThread = 0;
      const std::string display = ThreadDisplayName(id, false, &creator, &creatorThread);
      text += "worker: " + display + " created by " + Hex(creatorThread) +
              (creator ? " at a call site" : " nowhere") + "\r\n";
    }
    text.append(20000 - text.size(), 'x');
    *args.reportBuffer = text;
  }
  Record(line);
  SetEvent(g_reported);
}

namespace {

DWORD WINAPI ForeignFaultBody(void*) {
  size_t (*volatile len)(const char*) = &std::strlen;
  return static_cast<DWORD>(len(reinterpret_cast<const char*>(16)));
}

void RecordExitCode(HANDLE thread) {
  WaitForSingleObject(thread, 20000);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  Record("exit=" + Hex(code));
}

// Whether the registry lists the thread at all (read from the block as another copy would).
bool Listed(DWORD threadId) {
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, kestrum::ThreadRegistrySectionName(GetCurrentProcessId()).c_str());
  if (!section) return false;
  const auto* block = static_cast<const DWORD* const*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 20));
  bool listed = false;
  for (const DWORD* e = block ? block[2] : nullptr; e; e = reinterpret_cast<const DWORD*>(e[2])) listed = listed || e[0] == threadId;
  if (block) UnmapViewOfFile(block);
  CloseHandle(section);
  return listed;
}

int RunThread(LPTHREAD_START_ROUTINE body) {
  DWORD id;
  HANDLE t = CreateThread(nullptr, 0, body, nullptr, CREATE_SUSPENDED, &id);
  Record(std::string("listed while running=") + (Listed(id) ? "1" : "0"));
  ResumeThread(t);
  RecordExitCode(t);
  Record(std::string("listed after its end=") + (Listed(id) ? "1" : "0"));
  CloseHandle(t);
  return 0;
}

class FaultingThread : public TThread {
 protected:
  void Execute() override { Fault(); }
};

class SynchronizingThread : public TThread {
 public:
  bool abort = false;

 protected:
  void Execute() override {
    try {
      Synchronize([this] {
        if (abort) throw EAbort(msg::SOperationAborted);
        Fault();
      });
      Record("worker continued");
    } catch (const EAbort&) {
      Record("worker caught EAbort");
    }
  }
};

LONG CALLBACK SeesNaming(EXCEPTION_POINTERS* ep) {
  if (ep->ExceptionRecord->ExceptionCode == 0x406D1388) Record("naming passed on");
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI NamedBody(void*) {
  const char* name = "Named worker";
  const ULONG_PTR info[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), 0xFFFFFFFF, 0};
  RaiseException(0x406D1388, 0, 4, info);
  Record("display=" + kestrum::ThreadDisplayName(GetCurrentThreadId(), false));
  // A name longer than any report shows is cut, not read to its end.
  const std::string longName(300, 'n');
  const ULONG_PTR longInfo[4] = {0x1000, reinterpret_cast<ULONG_PTR>(longName.c_str()), 0xFFFFFFFF, 0};
  RaiseException(0x406D1388, 0, 4, longInfo);
  const std::string display = kestrum::ThreadDisplayName(GetCurrentThreadId(), false);
  Record("long name kept=" + std::to_string(display.find_first_not_of('n')));
  return 0;
}

HANDLE g_idleStop = nullptr;
DWORD WINAPI IdleBody(void*) {
  WaitForSingleObject(g_idleStop, INFINITE);
  return 0;
}

DWORD* ImportSlotOf(HMODULE module, void* target) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto slots = kestrum::ImportSlots({base, nt->OptionalHeader.SizeOfImage});
  if (!slots) return nullptr;
  for (const auto& s : *slots) {
    auto* slot = reinterpret_cast<DWORD*>(const_cast<std::uint8_t*>(base) + s.slotRva);
    if (*slot == reinterpret_cast<DWORD>(target)) return slot;
  }
  return nullptr;
}

int PatchRestore() {
  void* realCreateThread = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread"));
  // Our own slot is redirected while the interception is in.
  Record(std::string("exe slot redirected=") + (ImportSlotOf(GetModuleHandleA(nullptr), realCreateThread) ? "0" : "1"));
  HMODULE lib = LoadLibraryA("InterceptTestDll.dll");
  if (!lib) return 3;
  using StartFn = HANDLE (*)(HANDLE, DWORD*);
  auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(lib, "StartThreadFromLibrary")));
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = start(go, &id);
  DWORD creatorThread = 0;
  const void* creator = nullptr;
  kestrum::ThreadDisplayName(id, false, &creator, &creatorThread);
  Record(std::string("library thread created by main=") + (creatorThread == GetCurrentThreadId() ? "1" : "0"));
  SetEvent(go);
  RecordExitCode(thread);
  Record(std::string("library slot redirected=") + (ImportSlotOf(lib, realCreateThread) ? "0" : "1"));
  // The library goes, and something else takes its place: its old slots must stay untouched.
  const auto* base = reinterpret_cast<const std::uint8_t*>(lib);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD size = nt->OptionalHeader.SizeOfImage;
  FreeLibrary(lib);
  void* taken = VirtualAlloc(const_cast<std::uint8_t*>(base), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (taken) std::memset(taken, 0xAB, size);
  Record(std::string("base taken again=") + (taken == base ? "1" : "0"));
  kestrum::RemoveInterception();
  bool intact = true;
  for (DWORD i = 0; taken && i < size; ++i) intact = intact && static_cast<const std::uint8_t*>(taken)[i] == 0xAB;
  Record(std::string("freed library untouched=") + (intact ? "1" : "0"));
  Record(std::string("exe slot restored=") + (ImportSlotOf(GetModuleHandleA(nullptr), realCreateThread) ? "1" : "0"));
  return 0;
}

LONG CopiesUsingTheBlock() {
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, kestrum::ThreadRegistrySectionName(GetCurrentProcessId()).c_str());
  if (!section) return -1;
  const auto* block = static_cast<const LONG*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 20));
  const LONG count = block ? block[3] : -1;
  if (block) UnmapViewOfFile(block);
  CloseHandle(section);
  return count;
}

// A second copy of the registry (in a library) joins the block, sees the same main thread and
// names threads for both; leaving, it keeps the block for the first copy.
int SecondCopy() {
  HMODULE lib = LoadLibraryA("SecondCopyDll.dll");
  if (!lib) return 3;
  auto open = reinterpret_cast<DWORD (*)()>(reinterpret_cast<void*>(GetProcAddress(lib, "SecondCopyOpen")));
  auto name = reinterpret_cast<void (*)(DWORD, const char*)>(reinterpret_cast<void*>(GetProcAddress(lib, "SecondCopyName")));
  auto close = reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(lib, "SecondCopyClose")));
  Record(std::string("second copy main=") + (open() == kestrum::MainThreadId() ? "1" : "0"));
  Record("copies=" + std::to_string(CopiesUsingTheBlock()));
  DWORD id;
  HANDLE t = CreateThread(nullptr, 0, IdleBody, nullptr, CREATE_SUSPENDED, &id);
  name(id, "named by the second copy");
  const std::string display = kestrum::ThreadDisplayName(id, false);
  Record("display=" + display.substr(0, display.find(" (")));
  close();
  Record("copies=" + std::to_string(CopiesUsingTheBlock()));
  Record("main=" + kestrum::ThreadDisplayName(kestrum::MainThreadId(), false).substr(0, 11));
  TerminateThread(t, 0);
  CloseHandle(t);
  FreeLibrary(lib);
  return 0;
}

volatile LONG g_stopNaming = 0;

DWORD WINAPI NamingBody(void*) {
  for (int round = 0; !g_stopNaming; ++round) {
    kestrum::SetThreadName(GetCurrentThreadId(), round % 2 ? "busy" : "busier");
    kestrum::ThreadDisplayName(GetCurrentThreadId(), false);
  }
  return 0;
}

// The registry closed (as at the program's end) while other threads still name themselves and
// read names: they go on without it, none touches the block after it is gone.
int CloseWhileInUse() {
  HANDLE threads[4];
  for (HANDLE& t : threads) t = CreateThread(nullptr, 0, NamingBody, nullptr, 0, nullptr);
  Sleep(100);
  kestrum::CloseThreadRegistry();
  Record("closed while in use");
  Sleep(100);
  InterlockedExchange(&g_stopNaming, 1);
  for (HANDLE t : threads) {
    RecordExitCode(t);
    CloseHandle(t);
  }
  return 0;
}

__attribute__((noinline)) void ThrowHere() { throw std::runtime_error("thrown"); }

// What the throw wrapper keeps: the thrown object and where it was thrown from, for a plain throw,
// for one inside the C++ library, and for a converted fault the fault's own address and context.
int RaiseFactsOfThrowsAndFaults() {
  const auto inside = [](const void* at, const void* function) {
    const auto a = reinterpret_cast<std::uintptr_t>(at), f = reinterpret_cast<std::uintptr_t>(function);
    return a > f && a < f + 256;
  };
  try {
    ThrowHere();
  } catch (...) {
    const kestrum::RaiseFacts* facts = kestrum::CurrentRaiseFacts();
    Record(std::string("throw object=") + (facts && facts->object == kestrum::ThrownObjectOf(std::current_exception()) ? "1" : "0") +
           " address=" + (facts && inside(facts->address, reinterpret_cast<void*>(&ThrowHere)) ? "1" : "0") +
           " context=" + (facts && facts->hasContext && facts->context.Eip == reinterpret_cast<DWORD>(facts->address) ? "1" : "0"));
  }
  try {
    std::string().at(3);
  } catch (const std::out_of_range&) {
    const kestrum::RaiseFacts* facts = kestrum::CurrentRaiseFacts();
    Record(std::string("library throw object=") +
           (facts && facts->object == kestrum::ThrownObjectOf(std::current_exception()) ? "1" : "0"));
  }
  try {
    Fault();
  } catch (const EAccessViolation& e) {
    const kestrum::RaiseFacts* facts = kestrum::CurrentRaiseFacts();
    const auto at = reinterpret_cast<const void*>(e.ExceptionRecord().ExceptionAddress);
    Record(std::string("fault address=") + (facts && facts->address == at && inside(at, reinterpret_cast<void*>(&Fault)) ? "1" : "0") +
           " context=" + (facts && facts->hasContext && facts->context.Eip == reinterpret_cast<DWORD>(at) ? "1" : "0"));
  }
  kestrum::ClearRaiseFacts();
  Record(std::string("cleared=") + (kestrum::CurrentRaiseFacts() ? "0" : "1"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
  g_reported = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const std::string what = argc > 1 ? argv[1] : "";
  InitUIThread();
  // Behind the component's own first-chance handler (which goes in front of every earlier one),
  // before the threads library's, which ends the search for thread names.
  if (what == "naming") AddVectoredExceptionHandler(1, SeesNaming);
  kestrum::InstallInterception();

  if (what == "tthread") {
    FaultingThread t;
    t.Start();
    Record("exit=" + Hex(t.WaitFor()));
    return 0;
  }
  if (what == "createthread") return RunThread(FaultingBody);
  if (what == "stdthread") {
    // Started through the C run-time, whose own import of CreateThread carries the wrapper.
    std::thread t([] {
      DWORD creatorThread = 0;
      const void* creator = nullptr;
      kestrum::ThreadDisplayName(GetCurrentThreadId(), false, &creator, &creatorThread);
      Record(std::string("created by main=") + (creatorThread == kestrum::MainThreadId() ? "1" : "0") +
             " in our code=" + (creator && GetModuleHandleA(nullptr) == platform::ModuleContaining(creator) ? "1" : "0"));
      Fault();
    });
    // The thread's end as the system saw it (join gives no exit code).
    HANDLE handle = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, GetThreadId(pthread_gethandle(t.native_handle())));
    t.join();
    if (handle) {
      RecordExitCode(handle);
      CloseHandle(handle);
    }
    return 0;
  }
  if (what == "workitem") {
    if (!QueueUserWorkItem(FaultingBody, nullptr, 0)) return 3;
    return WaitForSingleObject(g_reported, 20000) == WAIT_OBJECT_0 ? 0 : 4;
  }
  if (what == "sync" || what == "sync-abort") {
    SynchronizingThread t;
    t.abort = what == "sync-abort";
    t.Start();
    t.WaitFor();
    return 0;
  }
  if (what == "overflow-worker") return RunThread(OverflowingBody);
  if (what == "overflow-main") return Recurse(0);
  if (what == "foreign-fault-worker") return RunThread(ForeignFaultBody);
  if (what == "foreign-fault-main") {
    size_t (*volatile len)(const char*) = &std::strlen;
    return static_cast<int>(len(reinterpret_cast<const char*>(16)));
  }
  if (what == "abort") std::abort();
  if (what == "terminate") std::terminate();
  if (what == "pure-virtual") {
    PureDerived d;
    return 0;
  }
  if (what == "nested") {
    try {
      ThrowsWhenDestroyed t;
      throw std::runtime_error("first");
    } catch (...) {
    }
    return 0;
  }
  if (what == "seams") {
    TObject sender;
    Application->HandleException(&sender, std::make_exception_ptr(EConvertError("handled")));
    Application->ShowException(std::make_exception_ptr(Exception("shown")));
    SysUtilsShowException(std::make_exception_ptr(std::runtime_error("runtime")), reinterpret_cast<void*>(0x1234));
    return 0;
  }
  if (what == "naming") {
    return RunThread(NamedBody);
  }
  if (what == "patch-restore") return PatchRestore();
  if (what == "second-copy") return SecondCopy();
  if (what == "close-while-in-use") return CloseWhileInUse();
  if (what == "raise-facts") return RaiseFactsOfThrowsAndFaults();
  if (what == "idle") {
    // For the outside tests: a worker to be listed, then wait to be looked at.
    g_idleStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id;
    HANDLE t = CreateThread(nullptr, 0, IdleBody, nullptr, 0, &id);
    SetEnvironmentVariableA("KESTRUM_WORKER", Hex(id).c_str());
    Record("ready main=" + Hex(GetCurrentThreadId()) + " worker=" + Hex(id));
    Sleep(argc > 2 ? std::atoi(argv[2]) : 30000);
    SetEvent(g_idleStop);
    WaitForSingleObject(t, 5000);
    return 0;
  }
  return 2;
}
