#include "platform/GuardedRead_win.h"

#include <windows.h>

namespace platform {

namespace {

// One per guarded read, on the reading thread's stack.
struct Guard {
  void* resume[5];  // __builtin_setjmp: frame pointer, resume address, stack pointer
};

DWORD g_slot = TLS_OUT_OF_INDEXES;
volatile LONG g_installed = 0;
volatile LONG g_faults = 0;

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* ep) {
  const DWORD code = ep->ExceptionRecord->ExceptionCode;
  if (code != EXCEPTION_ACCESS_VIOLATION && code != STATUS_GUARD_PAGE_VIOLATION && code != EXCEPTION_IN_PAGE_ERROR)
    return EXCEPTION_CONTINUE_SEARCH;
  if (g_slot == TLS_OUT_OF_INDEXES) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD lastError = GetLastError();  // TlsGetValue clears it; the interrupted code may need it
  auto* guard = static_cast<Guard*>(TlsGetValue(g_slot));
  SetLastError(lastError);
  if (!guard) return EXCEPTION_CONTINUE_SEARCH;
  if (code == STATUS_GUARD_PAGE_VIOLATION && ep->ExceptionRecord->NumberParameters >= 2) {
    // The system took the guard off when it reported the touch: put it back.
    void* page = reinterpret_cast<void*>(ep->ExceptionRecord->ExceptionInformation[1]);
    MEMORY_BASIC_INFORMATION mbi;
    DWORD old;
    if (VirtualQuery(page, &mbi, sizeof mbi) == sizeof mbi && mbi.State == MEM_COMMIT)
      VirtualProtect(page, 1, mbi.Protect | PAGE_GUARD, &old);
  }
  InterlockedIncrement(&g_faults);
  CONTEXT* c = ep->ContextRecord;
  c->Ebp = reinterpret_cast<DWORD>(guard->resume[0]);
  c->Eip = reinterpret_cast<DWORD>(guard->resume[1]);
  c->Esp = reinterpret_cast<DWORD>(guard->resume[2]);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Kept out of line and free of library calls: the handler resumes in this frame.
__attribute__((noinline)) std::size_t Copy(Guard* guard, const volatile unsigned char* from, unsigned char* to, std::size_t count) {
  volatile std::size_t done = 0;
  TlsSetValue(g_slot, guard);
  if (__builtin_setjmp(guard->resume) == 0) {
    while (done < count) {
      to[done] = from[done];
      done = done + 1;
    }
  }
  TlsSetValue(g_slot, nullptr);
  return done;
}

}  // namespace

void InstallGuardedRead() {
  if (InterlockedCompareExchange(&g_installed, 1, 0) != 0) {
    while (g_installed != 2) Sleep(0);
    return;
  }
  g_slot = TlsAlloc();
  // First in line: a fault inside a guarded read belongs to the guard, whoever else listens.
  AddVectoredExceptionHandler(1, GuardHandler);
  InterlockedExchange(&g_installed, 2);
}

std::size_t GuardedRead(const void* source, void* dest, std::size_t count) {
  if (g_installed != 2) InstallGuardedRead();
  if (g_slot == TLS_OUT_OF_INDEXES || count == 0) return 0;
  const DWORD lastError = GetLastError();
  Guard guard;
  const std::size_t done = Copy(&guard, static_cast<const volatile unsigned char*>(source), static_cast<unsigned char*>(dest), count);
  SetLastError(lastError);
  return done;
}

bool InGuardedRead() {
  if (g_installed != 2 || g_slot == TLS_OUT_OF_INDEXES) return false;
  const DWORD lastError = GetLastError();
  const bool in = TlsGetValue(g_slot) != nullptr;
  SetLastError(lastError);
  return in;
}

unsigned long GuardedReadFaultCount() { return static_cast<unsigned long>(g_faults); }

}  // namespace platform
