// A program with known nesting, built with the crash-report component and its debug information as
// the product is, for the tests of the composed report. Its form's button is clicked by the
// program itself; the click does what the case on the command line says, the component handles
// the exception without a box, and the complete report that the save path receives is written to
// the file named by KESTRUM_TEST_RESULT, after which the program ends with exit code 7.
//
// Cases: button (the handler calls A, B, C, C faults), throw (three levels deep), worker (a thread
// created by another thread faults), stdthread, recursion (50 deep), mutual, system (a fault inside
// a system library called from our code), noncode (a fault outside any module on a stack of
// values that are no code addresses), waiting (four threads wait in known functions while the
// main thread throws), bench (ten threads wait, the three system lists are on, the main thread
// faults; the microseconds from the fault to the saved report go to the file named by
// KESTRUM_BENCH_TIME, for bench/report.sh).
#include <windows.h>

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"
#include "crash/KestrumMiniDump_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using K = TControlKind;

const TFormDesc kProbeForm{
    .Name = "ProbeForm",
    .Caption = "Report Probe",
    .ClientWidth = 200,
    .ClientHeight = 60,
    .Controls = {{.Kind = K::Button, .Name = "btRun", .Left = 8, .Top = 8, .Width = 100, .Height = 25, .Caption = "Run",
                  .OnClick = "RunClick"}},
};

std::string g_case;
LARGE_INTEGER g_faultAt{};
int volatile* volatile g_null = nullptr;
HANDLE g_release = nullptr;
volatile LONG g_waiting = 0;

std::string Env(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void SaveReport(kestrum::IZQException* e, HWND, bool) {
  std::string report = e->GetBugReport(true);
  // The minidump beside the report, as the product's automatic save writes it: report.dmp.
  kestrum::IZQExceptionEx* ex = nullptr;
  LARGE_INTEGER writeStart{}, writeEnd{};
  unsigned dumpBytes = 0;
  if (SUCCEEDED(e->QueryInterface(kestrum::IID_IZQExceptionEx, reinterpret_cast<void**>(&ex))) && ex) {
    std::string path = Env("KESTRUM_TEST_RESULT"), error;
    path = path.substr(0, path.rfind('.')) + ".dmp";
    QueryPerformanceCounter(&writeStart);
    if (ex->WantsMiniDump() && !ex->WriteMiniDump(path, error)) report += "\r\n\r\nminidump:\r\nnot written: " + error;
    QueryPerformanceCounter(&writeEnd);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) dumpBytes = data.nFileSizeLow;
    ex->Release();
  }
  HANDLE f = CreateFileA(Env("KESTRUM_TEST_RESULT").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(f, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(f);
  }
  if (const std::string timeFile = Env("KESTRUM_BENCH_TIME"); !timeFile.empty()) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const long long perSecond = frequency.QuadPart ? frequency.QuadPart : 1;
    const long long us = (now.QuadPart - g_faultAt.QuadPart) * 1000000 / perSecond;
    const long long writeUs = (writeEnd.QuadPart - writeStart.QuadPart) * 1000000 / perSecond;
    // fault to saved report (the dump included), report bytes, the dump's gathering and writing, dump bytes
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%lld %u %u %lld %u\n", us, static_cast<unsigned>(report.size()),
                                static_cast<unsigned>(kestrum::LastMiniDumpMicroseconds()), writeUs, dumpBytes);
    HANDLE t = CreateFileA(timeFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(t, line, static_cast<DWORD>(n), &written, nullptr);
      CloseHandle(t);
    }
  }
  TerminateProcess(GetCurrentProcess(), 7);
}

// --- The nesting the traces must show.

__attribute__((noinline)) void FaultC() {
  *g_null = 1;
  asm volatile("");
}
__attribute__((noinline)) void FaultB() {
  FaultC();
  asm volatile("");
}
__attribute__((noinline)) void FaultA() {
  FaultB();
  asm volatile("");
}

volatile int g_throw = 1;
__attribute__((noinline)) void Thrower3() {
  if (g_throw) throw Exception("three levels deep");
  asm volatile("");
}
__attribute__((noinline)) void Thrower2() {
  Thrower3();
  asm volatile("");
}
__attribute__((noinline)) void Thrower1() {
  Thrower2();
  asm volatile("");
}

__attribute__((noinline)) void Recurse(int n) {
  if (n > 0) {
    Recurse(n - 1);
  } else {
    FaultC();
  }
  asm volatile("");
}

__attribute__((noinline)) void Pong(int n);
__attribute__((noinline)) void Ping(int n) {
  if (n > 0) {
    Pong(n - 1);
  } else {
    FaultC();
  }
  asm volatile("");
}
__attribute__((noinline)) void Pong(int n) {
  Ping(n);
  asm volatile("");
}

// memcpy of the C library: the fault happens inside the system's module.
__attribute__((noinline)) void SystemCopy() {
  char target[8];
  volatile std::size_t bytes = 8;
  std::memcpy(target, const_cast<const int*>(g_null), bytes);
  asm volatile("" : : "r"(target) : "memory");
}
__attribute__((noinline)) void CallSystem() {
  SystemCopy();
  asm volatile("");
}

__attribute__((noinline)) void WorkerFault() {
  FaultC();
  asm volatile("");
}
DWORD WINAPI SecondWorker(void*) {
  WorkerFault();
  return 0;
}
__attribute__((noinline)) void SpawnSecond() {
  CloseHandle(CreateThread(nullptr, 0, SecondWorker, nullptr, 0, nullptr));
  asm volatile("");
}
DWORD WINAPI FirstWorker(void*) {
  SpawnSecond();
  Sleep(INFINITE);
  return 0;
}

