// The simulated receiver through the layer's own bindings, as the controller will meet it:
// enumeration, device paths that open only while plugged, the device-change notification, the
// receiver's firmware, scenario timelines and the feature-report log.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hid/Hid_win.h"
#include "hid/SetupApi_win.h"
#include "sim/SimControl.h"
#include "testing/HandleCount_win.h"
#include "testing/TimeScale_win.h"

namespace {

using testsupport::HandleCount;

class Sim : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadSetupLibrary());
    ASSERT_TRUE(LoadHidLibrary());
  }
  static void TearDownTestSuite() {
    UnloadSetupLibrary();
    UnloadHidLibrary();
  }
  void TearDown() override { KelvaneSimReset(); }

  static std::vector<std::wstring> Paths() {
    std::vector<std::wstring> paths;
    GUID guid;
    Hid.pHidD_GetHidGuid(&guid);
    HDEVINFO set = SetupApi.pSetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupApi.pSetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
      DWORD size = 0;
      EXPECT_FALSE(SetupApi.pSetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<std::uint8_t> buf(size);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buf.data());
      detail->cbSize = 6;
      SP_DEVINFO_DATA info{};
      info.cbSize = 28;
      EXPECT_TRUE(SetupApi.pSetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info));
      EXPECT_NE(info.DevInst, 0u);
      paths.push_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupApi.pSetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  static HANDLE Open(const std::wstring& path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  static KelvaneSimDevice Receiver(const char* name) {
    KelvaneSimDevice d{};
    d.Name = name;
    return d;
  }
};

TEST_F(Sim, PlugListsOpensAndUnplugCutsHandles) {
  KelvaneSimDevice rx = Receiver("rx");
  rx.Vendor = "Acme";
  rx.Product = "IR Receiver";
  KelvaneSimDevice other{};
  other.Name = "other";
  other.VendorID = 0x046D;
  other.ProductID = 0xC31C;
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  ASSERT_FALSE(KelvaneSimPlug(&rx)) << "a plugged name cannot be plugged twice";
  ASSERT_TRUE(KelvaneSimPlug(&other));

  const auto paths = Paths();
  ASSERT_EQ(paths.size(), 2u);
  HANDLE h = Open(paths[0]);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HIDD_ATTRIBUTES attr{};
  attr.Size = sizeof attr;
  ASSERT_TRUE(Hid.pHidD_GetAttributes(h, &attr));
  EXPECT_EQ(attr.VendorID, 0x16C0);
  EXPECT_EQ(attr.ProductID, 0x05DF);
  WCHAR product[254] = {};
  EXPECT_TRUE(Hid.pHidD_GetProductString(h, product, sizeof product));
  EXPECT_STREQ(product, L"IR Receiver");
  HANDLE h2 = Open(paths[1]);
  ASSERT_TRUE(Hid.pHidD_GetAttributes(h2, &attr));
  EXPECT_EQ(attr.VendorID, 0x046D);
  std::uint8_t report[7] = {1};
  EXPECT_FALSE(Hid.pHidD_GetFeature(h2, report, sizeof report)) << "only the receiver has its reports";

  ASSERT_TRUE(KelvaneSimUnplug("rx"));
  EXPECT_FALSE(Hid.pHidD_GetFeature(h, report, sizeof report));
  EXPECT_FALSE(Hid.pHidD_GetAttributes(h, &attr));
  EXPECT_EQ(Open(paths[0]), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Paths().size(), 1u);

  // Plugged again: the path opens again, the old handle stays dead.
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  EXPECT_FALSE(Hid.pHidD_GetAttributes(h, &attr));
  HANDLE h3 = Open(paths[0]);
  EXPECT_TRUE(Hid.pHidD_GetAttributes(h3, &attr));
  for (HANDLE x : {h, h2, h3}) CloseHandle(x);
}

