#pragma once
// Reading memory that may not be readable, directly and without a system call per read.
//
// A fault inside a guarded read ends that read, never the program: a vectored handler sends the
// faulting thread back to the read's starting point (the __builtin_setjmp buffer: frame, resume
// address and stack) and the read reports how far it got. The fault conversion of
// Exceptions_win.cpp leaves these faults alone. A touched guard page gets its guard back, so that
// reading another thread's stack does not take away the page its stack grows by.

#include <cstddef>

namespace platform {

// Adds the vectored handler and the per-thread slot. Idempotent; GuardedRead calls it too, but the
// crash path should find it done at start-up.
void InstallGuardedRead();

// Copies up to count bytes from source to dest and returns how many leading bytes were readable.
std::size_t GuardedRead(const void* source, void* dest, std::size_t count);

// True while the calling thread is inside a guarded read (for the other vectored handlers).
bool InGuardedRead();

// Number of faults the guard has absorbed in this process.
unsigned long GuardedReadFaultCount();

}  // namespace platform
