// How exceptions reach the component: the runtime's seams, the thread start wrappers patched into
// the import tables, the throw-time facts, the stack-overflow hand-over and the thread registry
// shared by every copy of the component in the process.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace kestrum {

// What the last throw on a thread recorded (every throw passes the __cxa_throw wrapper, the
// programs link with --wrap=__cxa_throw), kept in a TLS slot (thread_local allocates on first use
// under our compiler). The entry takes address and context from here when the exception it
// reports is the one recorded (ThrownObjectOf(e) == object).
struct RaiseFacts {
  const void* object = nullptr;   // the thrown object, as __cxa_throw got it
  // Return address of the throw; for a converted fault (an EExternal carrying a context) the
  // faulting instruction, and the context is the fault's own.
  const void* address = nullptr;
  CONTEXT context{};
  bool hasContext = false;
  // The stack pre-scan taken at raise time (packed candidate list); filled by the stack tracer.
  const std::uint8_t* preparedStack = nullptr;
  // The stack as it was at the throw: [stackCopyBegin, + stackCopySize) from the throwing function
  // upwards (context.Esp), and room for its packed candidate list. One allocation, kept for the
  // thread's life.
  std::uint8_t* stackCopy = nullptr;
  std::size_t stackCopySize = 0;
  DWORD stackCopyBegin = 0;
  std::uint8_t* preparedBuffer = nullptr;
};
inline constexpr std::size_t kMaxStackCopy = 32 * 1024;
inline constexpr std::size_t kMaxPreparedBytes = 4 + kMaxStackCopy / 4 * 5;
const RaiseFacts* CurrentRaiseFacts();  // nullptr when nothing was recorded on this thread
void ClearRaiseFacts();
// The packed candidate list of the stack copied at the throw (the report's pre-scan over the copy),
// written into the facts' own buffer; null when nothing was copied.
const std::uint8_t* PreparedStackOf(const RaiseFacts& facts);
// The address of the object an exception_ptr holds (what RaiseFacts::object names); null for null.
const void* ThrownObjectOf(const std::exception_ptr& e);

// Installs every intercept (runtime seams, thread creation and work-item wrappers in the loaded
// modules and in modules loaded later, last-chance filter, terminate, vectored first-chance
// handler for stack overflows and thread names). Called once by InstallKestrum.
void InstallInterception();
void RemoveInterception();

// The thread registry in the section "KestrumThreadNameBuf$<pid>".
bool OpenThreadRegistry();  // false: the block could neither be created nor opened
void CloseThreadRegistry();
bool ThreadRegistryOpen();
DWORD MainThreadId();
// Adds or replaces the thread's entry; with neither name nor creator given, removes it.
void SetThreadEntry(DWORD threadId, HANDLE threadHandle, const char* name, DWORD creatorThreadId,
                    const void* creator, const char* creatorClassName);
// Sets the name; with a debugger attached also raises the debugger's thread-naming exception,
// which the component swallows.
void SetThreadName(DWORD threadId, const char* name);
// The thread's text in reports; empty for the component's own threads unless showHidden.
std::string ThreadDisplayName(DWORD threadId, bool showHidden, const void** creator = nullptr,
                              DWORD* creatorThreadId = nullptr);

// "KestrumThreadNameBuf$<pid in lowercase hex>", the name of a process's registry section.
std::string ThreadRegistrySectionName(DWORD processId);
// The process block's mutex that the one freeze watchdog of the process holds; null without block.
HANDLE WatchdogMutex();

// Internal to the interception's files.
void RaiseThreadNameForDebugger(DWORD threadId, const char* name);
// True once after a pure virtual call on this thread (the terminate that follows then names it).
bool TakePureVirtualMark();

}  // namespace kestrum

// Writes a report of the whole process into the section "KorbTraceProcessMap" that an outside
// tool created (bufferSize above 0, cut to the smaller of bufferSize - 1 and the section's size),
// or onto the clipboard (bufferSize 0). Exported under exactly this name, for CreateRemoteThread.
// (The label keeps the stdcall decoration off the symbol; the export directive is beside the code.)
extern "C" DWORD WINAPI KorbTraceProcess(DWORD bufferSize) __asm__("_KorbTraceProcess");
