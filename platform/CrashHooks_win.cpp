#include "platform/CrashHooks_win.h"

#include <csignal>
#include <exception>

#include "platform/Exceptions_win.h"

namespace {
void ShowThreadException(TThread*, std::exception_ptr e) { SysUtilsShowException(e); }

// What was in force before the first installation, so that a set without a terminate or abort
// hook goes back to it.
std::terminate_handler g_originalTerminate = nullptr;
void (*g_originalAbort)(int) = SIG_DFL;
bool g_originalsTaken = false;
TerminateHookFn g_terminate = nullptr;
AbortSignalHookFn g_abortSignal = nullptr;

void TakeOriginals() {
  if (g_originalsTaken) return;
  g_originalsTaken = true;
  g_originalTerminate = std::get_terminate();
  g_originalAbort = std::signal(SIGABRT, SIG_DFL);
  if (g_originalAbort == SIG_ERR) g_originalAbort = SIG_DFL;
}
}  // namespace

// Constant-initialised: set before any static constructor can start a thread.
ThreadExceptionHookFn ThreadExceptionHook = ShowThreadException;
SynchronizeExceptionHookFn SynchronizeExceptionHook = nullptr;
HandleExceptionHookFn ApplicationHandleExceptionHook = nullptr;
ShowExceptionHookFn ApplicationShowExceptionHook = nullptr;
SysUtilsShowExceptionHookFn SysUtilsShowExceptionHook = nullptr;

void SysUtilsShowException(std::exception_ptr e, const void* address) {
  if (SysUtilsShowExceptionHook) {
    SysUtilsShowExceptionHook(e, address);
    return;
  }
  ShowExceptionMessageBox(e);
}

namespace platform {

CrashHooks DefaultCrashHooks() {
  CrashHooks hooks;
  hooks.threadException = ShowThreadException;
  return hooks;
}

CrashHooks InstalledCrashHooks() {
  CrashHooks hooks;
  hooks.threadException = ThreadExceptionHook;
  hooks.synchronizeException = SynchronizeExceptionHook;
  hooks.handleException = ApplicationHandleExceptionHook;
  hooks.showException = ApplicationShowExceptionHook;
  hooks.sysUtilsShowException = SysUtilsShowExceptionHook;
  hooks.terminate = g_terminate;
  hooks.abortSignal = g_abortSignal;
  return hooks;
}

CrashHooks InstallCrashHooks(const CrashHooks& hooks) {
  const CrashHooks previous = InstalledCrashHooks();
  InstallFaultConversion();
  TakeOriginals();
  ThreadExceptionHook = hooks.threadException;
  SynchronizeExceptionHook = hooks.synchronizeException;
  ApplicationHandleExceptionHook = hooks.handleException;
  ApplicationShowExceptionHook = hooks.showException;
  SysUtilsShowExceptionHook = hooks.sysUtilsShowException;
  g_terminate = hooks.terminate;
  g_abortSignal = hooks.abortSignal;
  std::set_terminate(hooks.terminate ? hooks.terminate : g_originalTerminate);
  std::signal(SIGABRT, hooks.abortSignal ? hooks.abortSignal : g_originalAbort);
  return previous;
}

}  // namespace platform
