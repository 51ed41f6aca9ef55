// The layer on the platform's own HID.dll and SetupApi.dll (Wine's here), no simulator: the
// path the program takes on a machine without the receiver.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "hid/JvHidControllerClass_win.h"
#include "hid/tests/HidTestSupport_win.h"

namespace {

using namespace hidtest;

TEST(WinePlatform, ControllerListsThePlatformsDevicesAndFindsNoReceiver) {
  InitUIThread();
  ASSERT_EQ(GetProcAddress(LoadLibraryW(L"hid.dll"), "KelvaneSimPlug"), nullptr) << "this test must run without the simulator";
  auto c = std::make_unique<TJvHidDeviceController>();
  ASSERT_TRUE(IsHidLibraryLoaded());
  ASSERT_NE(c->WindowHandle(), nullptr);
  Recorder rec;
  rec.Attach(*c);
  Dispatch();
  rec.AttachChange(*c);
  rec.Take();
  PostMessageW(c->WindowHandle(), WM_DEVICECHANGE, 7, -1);
  Dispatch();
  const Events events = rec.Take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "change");

  // Wine brings a virtual keyboard and mouse of its own; every interface the setup library
  // lists must be in the controller's list, with its attributes read.
  int interfaces = 0;
  HDEVINFO set = SetupApi.pSetupDiGetClassDevsW(&c->HidGuid(), nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  while (SetupApi.pSetupDiEnumDeviceInterfaces(set, nullptr, &c->HidGuid(), interfaces, &data)) ++interfaces;
  SetupApi.pSetupDiDestroyDeviceInfoList(set);
  EXPECT_GT(interfaces, 0);
  EXPECT_EQ(static_cast<int>(c->Devices().size()), interfaces);
  for (TJvHidDevice* d : c->Devices()) {
    EXPECT_NE(d->VendorID(), 0);
    EXPECT_FALSE(d->PnPInfo().DevicePath.empty());
    EXPECT_FALSE(d->PnPInfo().HardwareID.empty());
    EXPECT_TRUE(d->IsPluggedIn());
    std::printf("listed: %04x:%04x version %04x %ls\n", d->VendorID(), d->ProductID(), d->VersionNumber(), d->PnPInfo().DevicePath.c_str());
  }
  EXPECT_EQ(c->NumCheckedInDevices(), static_cast<int>(c->Devices().size()));
  TJvHidDevice* rx = reinterpret_cast<TJvHidDevice*>(1);
  EXPECT_FALSE(c->CheckOutByID(rx, 0x16C0, 0x05DF));
  EXPECT_EQ(rx, nullptr);
  EXPECT_EQ(c->CountByID(0x16C0, 0x05DF), 0);
  std::printf("HID.dll file version: '%ls'\n", TJvHidDeviceController::HidVersion().c_str());

  c.reset();
  EXPECT_FALSE(IsHidLibraryLoaded());
  EXPECT_FALSE(IsSetupLibraryLoaded());
}

}  // namespace
