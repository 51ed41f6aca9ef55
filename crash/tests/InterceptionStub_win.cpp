// Stands in for the interception while it is built elsewhere: the runtime's application and thread
// seams report through the entry, nothing is recorded at throw time, and the thread registry keeps
// nothing. The build drops this file as soon as crash/KestrumInterception_win.cpp exists.
#include "crash/KestrumInterception_win.h"

#include "crash/KestrumHandling_win.h"
#include "platform/CrashHooks_win.h"
#include "platform/Exceptions.h"

namespace kestrum {

namespace {

DWORD g_mainThread = 0;

void Report(std::exception_ptr e, TExceptSource source, TObject* related) {
  ReportArgs args;
  args.object = std::move(e);
  args.source = source;
  args.relatedObject = related;
  ReportException(args);
}

void OnThreadException(TThread*, std::exception_ptr e) { Report(std::move(e), esTThreadExecute, nullptr); }
void OnHandleException(TObject* sender, std::exception_ptr e) { Report(std::move(e), esApplicationHandleException, sender); }
void OnShowException(std::exception_ptr e) { Report(std::move(e), esApplicationShowException, nullptr); }
bool OnSynchronizeException(std::exception_ptr e) {
  if (ExceptionInheritsFrom(e, "EAbort")) return false;
  Report(std::move(e), esTThreadSynchronize, nullptr);
  return true;
}

}  // namespace

const RaiseFacts* CurrentRaiseFacts() { return nullptr; }
void ClearRaiseFacts() {}

void InstallInterception() {
  platform::CrashHooks hooks;
  hooks.threadException = OnThreadException;
  hooks.synchronizeException = OnSynchronizeException;
  hooks.handleException = OnHandleException;
  hooks.showException = OnShowException;
  platform::InstallCrashHooks(hooks);
}

void RemoveInterception() { platform::InstallCrashHooks(platform::DefaultCrashHooks()); }

bool OpenThreadRegistry() {
  if (!g_mainThread) g_mainThread = GetCurrentThreadId();
  return true;
}
void CloseThreadRegistry() {}
DWORD MainThreadId() { return g_mainThread; }
void SetThreadEntry(DWORD, HANDLE, const char*, DWORD, const void*, const char*) {}
void SetThreadName(DWORD, const char*) {}
std::string ThreadDisplayName(DWORD threadId, bool, const void**, DWORD*) { return "thread " + DollarHex(threadId); }

}  // namespace kestrum
