// What the crash-test programs do to reach the component's exception paths: the interception's
// program (with a recording ReportException) and the program built with the whole component run
// the same faults, overflows, pure virtual calls and nested exceptions.
#pragma once

#include <windows.h>

#include <stdexcept>

namespace kestrum::crashpaths {

inline int volatile* volatile g_null = nullptr;

// A fault in the program's own code, which becomes an EAccessViolation where it happens.
__attribute__((noinline)) inline void Fault() { *g_null = 1; }

inline volatile bool g_deeper = true;
__attribute__((noinline)) inline int Recurse(int n) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(n);
  return g_deeper ? Recurse(n + 1) + pad[0] : n;
}

inline DWORD WINAPI FaultingBody(void*) {
  Fault();
  return 5;
}

inline DWORD WINAPI OverflowingBody(void*) { return static_cast<DWORD>(Recurse(0)); }

// Constructing a PureDerived calls a pure virtual function from the base's constructor.
struct PureBase {
  PureBase() { Call(); }
  virtual ~PureBase() = default;
  virtual void Pure() = 0;
  void Call() { Pure(); }
};
struct PureDerived : PureBase {
  void Pure() override {}
};

// Throws while another exception unwinds through it: the run-time terminates.
struct ThrowsWhenDestroyed {
  ~ThrowsWhenDestroyed() noexcept(false) { throw std::runtime_error("second"); }
};

}  // namespace kestrum::crashpaths
