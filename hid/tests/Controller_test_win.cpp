// The device object and the controller on the simulated receiver: passes and their events,
// check-out and check-in, unplugging in every state, accessibility and the device strings.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hid/JvHidControllerClass_win.h"
#include "hid/tests/HidTestSupport_win.h"

namespace {

using namespace hidtest;

class Controller : public testing::Test {
 protected:
  void SetUp() override {
    InitUIThread();
    c = std::make_unique<TJvHidDeviceController>();
    rec.Attach(*c);
    rec.AttachChange(*c);
    EXPECT_TRUE(rec.Take().empty());
  }
  void TearDown() override {
    c.reset();
    KelvaneSimReset();
    Dispatch();
  }
  void Plug(KelvaneSimDevice d) { ASSERT_TRUE(KelvaneSimPlug(&d)); }
  // Plugs and lets the first pass list everything; returns the events up to then.
  Events Start(std::initializer_list<KelvaneSimDevice> devices) {
    for (const auto& d : devices) Plug(d);
    Dispatch();
    return rec.Take();
  }
  TJvHidDevice* Listed(const std::string& name) {
    for (TJvHidDevice* d : c->Devices())
      if (Name(d) == name) return d;
    return nullptr;
  }

  Recorder rec;
  std::unique_ptr<TJvHidDeviceController> c;
};

TEST_F(Controller, FirstPassComesFromTheMessageLoopAndEndsWithDeviceChange) {
  Plug(Device("rx", 1));
  Plug(Device("kbd", 2, 0x046D, 0xC31C));
  EXPECT_TRUE(c->Devices().empty()) << "nothing before the creating thread dispatches";
  EXPECT_TRUE(rec.Events.empty());
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"arrival v1", "arrival v2", "change"}));
  EXPECT_EQ(c->NumCheckedInDevices(), 2);
  EXPECT_EQ(c->Devices()[1]->VendorID(), 0x046D);
  EXPECT_EQ(c->Version(), "1.0.35");
  c->SetVersion("9.9");
  EXPECT_EQ(c->Version(), "1.0.35");
}

TEST_F(Controller, FirstPassWithNoDevicesStillEndsWithDeviceChange) {
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"change"}));
}

TEST_F(Controller, PassWithNothingChangedFiresNothing) {
  Start({Device("rx", 1)});
  PostMessageW(c->WindowHandle(), WM_DEVICECHANGE, 7, 0);
  Dispatch();
  EXPECT_TRUE(rec.Take().empty());
  // Other device-change events cause no pass at all.
  Plug(Device("late", 2));
  rec.Take();
  KelvaneSimUnplug("late");
  PostMessageW(c->WindowHandle(), WM_DEVICECHANGE, 0x8004, 0);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_DEVICECHANGE && msg.wParam == 7) continue;  // drop the simulation's own
    DispatchMessageW(&msg);
  }
  EXPECT_TRUE(rec.Take().empty());
}

TEST_F(Controller, UnplugCheckedInDevice) {
  Start({Device("rx", 1), Device("other", 2)});
  KelvaneSimUnplug("rx");
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"unplug v1", "removal v1", "change"}));
  ASSERT_EQ(c->Devices().size(), 1u);
  EXPECT_EQ(c->NumCheckedInDevices(), 1);
  EXPECT_EQ(c->NumUnpluggedDevices(), 0);
}

TEST_F(Controller, UnplugCheckedOutDeviceThenCheckIn) {
  Start({Device("rx", 1)});
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOutByID(dev, 0x16C0, 0x05DF));
  std::uint8_t report[7] = {1};
  ASSERT_TRUE(dev->GetFeature(report, sizeof report));
  EXPECT_EQ(c->NumCheckedOutDevices(), 1);

  KelvaneSimUnplug("rx");
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"unplug v1", "removal v1", "change"}));
  EXPECT_EQ(c->Devices().size(), 1u) << "stays listed for its holder";
  EXPECT_EQ(c->NumUnpluggedDevices(), 1);
  EXPECT_EQ(c->NumCheckedOutDevices(), 0);
  EXPECT_FALSE(dev->IsPluggedIn());
  EXPECT_FALSE(dev->GetFeature(report, sizeof report));
  EXPECT_EQ(dev->HidFileHandle(), INVALID_HANDLE_VALUE);

  // Every later pass marks it again, even one in which nothing else changed; its unplug
  // handler is spent.
  PostMessageW(c->WindowHandle(), WM_DEVICECHANGE, 7, 0);
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"removal v1", "change"}));
  Plug(Device("other", 2));
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"removal v1", "arrival v2", "change"}));

  c->CheckIn(dev);
  EXPECT_EQ(dev, nullptr);
  EXPECT_EQ(c->NumUnpluggedDevices(), 0);
  ASSERT_EQ(c->Devices().size(), 1u);
  EXPECT_EQ(Name(c->Devices()[0]), "v2");
}

