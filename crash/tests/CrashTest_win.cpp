// A program built with the crash-report component as the product is, for the handling tests. Its
// one button does what the case on the command line says; every report the component saves
// becomes a line of the result file named by KESTRUM_TEST_RESULT, written from the save seam:
//
//   save number=1 class=EAccessViolation type=0 source=5 canContinue=1 show=4 report=1 ...
//
// KESTRUM_TEST_AUTO_DELAY sets the settings' AutoDelay (seconds) at the start.
//
// Cases: fault, throw, abort, dbedit, twothreads, burst, freeze, freezeduring, seamfault,
// loaderlock, delivery, killreporter, start (ends right after the component started), and one per
// path into the component: tthread, createthread, stdthread, workitem, sync, syncabort,
// overflowworker, overflowmain, foreignmain, abortcall, purevirtual, nested. Threads of the
// program add "exit=<hex>" lines with their exit codes, a synchronizing worker what it saw. The
// case idle starts a worker and waits to be looked at from outside; pause starts a worker that
// serves its messages and writes "pumped" at each round, then throws on the main thread;
// onewatchdog starts a second copy's watchdog beside the program's own.
//
// The screenshot is a stand-in object; its capture and its end add the lines
//
//   shot taken appOnly=0 box=<1 when the exception box was up> onReporter=1
//   shot released
#include <windows.h>

#include "crash/KestrumExceptBox_win.h"
#include "crash/KestrumException_win.h"
#include "crash/KestrumTimeHistory_win.h"
#include "crash/KestrumHandling_win.h"
#include "crash/KestrumReporting_win.h"
#include "crash/KestrumRestart.h"
#include "crash/KestrumWatchdog_win.h"
#include "crash/tests/CrashPaths_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"
#include "platform/Thread_win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

namespace {

using namespace kestrum::crashpaths;

using K = TControlKind;

const TFormDesc kCrashForm{
    .Name = "CrashForm",
    .Caption = "Crash Test",
    .ClientWidth = 240,
    .ClientHeight = 80,
    .OnClose = "FormClose",
    .Controls =
        {{.Kind = K::Button, .Name = "btRun", .Left = 8, .Top = 8, .Width = 100, .Height = 25, .Caption = "Run", .OnClick = "RunClick"}},
};

std::string g_case;
CRITICAL_SECTION g_resultLock;
volatile LONG g_inSeam = 0;
volatile LONG g_overlap = 0;
volatile LONG g_mainSleeping = 0;

std::string Env(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void WriteResult(const std::string& line) {
  const std::string path = Env("KESTRUM_TEST_RESULT");
  if (path.empty()) return;
  EnterCriticalSection(&g_resultLock);
  HANDLE f =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
  }
  LeaveCriticalSection(&g_resultLock);
}

// A fault inside a system library, where no conversion into a C++ exception happens.
void FaultInForeignCode() {
  char target[8];
  volatile std::size_t bytes = 8;
  std::memcpy(target, const_cast<const int*>(g_null), bytes);
}

void RecordSave(kestrum::IZQException* e, HWND, bool) {
  if (InterlockedIncrement(&g_inSeam) > 1) InterlockedExchange(&g_overlap, 1);
  auto* x = static_cast<TIZQException*>(e);
  const bool onReporter = GetCurrentThreadId() == kestrum::ReportingThreadId();
  // The minidump made with the report, where KESTRUM_TEST_DUMP says: 1 written, 0 not (the
  // reason in the result file), - not asked for.
  const char* dumped = "-";
  if (const std::string dump = Env("KESTRUM_TEST_DUMP"); !dump.empty() && x->WantsMiniDump()) {
    std::string error;
    dumped = x->WriteMiniDump(dump, error) ? "1" : "0";
    if (*dumped == '0') WriteResult("dump failed: " + error);
  }
  char line[512];
  std::snprintf(line, sizeof line,
                "save number=%llu class=%s type=%d source=%d canContinue=%d show=%d report=%d onReporter=%d "
                "mainSleeping=%ld reserve=%lu dump=%s address=%lx message=%s",
                x->ExceptNumber(), x->GetExceptClass().c_str(), static_cast<int>(x->GetExceptType()), static_cast<int>(x->GetSource()),
                x->GetCanContinue() ? 1 : 0, static_cast<int>(x->GetShowSetting()), x->GetCreateBugReport() ? 1 : 0, onReporter ? 1 : 0,
                static_cast<long>(g_mainSleeping), static_cast<unsigned long>(kestrum::MemoryReserveBytes()), dumped,
                static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(x->GetExceptAddr())), x->GetExceptMessage().c_str());
  WriteResult(line);
  if (const std::string ms = Env("KESTRUM_TEST_SEAM_SLEEP"); !ms.empty()) Sleep(std::strtoul(ms.c_str(), nullptr, 10));
  if (Env("KESTRUM_TEST_SEAM_FAULT") == std::to_string(x->ExceptNumber())) {
    InterlockedDecrement(&g_inSeam);
    FaultInForeignCode();
  }
  InterlockedDecrement(&g_inSeam);
  if (g_overlap) WriteResult("overlap");
  // The reporting thread ends in the middle of the handling, past every guard.
  if (onReporter && Env("KESTRUM_TEST_SEAM_EXIT") == std::to_string(x->ExceptNumber())) ExitThread(0);
}

