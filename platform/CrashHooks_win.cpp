#include "platform/CrashHooks_win.h"

#include "platform/Exceptions_win.h"

namespace {
void ShowThreadException(TThread*, std::exception_ptr e) { ShowExceptionMessageBox(e); }
}  // namespace

// Constant-initialised: set before any static constructor can start a thread.
ThreadExceptionHookFn ThreadExceptionHook = ShowThreadException;
SynchronizeExceptionHookFn SynchronizeExceptionHook = nullptr;
HandleExceptionHookFn ApplicationHandleExceptionHook = nullptr;
ShowExceptionHookFn ApplicationShowExceptionHook = nullptr;

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
  return hooks;
}

CrashHooks InstallCrashHooks(const CrashHooks& hooks) {
  const CrashHooks previous = InstalledCrashHooks();
  InstallFaultConversion();
  ThreadExceptionHook = hooks.threadException;
  SynchronizeExceptionHook = hooks.synchronizeException;
  ApplicationHandleExceptionHook = hooks.handleException;
  ApplicationShowExceptionHook = hooks.showException;
  return previous;
}

}  // namespace platform
