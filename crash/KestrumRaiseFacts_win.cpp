// Raise-time facts: every C++ throw of the program passes here (the programs are linked with
// --wrap=__cxa_throw, so the C++ library's own throws are seen too), and each thread keeps what
// its last throw recorded. This file depends on nothing of the component but the platform layer,
// so that any program linked with the wrap links, whether it reports or not.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "crash/KestrumInterception_win.h"
#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/GuardedRead_win.h"

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));
[[noreturn]] void __real___cxa_pure_virtual();
}

namespace kestrum {
namespace {

// One slot for the whole process, taken on the first throw: a throw may come from a static
// constructor before any install call.
volatile LONG g_factsSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);
// A pure virtual call leaves its mark here before the library terminates, so that the terminate
// hook can name the runtime error.
volatile LONG g_pureVirtualThread = 0;

DWORD FactsSlot() {
  const DWORD slot = static_cast<DWORD>(g_factsSlot);
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  const DWORD fresh = TlsAlloc();
  if (fresh == TLS_OUT_OF_INDEXES) return fresh;
  const LONG was = InterlockedCompareExchange(&g_factsSlot, static_cast<LONG>(fresh), static_cast<LONG>(TLS_OUT_OF_INDEXES));
  if (was != static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
    TlsFree(fresh);
    return static_cast<DWORD>(was);
  }
  return fresh;
}

// Kept for the thread's life from its first throw (a thread that threw once is likely to throw
// again), from the process heap so that the C run-time's heap lock is never needed here.
RaiseFacts* ThreadFacts(bool create) {
  const DWORD slot = FactsSlot();
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  auto* facts = static_cast<RaiseFacts*>(TlsGetValue(slot));
  if (!facts && create) {
    facts = static_cast<RaiseFacts*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RaiseFacts)));
    if (facts) TlsSetValue(slot, facts);
  }
  return facts;
}

// Keeps the used part of the stack as it is at the throw, before unwinding overwrites it: one copy
// per throw is cheap enough for every throw, the search for return addresses in it is left to the
// report (PreparedStackOf). The innermost kMaxStackCopy bytes are kept of a deeper stack.
void CopyStackAtThrow(RaiseFacts& facts) {
  facts.stackCopySize = 0;
  facts.preparedStack = nullptr;
  if (!facts.stackCopy) {
    facts.stackCopy = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, kMaxStackCopy + kMaxPreparedBytes));
    if (!facts.stackCopy) return;
    facts.preparedBuffer = facts.stackCopy + kMaxStackCopy;
  }
  const DWORD top = reinterpret_cast<DWORD>(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase);
  const DWORD bottom = facts.context.Esp;
  if (bottom == 0 || top < bottom + 4) return;
  const std::size_t size = std::min<std::size_t>(top - bottom, kMaxStackCopy);
  facts.stackCopyBegin = bottom;
  facts.stackCopySize = platform::GuardedRead(reinterpret_cast<const void*>(bottom), facts.stackCopy, size) & ~std::size_t{3};
}

void NTAPI FreeFactsAtThreadEnd(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH) return;
  const DWORD slot = static_cast<DWORD>(g_factsSlot);
  if (slot == TLS_OUT_OF_INDEXES) return;
  if (void* facts = TlsGetValue(slot)) {
    TlsSetValue(slot, nullptr);
    if (void* buffer = static_cast<RaiseFacts*>(facts)->stackCopy) HeapFree(GetProcessHeap(), 0, buffer);
    HeapFree(GetProcessHeap(), 0, facts);
  }
}

}  // namespace

const RaiseFacts* CurrentRaiseFacts() {
  const RaiseFacts* facts = ThreadFacts(false);
  return facts && facts->object ? facts : nullptr;
}

void ClearRaiseFacts() {
  if (RaiseFacts* facts = ThreadFacts(false)) {
    facts->object = nullptr;
    facts->address = nullptr;
    facts->hasContext = false;
    facts->preparedStack = nullptr;
  }
}

const void* ThrownObjectOf(const std::exception_ptr& e) {
  // The C++ library's exception_ptr is one pointer: the thrown object's address.
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  const void* object;
  std::memcpy(&object, &e, sizeof object);
  return object;
}

bool TakePureVirtualMark() {
  return InterlockedCompareExchange(&g_pureVirtualThread, 0, static_cast<LONG>(GetCurrentThreadId())) ==
         static_cast<LONG>(GetCurrentThreadId());
}

}  // namespace kestrum

// Runs the thread-end clean-up of the facts for every thread, also those the component never saw
// start (the C run-time's TLS callback list).
extern "C" __attribute__((section(".CRT$XLK"), used)) const PIMAGE_TLS_CALLBACK kestrumFactsTlsCallback =
    kestrum::FreeFactsAtThreadEnd;

extern "C" [[noreturn]] __attribute__((noinline)) void __wrap___cxa_throw(void* object, std::type_info* type,
                                                                          void (*destructor)(void*)) {
  using namespace kestrum;
  if (RaiseFacts* facts = ThreadFacts(true)) {
    void* const* frame = static_cast<void* const*>(__builtin_frame_address(0));
    facts->object = object;
    facts->address = __builtin_return_address(0);
    facts->preparedStack = nullptr;
    // A converted fault already carries the context of the faulting instruction: that is where
    // it was raised, not in the routine that throws it on the fault's behalf.
    void* adjusted = object;
    const EExternal* external = nullptr;
    if (typeid(EExternal).__do_catch(type, &adjusted, 1)) external = static_cast<const EExternal*>(adjusted);
    if (const CONTEXT* faultContext = external ? ContextOf(*external) : nullptr) {
      std::memcpy(&facts->context, faultContext, sizeof(CONTEXT));
      facts->address = reinterpret_cast<const void*>(external->ExceptionRecord().ExceptionAddress);
    } else {
      // The throwing function's registers as they are at its call of the throw.
      RtlCaptureContext(&facts->context);
      facts->context.Eip = reinterpret_cast<DWORD>(facts->address);
      facts->context.Ebp = reinterpret_cast<DWORD>(frame[0]);
      facts->context.Esp = reinterpret_cast<DWORD>(frame + 2);
    }
    facts->hasContext = true;
    CopyStackAtThrow(*facts);
  }
  __real___cxa_throw(object, type, destructor);
}

extern "C" [[noreturn]] void __wrap___cxa_pure_virtual() {
  InterlockedExchange(&kestrum::g_pureVirtualThread, static_cast<LONG>(GetCurrentThreadId()));
  __real___cxa_pure_virtual();
}
