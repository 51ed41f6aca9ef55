// The read thread of a checked-out device with a data handler: input reports reach OnData on
// the UI thread; stopping the thread cancels its pending read.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "hid/JvHidControllerClass_win.h"
#include "hid/tests/HidTestSupport_win.h"
#include "testing/TimeScale_win.h"

namespace {

using namespace hidtest;

struct DataSink {
  struct Got {
    std::uint8_t id;
    std::vector<std::uint8_t> data;
    bool onUIThread;
  };
  std::vector<Got> Reports;
  void Data(TJvHidDevice*, std::uint8_t id, const void* data, std::uint16_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    Reports.push_back({id, std::vector<std::uint8_t>(p, p + size), IsUIThread()});
  }
  // Waits for n reports, serving the read thread's requests meanwhile.
  bool WaitFor(std::size_t n) {
    for (DWORD i = 0; i < 1000 * testsupport::TimeScale() && Reports.size() < n; ++i) {
      Dispatch();
      Sleep(5);
    }
    return Reports.size() >= n;
  }
};

class ReadThread : public testing::Test {
 protected:
  void SetUp() override {
    InitUIThread();
    c = std::make_unique<TJvHidDeviceController>();
    KelvaneSimDevice pad = Device("pad", 1, 0x1234, 0x0001);
    ASSERT_TRUE(KelvaneSimPlug(&pad));
    Dispatch();
    c->SetOnDeviceData(TJvHidDataEvent::Of<&DataSink::Data>(&sink));
  }
  void TearDown() override {
    c.reset();
    KelvaneSimReset();
    Dispatch();
  }
  void Send(std::vector<std::uint8_t> bytes) { ASSERT_TRUE(KelvaneSimInput("pad", bytes.data(), static_cast<int>(bytes.size()))); }
  // Reports reach the handles open when they are sent: wait for the thread's read handle.
  static void WaitForReadHandle(TJvHidDevice* dev) {
    for (DWORD i = 0; i < 1000 * testsupport::TimeScale() && dev->HidOverlappedRead() == INVALID_HANDLE_VALUE; ++i) Sleep(2);
    ASSERT_NE(dev->HidOverlappedRead(), INVALID_HANDLE_VALUE);
  }

  DataSink sink;
  std::unique_ptr<TJvHidDeviceController> c;
};

TEST_F(ReadThread, ReportsReachOnDataOnTheUIThread) {
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  ASSERT_EQ(dev->Caps().InputReportByteLength, 9);
  WaitForReadHandle(dev);
  Send({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
  Send({0x02, 0xAA});
  ASSERT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(sink.Reports[0].id, 0x01);
  EXPECT_EQ(sink.Reports[0].data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(sink.Reports[0].onUIThread);
  EXPECT_EQ(sink.Reports[1].id, 0x02);
  EXPECT_EQ(sink.Reports[1].data.size(), 8u);
  EXPECT_EQ(sink.Reports[1].data[0], 0xAA);
  c->CheckIn(dev);
}

TEST_F(ReadThread, StoppingCancelsThePendingReadAndANewThreadTakesOver) {
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOut(dev));
  WaitForReadHandle(dev);
  Sleep(50);  // let the thread start its read
  dev->SetOnData({});  // returns once the thread has ended
  Send({0x05, 0x55});
  Sleep(50);
  Dispatch();
  EXPECT_TRUE(sink.Reports.empty());
  // Had the stopped thread's read not been cancelled, it would have taken this report.
  dev->SetOnData(TJvHidDataEvent::Of<&DataSink::Data>(&sink));
  ASSERT_TRUE(sink.WaitFor(1));
  EXPECT_EQ(sink.Reports[0].id, 0x05);
  c->CheckIn(dev);
}

TEST_F(ReadThread, NoThreadWithoutReadWriteAccess) {
  KelvaneSimDevice locked = Device("locked", 2, 0x1234, 0x0002);
  locked.NoAccess = 1;
  ASSERT_TRUE(KelvaneSimPlug(&locked));
  Dispatch();
  TJvHidDevice* dev = nullptr;
  ASSERT_TRUE(c->CheckOutByID(dev, 0x1234, 0x0002));
  EXPECT_FALSE(dev->HasReadWriteAccess());
  EXPECT_EQ(dev->HidOverlappedRead(), INVALID_HANDLE_VALUE);
  c->CheckIn(dev);
}

}  // namespace
