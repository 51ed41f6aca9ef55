#include "crash/KestrumGuard_win.h"

#include "platform/Trace_win.h"

namespace kestrum {

namespace {

// The guard around each handling on the reporting thread and each report step. Own code's faults arrive as C++
// exceptions; a fault in foreign code (a system library showing the box, the clipboard) travels
// the structured handler chain, where this frame catches it and resumes behind the setjmp point.

struct GuardFrame {
  void* next;  // must come first: the system walks these records as a chain
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

}  // namespace kestrum