TEST_F(Sim, NoAccessDeviceOpensOnlyForQueries) {
  KelvaneSimDevice rx = Receiver("locked");
  rx.NoAccess = 1;
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  const auto paths = Paths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(Open(paths[0]), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(paths[0], GENERIC_READ, FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
  HANDLE h = Open(paths[0], 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HIDD_ATTRIBUTES attr{};
  attr.Size = sizeof attr;
  EXPECT_TRUE(Hid.pHidD_GetAttributes(h, &attr));
  std::uint8_t report[12] = {7};
  EXPECT_FALSE(Hid.pHidD_GetFeature(h, report, sizeof report));
  CloseHandle(h);
}

TEST_F(Sim, PlugAndUnplugPostDeviceChangeToOurWindows) {
  HWND wnd = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(wnd, nullptr);
  auto count = [&] {
    int n = 0;
    MSG msg;
    while (PeekMessageW(&msg, wnd, WM_DEVICECHANGE, WM_DEVICECHANGE, PM_REMOVE)) {
      EXPECT_EQ(msg.wParam, static_cast<WPARAM>(DBT_DEVNODES_CHANGED));
      ++n;
    }
    return n;
  };
  count();
  KelvaneSimDevice rx = Receiver("rx");
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  EXPECT_EQ(count(), 1);
  ASSERT_TRUE(KelvaneSimUnplug("rx"));
  EXPECT_EQ(count(), 1);
  EXPECT_FALSE(KelvaneSimUnplug("rx"));
  EXPECT_EQ(count(), 0);
  DestroyWindow(wnd);
}

TEST_F(Sim, FirmwareAndLog) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string log = std::string(dir) + "kelvane-sim-log-" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(log.c_str());
  ASSERT_TRUE(KelvaneSimSetLog(log.c_str()));

  KelvaneSimDevice rx = Receiver("rx");
  rx.FirmwareVersion = "2.1";
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  ASSERT_TRUE(KelvaneSimQueueFrame("rx", 2, 0x1234, 0x00FF, 1));
  ASSERT_TRUE(KelvaneSimVersionFaults("rx", 1, KelvaneSimVersionWrongID));
  HANDLE h = Open(Paths().at(0));

  std::uint8_t poll[7] = {1};
  ASSERT_TRUE(Hid.pHidD_GetFeature(h, poll, sizeof poll));
  EXPECT_EQ(poll[1], 2);
  EXPECT_EQ(poll[2], 0x34);
  std::uint8_t version[12] = {7};
  ASSERT_TRUE(Hid.pHidD_GetFeature(h, version, sizeof version));
  EXPECT_NE(version[0], 7) << "the fault answers with another report";
  std::uint8_t again[12] = {7};
  ASSERT_TRUE(Hid.pHidD_GetFeature(h, again, sizeof again));
  EXPECT_STREQ(reinterpret_cast<char*>(again + 1), "2.1");
  std::uint8_t polling[3] = {6, 0x50, 0xFB};
  ASSERT_TRUE(Hid.pHidD_SetFeature(h, polling, sizeof polling));
  std::uint8_t wrong[2] = {9, 0};
  EXPECT_FALSE(Hid.pHidD_SetFeature(h, wrong, sizeof wrong));
  KelvaneSimFirmwareState fw{};
  ASSERT_TRUE(KelvaneSimFirmware("rx", &fw));
  EXPECT_EQ(fw.PollingWord, 0xFB50);
  EXPECT_EQ(fw.QueuedFrames, 0);
  CloseHandle(h);
  KelvaneSimSetLog(nullptr);

  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  const char* tails[] = {
      " rx get 1 ok 01 02 34 12 ff 00 01",
      " rx get 7 ok 01 00 00 00 00 00 00 00 00 00 00 00",
      " rx get 7 ok 07 32 2e 31 00 00 00 00 00 00 00 00",
      " rx set 6 ok 06 50 fb",
      " rx set 9 fail 09 00",
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto blank = lines[i].find(' ');
    ASSERT_NE(blank, std::string::npos);
    EXPECT_NO_THROW(std::stoll(lines[i].substr(0, blank))) << lines[i];
    EXPECT_EQ(lines[i].substr(blank), tails[i]);
  }
  DeleteFileA(log.c_str());
}

TEST_F(Sim, InputReportsReachAnOverlappedRead) {
  KelvaneSimDevice pad{};
  pad.Name = "pad";
  pad.VendorID = 0x1234;
  pad.ProductID = 0x0001;
  ASSERT_TRUE(KelvaneSimPlug(&pad));
  HANDLE h = Open(Paths().at(0), GENERIC_READ, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // The simulation notices the connection on its own thread; wait until it has.
  for (DWORD i = 0; i < 500 * testsupport::TimeScale() && KelvaneSimOpenConnections("pad") == 0; ++i) Sleep(2);
  std::uint8_t buf[9] = {};
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const std::uint8_t report[] = {0x01, 0xA0, 0xFF};
  ASSERT_TRUE(KelvaneSimInput("pad", report, sizeof report));
  DWORD n = 0;
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, testsupport::Scaled(5000)), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 9u) << "padded to the input report length";
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[2], 0xFF);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(Sim, ScenarioRunsOnItsTimelineAndReportsBadLines) {
  EXPECT_EQ(KelvaneSimRunScenario("at 0 plug timed\n"
                                  "at 0 frame timed 7 1 2 0\n"
                                  "at 0 poweron timed 1\n"
                                  "at 0 bogus timed\n"
                                  "at 300 unplug timed\n"),
            1);
  KelvaneSimFirmwareState fw{};
  for (DWORD i = 0; i < 100 * testsupport::TimeScale() && !(KelvaneSimFirmware("timed", &fw) && fw.PowerOn); ++i) Sleep(5);
  EXPECT_EQ(fw.PowerOn, 1);
  EXPECT_EQ(fw.QueuedFrames, 1);
  for (DWORD i = 0; i < 200 * testsupport::TimeScale() && !Paths().empty(); ++i) Sleep(10);
  EXPECT_TRUE(Paths().empty()) << "the timeline unplugs the device at 300 ms";
}

TEST_F(Sim, RepeatStartsTheTimelineAgainWithAFreshPlug) {
  HWND wnd = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(KelvaneSimRunScenario("at 0 plug looped\nat 10 frame looped 1 2 3 0\nrepeat 100\n"), 0);
  int notifications = 0;
  for (DWORD i = 0; i < 500 * testsupport::TimeScale() && notifications < 5; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, wnd, WM_DEVICECHANGE, WM_DEVICECHANGE, PM_REMOVE)) ++notifications;
    Sleep(10);
  }
  EXPECT_GE(notifications, 5) << "plug, then unplug and plug again at every new start";
  KelvaneSimFirmwareState fw{};
  ASSERT_TRUE(KelvaneSimFirmware("looped", &fw));
  EXPECT_LE(fw.QueuedFrames, 1) << "each start plugs a fresh receiver";
  DestroyWindow(wnd);
}

