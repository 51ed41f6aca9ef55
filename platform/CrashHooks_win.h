#pragma once
// Every seam where the crash-report component joins the program's runtime, in one place.
//
// C++ exceptions do not cross a window procedure or a thread procedure, so the runtime catches at
// each such boundary and hands the exception to a hook; hardware faults in our own code become
// exceptions first. Without the component each hook keeps the framework's default behaviour. The
// component fills a CrashHooks record and installs it with one call at start-up, where
// app/Kelvane_win.cpp keeps the place free: before the window framework starts and before any
// thread of ours exists, so that no boundary ever sees half a set.
//
//   seam                 called                                   default
//   threadException      on a TThread whose Execute let an        message box with the message
//                        exception escape, after Execute ended
//   synchronizeException on the UI thread, when a routine that    none: re-raised in the thread
//                        another thread handed over threw; true   that waits
//                        swallows it, false re-raises it there
//   handleException      Application->HandleException(sender, e): none: EAbort is dropped, the
//                        the handler of last resort of every      rest goes to ShowException
//                        window procedure and of the message loop
//   showException        Application->ShowException(e)            error box captioned with the
//                                                                 application's title
//   sysUtilsShowException                                         error box captioned with the
//                        the runtime's ShowException(e, address): program's title
//                        code that shows an exception itself
//   terminate            std::terminate: an exception nobody      the C++ library's handler
//                        catches, a throw while unwinding, a
//                        pure virtual call
//   abortSignal          SIGABRT, raised by abort()               the C run-time's default
//   fault conversion     always on once installed (InstallFaultConversion, implemented beside
//                        the exception records in Exceptions_win.cpp)
//
// Seams still to come (the hand-over of the terminate handler and of the unhandled-exception
// filter, a wrapper around every thread start) go into the same record, each with the
// framework's own behaviour in DefaultCrashHooks, so that installing stays one call.

#include <exception>

class TThread;
class TObject;

using ThreadExceptionHookFn = void (*)(TThread* thread, std::exception_ptr e);
using SynchronizeExceptionHookFn = bool (*)(std::exception_ptr e);
using HandleExceptionHookFn = void (*)(TObject* sender, std::exception_ptr e);
using ShowExceptionHookFn = void (*)(std::exception_ptr e);
using SysUtilsShowExceptionHookFn = void (*)(std::exception_ptr e, const void* address);
using TerminateHookFn = void (*)();
using AbortSignalHookFn = void (*)(int signal);

// The hooks the runtime reads at each boundary. A null hook means "no hook": the thread
// boundary then drops the exception, the others behave as in the default column. Tests set one
// directly; the component installs all of them with InstallCrashHooks.
extern ThreadExceptionHookFn ThreadExceptionHook;
extern SynchronizeExceptionHookFn SynchronizeExceptionHook;
extern HandleExceptionHookFn ApplicationHandleExceptionHook;
extern ShowExceptionHookFn ApplicationShowExceptionHook;
extern SysUtilsShowExceptionHookFn SysUtilsShowExceptionHook;

// The runtime's ShowException: SysUtilsShowExceptionHook when one is installed, else the error box
// of ShowExceptionMessageBox (Exceptions_win.h). address is where the exception was raised, or null.
void SysUtilsShowException(std::exception_ptr e, const void* address = nullptr);

// Converts hardware faults (access violation, division by zero, stack overflow, ... - the codes of
// IsConvertedExceptionCode) that happen in this program's own module into exceptions of the
// EExternal family thrown at the faulting instruction, so that an ordinary try/catch further up
// the faulting thread catches them. Own code is built with -fnon-call-exceptions for this. Faults
// in other modules (system libraries, the C run-time) are left to the system. A fault during the
// conversion itself is left to the system too. Idempotent; the thread class, the application
// object and InstallCrashHooks call it.
void InstallFaultConversion();
// Number of faults converted so far in this process.
unsigned long ConvertedFaultCount();

namespace platform {

struct CrashHooks {
  ThreadExceptionHookFn threadException = nullptr;
  SynchronizeExceptionHookFn synchronizeException = nullptr;
  HandleExceptionHookFn handleException = nullptr;
  ShowExceptionHookFn showException = nullptr;
  SysUtilsShowExceptionHookFn sysUtilsShowException = nullptr;
  // Null: the handler that was in force before the first InstallCrashHooks (the library's, the
  // run-time's default).
  TerminateHookFn terminate = nullptr;
  AbortSignalHookFn abortSignal = nullptr;
};

// The framework's own set, the one in force until something installs another.
CrashHooks DefaultCrashHooks();
CrashHooks InstalledCrashHooks();
// Installs every hook of the record at once and turns the fault conversion on; returns the set it
// replaced. Call it before threads of ours run: the boundaries read the hooks without a lock.
CrashHooks InstallCrashHooks(const CrashHooks& hooks);

}  // namespace platform