TEST_F(Controller, CheckInFromTheUnplugHandlerWaitsForThePass) {
  Start({Device("rx", 1)});
  struct Holder {
    TJvHidDeviceController* C;
    TJvHidDevice* Dev = nullptr;
    void Unplugged(TJvHidDevice* d) {
      if (d == Dev) C->CheckIn(Dev);
    }
  } holder{c.get()};
  ASSERT_TRUE(c->CheckOut(holder.Dev));
  holder.Dev->SetOnUnplug(TJvHidPlugEvent::Of<&Holder::Unplugged>(&holder));
  KelvaneSimUnplug("rx");
  Dispatch();  // under a memory checker a premature release shows here
  EXPECT_EQ(rec.Take(), (Events{"removal v1", "change"}));
  EXPECT_EQ(holder.Dev, nullptr);
  EXPECT_TRUE(c->Devices().empty());
  EXPECT_EQ(c->NumUnpluggedDevices(), 0);
}

TEST_F(Controller, TwoIdenticalDevicesAndTheProductWildcard) {
  Start({Device("a", 1), Device("b", 2), Device("pad", 3, 0x16C0, 0x1234)});
  EXPECT_EQ(c->CountByID(0x16C0, 0x05DF), 2);
  EXPECT_EQ(c->CountByID(0x16C0, -1), 3);
  TJvHidDevice* first = nullptr;
  TJvHidDevice* second = nullptr;
  TJvHidDevice* third = reinterpret_cast<TJvHidDevice*>(1);
  ASSERT_TRUE(c->CheckOutByID(first, 0x16C0, 0x05DF));
  ASSERT_TRUE(c->CheckOutByID(second, 0x16C0, 0x05DF));
  EXPECT_EQ(Name(first), "v1");
  EXPECT_EQ(Name(second), "v2");
  EXPECT_FALSE(c->CheckOutByID(third, 0x16C0, 0x05DF));
  EXPECT_EQ(third, nullptr);
  TJvHidDevice* any = nullptr;
  ASSERT_TRUE(c->CheckOutByID(any, 0x16C0, -1));
  EXPECT_EQ(Name(any), "v3");
  EXPECT_EQ(c->NumCheckedOutDevices(), 3);
  EXPECT_EQ(c->NumCheckedInDevices(), 0);
  for (TJvHidDevice** d : {&first, &second, &any}) c->CheckIn(*d);
  EXPECT_EQ(c->NumCheckedInDevices(), 3);

  // The other variants, each on the same list.
  TJvHidDevice* d = nullptr;
  EXPECT_FALSE(c->CheckOutByIndex(d, 3));
  EXPECT_FALSE(c->CheckOutByIndex(d, -1));
  ASSERT_TRUE(c->CheckOutByIndex(d, 1));
  EXPECT_EQ(Name(d), "v2");
  c->CheckIn(d);
  ASSERT_TRUE(c->CheckOutByClass(d, L"HIDClass"));
  EXPECT_EQ(Name(d), "v1");
  c->CheckIn(d);
  EXPECT_FALSE(c->CheckOutByClass(d, L""));
  EXPECT_FALSE(c->CheckOutByProductName(d, L"never read"));
  ASSERT_TRUE(c->CheckOutByCallback(d, [](TJvHidDevice* x) { return x->ProductID() == 0x1234; }));
  EXPECT_EQ(Name(d), "v3");
  c->CheckIn(d);
  EXPECT_EQ(c->CountByCallback([](TJvHidDevice* x) { return x->VersionNumber() > 1; }), 2);
}

