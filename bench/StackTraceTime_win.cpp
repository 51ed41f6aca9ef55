// Tracing every thread of a process at the moment of a fault: ten threads wait in nested functions,
// the main thread faults, and the unhandled-exception filter traces the faulting thread and every
// other one. "trace" prints the time the traces took; "floor" exits from the filter at once, the
// reference for bench/trace.sh. The debug information is read at the start, as the component
// reads it when it is installed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "report/KorbMapFile_win.h"
#include "report/KorbStackTrace_win.h"

namespace {

HANDLE g_release = nullptr;
volatile LONG g_waiting = 0;
bool g_trace = false;

__attribute__((noinline)) void Wait3() {
  InterlockedIncrement(&g_waiting);
  WaitForSingleObject(g_release, INFINITE);
  asm volatile("");
}
__attribute__((noinline)) void Wait2() { Wait3(); asm volatile(""); }
__attribute__((noinline)) void Wait1() { Wait2(); asm volatile(""); }
DWORD WINAPI Worker(void*) { Wait1(); return 0; }

__attribute__((noinline)) void Fault3() { *static_cast<volatile int*>(nullptr) = 1; asm volatile(""); }
__attribute__((noinline)) void Fault2() { Fault3(); asm volatile(""); }
__attribute__((noinline)) void Fault1() { Fault2(); asm volatile(""); }

std::size_t TraceAll(EXCEPTION_POINTERS* ep) {
  std::size_t lines = 0;
  report::ProcessStackMemory memory;
  report::TraceInput in;
  in.isException = true;
  in.extException = true;
  in.currentAddr = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(ep->ExceptionRecord->ExceptionAddress));
  in.ebp = ep->ContextRecord->Ebp;
  in.stackBottom = ep->ContextRecord->Esp;
  in.stackTop = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase));
  report::TraceOutput out;
  report::TraceStack(memory, report::ProcessStackTables(), in, out);
  lines += out.items.size();
  report::ThreadSnapshot snapshot;
  for (DWORD tid : report::ListProcessThreads()) {
    if (!report::TakeThreadSnapshot(tid, snapshot)) continue;
    report::TraceInput other;
    other.dontAddTopItem = true;
    report::TraceSnapshot(snapshot, other, out);
    lines += out.items.size();
  }
  return lines;
}

LONG WINAPI Filter(EXCEPTION_POINTERS* ep) {
  if (!g_trace) ExitProcess(0);
  LARGE_INTEGER frequency, t0, t1, t2;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&t0);
  const std::size_t lines = TraceAll(ep);
  QueryPerformanceCounter(&t1);
  // Again with the debug information loaded and the functions analysed: what a later report costs.
  TraceAll(ep);
  QueryPerformanceCounter(&t2);
  std::printf("%lld %lld %zu\n", (t1.QuadPart - t0.QuadPart) * 1000000 / frequency.QuadPart,
              (t2.QuadPart - t1.QuadPart) * 1000000 / frequency.QuadPart, lines);
  std::fflush(stdout);
  ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  g_trace = argc > 1 && std::string(argv[1]) == "trace";
  // As the component does at its start: the debug information read before any fault.
  if (g_trace) report::PrepareLoadedModules();
  g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 10; ++i) CloseHandle(CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr));
  while (g_waiting < 10) Sleep(1);
  SetUnhandledExceptionFilter(Filter);
  Fault1();
  return 1;
}
