#include "platform/Exceptions_win.h"

#include <float.h>

#include <cstring>
#include <vector>

#include "platform/GuardedRead_win.h"
#include "platform/Modules_win.h"

namespace {

// What the fault handler hands to the throwing function of the same thread.
struct FaultSlot {
  EXCEPTION_RECORD record;
  CONTEXT context;
  volatile LONG busy;  // a conversion of this thread is under way
};

DWORD g_slotIndex = TLS_OUT_OF_INDEXES;
std::uintptr_t g_moduleBase = 0, g_moduleEnd = 0;
volatile LONG g_converted = 0;
volatile LONG g_installed = 0;

FaultSlot* Slot(bool create) {
  auto* s = static_cast<FaultSlot*>(TlsGetValue(g_slotIndex));
  if (!s && create) {
    // Kept for the thread's life: a thread that faulted once is likely to fault again, and this
    // must work without the C run-time's heap, whose lock the faulting code might hold.
    s = static_cast<FaultSlot*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FaultSlot)));
    if (s) TlsSetValue(g_slotIndex, s);
  }
  return s;
}

bool IsFloatCode(DWORD code) {
  return code >= excode::FloatDenormalOperand && code <= excode::FloatUnderflow;
}

// Entered instead of the faulting instruction, with a return address that points into it, so
// that the unwinder sees a call from the faulting function at the fault.
[[noreturn]] __attribute__((noinline)) void RaiseConvertedFault() {
  FaultSlot* s = Slot(false);
  const TExceptionRecord record = FromExceptionRecord(s->record);
  const auto* ctx = reinterpret_cast<const unsigned char*>(&s->context);
  std::vector<unsigned char> context(ctx, ctx + sizeof(CONTEXT));
  InterlockedExchange(&s->busy, 0);
  if (IsFloatCode(record.ExceptionCode)) _clearfp();  // or the next x87 instruction faults again
  ThrowExternalException(record, ModuleNameOf(reinterpret_cast<const void*>(record.ExceptionAddress)),
                         std::move(context));
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* ep) {
  const EXCEPTION_RECORD* r = ep->ExceptionRecord;
  if (!IsConvertedExceptionCode(r->ExceptionCode) || (r->ExceptionFlags & EXCEPTION_NONCONTINUABLE))
    return EXCEPTION_CONTINUE_SEARCH;
  // A guarded read ends at its fault; it must not become a throw.
  if (platform::InGuardedRead()) return EXCEPTION_CONTINUE_SEARCH;
  const auto at = reinterpret_cast<std::uintptr_t>(r->ExceptionAddress);
  if (at < g_moduleBase || at >= g_moduleEnd) return EXCEPTION_CONTINUE_SEARCH;
  FaultSlot* s = Slot(true);
  if (!s || InterlockedExchange(&s->busy, 1) != 0) return EXCEPTION_CONTINUE_SEARCH;

  s->record = *r;
  s->record.ExceptionRecord = nullptr;  // a nested record would not outlive this handler
  s->context = *ep->ContextRecord;
  InterlockedIncrement(&g_converted);

  // Make the thread "call" RaiseConvertedFault from the faulting instruction. The return address
  // is one past the fault address, so the unwinder's look-up of (return address - 1) lands on the
  // faulting instruction itself, which -fnon-call-exceptions covers.
  CONTEXT* c = ep->ContextRecord;
  c->Esp -= 4;
  *reinterpret_cast<DWORD*>(c->Esp) = c->Eip + 1;
  c->Eip = reinterpret_cast<DWORD>(&RaiseConvertedFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void InstallFaultConversion() {
  if (InterlockedExchange(&g_installed, 1) != 0) return;
  g_slotIndex = TlsAlloc();
  const HMODULE self = platform::ModuleContaining(reinterpret_cast<const void*>(&FaultHandler));
  const auto* base = reinterpret_cast<const BYTE*>(self);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  g_moduleBase = reinterpret_cast<std::uintptr_t>(base);
  g_moduleEnd = g_moduleBase + nt->OptionalHeader.SizeOfImage;
  AddVectoredExceptionHandler(1, FaultHandler);
}

unsigned long ConvertedFaultCount() { return static_cast<unsigned long>(g_converted); }

TExceptionRecord FromExceptionRecord(const EXCEPTION_RECORD& r) {
  TExceptionRecord out;
  out.ExceptionCode = r.ExceptionCode;
  out.ExceptionFlags = r.ExceptionFlags;
  out.ExceptionAddress = reinterpret_cast<std::uintptr_t>(r.ExceptionAddress);
  out.NumberParameters = r.NumberParameters > 15 ? 15 : r.NumberParameters;
  for (DWORD i = 0; i < out.NumberParameters; ++i) out.ExceptionInformation[i] = r.ExceptionInformation[i];
  return out;
}

const CONTEXT* ContextOf(const EExternal& e) {
  const auto& bytes = e.ContextBytes();
  return bytes.size() == sizeof(CONTEXT) ? reinterpret_cast<const CONTEXT*>(bytes.data()) : nullptr;
}

std::string ModuleNameOf(const void* address) {
  const HMODULE m = platform::ModuleContaining(address);
  return m ? platform::ModuleFileName(m) : std::string();
}

std::exception_ptr CreateExternalException(const EXCEPTION_RECORD& record, const CONTEXT* context) {
  std::vector<unsigned char> bytes;
  if (context) {
    const auto* p = reinterpret_cast<const unsigned char*>(context);
    bytes.assign(p, p + sizeof(CONTEXT));
  }
  return MakeExternalExceptionPtr(FromExceptionRecord(record), ModuleNameOf(record.ExceptionAddress), std::move(bytes));
}

std::string ProgramTitle() {
  const std::string s = platform::ModuleFileName(nullptr);
  const size_t dot = s.find_last_of('.');
  return dot == std::string::npos ? s : s.substr(0, dot);
}

void ShowExceptionMessageBox(const std::exception_ptr& e, const std::string& title) {
  const std::string caption = title.empty() ? ProgramTitle() : title;
  MessageBoxA(nullptr, ExceptionDisplayText(e).c_str(), caption.c_str(), MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}
