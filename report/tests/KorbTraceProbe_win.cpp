// A program with known nesting for the stack tracer: threads that wait inside known functions,
// traced from the main thread. Prints one line per traced item: thread, address, unit, line,
// function. The test script checks the order and compares each line with binutils.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <stdexcept>
#include <thread>

#include "crash/KestrumInterception_win.h"
#include "report/KorbStackTrace_win.h"

namespace {

HANDLE g_release = nullptr;
volatile LONG g_waiting = 0;

__attribute__((noinline)) void WaitHere() {
  InterlockedIncrement(&g_waiting);
  WaitForSingleObject(g_release, INFINITE);
  asm volatile("");
}

__attribute__((noinline)) void WaitAlpha() { WaitHere(); asm volatile(""); }
__attribute__((noinline)) void WaitBeta() { WaitForSingleObject(g_release, INFINITE); InterlockedIncrement(&g_waiting); asm volatile(""); }
__attribute__((noinline)) void WaitGamma() { Sleep(0); WaitAlpha(); asm volatile(""); }
__attribute__((noinline)) void WaitDelta() { WaitGamma(); asm volatile(""); }

__attribute__((noinline)) void NestedC() { WaitHere(); asm volatile(""); }
__attribute__((noinline)) void NestedB() { NestedC(); asm volatile(""); }
__attribute__((noinline)) void NestedA() { NestedB(); asm volatile(""); }

volatile int g_depth = 3;
__attribute__((noinline)) void Thrower3() {
  if (g_depth > 0) throw std::runtime_error("three levels deep");
  asm volatile("");
}
__attribute__((noinline)) void Thrower2() { Thrower3(); asm volatile(""); }
__attribute__((noinline)) void Thrower1() { Thrower2(); asm volatile(""); }

__attribute__((noinline)) void Recurse(int n) {
  if (n > 0) {
    Recurse(n - 1);
  } else {
    WaitHere();
  }
  asm volatile("");
}
__attribute__((noinline)) void Pong(int n);
__attribute__((noinline)) void Ping(int n) {
  if (n > 0) {
    Pong(n - 1);
  } else {
    WaitHere();
  }
  asm volatile("");
}
__attribute__((noinline)) void Pong(int n) {
  Ping(n);
  asm volatile("");
}
volatile DWORD g_standardThread = 0;
__attribute__((noinline)) void WaitInStdThread() {
  g_standardThread = GetCurrentThreadId();
  WaitHere();
  asm volatile("");
}

DWORD WINAPI RunRecurse(void*) { Recurse(50); return 0; }
DWORD WINAPI RunPing(void*) { Ping(10); return 0; }

DWORD WINAPI RunAlpha(void*) { WaitAlpha(); return 0; }
DWORD WINAPI RunBeta(void*) { InterlockedIncrement(&g_waiting); WaitBeta(); return 0; }
DWORD WINAPI RunDelta(void*) { WaitDelta(); return 0; }
DWORD WINAPI RunNested(void*) { NestedA(); return 0; }

void Print(DWORD tid, const char* tag, const report::TraceOutput& out) {
  for (const report::TStackItem& item : out.items) {
    std::printf("%s %lu %08x|%s|%s|%d|%s\n", tag, static_cast<unsigned long>(tid), item.Addr_, item.ModuleName.c_str(), item.UnitName.c_str(),
                item.Line, item.FunctionName.c_str());
  }
  if (!out.failedPhase.empty()) std::printf("%s %lu failed %s\n", tag, static_cast<unsigned long>(tid), out.failedPhase.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "threads";
  g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::pair<HANDLE, std::string>> threads;
  auto start = [&](LPTHREAD_START_ROUTINE routine, const char* tag) {
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, &id);
    threads.emplace_back(h, tag);
    std::printf("start %s %lu\n", tag, static_cast<unsigned long>(id));
  };
  if (mode == "throw") {
    // The candidates kept when the exception was thrown, traced after it was caught.
    try {
      Thrower1();
    } catch (const std::exception&) {
      const kestrum::RaiseFacts* facts = kestrum::CurrentRaiseFacts();
      const std::uint8_t* packed = facts ? kestrum::PreparedStackOf(*facts) : nullptr;
      if (!packed) {
        std::printf("no prepared stack\n");
        return 1;
      }
      std::uint32_t count = 0;
      std::memcpy(&count, packed, 4);
      std::vector<report::TPreStackItem> prepared;
      report::UnpackPreparedStack(packed, 4 + count * 5, prepared);
      report::ProcessStackMemory memory;
      report::TraceInput in;
      in.prepared = &prepared;
      in.isException = true;
      in.currentAddr = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(facts->address));
      in.stackTop = facts->context.Esp + 4;
      in.stackBottom = facts->context.Esp;
      report::TraceOutput out;
      report::TraceStack(memory, report::ProcessStackTables(), in, out);
      std::printf("start throw %lu\n", GetCurrentThreadId());
      Print(GetCurrentThreadId(), "item", out);
    }
    std::printf("done\n");
    return 0;
  }
  LONG expected = 0;
  if (mode == "threads") {
    start(RunAlpha, "alpha");
    start(RunBeta, "beta");
    start(RunDelta, "delta");
    start(RunNested, "nested");
    start(RunRecurse, "recursion");
    start(RunPing, "mutual");
    expected = 6;
  } else {
    start(RunNested, "nested");
    expected = 1;
  }
  std::thread standard;
  if (mode == "threads") {
    standard = std::thread(WaitInStdThread);
    ++expected;
  }
  while (g_waiting < expected) Sleep(10);
  if (standard.joinable()) std::printf("start standard %lu\n", static_cast<unsigned long>(g_standardThread));
  Sleep(100);  // into the wait itself
  report::ThreadSnapshot snapshot;
  for (DWORD tid : report::ListProcessThreads()) {
    if (!report::TakeThreadSnapshot(tid, snapshot)) {
      std::printf("thread %lu no snapshot\n", static_cast<unsigned long>(tid));
      continue;
    }
    report::TraceInput in;
    in.dontAddTopItem = true;
    report::TraceOutput out;
    report::TraceSnapshot(snapshot, in, out);
    Print(tid, "item", out);
  }
  SetEvent(g_release);
  for (auto& t : threads) {
    WaitForSingleObject(t.first, 5000);
    CloseHandle(t.first);
  }
  if (standard.joinable()) standard.join();
  std::printf("done\n");
  return 0;
}
