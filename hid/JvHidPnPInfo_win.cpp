// TJvHidPnPInfo: the plug-and-play facts of one device interface, read from the setup library.
#include "hid/JvHidControllerClass_win.h"

#include <algorithm>

#include "hid/JvHidShared_win.h"

using hid::TextUpToZero;

namespace {

DWORD ReadNumberProperty(HDEVINFO devs, SP_DEVINFO_DATA data, DWORD prop) {
  DWORD value = 0;
  if (!SetupApi.pSetupDiGetDeviceRegistryPropertyW(devs, &data, prop, nullptr, reinterpret_cast<PBYTE>(&value), sizeof value, nullptr))
    return 0;
  return value;
}

std::wstring ReadTextProperty(HDEVINFO devs, SP_DEVINFO_DATA data, DWORD prop) {
  WCHAR buf[1024] = {};  // 2048 bytes
  if (!SetupApi.pSetupDiGetDeviceRegistryPropertyW(devs, &data, prop, nullptr, reinterpret_cast<PBYTE>(buf), sizeof buf, nullptr))
    return {};
  return TextUpToZero(buf, 1024);
}

std::vector<std::wstring> ReadListProperty(HDEVINFO devs, SP_DEVINFO_DATA data, DWORD prop) {
  std::vector<WCHAR> buf(16384, 0);  // 32768 bytes
  DWORD required = 0;
  std::vector<std::wstring> items;
  if (!SetupApi.pSetupDiGetDeviceRegistryPropertyW(devs, &data, prop, nullptr, reinterpret_cast<PBYTE>(buf.data()),
                                                   static_cast<DWORD>(buf.size() * sizeof(WCHAR)), &required))
    return items;
  const std::size_t units = std::min<std::size_t>(required / sizeof(WCHAR), buf.size());
  std::size_t i = 0;
  while (i < units) {
    std::size_t end = i;
    while (end < units && buf[end] != 0) ++end;
    if (end == i) break;  // an empty string ends the list
    items.emplace_back(buf.data() + i, end - i);
    i = end + 1;
  }
  return items;
}

}  // namespace

TJvHidPnPInfo::TJvHidPnPInfo(HDEVINFO devs, const SP_DEVINFO_DATA& d, std::wstring devicePath)
    : DeviceID(d.DevInst), DevicePath(std::move(devicePath)) {
  Capabilities = ReadNumberProperty(devs, d, SPDRP_CAPABILITIES);
  ClassDescr = ReadTextProperty(devs, d, SPDRP_CLASS);
  ClassGUID = ReadTextProperty(devs, d, SPDRP_CLASSGUID);
  CompatibleIDs = ReadListProperty(devs, d, SPDRP_COMPATIBLEIDS);
  ConfigFlags = ReadNumberProperty(devs, d, SPDRP_CONFIGFLAGS);
  DeviceDescr = ReadTextProperty(devs, d, SPDRP_DEVICEDESC);
  Driver = ReadTextProperty(devs, d, SPDRP_DRIVER);
  FriendlyName = ReadTextProperty(devs, d, SPDRP_FRIENDLYNAME);
  HardwareID = ReadListProperty(devs, d, SPDRP_HARDWAREID);
  LowerFilters = ReadListProperty(devs, d, SPDRP_LOWERFILTERS);
  Mfg = ReadTextProperty(devs, d, SPDRP_MFG);
  UpperFilters = ReadListProperty(devs, d, SPDRP_UPPERFILTERS);
  Service = ReadTextProperty(devs, d, SPDRP_SERVICE);
  Address = ReadTextProperty(devs, d, SPDRP_ADDRESS);
  BusNumber = ReadNumberProperty(devs, d, SPDRP_BUSNUMBER);
  BusType = ReadTextProperty(devs, d, SPDRP_BUSTYPEGUID);
  Characteristics = ReadTextProperty(devs, d, SPDRP_CHARACTERISTICS);
  DevType = ReadNumberProperty(devs, d, SPDRP_DEVTYPE);
  EnumeratorName = ReadTextProperty(devs, d, SPDRP_ENUMERATOR_NAME);
  Exclusive = ReadNumberProperty(devs, d, SPDRP_EXCLUSIVE);
  LegacyBusType = ReadNumberProperty(devs, d, SPDRP_LEGACYBUSTYPE);
  LocationInfo = ReadTextProperty(devs, d, SPDRP_LOCATION_INFORMATION);
  PhysDevObjName = ReadTextProperty(devs, d, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
  SecuritySDS = ReadTextProperty(devs, d, SPDRP_SECURITY_SDS);
  UINumber = ReadNumberProperty(devs, d, SPDRP_UI_NUMBER);
  UINumberFormat = ReadTextProperty(devs, d, SPDRP_UI_NUMBER_DESC_FORMAT);
}
