// The simulation as the demo drives it: a scenario file and a log file named by the environment
// (Unix paths, as the scripts set them), both taken up when the DLL loads.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "hid/Hid_win.h"
#include "hid/SetupApi_win.h"
#include "sim/SimControl.h"
#include "testing/TimeScale_win.h"

namespace {

std::vector<std::string> LogLines() {
  char unixPath[MAX_PATH * 2];
  GetEnvironmentVariableA("KELVANE_SIM_LOG", unixPath, sizeof unixPath);
  std::ifstream in("Z:" + std::string(unixPath));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SimEnvironment, ScenarioFromTheEnvironmentPlugsAndTheLogRecords) {
  ASSERT_TRUE(LoadSetupLibrary());
  ASSERT_TRUE(LoadHidLibrary());
  GUID guid;
  Hid.pHidD_GetHidGuid(&guid);
  std::wstring path;
  for (DWORD i = 0; i < 500 * testsupport::TimeScale() && path.empty(); ++i) {
    HDEVINFO set = SetupApi.pSetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (SetupApi.pSetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
      std::vector<std::uint8_t> buf(1024);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buf.data());
      detail->cbSize = 6;
      if (SetupApi.pSetupDiGetDeviceInterfaceDetailW(set, &data, detail, 1024, nullptr, nullptr)) path = detail->DevicePath;
    }
    SetupApi.pSetupDiDestroyDeviceInfoList(set);
    if (path.empty()) Sleep(10);
  }
  ASSERT_FALSE(path.empty()) << "the scenario plugs a receiver at 0 ms";
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  WCHAR product[254] = {};
  EXPECT_TRUE(Hid.pHidD_GetProductString(h, product, sizeof product));
  EXPECT_STREQ(product, L"Env Receiver");

  // The frame of the same millisecond follows the plug on the simulation's own thread.
  KelvaneSimFirmwareState fw{};
  for (DWORD i = 0; i < 500 * testsupport::TimeScale() && !(KelvaneSimFirmware("envrx", &fw) && fw.QueuedFrames == 1); ++i)
    Sleep(2);
  ASSERT_EQ(fw.QueuedFrames, 1);

  const std::size_t before = LogLines().size();
  std::uint8_t poll[7] = {1};
  ASSERT_TRUE(Hid.pHidD_GetFeature(h, poll, sizeof poll));
  EXPECT_EQ(poll[1], 11);
  std::uint8_t version[12] = {7};
  ASSERT_TRUE(Hid.pHidD_GetFeature(h, version, sizeof version));
  EXPECT_STREQ(reinterpret_cast<char*>(version + 1), "3.4");
  CloseHandle(h);

  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), before + 2);
  EXPECT_NE(lines[before].find(" envrx get 1 ok 01 0b ef be 02 01 00"), std::string::npos) << lines[before];
  EXPECT_NE(lines[before + 1].find(" envrx get 7 ok 07 33 2e 34 00"), std::string::npos) << lines[before + 1];
  UnloadHidLibrary();
  UnloadSetupLibrary();
}

}  // namespace
