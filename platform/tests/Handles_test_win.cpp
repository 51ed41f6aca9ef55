// The handle owners and the critical section with its guard.
#include "platform/Handles_win.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using platform::AutoLock;
using platform::CriticalSection;
using platform::MutexGuard;
using platform::ScopedFileHandle;
using platform::ScopedKernelHandle;
using platform::ScopedModule;

// Counts what the owner closes, so that "once" is seen exactly.
struct CountingTraits {
  using Handle = int;
  static inline std::vector<int> closed;
  static Handle Invalid() noexcept { return -1; }
  static void Close(Handle h) noexcept { closed.push_back(h); }
};
using Counted = platform::ScopedHandle<CountingTraits>;

TEST(ScopedHandle, ClosesWhatItOwnsExactlyOnce) {
  auto& closed = CountingTraits::closed;
  closed.clear();
  {
    Counted a(1);
    Counted b(std::move(a));  // a owns nothing now
    Counted c(2);
    c = std::move(b);          // closes 2, takes 1
    EXPECT_EQ(closed, std::vector<int>{2});
    c = std::move(c);          // moving onto itself keeps it
    EXPECT_EQ(c.Get(), 1);
    Counted d(3);
    EXPECT_EQ(d.Release(), 3);  // gives it up unclosed
    EXPECT_FALSE(d.IsValid());
    Counted e(4);
    e.Reset(4);  // the same value again is no new handle
    e.Reset(5);  // closes 4
    EXPECT_EQ(closed, (std::vector<int>{2, 4}));
  }
  // In reverse order of construction: e (5), d (nothing), c (1), b and a (nothing).
  EXPECT_EQ(closed, (std::vector<int>{2, 4, 5, 1}));
}

TEST(ScopedHandle, EachKindHasItsOwnInvalidValue) {
  EXPECT_EQ(ScopedFileHandle().Get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ScopedKernelHandle().Get(), nullptr);
  EXPECT_EQ(ScopedModule().Get(), nullptr);
  // A failed CreateFile is no file; a failed CreateEvent is no event.
  ScopedFileHandle noFile(CreateFileW(L"Z:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(noFile);
  // For a kernel handle INVALID_HANDLE_VALUE is a real one: the current process.
  EXPECT_TRUE(ScopedKernelHandle(GetCurrentProcess()).IsValid());
  // Invalid values are never handed to the system to close.
  SetLastError(0);
  { ScopedFileHandle f; ScopedKernelHandle k; ScopedModule m; }
  EXPECT_EQ(GetLastError(), 0u);
}

TEST(ScopedHandle, EachKindReleasesItsObject) {
  // Kernel handle: the handle is gone afterwards.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  { ScopedKernelHandle owner(event); }
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(event, &flags));

  // File handle: a file that deletes itself on close is gone afterwards.
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"kel", 0, path);
  {
    ScopedFileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(file);
    EXPECT_NE(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES);
  }
  EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES);

  // Module: the library is unloaded with the last reference.
  ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "this test loads msimg32.dll itself";
  {
    ScopedModule module(LoadLibraryW(L"msimg32.dll"));
    ASSERT_TRUE(module);
  }
  EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr);
}

struct Probe {
  CRITICAL_SECTION* section;
  bool entered;
};

DWORD WINAPI TryFromOtherThread(LPVOID p) {
  auto* probe = static_cast<Probe*>(p);
  probe->entered = TryEnterCriticalSection(probe->section) != FALSE;
  if (probe->entered) LeaveCriticalSection(probe->section);
  return 0;
}

// Whether another thread could take the section now.
bool FreeForOtherThreads(CRITICAL_SECTION& section) {
  Probe probe{&section, false};
  HANDLE thread = CreateThread(nullptr, 0, TryFromOtherThread, &probe, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return probe.entered;
}

TEST(AutoLock, HoldsTheSectionForItsScope) {
  CriticalSection owned;
  CRITICAL_SECTION bare;  // as one lives in memory shared between modules
  InitializeCriticalSection(&bare);
  for (CRITICAL_SECTION* section : {&owned.Native(), &bare}) {
    {
      AutoLock lock(*section);
      EXPECT_FALSE(FreeForOtherThreads(*section));
      // The same thread may enter again.
      AutoLock again(*section);
    }
    EXPECT_TRUE(FreeForOtherThreads(*section));
  }
  {
    AutoLock lock(owned);
    EXPECT_FALSE(FreeForOtherThreads(owned.Native()));
  }
  EXPECT_TRUE(FreeForOtherThreads(owned.Native()));
  DeleteCriticalSection(&bare);
}

DWORD WINAPI TakeAndGive(LPVOID mutex) {
  const DWORD r = WaitForSingleObject(mutex, 0);
  if (r == WAIT_OBJECT_0) ReleaseMutex(mutex);
  return r;
}

// What another thread gets when it tries to take the mutex now.
DWORD OtherThreadTakes(HANDLE mutex) {
  HANDLE thread = CreateThread(nullptr, 0, TakeAndGive, mutex, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD r = 0;
  GetExitCodeThread(thread, &r);
  CloseHandle(thread);
  return r;
}

TEST(MutexGuard, OwnsTheMutexForItsScope) {
  ScopedKernelHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_TRUE(mutex);
  {
    MutexGuard hold(mutex.Get());
    EXPECT_EQ(OtherThreadTakes(mutex.Get()), static_cast<DWORD>(WAIT_TIMEOUT));
  }
  EXPECT_EQ(OtherThreadTakes(mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));
  MutexGuard nothing(nullptr);  // a mutex that could not be made: nothing to hold or give back
}

}  // namespace
