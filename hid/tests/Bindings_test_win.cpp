// The entry tables on the platform's own libraries (Wine's HID.dll and SetupApi.dll here): every
// slot must bind there, or the controller would find no device at all.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "hid/Hid_win.h"
#include "hid/SetupApi_win.h"

namespace {

int BoundSetupSlots() {
  int n = 0;
  ForEachSetupApiSlot([&](const TEntrySlot& s) { n += *s.Slot != nullptr; });
  return n;
}

TEST(SetupApiBinding, EverySlotBindsAndTheUseCountKeepsTheLibrary) {
  ASSERT_TRUE(LoadSetupLibrary());
  EXPECT_EQ(BoundSetupSlots(), SetupApiSlotCount());
  EXPECT_NE(SetupApi.pSetupDiGetClassDevsW, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(SetupApi.pSetupDiGetClassDevs), reinterpret_cast<void*>(SetupApi.pSetupDiGetClassDevsW));
  EXPECT_EQ(reinterpret_cast<void*>(SetupApi.pSetupDiGetInterfaceDeviceDetailW),
            reinterpret_cast<void*>(SetupApi.pSetupDiGetDeviceInterfaceDetailW));
  const auto first = SetupApi.pSetupDiEnumDeviceInterfaces;

  ASSERT_TRUE(LoadSetupLibrary());
  EXPECT_EQ(SetupLibraryUseCount(), 2);
  UnloadSetupLibrary();
  EXPECT_TRUE(IsSetupLibraryLoaded());
  EXPECT_EQ(SetupApi.pSetupDiEnumDeviceInterfaces, first);
  EXPECT_EQ(BoundSetupSlots(), SetupApiSlotCount());

  UnloadSetupLibrary();
  EXPECT_FALSE(IsSetupLibraryLoaded());
  EXPECT_EQ(BoundSetupSlots(), 0);
  EXPECT_EQ(SetupLibraryUseCount(), 0);
}

TEST(SetupApiBinding, OneSlotPerName) {
  std::set<std::string> names;
  ForEachSetupApiSlot([&](const TEntrySlot& s) {
    EXPECT_TRUE(names.insert(s.Name).second) << s.Name;
  });
  EXPECT_GT(names.size(), 396u);
}

int BoundHidSlots() {
  int n = 0;
  ForEachHidSlot([&](const TEntrySlot& s, THidBinding) { n += *s.Slot != nullptr; });
  return n;
}

TEST(HidBinding, VersionDependentSlots) {
  struct Case {
    THidPlatformVersion v;
    bool inputOutput;  // HidD_GetInputReport, HidD_SetOutputReport
    bool extended;     // HidP_GetExtendedAttributes, HidP_InitializeReportForID
  };
  const Case cases[] = {
      {{VER_PLATFORM_WIN32_NT, 5, 0}, false, true},
      {{VER_PLATFORM_WIN32_NT, 5, 1}, true, true},
      {{VER_PLATFORM_WIN32_NT, 6, 0}, true, true},   // a later major version with minor 0
      {{VER_PLATFORM_WIN32_NT, 10, 0}, true, true},
      {{VER_PLATFORM_WIN32_NT, 4, 0}, false, false},
      {{VER_PLATFORM_WIN32_WINDOWS, 5, 1}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.v.PlatformId << " " << c.v.Major << "." << c.v.Minor);
    ASSERT_TRUE(LoadHidLibraryFor(c.v));
    EXPECT_EQ(Hid.pHidD_GetInputReport != nullptr, c.inputOutput);
    EXPECT_EQ(Hid.pHidD_SetOutputReport != nullptr, c.inputOutput);
    EXPECT_EQ(Hid.pHidP_GetExtendedAttributes != nullptr, c.extended);
    EXPECT_EQ(Hid.pHidP_InitializeReportForID != nullptr, c.extended);
    EXPECT_NE(Hid.pHidD_GetFeature, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(Hid.pHidP_GetButtons), reinterpret_cast<void*>(Hid.pHidP_GetUsages));
    EXPECT_EQ(reinterpret_cast<void*>(Hid.pHidP_MaxButtonListLength), reinterpret_cast<void*>(Hid.pHidP_MaxUsageListLength));
    UnloadHidLibrary();
    EXPECT_FALSE(IsHidLibraryLoaded());
    EXPECT_EQ(BoundHidSlots(), 0);
  }
}

TEST(HidBinding, AllSlotsOnThisPlatform) {
  ASSERT_TRUE(LoadHidLibrary());
  EXPECT_EQ(BoundHidSlots(), 46);
  UnloadHidLibrary();
}

}  // namespace