// Stands in for the delivery's picture: says when it is taken and when its last reference goes.
class RecordedShot final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      WriteResult("shot released");
      delete this;
    }
    return static_cast<ULONG>(left);
  }

 private:
  LONG refs_ = 1;
};

IUnknown* RecordCapture(bool appOnly) {
  WriteResult("shot taken appOnly=" + std::to_string(appOnly) + " box=" + std::to_string(kestrum::FindExceptionBox() != nullptr) +
              " onReporter=" + std::to_string(GetCurrentThreadId() == kestrum::ReportingThreadId()));
  return new RecordedShot;
}

class Failing : public TThread {
 public:
  Failing(HANDLE go, std::string text) : go_(go), text_(std::move(text)) {}

 protected:
  void Execute() override {
    WaitForSingleObject(go_, INFINITE);
    throw Exception(text_);
  }

 private:
  HANDLE go_;
  std::string text_;
};

std::vector<std::unique_ptr<Failing>> g_threads;

void StartFailingThreads(const std::vector<std::string>& texts) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (const std::string& t : texts) {
    g_threads.push_back(std::make_unique<Failing>(go, t));
    g_threads.back()->Start();
  }
  Sleep(50);
  SetEvent(go);
}

void MainSleep(DWORD ms) {
  InterlockedExchange(&g_mainSleeping, 1);
  Sleep(ms);
  InterlockedExchange(&g_mainSleeping, 0);
  WriteResult("awake");
}

// --- The paths into the component.

std::string Hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%lx", static_cast<unsigned long>(v));
  return b;
}

// Records the thread's exit code when it has ended, from a thread of its own: the main thread
// goes on serving its messages meanwhile.
DWORD WINAPI ExitCodeWatcher(void* thread) {
  const HANDLE h = static_cast<HANDLE>(thread);
  WaitForSingleObject(h, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  CloseHandle(h);
  WriteResult("exit=" + Hex(code));
  return 0;
}

void WatchExitCode(HANDLE thread) { CloseHandle(CreateThread(nullptr, 0, ExitCodeWatcher, thread, 0, nullptr)); }

class FaultingThread : public TThread {
 protected:
  void Execute() override { Fault(); }
};

class SynchronizingThread : public TThread {
 public:
  explicit SynchronizingThread(bool abort) : abort_(abort) {}

 protected:
  void Execute() override {
    try {
      Synchronize([this] {
        if (abort_) throw EAbort(msg::SOperationAborted);
        Fault();
      });
      WriteResult("worker continued");
    } catch (const EAbort&) { WriteResult("worker caught EAbort"); }
  }

 private:
  bool abort_;
};

std::vector<std::unique_ptr<TThread>> g_pathThreads;

// True when the case is one of the paths; runs it.
bool RunPath(const std::string& kase) {
  if (kase == "tthread") {
    g_pathThreads.push_back(std::make_unique<FaultingThread>());
    g_pathThreads.back()->Start();
  } else if (kase == "createthread" || kase == "overflowworker") {
    HANDLE t = CreateThread(nullptr, 0, kase == "createthread" ? FaultingBody : OverflowingBody, nullptr, 0, nullptr);
    WatchExitCode(t);
  } else if (kase == "stdthread") {
    std::thread t([] { Fault(); });
    HANDLE h = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, GetThreadId(pthread_gethandle(t.native_handle())));
    t.detach();
    if (h) WatchExitCode(h);
  } else if (kase == "workitem") {
    QueueUserWorkItem(FaultingBody, nullptr, 0);
  } else if (kase == "sync" || kase == "syncabort") {
    g_pathThreads.push_back(std::make_unique<SynchronizingThread>(kase == "syncabort"));
    g_pathThreads.back()->Start();
  } else if (kase == "overflowmain") {
    Recurse(0);
  } else if (kase == "foreignmain") {
    FaultInForeignCode();
  } else if (kase == "abortcall") {
    std::abort();
  } else if (kase == "purevirtual") {
    PureDerived d;
  } else if (kase == "nested") {
    ThrowsWhenDestroyed t;
    throw std::runtime_error("first");
  } else {
    return false;
  }
  return true;
}