TEST_F(Controller, ReplugBeforeCheckInListsTheDeviceTwice) {
  Start({Device("rx", 1)});
  TJvHidDevice* old = nullptr;
  ASSERT_TRUE(c->CheckOutByID(old, 0x16C0, 0x05DF));
  KelvaneSimUnplug("rx");
  Dispatch();
  Plug(Device("rx", 1));
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"unplug v1", "removal v1", "change", "removal v1", "arrival v1", "change"}));
  ASSERT_EQ(c->Devices().size(), 2u);
  EXPECT_EQ(c->Devices()[0], old);
  TJvHidDevice* fresh = nullptr;
  ASSERT_TRUE(c->CheckOutByID(fresh, 0x16C0, 0x05DF));
  EXPECT_NE(fresh, old);
  std::uint8_t report[12] = {7};
  EXPECT_TRUE(fresh->GetFeature(report, sizeof report));
  c->CheckIn(old);
  c->CheckIn(fresh);
  EXPECT_EQ(c->Devices().size(), 1u);
}

TEST_F(Controller, AccessOnlyWhileCheckedOutOrEnumerated) {
  Start({Device("rx", 1)});
  TJvHidDevice* listed = c->Devices().at(0);
  std::uint8_t report[7] = {1};
  EXPECT_FALSE(listed->GetFeature(report, sizeof report));
  EXPECT_EQ(listed->HidFileHandle(), INVALID_HANDLE_VALUE) << "nothing opened for a device nobody holds";
  listed->SetReportTypeParam(HidP_Feature);
  listed->SetUsagePageParam(0xFF00);
  EXPECT_EQ(listed->UsagePageParam(), 0xFF00);
  EXPECT_EQ(listed->MaxDataListLength(), 0u) << "list lengths are refreshed only for an accessible device";
  EXPECT_EQ(listed->MaxUsageListLength(), 0u);
  ULONG value = 0;
  EXPECT_EQ(listed->GetUsageValue(value, reinterpret_cast<PCHAR>(report), sizeof report), static_cast<NTSTATUS>(0x80110001));

  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  dev->SetUsagePageParam(0xFF00);
  EXPECT_EQ(dev->MaxDataListLength(), 7u);
  EXPECT_EQ(dev->MaxUsageListLength(), 7u);
  EXPECT_EQ(dev->MaxButtonListLength(), 7u);
  dev->SetReportTypeParam(HidP_Input);
  EXPECT_EQ(dev->MaxDataListLength(), 0u);
  ASSERT_TRUE(dev->GetFeature(report, sizeof report));
  EXPECT_NE(dev->HidFileHandle(), INVALID_HANDLE_VALUE);
  dev->ProductName();  // reading a string closes the main handle
  EXPECT_EQ(dev->HidFileHandle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(dev->GetFeature(report, sizeof report));
  EXPECT_EQ(dev->Caps().FeatureReportByteLength, 12);
  c->CheckIn(dev);
}

TEST_F(Controller, DeviceStringsAndTheSerialNumberRule) {
  static const std::uint16_t langOnly[] = {0x0409};
  static const std::uint16_t unknownLang[] = {0x0409, 0x7ABC};
  struct Case {
    const char* serial;
    const std::uint16_t* langs;
    int langCount;
    const wchar_t* expected;
  } cases[] = {
      {"KV0001", nullptr, 0, L"KV0001"},
      {"\xD0\x89", langOnly, 1, L""},  // the serial is the language list itself (U+0409)
      {"KV0002", nullptr, -1, L""},    // no language list: not trusted
      {"", nullptr, 0, L""},
  };
  USHORT version = 10;
  for (const Case& k : cases) {
    KelvaneSimDevice d = Device(("s" + std::to_string(version)).c_str(), version);
    d.Serial = k.serial;
    d.Languages = k.langs;
    d.LanguageCount = k.langCount;
    d.Vendor = "Acme";
    d.Product = "IR Receiver";
    Plug(d);
    ++version;
  }
  KelvaneSimDevice unknown = Device("u", 20);
  unknown.Languages = unknownLang;
  unknown.LanguageCount = 2;
  Plug(unknown);
  Dispatch();
  rec.Take();

  version = 10;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.serial);
    TJvHidDevice* dev = nullptr;
    ASSERT_TRUE(c->CheckOutByCallback(dev, [](TJvHidDevice*) { return true; }));
    EXPECT_EQ(dev->VersionNumber(), version);
    EXPECT_EQ(dev->SerialNumber(), k.expected);
    EXPECT_EQ(dev->VendorName(), L"Acme");
    EXPECT_EQ(dev->ProductName(), L"IR Receiver");
    dev->SetTag(1);
    ++version;
  }
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  ASSERT_EQ(dev->VersionNumber(), 20);
  ASSERT_EQ(dev->LanguageStrings().size(), 2u);
  EXPECT_NE(dev->LanguageStrings()[0].find(L"English"), std::wstring::npos);
  EXPECT_EQ(dev->LanguageStrings()[1], L"Unknown Locale ID $7abc");
  // Once read, names match the name variants.
  c->CheckIn(dev);
  for (TJvHidDevice* d : std::vector<TJvHidDevice*>(c->Devices()))
    if (d->Tag() == 1) c->CheckIn(d);
  TJvHidDevice* byName = nullptr;
  ASSERT_TRUE(c->CheckOutByProductName(byName, L"IR Receiver"));
  EXPECT_EQ(byName->VersionNumber(), 10);
  c->CheckIn(byName);
}