__attribute__((noinline)) void StandardBody() {
  FaultA();
  asm volatile("");
}

// A fault in code outside any module, on a stack that holds only values that are no code addresses
// (below the first 64 KB, where nothing is ever mapped). The thread's stack limits move with it, so
// that the system's dispatcher accepts the stack.
DWORD WINAPI NonCodeBody(void*) {
  constexpr SIZE_T kSize = 256 * 1024;
  auto* stack = static_cast<std::uint32_t*>(VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  auto* code = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!stack || !code) return 1;
  for (SIZE_T i = 0; i < kSize / 4; ++i) stack[i] = static_cast<std::uint32_t>(i * 4 & 0xFFF0);
  // The upper quarter is the stack the fault sees; the dispatcher works below it.
  const std::uint32_t top = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(stack)) + kSize * 3 / 4;
  const std::uint8_t body[] = {0xBC, 0, 0, 0, 0,  // mov esp, top
                               0x31, 0xC0,        // xor eax, eax
                               0x89, 0x00};       // mov [eax], eax
  std::memcpy(code, body, sizeof body);
  std::memcpy(code + 1, &top, 4);
  // The limits span both stacks: the handler records stay on the thread's own.
  auto* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
  std::uint8_t* const begin = reinterpret_cast<std::uint8_t*>(stack);
  tib->StackBase = std::max<void*>(tib->StackBase, begin + kSize);
  tib->StackLimit = std::min<void*>(tib->StackLimit, begin);
  reinterpret_cast<void (*)()>(code)();
  return 0;
}

// --- Threads that wait in known functions.

__attribute__((noinline)) void WaitHere() {
  InterlockedIncrement(&g_waiting);
  WaitForSingleObject(g_release, INFINITE);
  asm volatile("");
}
__attribute__((noinline)) void WaitAlpha() {
  WaitHere();
  asm volatile("");
}
__attribute__((noinline)) void WaitBeta() {
  WaitAlpha();
  asm volatile("");
}
__attribute__((noinline)) void SleepGamma() {
  InterlockedIncrement(&g_waiting);
  Sleep(INFINITE);
  asm volatile("");
}
DWORD WINAPI WaitingAlpha(void*) {
  WaitAlpha();
  return 0;
}
DWORD WINAPI WaitingBeta(void*) {
  WaitBeta();
  return 0;
}
DWORD WINAPI SleepingGamma(void*) {
  SleepGamma();
  return 0;
}
DWORD WINAPI WaitingDelta(void*) {
  WaitHere();
  return 0;
}

__attribute__((noinline)) void ButtonClick() {
  if (g_case == "button") {
    FaultA();
  } else if (g_case == "throw") {
    Thrower1();
  } else if (g_case == "recursion") {
    Recurse(50);
  } else if (g_case == "mutual") {
    Ping(10);
  } else if (g_case == "system") {
    CallSystem();
  } else if (g_case == "worker") {
    CloseHandle(CreateThread(nullptr, 0, FirstWorker, nullptr, 0, nullptr));
  } else if (g_case == "stdthread") {
    std::thread(StandardBody).detach();
  } else if (g_case == "waiting") {
    LPTHREAD_START_ROUTINE bodies[] = {WaitingAlpha, WaitingBeta, SleepingGamma, WaitingDelta};
    HANDLE last = nullptr;
    for (LPTHREAD_START_ROUTINE body : bodies) {
      if (last) CloseHandle(last);
      last = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    }
    SetThreadPriority(last, THREAD_PRIORITY_LOWEST);
    CloseHandle(last);
    // One more that never runs.
    CloseHandle(CreateThread(nullptr, 0, SleepingGamma, nullptr, CREATE_SUSPENDED, nullptr));
    while (g_waiting < 4) Sleep(10);
    Sleep(100);  // into the waits themselves
    throw Exception("while four threads wait");
  } else if (g_case == "noncode") {
    CloseHandle(CreateThread(nullptr, 0, NonCodeBody, nullptr, 0, nullptr));
  } else if (g_case == "bench") {
    for (int i = 0; i < 10; ++i) CloseHandle(CreateThread(nullptr, 0, WaitingBeta, nullptr, 0, nullptr));
    while (g_waiting < 10) Sleep(10);
    Sleep(50);
    kestrum::IZQModuleSettings* settings = kestrum::SettingsForModule(GetModuleHandleA(nullptr));
    for (const char* list : {"modules", "processes", "hardware"}) settings->SetPluginEnabled(list, true);
    settings->Release();
    QueryPerformanceCounter(&g_faultAt);
    FaultA();
  }
  asm volatile("");
}

class TProbeForm : public TForm {
 public:
  TProbeForm() {
    Handler("RunClick", [](TObject*) { ButtonClick(); });
    Load(kProbeForm);
  }
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  g_case = __argc > 1 ? __argv[1] : "button";
  g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  kestrum::DeliveryHooks hooks = kestrum::DeliveryHooksInUse();
  hooks.saveReport = SaveReport;
  kestrum::InstallDeliveryHooks(hooks);
  if (!kestrum::InstallKestrum()) return 3;
  Application->Initialize();
  Application->Title = "Report Probe";
  TProbeForm form;
  // The click arrives through the button's window procedure, as a user's would.
  HWND button = FindWindowExA(form.Handle(), nullptr, "BUTTON", "Run");
  if (!button) return 4;
  PostMessageA(button, BM_CLICK, 0, 0);
  Application->Run();
  return 0;
}
