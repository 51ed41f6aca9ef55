// One install call reaches every seam of the runtime.
#include "platform/CrashHooks_win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Thread_win.h"

namespace {

std::vector<std::string> g_calls;

void OnThread(TThread* t, std::exception_ptr e) { g_calls.push_back("thread " + t->ClassName() + " " + ExceptionMessage(e)); }
bool OnSynchronize(std::exception_ptr e) {
  g_calls.push_back("synchronize " + ExceptionMessage(e));
  return true;
}
void OnHandle(TObject*, std::exception_ptr e) { g_calls.push_back("handle " + ExceptionMessage(e)); }
void OnShow(std::exception_ptr e) { g_calls.push_back("show " + ExceptionMessage(e)); }

class Thrower : public TThread {
 protected:
  void Execute() override {
    Synchronize([] { throw Exception("from the UI routine"); });
    throw Exception("from Execute");
  }
};

volatile int* volatile g_null = nullptr;

// First in this program: nothing has turned the fault conversion on before.
TEST(CrashHooks, OneCallInstallsEverySeamAndTheFaultConversion) {
  const platform::CrashHooks defaults = platform::InstalledCrashHooks();
  EXPECT_EQ(defaults.threadException, platform::DefaultCrashHooks().threadException);
  EXPECT_NE(defaults.threadException, nullptr);
  EXPECT_EQ(defaults.synchronizeException, nullptr);
  EXPECT_EQ(defaults.handleException, nullptr);
  EXPECT_EQ(defaults.showException, nullptr);

  const platform::CrashHooks replaced = platform::InstallCrashHooks({OnThread, OnSynchronize, OnHandle, OnShow});
  EXPECT_EQ(replaced.threadException, defaults.threadException);

  std::string caught;
  try {
    *g_null = 1;
  } catch (const EAccessViolation& e) {
    caught = e.ClassName();
  }
  EXPECT_EQ(caught, "EAccessViolation");

  g_calls.clear();
  {
    Thrower t;
    t.Start();
    t.WaitFor();
  }
  Application->HandleException(nullptr, std::make_exception_ptr(Exception("from a window")));
  Application->ShowException(std::make_exception_ptr(Exception("for the box")));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"synchronize from the UI routine", "thread (anonymous namespace)::Thrower from Execute",
                                               "handle from a window", "show for the box"}));

  const platform::CrashHooks ours = platform::InstallCrashHooks(defaults);
  EXPECT_EQ(ours.threadException, &OnThread);
  EXPECT_EQ(ours.synchronizeException, &OnSynchronize);
  EXPECT_EQ(ours.handleException, &OnHandle);
  EXPECT_EQ(ours.showException, &OnShow);
  EXPECT_EQ(platform::InstalledCrashHooks().threadException, defaults.threadException);
  EXPECT_EQ(ApplicationHandleExceptionHook, nullptr);
}

}  // namespace

namespace {

std::string g_runtimeShown;
void OnRuntimeShow(std::exception_ptr e, const void* address) {
  g_runtimeShown = ExceptionMessage(e) + (address ? " with address" : "");
}
void OnTerminate() { std::_Exit(5); }

// The seams that are not the framework's own: the runtime's ShowException and terminate go to the
// hooks while installed, and a set without them puts the originals back.
TEST(CrashHooks, RuntimeShowAndTerminateSeams) {
  const platform::CrashHooks before = platform::InstalledCrashHooks();
  const std::terminate_handler originalTerminate = std::get_terminate();
  platform::CrashHooks hooks = before;
  hooks.sysUtilsShowException = OnRuntimeShow;
  hooks.terminate = OnTerminate;
  platform::InstallCrashHooks(hooks);
  SysUtilsShowException(std::make_exception_ptr(Exception("runtime box")), &g_runtimeShown);
  EXPECT_EQ(g_runtimeShown, "runtime box with address");
  EXPECT_EQ(std::get_terminate(), &OnTerminate);
  EXPECT_EQ(platform::InstalledCrashHooks().terminate, &OnTerminate);

  platform::InstallCrashHooks(before);
  EXPECT_EQ(std::get_terminate(), originalTerminate);
  EXPECT_EQ(SysUtilsShowExceptionHook, nullptr);
}

}  // namespace
