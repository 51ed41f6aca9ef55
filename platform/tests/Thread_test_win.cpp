// The thread class and run-on-the-UI-thread under Wine. The test program's main thread is the UI
// thread.
#include "platform/Thread_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "testing/TimeScale_win.h"

namespace {

class FnThread : public TThread {
 public:
  explicit FnThread(std::function<void(FnThread&)> body) : body_(std::move(body)) {}
  ~FnThread() override {
    Terminate();
    if (Started()) WaitFor();
  }
  using TThread::ReturnValue;
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FnThread&)> body_;
};

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitUIThread();
    savedHook = ThreadExceptionHook;
    savedSyncHook = SynchronizeExceptionHook;
    hooked.clear();
    ThreadExceptionHook = [](TThread* t, std::exception_ptr e) {
      hooked.push_back({t, ExceptionClassName(e), ExceptionMessage(e), GetCurrentThreadId()});
    };
  }
  void TearDown() override {
    ThreadExceptionHook = savedHook;
    SynchronizeExceptionHook = savedSyncHook;
  }

  struct Hooked {
    TThread* thread;
    std::string cls, message;
    DWORD onThread;
  };
  static inline std::vector<Hooked> hooked;
  ThreadExceptionHookFn savedHook = nullptr;
  SynchronizeExceptionHookFn savedSyncHook = nullptr;
};

TEST_F(ThreadTest, CreatedSuspendedAndStartedOnce) {
  std::atomic<int> runs{0};
  FnThread t([&](FnThread& self) {
    ++runs;
    self.ReturnValue = 7;
  });
  EXPECT_NE(t.ThreadID(), 0u);
  EXPECT_NE(t.Handle(), nullptr);
  Sleep(50);
  EXPECT_EQ(runs, 0) << "Execute ran before Start";
  EXPECT_FALSE(t.Finished());
  t.Start();
  t.Start();
  EXPECT_EQ(t.WaitFor(), 7u);
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(t.ClassName(), "(anonymous namespace)::FnThread");
}

TEST_F(ThreadTest, ExceptionEscapingExecuteReachesTheHook) {
  FnThread t([](FnThread&) { throw EConvertError("kaputt"); });
  t.Start();
  t.WaitFor();
  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_EQ(hooked[0].thread, &t);
  EXPECT_EQ(hooked[0].cls, "EConvertError");
  EXPECT_EQ(hooked[0].message, "kaputt");
  EXPECT_EQ(hooked[0].onThread, t.ThreadID());
  EXPECT_TRUE(t.Finished());
}

TEST_F(ThreadTest, ForeignExceptionReachesTheHookToo) {
  FnThread t([](FnThread&) { throw 42; });
  t.Start();
  t.WaitFor();
  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_EQ(hooked[0].cls, "Unknown");
}

TEST_F(ThreadTest, TerminateFlagAndDestructorOfARunningThread) {
  std::atomic<int> passes{0};
  auto t = std::make_unique<FnThread>([&](FnThread& self) {
    while (!self.Terminated()) {
      ++passes;
      Sleep(1);
    }
  });
  t->Start();
  while (passes < 3) Sleep(1);
  EXPECT_FALSE(t->Finished());
  t.reset();  // terminates and waits
  const int after = passes;
  Sleep(20);
  EXPECT_EQ(passes, after);
}

TEST_F(ThreadTest, NeverStartedThreadIsDestroyedWithoutRunning) {
  class Plain : public TThread {
   public:
    std::atomic<bool>* ran;
    void Execute() override { *ran = true; }
  };
  std::atomic<bool> ran{false};
  {
    Plain p;
    p.ran = &ran;
  }
  EXPECT_FALSE(ran);
}

TEST_F(ThreadTest, SynchronizeRunsOnTheUIThreadWhileTheWorkerWaits) {
  const DWORD ui = GetCurrentThreadId();
  std::vector<DWORD> ranOn;
  std::atomic<int> afterRoutine{0};
  FnThread t([&](FnThread& self) {
    self.Synchronize([&] {
      Sleep(30);  // the worker must still be waiting when this returns
      ranOn.push_back(GetCurrentThreadId());
      ranOn.push_back(static_cast<DWORD>(afterRoutine.load()));
    });
    ++afterRoutine;
  });
  t.Start();
  t.WaitFor();
  ASSERT_EQ(ranOn.size(), 2u);
  EXPECT_EQ(ranOn[0], ui);
  EXPECT_EQ(ranOn[1], 0u);
  EXPECT_EQ(afterRoutine, 1);
}