TEST_F(Controller, NoAccessDeviceIsListedWithoutReadWriteAccess) {
  KelvaneSimDevice locked = Device("locked", 1);
  locked.NoAccess = 1;
  Start({locked});
  ASSERT_EQ(c->Devices().size(), 1u);
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  EXPECT_FALSE(dev->HasReadWriteAccess());
  std::uint8_t report[12] = {7};
  EXPECT_FALSE(dev->GetFeature(report, sizeof report));
  c->CheckIn(dev);
}

TEST_F(Controller, DestroyingTheControllerUnplugsCheckedOutDevices) {
  Start({Device("rx", 1), Device("idle", 2)});
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  c.reset();
  EXPECT_EQ(rec.Take(), (Events{"unplug v1"}));
  EXPECT_FALSE(dev->IsPluggedIn());
  delete dev;  // the holder releases it; there is no controller to check it in to
}

TEST_F(Controller, SettersHandTheirValuesToDevicesStillOnTheControllersValue) {
  Start({Device("a", 1), Device("b", 2)});
  TJvHidDevice* a = c->Devices()[0];
  TJvHidDevice* b = c->Devices()[1];
  b->SetThreadSleepTime(500);
  c->SetDevThreadSleepTime(250);
  EXPECT_EQ(a->ThreadSleepTime(), 250);
  EXPECT_EQ(b->ThreadSleepTime(), 500);
  for (int bad : {5, 9, 10001, 20000}) {
    a->SetThreadSleepTime(bad);
    EXPECT_EQ(a->ThreadSleepTime(), 250) << bad;
  }
  a->SetThreadSleepTime(10);
  EXPECT_EQ(a->ThreadSleepTime(), 10);
  a->SetThreadSleepTime(10000);
  EXPECT_EQ(a->ThreadSleepTime(), 10000);

  Recorder other;
  b->SetOnUnplug(TJvHidPlugEvent::Of<&Recorder::Unplug>(&other));
  c->SetOnDeviceUnplug({});
  EXPECT_FALSE(a->OnUnplug());
  EXPECT_TRUE(b->OnUnplug());
}

TEST_F(Controller, ConstructorsThatMustNotBeCalledDirectly) {
  EXPECT_THROW(TJvHidDevice(), EControllerError);
  try {
    TJvHidDeviceReadThread t(true);
    FAIL();
  } catch (const EControllerError& e) {
    EXPECT_STREQ(e.what(), "Direct creation of a TJvDeviceReadThread object is not allowed");
  }
}

TEST_F(Controller, AnEventHandlerThatRaisesDoesNotBreakThePass) {
  struct Thrower {
    void Arrival(TJvHidDevice*) { throw std::runtime_error("handler failed"); }
  } thrower;
  static int hooked;
  static std::string sender;
  hooked = 0;
  const HandleExceptionHookFn saved = ApplicationHandleExceptionHook;
  ApplicationHandleExceptionHook = [](TObject* s, std::exception_ptr) {
    ++hooked;
    sender = s ? s->ClassName() : "";
  };
  c->OnArrival = TJvHidPlugEvent::Of<&Thrower::Arrival>(&thrower);
  Plug(Device("a", 1));
  Plug(Device("b", 2));
  Dispatch();
  EXPECT_EQ(hooked, 1);
  EXPECT_EQ(sender, "TJvHidDeviceController");
  EXPECT_EQ(c->Devices().size(), 2u);
  EXPECT_EQ(rec.Take(), (Events{"change"}));
  KelvaneSimUnplug("a");
  Dispatch();
  EXPECT_EQ(rec.Take(), (Events{"unplug v1", "removal v1", "change"})) << "later notifications still served";
  ApplicationHandleExceptionHook = saved;
}

}  // namespace
