// A thousand plug and unplug cycles with check-outs, feature-report exchanges and check-ins in
// between, half of them unplugging the receiver while it is checked out: nothing may crash and
// the process must end up holding exactly the handles it held before.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "app/VexaReports.h"
#include "hid/JvHidControllerClass_win.h"
#include "hid/tests/HidTestSupport_win.h"
#include "testing/HandleCount_win.h"
#include "testing/TimeScale_win.h"

namespace {

using namespace hidtest;

using testsupport::HandleCount;

struct Counter {
  int Arrivals = 0, Removals = 0, Unplugs = 0;
  void Arrival(TJvHidDevice*) { ++Arrivals; }
  void Removal(TJvHidDevice*) { ++Removals; }
  void Unplug(TJvHidDevice*) { ++Unplugs; }
};

void Cycle(TJvHidDeviceController& c, int i) {
  KelvaneSimDevice rx = Device("rx", 1);
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  KelvaneSimQueueFrame("rx", 2, static_cast<uint16_t>(i), 0x45, i & 1);
  Dispatch();
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c.CheckOutByID(dev, 0x16C0, 0x05DF)) << "cycle " << i;
  THidReportIRCode code{};
  code.ReportID = 1;
  ASSERT_TRUE(dev->GetFeature(&code, sizeof code)) << "cycle " << i;
  ASSERT_EQ(code.Data.Address, static_cast<uint16_t>(i));
  THidReportPowerOn power{4, static_cast<uint8_t>(i & 1)};
  ASSERT_TRUE(dev->SetFeature(&power, sizeof power));
  THidVexaVersion version{};
  version.ReportID = 7;
  ASSERT_TRUE(dev->GetFeature(&version, sizeof version));
  if (i % 2 == 0) {
    c.CheckIn(dev);
    KelvaneSimUnplug("rx");
    Dispatch();
  } else {
    KelvaneSimUnplug("rx");
    Dispatch();
    ASSERT_FALSE(dev->GetFeature(&version, sizeof version));
    c.CheckIn(dev);
  }
  ASSERT_EQ(c.Devices().size(), 1u) << "only the device that stays";
}

TEST(Storm, ThousandPlugCyclesLeakNothing) {
  InitUIThread();
  auto c = std::make_unique<TJvHidDeviceController>();
  Counter counter;
  c->OnArrival = TJvHidPlugEvent::Of<&Counter::Arrival>(&counter);
  c->OnRemoval = TJvHidPlugEvent::Of<&Counter::Removal>(&counter);
  c->SetOnDeviceUnplug(TJvHidPlugEvent::Of<&Counter::Unplug>(&counter));
  KelvaneSimDevice stays = Device("stays", 9, 0x046D, 0xC31C);
  ASSERT_TRUE(KelvaneSimPlug(&stays));
  Dispatch();
  for (int i = 0; i < 2; ++i) Cycle(*c, i);  // the simulation's own threads and pipes settle in

  auto settled = [] {
    for (DWORD i = 0; i < 300 * testsupport::TimeScale() && KelvaneSimOpenConnections(nullptr) > 0; ++i) Sleep(10);
    return HandleCount();
  };
  const DWORD before = settled();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 1000; ++i) {
    Cycle(*c, i);
    if (HasFatalFailure()) return;
  }
  DWORD after = settled();
  for (DWORD i = 0; i < 300 * testsupport::TimeScale() && after > before; ++i) {
    Sleep(10);
    after = HandleCount();
  }
  EXPECT_EQ(after, before);
  EXPECT_EQ(counter.Arrivals, 1 + 1002);
  EXPECT_EQ(counter.Removals, 1002);
  EXPECT_EQ(counter.Unplugs, 1002);
  EXPECT_EQ(c->NumUnpluggedDevices(), 0);
  EXPECT_EQ(c->NumCheckedOutDevices(), 0);
  c.reset();
  KelvaneSimReset();
}

}  // namespace