TEST_F(Sim, EntriesNotModelledFailCleanly) {
  // Called through the bound slots with their real argument lists: a stub that cleaned the
  // stack wrongly would crash here.
  ULONG length = 4;
  HIDP_DATA data[4];
  char report[8] = {};
  EXPECT_EQ(Hid.pHidP_GetData(HidP_Input, data, &length, nullptr, report, sizeof report), static_cast<NTSTATUS>(0xC0110020));
  EXPECT_EQ(SetupApi.pSetupDiGetClassDevsA(nullptr, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_FALSE(SetupApi.pSetupDiEnumDeviceInfo(nullptr, 0, nullptr));
  EXPECT_EQ(SetupApi.pSetupGetFieldCount(nullptr), 0);
}

TEST_F(Sim, OpeningAndClosingLeaksNoHandles) {
  KelvaneSimDevice rx = Receiver("rx");
  ASSERT_TRUE(KelvaneSimPlug(&rx));
  const std::wstring path = Paths().at(0);
  DWORD before = 0, after = 0;
  for (int i = 0; i < 20; ++i) CloseHandle(Open(path));  // warm up the pool of listeners
  for (DWORD i = 0; i < 100 * testsupport::TimeScale() && KelvaneSimOpenConnections("rx") > 0; ++i) Sleep(5);
  before = HandleCount();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 300; ++i) {
    HANDLE h = Open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << i;
    std::uint8_t r[7] = {1};
    EXPECT_TRUE(Hid.pHidD_GetFeature(h, r, sizeof r));
    CloseHandle(h);
  }
  for (int i = 0; i < 200; ++i) {
    after = HandleCount();
    if (after <= before) break;
    Sleep(10);
  }
  EXPECT_LE(after, before);
}

}  // namespace
