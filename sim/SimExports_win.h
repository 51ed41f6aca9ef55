#pragma once
// Export tables of the test-double DLLs, built from the layer's own entry lists so that the
// doubles export exactly what the layer binds. Every export is a one-jump thunk through a
// pointer: to the simulation's function where there is one, otherwise to a stub of the same
// prototype (so the stack is cleaned as the caller expects) that fails cleanly. The thunks get
// their export names from a .def file made from the same lists by the preprocessor.

#include <windows.h>

#include <type_traits>

namespace sim {

template <LONG Status, class F>
struct NotModelled;

template <LONG Status, class R, class... A>
struct NotModelled<Status, R(WINAPI*)(A...)> {
  static R WINAPI Call(A...) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (std::is_pointer_v<R>) {
      return reinterpret_cast<R>(INVALID_HANDLE_VALUE);  // the setup library's handles fail so
    } else if constexpr (std::is_same_v<R, LONG>) {
      return static_cast<R>(Status);
    } else {
      return R{};
    }
  }
};

template <class T>
void* SimEntryAddress(T* fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace sim

// One export: the pointer it jumps through and the thunk the .def file names.
#define SIM_EXPORT(NAME)                                                              \
  extern "C" void* const SimEntry_##NAME = ::sim::SimEntryAddress(model::NAME); \
  static_assert(std::is_same_v<decltype(&::NAME), std::decay_t<decltype(model::NAME)>>, \
                "simulation of " #NAME " does not match the platform's prototype");   \
  extern "C" __attribute__((naked, used)) void SimThunk_##NAME() { asm("jmp *_SimEntry_" #NAME); }
