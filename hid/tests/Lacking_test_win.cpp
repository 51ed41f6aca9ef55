// A HID library that lacks one entry of the table binds nothing at all. The double lies in a
// folder of its own; once it is loaded under its base name, the layer's load by name finds it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "hid/Hid_win.h"
#include "testing/Paths_win.h"

namespace {

using testsupport::BesideThisProgram;

TEST(HidBinding, LibraryLackingOneEntryBindsNothing) {
  HMODULE lacking = LoadLibraryW(BesideThisProgram(L"lacking\\hid.dll").c_str());
  ASSERT_NE(lacking, nullptr);
  ASSERT_EQ(GetModuleHandleW(L"HID.dll"), lacking);
  ASSERT_EQ(GetProcAddress(lacking, "HidD_GetFeature"), nullptr);
  ASSERT_NE(GetProcAddress(lacking, "HidD_SetFeature"), nullptr);

  EXPECT_FALSE(LoadHidLibrary());
  EXPECT_FALSE(IsHidLibraryLoaded());
  int bound = 0;
  ForEachHidSlot([&](const TEntrySlot& s, THidBinding) { bound += *s.Slot != nullptr; });
  EXPECT_EQ(bound, 0);
  FreeLibrary(lacking);
}

}  // namespace