TEST_F(ThreadTest, RoutineRunsAtOnceOnTheUIThread) {
  int ran = 0;
  RunOnUIThread([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(IsUIThread());
  EXPECT_FALSE(CheckSynchronize());
}

TEST_F(ThreadTest, ExceptionInARoutineIsRaisedAgainInTheWorker) {
  std::string caught;
  bool ranOnUI = false;
  FnThread t([&](FnThread& self) {
    try {
      self.Synchronize([&] {
        ranOnUI = IsUIThread();
        throw EAbort("weg");
      });
    } catch (const EAbort& e) {
      caught = e.ClassName() + ":" + e.Message();
    }
  });
  t.Start();
  t.WaitFor();
  EXPECT_TRUE(ranOnUI);
  EXPECT_EQ(caught, "EAbort:weg");
  EXPECT_TRUE(hooked.empty());
}

TEST_F(ThreadTest, SynchronizeHookMaySwallowTheException) {
  static std::vector<std::string> seen;
  seen.clear();
  SynchronizeExceptionHook = [](std::exception_ptr e) {
    seen.push_back(ExceptionClassName(e) + (IsUIThread() ? "@ui" : "@worker"));
    return !ExceptionInheritsFrom(e, "EAbort");
  };
  std::vector<std::string> worker;
  FnThread t([&](FnThread& self) {
    for (bool abort : {false, true}) {
      try {
        self.Synchronize([&] {
          if (abort) throw EAbort("");
          throw EConvertError("x");
        });
        worker.push_back("continued");
      } catch (const Exception& e) {
        worker.push_back(e.ClassName());
      }
    }
  });
  t.Start();
  t.WaitFor();
  EXPECT_EQ(seen, (std::vector<std::string>{"EConvertError@ui", "EAbort@ui"}));
  EXPECT_EQ(worker, (std::vector<std::string>{"continued", "EAbort"}));
}

// The receiver window's "Close Device": the UI thread waits for a worker that keeps handing it
// display routines. Several workers at once, many rounds; a deadlock hangs the test (time-out).
TEST_F(ThreadTest, WaitingForAWorkerThatSynchronizesNeverDeadlocks) {
  for (int round = 0; round < 200; ++round) {
    std::vector<int> log;
    std::vector<std::unique_ptr<FnThread>> workers;
    for (int w = 0; w < 3; ++w) {
      workers.push_back(std::make_unique<FnThread>([&log, w](FnThread& self) {
        for (int i = 0; !self.Terminated() || i < 5; ++i) {
          self.Synchronize([&log, w] { log.push_back(w); });
          if (i > 50) break;
        }
      }));
    }
    for (auto& w : workers) w->Start();
    if (round % 2) Sleep(1);
    for (auto& w : workers) {
      w->Terminate();
      w->WaitFor();
    }
    // Every routine ran exactly where it was queued: all on this thread, none lost.
    int counts[3] = {};
    for (int w : log) ++counts[w];
    for (int c : counts) {
      EXPECT_GE(c, 5);
      EXPECT_LE(c, 52);
    }
    ASSERT_FALSE(HasFailure()) << "round " << round;
  }
}

// A worker that sends a message to a window of the UI thread while the UI thread waits for it.
TEST_F(ThreadTest, WaitServesSentMessages) {
  struct Proc {
    static LRESULT CALLBACK Doubler(HWND w, UINT m, WPARAM wp, LPARAM lp) {
      if (m == WM_APP) return static_cast<LRESULT>(wp * 2);
      return DefWindowProcA(w, m, wp, lp);
    }
  };
  WNDCLASSA wc{};
  wc.lpfnWndProc = Proc::Doubler;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ThreadTestTarget";
  RegisterClassA(&wc);
  HWND target = CreateWindowA("ThreadTestTarget", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(target, nullptr);
  LRESULT answer = 0;
  FnThread t([&](FnThread&) { answer = SendMessageA(target, WM_APP, 21, 0); });
  t.Start();
  t.WaitFor();
  EXPECT_EQ(answer, 42);
  DestroyWindow(target);
}

TEST_F(ThreadTest, WaitServingUITimesOutAndWaitsFromOtherThreads) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitServingUI(never, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD seen = 0;
  FnThread t([&](FnThread&) { seen = WaitServingUI(ready, testsupport::Scaled(5000)); });
  t.Start();
  Sleep(20);
  SetEvent(ready);
  t.WaitFor();
  EXPECT_EQ(seen, static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(never);
  CloseHandle(ready);
}

// A plain message loop (no CheckSynchronize of its own) serves the requests through the UI
// thread's wake-up window, as any modal loop of the system does.
TEST_F(ThreadTest, PlainMessageLoopServesRequests) {
  std::atomic<bool> done{false};
  int ran = 0;
  FnThread t([&](FnThread& self) {
    for (int i = 0; i < 20; ++i) self.Synchronize([&] { ++ran; });
    done = true;
  });
  t.Start();
  MSG m;
  const DWORD start = GetTickCount();
  while (!done && GetTickCount() - start < testsupport::Scaled(10000)) {
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) {
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
  }
  EXPECT_TRUE(done);
  t.WaitFor();
  EXPECT_EQ(ran, 20);
}

}  // namespace
