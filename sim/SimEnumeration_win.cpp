// The device enumeration the setup double serves: a snapshot of the plugged devices per device
// information set, and the interface details and registry properties of each.

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "hid/Hid_win.h"
#include "sim/SimModel_win.h"
#include "sim/SimState_win.h"

using namespace sim;

namespace {

constexpr ULONG kDevSetMagic = 0x4B534453;  // "SDSK"
constexpr GUID kHidClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

struct ListedDevice {
  DWORD DevInst;
  std::wstring Path;
  USHORT VendorID, ProductID, Version;
  std::wstring Product;
};

struct DevSet {
  ULONG Magic = kDevSetMagic;
  std::vector<ListedDevice> Items;
};

DevSet* AsSet(HDEVINFO h) {
  auto* s = static_cast<DevSet*>(h);
  if (!s || h == INVALID_HANDLE_VALUE || s->Magic != kDevSetMagic) return nullptr;
  return s;
}

// Which listed device an interface or device record names (its Reserved field carries index+1).
const ListedDevice* ListedDeviceOf(DevSet* s, ULONG_PTR reserved) {
  if (reserved == 0 || reserved > s->Items.size()) return nullptr;
  return &s->Items[reserved - 1];
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

HDEVINFO WINAPI KelvaneSim_SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
  auto* set = new DevSet;
  if (classGuid && (flags & DIGCF_DEVICEINTERFACE) && SameGuid(*classGuid, kHidInterfaceClassGuid)) {
    platform::AutoLock g(g_sim.Lock);
    std::vector<const Device*> plugged;
    for (auto& [name, d] : *g_sim.Devices)
      if (d->Plugged) plugged.push_back(d.get());
    std::sort(plugged.begin(), plugged.end(), [](const Device* a, const Device* b) { return a->PlugSeq < b->PlugSeq; });
    for (const Device* d : plugged) set->Items.push_back({d->DevInst, d->PipePath, d->VendorID, d->ProductID, d->Version, d->Product});
  }
  return set;
}

WINBOOL WINAPI KelvaneSim_SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                                      PSP_DEVICE_INTERFACE_DATA data) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= s->Items.size()) return Fail(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = kHidInterfaceClassGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                                           PSP_DEVINFO_DATA info) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
  const ListedDevice* item = ListedDeviceOf(s, data->Reserved);
  if (!item) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (item->Path.size() + 1) * sizeof(WCHAR));
  if (required) *required = needed;
  if (!detail) return Fail(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, item->Path.c_str(), (item->Path.size() + 1) * sizeof(WCHAR));
  if (info) {
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    info->ClassGuid = kHidClassGuid;
    info->DevInst = item->DevInst;
    info->Reserved = data->Reserved;
  }
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA info, DWORD property, PDWORD type, PBYTE buffer,
                                                           DWORD size, PDWORD required) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!info || info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  const ListedDevice* item = ListedDeviceOf(s, info->Reserved);
  if (!item) return Fail(ERROR_NO_SUCH_DEVINST);
  wchar_t ids[2][64];
  std::swprintf(ids[0], 64, L"HID\\VID_%04X&PID_%04X&REV_%04X", item->VendorID, item->ProductID, item->Version);
  std::swprintf(ids[1], 64, L"HID\\VID_%04X&PID_%04X", item->VendorID, item->ProductID);
  std::vector<std::uint8_t> value;
  DWORD kind = REG_SZ;
  auto text = [&](const std::wstring& t) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(t.c_str());
    value.assign(p, p + (t.size() + 1) * sizeof(WCHAR));
  };
  auto list = [&](std::initializer_list<std::wstring> items) {
    std::wstring all;
    for (const auto& i : items) all += i + L'\0';
    text(all);  // the closing extra zero comes from text()
    kind = REG_MULTI_SZ;
  };
  auto number = [&](DWORD v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    value.assign(p, p + sizeof v);
    kind = REG_DWORD;
  };
  switch (property) {
    case SPDRP_DEVICEDESC:
      text(item->Product.empty() ? L"HID-compliant device" : item->Product);
      break;
    case SPDRP_HARDWAREID:
      list({ids[0], ids[1]});
      break;
    case SPDRP_COMPATIBLEIDS:
      list({L"HID_DEVICE_SYSTEM_VENDOR", L"HID_DEVICE"});
      break;
    case SPDRP_SERVICE:
      text(L"HidUsb");
      break;
    case SPDRP_CLASS:
      text(L"HIDClass");
      break;
    case SPDRP_CLASSGUID:
      text(L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
      break;
    case SPDRP_DRIVER: {
      wchar_t driver[64];
      std::swprintf(driver, 64, L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\%04lx", item->DevInst);
      text(driver);
      break;
    }
    case SPDRP_CONFIGFLAGS:
      number(0);
      break;
    case SPDRP_MFG:
      text(L"(Standard system devices)");
      break;
    case SPDRP_CAPABILITIES:
      number(0x90);  // surprise removal ok, unique ID
      break;
    case SPDRP_ENUMERATOR_NAME:
      text(L"HID");
      break;
    default:
      return Fail(ERROR_INVALID_DATA);
  }
  if (required) *required = static_cast<DWORD>(value.size());
  if (type) *type = kind;
  if (!buffer || size < value.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, value.data(), value.size());
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  s->Magic = 0;
  delete s;
  return TRUE;
}
