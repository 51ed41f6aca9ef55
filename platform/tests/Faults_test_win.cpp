// Hardware faults in the program's own code become exceptions of the EExternal family.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/Text.h"
#include "platform/Thread_win.h"
#include "testing/TimeScale_win.h"

namespace {

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

__attribute__((noinline)) void WriteTo(volatile int* p) { *p = 1; }
__attribute__((noinline)) int ReadFrom(volatile int* p) { return *p; }
__attribute__((noinline)) int DivideBy(int d) { return 100 / d; }

std::string Hex(std::uintptr_t v) { return platform::DollarHex(v); }

struct Caught {
  std::string cls, message;
  TExceptionRecord record{};
  bool hasContext = false;
  DWORD eip = 0;
};

template <class F>
Caught CatchFault(F f) {
  Caught c;
  try {
    f();
    c.cls = "none";
  } catch (const EExternal& e) {
    c.cls = e.ClassName();
    c.message = e.Message();
    c.record = e.ExceptionRecord();
    if (const CONTEXT* ctx = ContextOf(e)) {
      c.hasContext = true;
      c.eip = ctx->Eip;
    }
  }
  return c;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { InstallFaultConversion(); }
};

TEST_F(Faults, AccessViolationCarriesRecordContextAndMessage) {
  Caught w = CatchFault([] { WriteTo(g_null); });
  EXPECT_EQ(w.cls, "EAccessViolation");
  EXPECT_EQ(w.record.ExceptionCode, excode::AccessViolation);
  EXPECT_EQ(w.record.ExceptionInformation[0], 1u);
  EXPECT_EQ(w.record.ExceptionInformation[1], 0u);
  ASSERT_TRUE(w.hasContext);
  EXPECT_EQ(w.eip, w.record.ExceptionAddress);
  // The fault lies inside WriteTo.
  EXPECT_GE(w.record.ExceptionAddress, reinterpret_cast<std::uintptr_t>(&WriteTo));
  EXPECT_LT(w.record.ExceptionAddress, reinterpret_cast<std::uintptr_t>(&WriteTo) + 64);
  EXPECT_EQ(w.message, "Zugriffsverletzung bei Adresse " + Hex(w.record.ExceptionAddress) +
                           " in Modul 'platform_fault_test.exe'. Schreiben von Adresse $0");

  Caught r = CatchFault([] { ReadFrom(reinterpret_cast<volatile int*>(0x10)); });
  EXPECT_EQ(r.cls, "EAccessViolation");
  EXPECT_EQ(r.message, "Zugriffsverletzung bei Adresse " + Hex(r.record.ExceptionAddress) +
                           " in Modul 'platform_fault_test.exe'. Lesen von Adresse $10");
}

TEST_F(Faults, OtherKinds) {
  Caught d = CatchFault([] { DivideBy(g_zero); });
  EXPECT_EQ(d.cls, "EDivByZero");
  EXPECT_EQ(d.message, "Division durch Null");
  Caught p = CatchFault([] { asm volatile("cli"); });
  EXPECT_EQ(p.cls, "EPrivilege");
  EXPECT_EQ(p.message, "Privilegierte Anweisung");
}

TEST_F(Faults, CaughtAsTheBaseClassesAndAsException) {
  try {
    WriteTo(g_null);
  } catch (const Exception& e) {
    EXPECT_TRUE(e.InheritsFrom("EExternal"));
  }
  // Locals of the unwound frames are destroyed as for any exception.
  struct Guard {
    int* n;
    ~Guard() { ++*n; }
  };
  int destroyed = 0;
  try {
    Guard g{&destroyed};
    WriteTo(g_null);
  } catch (const EAccessViolation&) {
  }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(Faults, FaultInsideAHandlerOfAnotherFault) {
  std::string inner;
  try {
    WriteTo(g_null);
  } catch (const EAccessViolation&) {
    try {
      DivideBy(g_zero);
    } catch (const EDivByZero& e) {
      inner = e.ClassName();
    }
  }
  EXPECT_EQ(inner, "EDivByZero");
}

TEST_F(Faults, HundredThousandFaultsInARowEachConvertedOnce) {
  const unsigned long before = ConvertedFaultCount();
  int caught = 0;
  for (int i = 0; i < 100000; ++i) {
    try {
      if (i % 2)
        WriteTo(g_null);
      else
        DivideBy(g_zero);
    } catch (const EExternal&) {
      ++caught;
    }
  }
  EXPECT_EQ(caught, 100000);
  EXPECT_EQ(ConvertedFaultCount() - before, 100000u);
}

TEST_F(Faults, ConvertedOnOtherThreadsToo) {
  struct Worker : TThread {
    std::string cls;
    void Execute() override {
      for (int i = 0; i < 1000; ++i) {
        try {
          ReadFrom(g_null);
        } catch (const EAccessViolation& e) {
          cls = e.ClassName();
        }
      }
    }
  };
  Worker a, b;
  a.Start();
  b.Start();
  a.WaitFor();
  b.WaitFor();
  EXPECT_EQ(a.cls, "EAccessViolation");
  EXPECT_EQ(b.cls, "EAccessViolation");
}

volatile bool g_keepGoing = true;
__attribute__((noinline)) int Recurse(int n) {
  volatile char pad[512];
  pad[0] = static_cast<char>(n);
  return g_keepGoing ? Recurse(n + 1) + pad[0] : n;
}

TEST_F(Faults, StackOverflowOnAThread) {
  struct Worker : TThread {
    std::string cls;
    void Execute() override {
      try {
        Recurse(0);
      } catch (const EExternal& e) {
        cls = e.ClassName();
      }
    }
  };
  Worker w;
  w.Start();
  w.WaitFor();
  EXPECT_EQ(w.cls, "EStackOverflow");
}

// A fault in another module (the C run-time's strlen) is not converted: it reaches the
// last-chance filter. Run in a child copy of this program, which the filter ends with code 77.
LONG WINAPI LastChance(EXCEPTION_POINTERS* ep) {
  ExitProcess(ep->ExceptionRecord->ExceptionCode == excode::AccessViolation ? 77 : 78);
}

TEST_F(Faults, FaultInAnotherModuleReachesTheLastChanceFilter) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string cmd = std::string("\"") + self + "\" --fault-in-other-module";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, testsupport::Scaled(30000)), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_EQ(code, 77u);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--fault-in-other-module") == 0) {
    InstallFaultConversion();
    SetUnhandledExceptionFilter(LastChance);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    size_t (*volatile len)(const char*) = &std::strlen;
    try {
      return static_cast<int>(len(reinterpret_cast<const char*>(16)));
    } catch (...) {
      return 3;  // converted: wrong
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