DWORD WINAPI IdleBody(void*) {
  Sleep(INFINITE);
  return 0;
}

// A worker of the program that serves its own messages and says so at each round.
DWORD WINAPI PumpingBody(void*) {
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    WriteResult("pumped");
    Sleep(50);
  }
}

int g_presses = 0;

void Run() {
  ++g_presses;
  // As a save dialog would: the directory the program started in is no longer the current one.
  if (const std::string dir = Env("KESTRUM_TEST_CHDIR"); !dir.empty()) SetCurrentDirectoryA(dir.c_str());
  if (RunPath(g_case)) {
  } else if (g_case == "fault") {
    *g_null = 1;
  } else if (g_case == "throw") {
    throw std::runtime_error("  broken pipe!!  ");
  } else if (g_case == "abort") {
    if (g_presses == 1) throw EAbort("stop");
    throw Exception("after abort");
  } else if (g_case == "dbedit") {
    throw EDBEditError("Eingabe ung\xFCltig");
  } else if (g_case == "twothreads") {
    StartFailingThreads({"thread A", "thread B"});
  } else if (g_case == "burst" || g_case == "seamfault") {
    throw Exception("press " + std::to_string(g_presses));
  } else if (g_case == "freeze") {
    MainSleep(5000);
  } else if (g_case == "freezeduring") {
    StartFailingThreads({"meanwhile"});
    // The main thread stops answering only once the other exception is being handled (its save
    // is under way): on a busy machine a fixed pause may end before the handling has begun.
    for (int waited = 0; InterlockedCompareExchange(&g_inSeam, 0, 0) == 0 && waited < 60000; waited += 10) Sleep(10);
    MainSleep(3000);
  } else if (g_case == "loaderlock") {
    // As in a library's start-up code: the loader lock is held while the exception is reported.
    const BYTE* peb;
    asm("movl %%fs:0x30, %0" : "=r"(peb));
    CRITICAL_SECTION* loader;
    std::memcpy(&loader, peb + 0xA0, sizeof loader);
    EnterCriticalSection(loader);
    try {
      throw Exception("under the loader lock");
    } catch (...) {
      kestrum::ReportArgs args;
      args.takeCurrent = true;
      kestrum::ReportException(args);
    }
    LeaveCriticalSection(loader);
  } else if (g_case == "delivery") {
    static std::vector<std::string> folders;
    if (g_presses == 1) {
      std::uint32_t ended = 0, running = 0;
      folders = {kestrum::BeginDeliveryFolder(ended), kestrum::BeginDeliveryFolder(running), kestrum::ProcessTempFolder() + "d000000ff\\"};
      CreateDirectoryA(folders[2].c_str(), nullptr);  // a delivery that never ended
      for (const std::string& f : folders) {
        CloseHandle(CreateFileA((f + "part.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      }
      kestrum::EndDeliveryFolder(ended);
      throw Exception("with deliveries");
    }
    auto exists = [](const std::string& f) { return std::to_string(GetFileAttributesA(f.c_str()) != INVALID_FILE_ATTRIBUTES); };
    WriteResult("deliveries ended=" + exists(folders[0]) + " running=" + exists(folders[1]) + " leftover=" + exists(folders[2]));
  } else if (g_case == "pause") {
    CloseHandle(CreateThread(nullptr, 0, PumpingBody, nullptr, 0, nullptr));
    Sleep(200);
    throw Exception("while pumping");
  } else if (g_case == "killreporter") {
    HANDLE reporter = OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, kestrum::ReportingThreadId());
    TerminateThread(reporter, 0);
    WaitForSingleObject(reporter, INFINITE);
    CloseHandle(reporter);
    throw Exception("no reporter");
  }
}

class TCrashForm : public TForm {
 public:
  TCrashForm() {
    Handler("RunClick", [](TObject*) { Run(); });
    Handler("FormClose", [](TObject*, TCloseAction&) { WriteResult("closing reserve=" + std::to_string(kestrum::MemoryReserveBytes())); });
    Load(kCrashForm);
  }
};

// What a restarted process finds before the component takes the hand-over away.
struct HandOverSeen {
  bool present = false;
  HANDLE predecessor = nullptr;
};

HandOverSeen LookAtHandOver() {
  HandOverSeen seen;
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, kestrum::RestartSectionName(GetCurrentProcessId()).c_str());
  if (!section) return seen;
  if (const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, kestrum::kRestartSectionBytes)) {
    if (auto h = kestrum::ReadRestartSection(static_cast<const std::uint8_t*>(view), kestrum::kRestartSectionBytes)) {
      seen.present = true;
      seen.predecessor = OpenProcess(SYNCHRONIZE, FALSE, h->predecessorId);
    }
    UnmapViewOfFile(view);
  }
  CloseHandle(section);
  return seen;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InitializeCriticalSection(&g_resultLock);
  g_case = __argc > 1 ? __argv[1] : "";
  const HandOverSeen handOver = LookAtHandOver();

  kestrum::DeliveryHooks hooks = kestrum::DeliveryHooksInUse();
  hooks.saveReport = RecordSave;
  hooks.takeScreenShot = RecordCapture;
  kestrum::InstallDeliveryHooks(hooks);
  const bool installed = kestrum::InstallKestrum();
  if (const std::string delay = Env("KESTRUM_TEST_AUTO_DELAY"); !delay.empty()) {
    kestrum::IZQModuleSettings* settings = kestrum::SettingsForModule(GetModuleHandleA(nullptr));
    settings->SetAutoDelay(static_cast<std::uint32_t>(std::strtoul(delay.c_str(), nullptr, 10)));
    settings->Release();
  }

  if (kestrum::StartedByRestart()) {
    // The predecessor must be gone by now; the restarted program does not run its case again.
    const bool ended = !handOver.predecessor || WaitForSingleObject(handOver.predecessor, 0) == WAIT_OBJECT_0;
    int times = 0;
    for (std::int64_t t : kestrum::ExceptionHistory()) times += t != 0;
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    WriteResult("restarted handOver=" + std::to_string(handOver.present) + " predecessorEnded=" + std::to_string(ended) +
                " history=" + std::to_string(times) + " cwd=" + cwd);
    // A test that made the hand-over itself lets this start run its case; a restart made from
    // here finds the variable gone.
    if (Env("KESTRUM_TEST_GO_ON").empty()) return 0;
    SetEnvironmentVariableA("KESTRUM_TEST_GO_ON", nullptr);
  }
  // A file in the process's own temporary folder, which must be gone when the program has ended.
  const std::string temp = kestrum::ProcessTempFolder();
  if (!temp.empty()) CloseHandle(CreateFileA((temp + "left.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  WriteResult("started installed=" + std::to_string(installed) + " temp=" + temp +
              " reserve=" + std::to_string(kestrum::MemoryReserveBytes()) + " fault=" + Hex(reinterpret_cast<std::uintptr_t>(&Fault)));
  if (g_case == "start") return 0;
  if (g_case == "onewatchdog") {
    // A library with its own copy of the component starts a watchdog too: it may watch only
    // when the program's own has stopped.
    HMODULE lib = LoadLibraryA("SecondCopyDll.dll");
    if (!lib) return 3;
    const auto fn = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); };
    auto open = reinterpret_cast<DWORD (*)()>(fn("SecondCopyOpen"));
    auto start = reinterpret_cast<BOOL (*)(DWORD)>(fn("SecondCopyStartWatchdog"));
    auto watching = reinterpret_cast<BOOL (*)()>(fn("SecondCopyWatching"));
    auto stop = reinterpret_cast<void (*)()>(fn("SecondCopyStopWatchdog"));
    auto close = reinterpret_cast<void (*)()>(fn("SecondCopyClose"));
    open();
    const BOOL started = start(2000);
    Sleep(300);
    WriteResult("watchdogs started=" + std::to_string(started) + " first=" + std::to_string(kestrum::WatchdogWatching()) +
                " second=" + std::to_string(watching()));
    kestrum::StopWatchdog();
    for (int i = 0; i < 200 && !watching(); ++i) Sleep(50);
    WriteResult("after the first stopped second=" + std::to_string(watching()));
    stop();
    close();
    return 0;
  }
  if (g_case == "idle") {
    // For a look from outside: a worker that the main thread created, listed with its creator.
    DWORD worker = 0;
    CloseHandle(CreateThread(nullptr, 0, IdleBody, nullptr, 0, &worker));
    WriteResult("ready main=" + Hex(GetCurrentThreadId()) + " worker=" + Hex(worker));
  }

  Application->Initialize();
  Application->Title = "Crash Test";
  TCrashForm form;
  Application->Run();
  return 0;
}
