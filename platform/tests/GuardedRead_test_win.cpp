// Guarded reads: unreadable memory ends a read, never the program, and the fault conversion and
// guard pages are left as they were.
#include "platform/GuardedRead_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/CrashHooks_win.h"
#include "platform/Exceptions.h"

namespace {

constexpr std::size_t kPage = 4096;

// Two pages: the first readable and filled with a pattern, the second with the given protection.
struct TwoPages {
  explicit TwoPages(DWORD secondProtection) {
    base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (std::size_t i = 0; i < 2 * kPage; ++i) base[i] = static_cast<unsigned char>(i * 7);
    DWORD old;
    VirtualProtect(base + kPage, kPage, secondProtection, &old);
  }
  ~TwoPages() { VirtualFree(base, 0, MEM_RELEASE); }
  unsigned char* base;
};

TEST(GuardedRead, StopsAtTheFirstUnreadableByte) {
  InstallFaultConversion();  // the conversion is there before and after the guard's handler
  platform::InstallGuardedRead();
  const unsigned long converted = ConvertedFaultCount();
  struct Case {
    DWORD protection;
    const char* name;
  };
  for (const Case c : {Case{PAGE_NOACCESS, "no access"}, Case{PAGE_READWRITE | PAGE_GUARD, "guard page"}}) {
    TwoPages pages(c.protection);
    unsigned char buffer[16] = {};
    const unsigned long faults = platform::GuardedReadFaultCount();
    EXPECT_EQ(platform::GuardedRead(pages.base + kPage - 5, buffer, sizeof buffer), 5u) << c.name;
    EXPECT_EQ(std::memcmp(buffer, pages.base + kPage - 5, 5), 0) << c.name;
    EXPECT_EQ(platform::GuardedRead(pages.base + kPage, buffer, sizeof buffer), 0u) << c.name;
    EXPECT_EQ(platform::GuardedReadFaultCount(), faults + 2) << c.name;
    MEMORY_BASIC_INFORMATION mbi;
    ASSERT_EQ(VirtualQuery(pages.base + kPage, &mbi, sizeof mbi), sizeof mbi);
    EXPECT_EQ(mbi.Protect, c.protection) << c.name << ": the protection must stay as it was";
  }
  EXPECT_EQ(ConvertedFaultCount(), converted);
  EXPECT_FALSE(platform::InGuardedRead());
}

TEST(GuardedRead, ReleasedAndNullAddressesAndReadableRuns) {
  void* released = VirtualAlloc(nullptr, kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  VirtualFree(released, 0, MEM_RELEASE);
  char buffer[64];
  EXPECT_EQ(platform::GuardedRead(released, buffer, sizeof buffer), 0u);
  EXPECT_EQ(platform::GuardedRead(nullptr, buffer, sizeof buffer), 0u);
  const char text[] = "readable all through";
  EXPECT_EQ(platform::GuardedRead(text, buffer, sizeof text), sizeof text);
  EXPECT_STREQ(buffer, text);
  // Many faults in a row leave the thread and its last error as they were.
  SetLastError(1234);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(platform::GuardedRead(reinterpret_cast<const void*>(16), buffer, 4), 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

volatile int* volatile g_null = nullptr;

TEST(GuardedRead, FaultsOutsideAGuardedReadAreStillConverted) {
  platform::InstallGuardedRead();
  InstallFaultConversion();
  char buffer[4];
  EXPECT_EQ(platform::GuardedRead(nullptr, buffer, 4), 0u);
  bool caught = false;
  try {
    *g_null = 1;
  } catch (const EExternal&) { caught = true; }
  EXPECT_TRUE(caught);
}

DWORD WINAPI ReadOnOtherThread(void* arg) {
  char buffer[8];
  std::size_t total = 0;
  for (int i = 0; i < 200; ++i) total += platform::GuardedRead(arg, buffer, sizeof buffer);
  return static_cast<DWORD>(total);
}

TEST(GuardedRead, ThreadsReadSideBySide) {
  TwoPages pages(PAGE_NOACCESS);
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) threads[i] = CreateThread(nullptr, 0, ReadOnOtherThread, pages.base + kPage - 4 + i, 0, nullptr);
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (int i = 0; i < 4; ++i) {
    DWORD total = 0;
    GetExitCodeThread(threads[i], &total);
    EXPECT_EQ(total, 200u * static_cast<DWORD>(4 - i));
    CloseHandle(threads[i]);
  }
}

}  // namespace
