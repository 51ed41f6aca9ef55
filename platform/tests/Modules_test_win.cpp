// Run-time binding from a table of names, typed look-ups and module names.
#include "platform/Modules_win.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::EntrySlot;
using platform::SlotOf;

struct KernelEntries {
  decltype(&::GetTickCount) pGetTickCount;
  decltype(&::GetCurrentProcessId) pGetCurrentProcessId;
  decltype(&::GetCurrentThreadId) pGetCurrentThreadId;
};

std::string Lower(std::string s) {
  CharLowerBuffA(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

TEST(BindEntries, BindsAllOrNothing) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  KernelEntries k{};
  const EntrySlot complete[] = {{"GetTickCount", "GetTickCount", SlotOf(k.pGetTickCount)},
                                {"GetCurrentProcessId", "GetCurrentProcessId", SlotOf(k.pGetCurrentProcessId)}};
  ASSERT_TRUE(platform::BindEntries(kernel, complete));
  ASSERT_NE(k.pGetCurrentProcessId, nullptr);
  EXPECT_EQ(k.pGetCurrentProcessId(), GetCurrentProcessId());  // the slot's type is the entry's

  // One missing name in the middle: the slots bound before and after it are cleared as well.
  int stale = 0;
  const EntrySlot lacking[] = {{"GetTickCount", "GetTickCount", SlotOf(k.pGetTickCount)},
                               {"Missing", "KelvaneNoSuchEntry", reinterpret_cast<void**>(&stale)},
                               {"GetCurrentThreadId", "GetCurrentThreadId", SlotOf(k.pGetCurrentThreadId)}};
  EXPECT_FALSE(platform::BindEntries(kernel, lacking));
  EXPECT_EQ(k.pGetTickCount, nullptr);
  EXPECT_EQ(k.pGetCurrentThreadId, nullptr);

  ASSERT_TRUE(platform::BindEntries(kernel, complete));
  EXPECT_FALSE(platform::BindEntries(nullptr, complete));
  EXPECT_EQ(k.pGetTickCount, nullptr);
  EXPECT_EQ(k.pGetCurrentProcessId, nullptr);
}

TEST(LoadAndBind, GivesTheLibraryBackWhenAnEntryIsMissing) {
  ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "this test loads msimg32.dll itself";
  decltype(&::AlphaBlend) alphaBlend = nullptr;
  decltype(&::TransparentBlt) transparentBlt = nullptr;
  const EntrySlot lacking[] = {{"AlphaBlend", "AlphaBlend", SlotOf(alphaBlend)},
                               {"Missing", "KelvaneNoSuchEntry", SlotOf(transparentBlt)}};
  EXPECT_EQ(platform::LoadAndBind(L"msimg32.dll", lacking), nullptr);
  EXPECT_EQ(alphaBlend, nullptr);
  EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "the reference was kept";

  const EntrySlot complete[] = {{"AlphaBlend", "AlphaBlend", SlotOf(alphaBlend)},
                                {"TransparentBlt", "TransparentBlt", SlotOf(transparentBlt)}};
  const HMODULE module = platform::LoadAndBind(L"msimg32.dll", complete);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(transparentBlt), reinterpret_cast<void*>(GetProcAddress(module, "TransparentBlt")));
  FreeLibrary(module);

  EXPECT_EQ(platform::LoadAndBind(L"kelvane-no-such-library.dll", complete), nullptr);
  EXPECT_EQ(alphaBlend, nullptr);
}

TEST(ProcAddress, TypedByTheEntryAndNullWhenMissing) {
  const auto tick = platform::ProcAddress<decltype(&::GetTickCount)>(L"kernel32.dll", "GetTickCount");
  ASSERT_NE(tick, nullptr);
  EXPECT_LE(GetTickCount() - tick(), 1000u);
  EXPECT_EQ(platform::ProcAddress<decltype(&::GetTickCount)>(L"kernel32.dll", "KelvaneNoSuchEntry"), nullptr);
  EXPECT_EQ(platform::ProcAddress<decltype(&::GetTickCount)>(L"kelvane-no-such-library.dll", "GetTickCount"), nullptr);
}

TEST(ModuleNames, PathFileNameAndFolder) {
  const std::string path = platform::ModulePath();
  EXPECT_EQ(Lower(platform::ModuleFileName()), "plumbing_test.exe");
  EXPECT_EQ(platform::ModuleFolder() + platform::ModuleFileName(), path);
  EXPECT_EQ(path.substr(1, 2), ":\\");
  EXPECT_EQ(Lower(platform::ModuleFileName(GetModuleHandleW(L"kernel32.dll"))), "kernel32.dll");
  // A handle that names no loaded module has no name (null would be the program).
  EXPECT_EQ(platform::ModulePath(reinterpret_cast<HMODULE>(0x10000)), "");
}

TEST(ModuleNames, ModuleContainingAnAddress) {
  static const int inThisProgram = 0;
  EXPECT_EQ(platform::ModuleContaining(&inThisProgram), GetModuleHandleW(nullptr));
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  EXPECT_EQ(platform::ModuleContaining(reinterpret_cast<const char*>(kernel) + 0x100), kernel);
  EXPECT_EQ(platform::ModuleContaining(reinterpret_cast<const void*>(0x10)), nullptr);
}

}  // namespace
