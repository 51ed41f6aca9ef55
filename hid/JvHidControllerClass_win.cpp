#include "hid/JvHidControllerClass_win.h"

#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD DeviceChangeMessage = WM_DEVICECHANGE;  // 0x219
constexpr WPARAM DeviceNodesChanged = DBT_DEVNODES_CHANGED;  // 7

std::wstring TextUpToZero(const WCHAR* units, std::size_t max) {
  std::size_t n = 0;
  while (n < max && units[n] != 0) ++n;
  return std::wstring(units, n);
}

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

HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, ShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

void CloseHandleVar(HANDLE& h) {
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
}

HINSTANCE ThisModule() {
  HMODULE m = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &m);
  return m;
}

bool RunningInLibrary() { return ThisModule() != GetModuleHandleW(nullptr); }

const wchar_t* const WindowClassName = L"TJvHidDeviceControllerWindow";

}  // namespace

// =============================================================================================
// TJvHidPnPInfo

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

// =============================================================================================
// TJvHidDevice

TJvHidDevice::TJvHidDevice() { throw EControllerError("Direct creation of a TJvHidDevice object is not allowed"); }

TJvHidDevice::TJvHidDevice(TJvHidPnPInfo* pnpInfo, TJvHidDeviceController* controller) : FMyController(controller), FPnPInfo(pnpInfo) {
  if (controller) {
    FData = controller->FDevDataEvent;
    FUnplug = controller->FDevUnplugEvent;
  }
  FHidFileHandle = OpenPath(pnpInfo->DevicePath, GENERIC_READ | GENERIC_WRITE);
  FHasReadWriteAccess = FHidFileHandle != INVALID_HANDLE_VALUE;
  if (!FHasReadWriteAccess) FHidFileHandle = OpenPath(pnpInfo->DevicePath, 0);
  if (FHidFileHandle == INVALID_HANDLE_VALUE) {
    FPnPInfo = nullptr;  // stays with the caller
    throw EControllerError("Device cannot be opened");
  }
  FAttributes.Size = sizeof(HIDD_ATTRIBUTES);
  if (!Hid.pHidD_GetAttributes || !Hid.pHidD_GetAttributes(FHidFileHandle, &FAttributes)) {
    CloseHandleVar(FHidFileHandle);
    FPnPInfo = nullptr;
    throw EControllerError("Device cannot be identified");
  }
  CloseFile();
}

TJvHidDevice::~TJvHidDevice() {
  const TJvHidDataEvent data = FData;
  const TJvHidPlugEvent unplug = FUnplug;
  SetOnData({});
  FUnplug = {};
  CloseAll();
  if (FPreparsedData && Hid.pHidD_FreePreparsedData) Hid.pHidD_FreePreparsedData(FPreparsedData);
  FPreparsedData = nullptr;
  FLanguageStrings.clear();

  TJvHidDeviceController* c = FMyController;
  auto it = c ? std::find(c->FList.begin(), c->FList.end(), this) : std::vector<TJvHidDevice*>::iterator{};
  if (c && it != c->FList.end()) {
    if (FIsPluggedIn) {
      // Destroying a listed, plugged-in device gives it back: a fresh object takes its place.
      TJvHidDevice* fresh = nullptr;
      try {
        fresh = new TJvHidDevice(FPnPInfo, c);
      } catch (const EControllerError&) {
        fresh = nullptr;
      }
      if (fresh) {
        fresh->FData = data;
        fresh->FUnplug = unplug;
        fresh->FThreadSleepTime = FThreadSleepTime;
        *it = fresh;
        FPnPInfo = nullptr;  // handed on
        if (FIsCheckedOut) {
          --c->FNumCheckedOutDevices;
          ++c->FNumCheckedInDevices;
        }
      } else {
        // It cannot be opened any more: it is gone, whatever the next pass will say.
        c->FList.erase(it);
        if (FIsCheckedOut) {
          --c->FNumCheckedOutDevices;
        } else {
          --c->FNumCheckedInDevices;
        }
      }
    } else {
      c->FList.erase(it);
      --c->FNumUnpluggedDevices;
    }
  }
  delete FPnPInfo;
}

bool TJvHidDevice::OpenFile() {
  if (IsAccessible() && FHidFileHandle == INVALID_HANDLE_VALUE) {
    FHidFileHandle = OpenPath(FPnPInfo->DevicePath, GENERIC_READ | GENERIC_WRITE);
    FHasReadWriteAccess = FHidFileHandle != INVALID_HANDLE_VALUE;
    if (!FHasReadWriteAccess) FHidFileHandle = OpenPath(FPnPInfo->DevicePath, 0);
    if (FHidFileHandle != INVALID_HANDLE_VALUE && FNumInputBuffers != 0) {
      Hid.pHidD_SetNumInputBuffers(FHidFileHandle, static_cast<ULONG>(FNumInputBuffers));
      ULONG n = 0;
      if (Hid.pHidD_GetNumInputBuffers(FHidFileHandle, &n)) FNumInputBuffers = static_cast<int>(n);
    }
  }
  return FHidFileHandle != INVALID_HANDLE_VALUE;
}

bool TJvHidDevice::OpenFileEx(TJvHidOpenExMode mode) {
  if (!IsAccessible()) return false;
  if (mode == omhRead) {
    if (FHidOverlappedRead == INVALID_HANDLE_VALUE) {
      FHidOverlappedRead = OpenPath(FPnPInfo->DevicePath, GENERIC_READ, FILE_FLAG_OVERLAPPED);
      if (FHidOverlappedRead != INVALID_HANDLE_VALUE && FNumOverlappedBuffers != 0) {
        Hid.pHidD_SetNumInputBuffers(FHidOverlappedRead, static_cast<ULONG>(FNumOverlappedBuffers));
        ULONG n = 0;
        if (Hid.pHidD_GetNumInputBuffers(FHidOverlappedRead, &n)) FNumOverlappedBuffers = static_cast<int>(n);
      }
    }
    return FHidOverlappedRead != INVALID_HANDLE_VALUE;
  }
  if (FHidOverlappedWrite == INVALID_HANDLE_VALUE)
    FHidOverlappedWrite = OpenPath(FPnPInfo->DevicePath, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  return FHidOverlappedWrite != INVALID_HANDLE_VALUE;
}

void TJvHidDevice::CloseFile() {
  CloseHandleVar(FHidFileHandle);
  FNumInputBuffers = 0;
}

void TJvHidDevice::CloseFileEx(TJvHidOpenExMode mode) {
  if (mode == omhRead) {
    CloseHandleVar(FHidOverlappedRead);
    FNumOverlappedBuffers = 0;
  } else {
    CloseHandleVar(FHidOverlappedWrite);
  }
}

void TJvHidDevice::CloseAll() {
  CloseFile();
  CloseFileEx(omhRead);
  CloseFileEx(omhWrite);
}

void TJvHidDevice::SetNumInputBuffers(int value) {
  if (value == FNumInputBuffers || !OpenFile()) return;
  Hid.pHidD_SetNumInputBuffers(FHidFileHandle, static_cast<ULONG>(value));
  ULONG n = 0;
  FNumInputBuffers = Hid.pHidD_GetNumInputBuffers(FHidFileHandle, &n) ? static_cast<int>(n) : value;
}

void TJvHidDevice::SetNumOverlappedBuffers(int value) {
  if (value == FNumOverlappedBuffers || !OpenFileEx(omhRead)) return;
  Hid.pHidD_SetNumInputBuffers(FHidOverlappedRead, static_cast<ULONG>(value));
  ULONG n = 0;
  FNumOverlappedBuffers = Hid.pHidD_GetNumInputBuffers(FHidOverlappedRead, &n) ? static_cast<int>(n) : value;
}

bool TJvHidDevice::GetFeature(void* report, ULONG size) {
  return OpenFile() && Hid.pHidD_GetFeature(FHidFileHandle, report, size);
}

bool TJvHidDevice::SetFeature(void* report, ULONG size) {
  return OpenFile() && Hid.pHidD_SetFeature(FHidFileHandle, report, size);
}

bool TJvHidDevice::GetInputReport(void* report, ULONG size) {
  return Hid.pHidD_GetInputReport && OpenFile() && Hid.pHidD_GetInputReport(FHidFileHandle, report, size);
}

bool TJvHidDevice::SetOutputReport(void* report, ULONG size) {
  return Hid.pHidD_SetOutputReport && OpenFile() && Hid.pHidD_SetOutputReport(FHidFileHandle, report, size);
}

bool TJvHidDevice::FlushQueue() { return OpenFile() && Hid.pHidD_FlushQueue(FHidFileHandle); }

bool TJvHidDevice::ReadFile(void* report, DWORD toRead, DWORD& bytesRead) {
  bytesRead = 0;
  return OpenFile() && ::ReadFile(FHidFileHandle, report, toRead, &bytesRead, nullptr);
}

bool TJvHidDevice::WriteFile(const void* report, DWORD toWrite, DWORD& bytesWritten) {
  bytesWritten = 0;
  return OpenFile() && ::WriteFile(FHidFileHandle, report, toWrite, &bytesWritten, nullptr);
}

bool TJvHidDevice::DeviceIoControl(DWORD code, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize, DWORD& bytesReturned) {
  bytesReturned = 0;
  return OpenFile() && ::DeviceIoControl(FHidFileHandle, code, inBuffer, inSize, outBuffer, outSize, &bytesReturned, nullptr);
}

bool TJvHidDevice::ReadFileEx(void* report, DWORD toRead, LPOVERLAPPED_COMPLETION_ROUTINE callback) {
  if (!OpenFileEx(omhRead)) return false;
  FOvlRead = OVERLAPPED{};
  FOvlRead.hEvent = reinterpret_cast<HANDLE>(this);  // completion routines find the device here
  return ::ReadFileEx(FHidOverlappedRead, report, toRead, &FOvlRead, callback);
}

bool TJvHidDevice::WriteFileEx(const void* report, DWORD toWrite, LPOVERLAPPED_COMPLETION_ROUTINE callback) {
  if (!OpenFileEx(omhWrite)) return false;
  FOvlWrite = OVERLAPPED{};
  FOvlWrite.hEvent = reinterpret_cast<HANDLE>(this);
  return ::WriteFileEx(FHidOverlappedWrite, report, toWrite, &FOvlWrite, callback);
}

bool TJvHidDevice::CancelIO(TJvHidOpenExMode mode) {
  const HANDLE h = mode == omhRead ? FHidOverlappedRead : FHidOverlappedWrite;
  if (h == INVALID_HANDLE_VALUE) return false;
  using CancelIoFn = BOOL(WINAPI*)(HANDLE);
  const auto cancel = reinterpret_cast<CancelIoFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CancelIo")));
  return cancel && cancel(h);
}

DWORD TJvHidDevice::HidOverlappedReadResult() {
  DWORD n = 0;
  if (FHidOverlappedRead == INVALID_HANDLE_VALUE || !GetOverlappedResult(FHidOverlappedRead, &FOvlRead, &n, FALSE)) return 0;
  return n;
}

DWORD TJvHidDevice::HidOverlappedWriteResult() {
  DWORD n = 0;
  if (FHidOverlappedWrite == INVALID_HANDLE_VALUE || !GetOverlappedResult(FHidOverlappedWrite, &FOvlWrite, &n, FALSE)) return 0;
  return n;
}

PHIDP_PREPARSED_DATA TJvHidDevice::PreparsedData() {
  if (!FPreparsedData && OpenFile()) {
    Hid.pHidD_GetPreparsedData(FHidFileHandle, &FPreparsedData);
    CloseFile();
  }
  return FPreparsedData;
}

HIDP_CAPS TJvHidDevice::Caps() {
  HIDP_CAPS caps{};
  if (PHIDP_PREPARSED_DATA p = PreparsedData()) Hid.pHidP_GetCaps(p, &caps);
  return caps;
}

HIDD_CONFIGURATION TJvHidDevice::Configuration() {
  HIDD_CONFIGURATION config{};
  if (OpenFile()) Hid.pHidD_GetConfiguration(FHidFileHandle, &config, sizeof config);
  return config;
}

void TJvHidDevice::SetConfiguration(HIDD_CONFIGURATION config) {
  if (OpenFile()) Hid.pHidD_SetConfiguration(FHidFileHandle, &config, sizeof config);
}

const std::wstring& TJvHidDevice::VendorName() {
  if (FVendorName.empty() && OpenFile()) {
    WCHAR buf[254] = {};
    Hid.pHidD_GetManufacturerString(FHidFileHandle, buf, sizeof buf);
    FVendorName = TextUpToZero(buf, 254);
    CloseFile();
  }
  return FVendorName;
}

const std::wstring& TJvHidDevice::ProductName() {
  if (FProductName.empty() && OpenFile()) {
    WCHAR buf[254] = {};
    Hid.pHidD_GetProductString(FHidFileHandle, buf, sizeof buf);
    FProductName = TextUpToZero(buf, 254);
    CloseFile();
  }
  return FProductName;
}

int TJvHidDevice::ReadLanguageList(WCHAR* buf) {
  std::fill(buf, buf + 254, static_cast<WCHAR>(0xFFFF));
  if (!Hid.pHidD_GetIndexedString(FHidFileHandle, 0, buf, 254 * sizeof(WCHAR))) return 0;
  for (int i = 253; i >= 0; --i) {
    if (buf[i] != 0xFFFF) return buf[i] == 0 ? i : i + 1;
  }
  return 0;
}

const std::wstring& TJvHidDevice::SerialNumber() {
  if (FSerialNumber.empty() && OpenFile()) {
    WCHAR serial[254] = {};
    if (Hid.pHidD_GetSerialNumberString(FHidFileHandle, serial, sizeof serial)) {
      WCHAR langs[254];
      const int n = ReadLanguageList(langs);
      // Some devices answer the serial-number request with their language list.
      bool differs = false;
      for (int i = 0; i < n; ++i) differs = differs || serial[i] != langs[i];
      if (differs) FSerialNumber = TextUpToZero(serial, 254);
    }
    CloseFile();
  }
  return FSerialNumber;
}

const std::vector<std::wstring>& TJvHidDevice::LanguageStrings() {
  if (FLanguageStrings.empty() && OpenFile()) {
    WCHAR langs[254];
    const int n = ReadLanguageList(langs);
    for (int i = 0; i < n; ++i) {
      WCHAR name[256] = {};
      if (GetLocaleInfoW(MAKELCID(langs[i], SORT_DEFAULT), LOCALE_SLANGUAGE, name, 256) > 0) {
        FLanguageStrings.emplace_back(name);
      } else {
        wchar_t unknown[64];
        std::swprintf(unknown, 64, L"Unknown Locale ID $%.4x", static_cast<unsigned>(langs[i]));
        FLanguageStrings.emplace_back(unknown);
      }
    }
    CloseFile();
  }
  return FLanguageStrings;
}

const TJvPhysicalDescriptor& TJvHidDevice::PhysicalDescriptor() {
  if (FPhysicalDescriptor.empty() && OpenFile()) {
    std::vector<WORD> buf(2048);
    for (ULONG units = 0; units <= 2048; ++units) {
      if (Hid.pHidD_GetPhysicalDescriptor(FHidFileHandle, buf.data(), units * sizeof(WORD))) {
        FPhysicalDescriptor.assign(buf.begin(), buf.begin() + units);
        break;
      }
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    CloseFile();
  }
  return FPhysicalDescriptor;
}

void TJvHidDevice::RefreshListLengths() {
  if (!IsAccessible()) return;
  PHIDP_PREPARSED_DATA p = PreparsedData();
  FMaxDataListLength = Hid.pHidP_MaxDataListLength(FReportTypeParam, p);
  FMaxUsageListLength = Hid.pHidP_MaxUsageListLength(FReportTypeParam, FUsagePageParam, p);
  FMaxButtonListLength = Hid.pHidP_MaxButtonListLength(FReportTypeParam, FUsagePageParam, p);
}

void TJvHidDevice::SetReportTypeParam(HIDP_REPORT_TYPE value) {
  FReportTypeParam = value;
  RefreshListLengths();
}

void TJvHidDevice::SetUsagePageParam(USAGE value) {
  FUsagePageParam = value;
  RefreshListLengths();
}

#define HID_PARSE(call)                          \
  if (!IsAccessible()) return HIDP_STATUS_NULL_; \
  PHIDP_PREPARSED_DATA pp = PreparsedData();     \
  return call

NTSTATUS TJvHidDevice::GetButtonCaps(PHIDP_BUTTON_CAPS caps, USHORT& count) {
  HID_PARSE(Hid.pHidP_GetSpecificButtonCaps(FReportTypeParam, 0, 0, 0, caps, &count, pp));
}
NTSTATUS TJvHidDevice::GetSpecificButtonCaps(PHIDP_BUTTON_CAPS caps, USHORT& count) {
  HID_PARSE(Hid.pHidP_GetSpecificButtonCaps(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, caps, &count, pp));
}
NTSTATUS TJvHidDevice::GetValueCaps(PHIDP_VALUE_CAPS caps, USHORT& count) {
  HID_PARSE(Hid.pHidP_GetSpecificValueCaps(FReportTypeParam, 0, 0, 0, caps, &count, pp));
}
NTSTATUS TJvHidDevice::GetSpecificValueCaps(PHIDP_VALUE_CAPS caps, USHORT& count) {
  HID_PARSE(Hid.pHidP_GetSpecificValueCaps(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, caps, &count, pp));
}
NTSTATUS TJvHidDevice::GetData(PHIDP_DATA list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetData(FReportTypeParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetData(PHIDP_DATA list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetData(FReportTypeParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetUsages(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetUsages(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetButtons(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetButtons(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetUsages(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetUsages(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetButtons(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetButtons(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::UnsetUsages(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_UnsetUsages(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::UnsetButtons(PUSAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_UnsetButtons(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetUsagesEx(PUSAGE_AND_PAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetUsagesEx(FReportTypeParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetButtonsEx(PUSAGE_AND_PAGE list, ULONG& length, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetButtonsEx(FReportTypeParam, FLinkCollectionParam, list, &length, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetUsageValue(ULONG& value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, &value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetScaledUsageValue(LONG& value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetScaledUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, &value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetUsageValue(ULONG value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetScaledUsageValue(LONG value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetScaledUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetUsageValueArray(PCHAR value, USHORT byteLength, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetUsageValueArray(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, byteLength, pp, report,
                                         reportLength));
}
NTSTATUS TJvHidDevice::SetUsageValueArray(PCHAR value, USHORT byteLength, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetUsageValueArray(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, byteLength, pp, report,
                                         reportLength));
}
#undef HID_PARSE

NTSTATUS TJvHidDevice::GetExtendedAttributes(HIDP_REPORT_TYPE reportType, USHORT dataIndex, PHIDP_EXTENDED_ATTRIBUTES attributes, ULONG& length) {
  if (!Hid.pHidP_GetExtendedAttributes) return HIDP_STATUS_NOT_IMPLEMENTED_;
  return Hid.pHidP_GetExtendedAttributes(reportType, dataIndex, FPreparsedData, attributes, &length);
}

NTSTATUS TJvHidDevice::InitializeReportForID(HIDP_REPORT_TYPE reportType, UCHAR reportID, PCHAR report, ULONG reportLength) {
  if (!Hid.pHidP_InitializeReportForID) return HIDP_STATUS_NOT_IMPLEMENTED_;
  return Hid.pHidP_InitializeReportForID(reportType, reportID, FPreparsedData, report, reportLength);
}

bool TJvHidDevice::CheckOut() {
  if (!FMyController || !FIsPluggedIn || FIsCheckedOut) return false;
  FIsCheckedOut = true;
  --FMyController->FNumCheckedInDevices;
  ++FMyController->FNumCheckedOutDevices;
  StartThread();
  return true;
}

void TJvHidDevice::DoUnplug() {
  CloseAll();
  FIsPluggedIn = false;
  const TJvHidPlugEvent unplug = FUnplug;
  FUnplug = {};
  if (unplug) unplug(this);
}

void TJvHidDevice::SetOnData(const TJvHidDataEvent& value) {
  if (!value) StopThread();
  FData = value;
  StartThread();
}

void TJvHidDevice::SetThreadSleepTime(int value) {
  if (value >= 10 && value <= 10000) FThreadSleepTime = value;
}

void TJvHidDevice::StartThread() {
  if (FData && FIsPluggedIn && FIsCheckedOut && FHasReadWriteAccess && !FDataThread) {
    FDataThread = new TJvHidDeviceReadThread(this);
    FDataThread->Start();
  }
}

void TJvHidDevice::StopThread() {
  if (FDataThread) {
    FDataThread->Terminate();
    FDataThread->WaitFor();
    delete FDataThread;
    FDataThread = nullptr;
  }
}

// =============================================================================================
// TJvHidDeviceController

TJvHidDeviceController::TJvHidDeviceController(void* owner) : FOwner(owner) {
  if (LoadSetupLibrary()) LoadHidLibrary();
  if (IsHidLibraryLoaded()) {
    Hid.pHidD_GetHidGuid(&FHidGuid);
    static const ATOM registered = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = DefWindowProcW;
      wc.hInstance = ThisModule();
      wc.lpszClassName = WindowClassName;
      return RegisterClassW(&wc);
    }();
    (void)registered;
    // A hidden top-level tool window: it receives the platform's device-change broadcast.
    FHWnd = CreateWindowExW(WS_EX_TOOLWINDOW, WindowClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, ThisModule(), nullptr);
    if (FHWnd) {
      SetWindowLongPtrW(FHWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      SetWindowLongPtrW(FHWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
      PostMessageW(FHWnd, DeviceChangeMessage, DeviceNodesChanged, -1);
    }
  } else {
    FHidGuid = HidInterfaceClassGuid;
  }
}

TJvHidDeviceController::~TJvHidDeviceController() {
  FDestroying = true;
  FDeviceChangeEvent = {};
  FDevUnplugEvent = {};
  OnEnumerate = {};
  if (IsHidLibraryLoaded() && FHWnd) {
    SetWindowLongPtrW(FHWnd, GWLP_USERDATA, 0);
    DestroyWindow(FHWnd);
    FHWnd = nullptr;
  }
  std::exception_ptr raised;
  const std::vector<TJvHidDevice*> devices = FList;
  FList.clear();
  for (TJvHidDevice* dev : devices) {
    if (std::find(FReleaseAfterPass.begin(), FReleaseAfterPass.end(), dev) != FReleaseAfterPass.end()) continue;
    dev->FMyController = nullptr;
    if (dev->FIsCheckedOut) {
      // Its holder's unplug handler releases it.
      try {
        dev->DoUnplug();
      } catch (...) {
        if (!raised) raised = std::current_exception();
      }
    } else {
      delete dev;
    }
  }
  for (TJvHidDevice* dev : FReleaseAfterPass) {
    dev->FMyController = nullptr;
    delete dev;
  }
  FReleaseAfterPass.clear();
  if (IsHidLibraryLoaded()) UnloadSetupLibrary();
  UnloadHidLibrary();
  if (raised) Application->HandleException(this, raised);
}

LRESULT CALLBACK TJvHidDeviceController::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<TJvHidDeviceController*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self && msg == DeviceChangeMessage && wParam == DeviceNodesChanged && !self->FDestroying && !self->FInDeviceChange) {
    // Exceptions cannot leave a window procedure; the pass finishes and hands them on.
    try {
      self->RunPass(lParam);
    } catch (...) {
      Application->HandleException(self, std::current_exception());
    }
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

void TJvHidDeviceController::RunPass(LPARAM lParam) {
  FLParam = lParam;
  FInDeviceChange = true;
  try {
    DeviceChange();
  } catch (...) {
    FInDeviceChange = false;
    throw;
  }
  FInDeviceChange = false;
}

void TJvHidDeviceController::Scan(std::vector<TJvHidDevice*>& found) {
  HDEVINFO devs = SetupApi.pSetupDiGetClassDevsW(&FHidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devs == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA ifData{};
  ifData.cbSize = sizeof ifData;
  // An interface whose detail cannot be read is skipped: the index always moves on.
  for (DWORD index = 0; SetupApi.pSetupDiEnumDeviceInterfaces(devs, nullptr, &FHidGuid, index, &ifData); ++index) {
    SP_DEVINFO_DATA devData{};
    devData.cbSize = sizeof devData;
    DWORD size = 0;
    const BOOL first = SetupApi.pSetupDiGetDeviceInterfaceDetailW(devs, &ifData, nullptr, 0, &size, &devData);
    if (first || size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
    std::vector<std::uint8_t> buf(size);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupApi.pSetupDiGetDeviceInterfaceDetailW(devs, &ifData, detail, size, &size, &devData)) continue;
    const std::size_t pathUnits = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    auto* pnp = new TJvHidPnPInfo(devs, devData, TextUpToZero(detail->DevicePath, pathUnits));
    try {
      found.push_back(new TJvHidDevice(pnp, this));
    } catch (const EControllerError&) {
      delete pnp;  // cannot be opened or identified: left out
    }
  }
  SetupApi.pSetupDiDestroyDeviceInfoList(devs);
}

template <class Fn>
auto TJvHidDeviceController::WithEnumerated(TJvHidDevice* dev, bool closeAfter, Fn fn) {
  struct Restore {
    TJvHidDevice* d;
    bool close;
    ~Restore() {
      d->FIsEnumerated = false;
      if (close && !d->FIsCheckedOut) d->CloseAll();
    }
  } restore{dev, closeAfter};
  dev->FIsEnumerated = true;
  return fn();
}

void TJvHidDeviceController::RemoveFromList(TJvHidDevice* dev) {
  auto it = std::find(FList.begin(), FList.end(), dev);
  if (it != FList.end()) FList.erase(it);
}

void TJvHidDeviceController::DeviceChange() {
  bool changed = FLParam == -1;
  std::vector<TJvHidDevice*> found;
  if (IsHidLibraryLoaded()) Scan(found);

  // A handler that raises does not stop the pass: the list must still match the devices. The
  // first exception travels on once the pass is complete.
  std::exception_ptr raised;
  auto guarded = [&](auto&& fn) {
    try {
      fn();
    } catch (...) {
      if (!raised) raised = std::current_exception();
    }
  };
  const bool outerPass = !FInDeviceChange;
  FInDeviceChange = true;

  // Removal, last to first.
  const std::vector<TJvHidDevice*> listed = FList;
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
    TJvHidDevice* dev = *it;
    if (std::find(FList.begin(), FList.end(), dev) == FList.end()) continue;  // gone meanwhile
    bool present = false;
    if (dev->FIsPluggedIn)
      for (TJvHidDevice* n : found) present = present || n->FPnPInfo->DeviceID == dev->FPnPInfo->DeviceID;
    if (present) continue;
    guarded([&] { dev->DoUnplug(); });
    guarded([&] { WithEnumerated(dev, true, [&] { if (OnRemoval) OnRemoval(dev); }); });
    if (!dev->FIsCheckedOut && std::find(FReleaseAfterPass.begin(), FReleaseAfterPass.end(), dev) == FReleaseAfterPass.end()) {
      RemoveFromList(dev);
      delete dev;
    }
    changed = true;
  }

  // Duplicates of devices still listed.
  for (TJvHidDevice*& n : found) {
    for (TJvHidDevice* dev : FList) {
      if (dev->FIsPluggedIn && dev->FPnPInfo->DeviceID == n->FPnPInfo->DeviceID) {
        delete n;
        n = nullptr;
        break;
      }
    }
  }

  // Arrivals, in scan order, each listed before its own event.
  for (TJvHidDevice* n : found) {
    if (!n) continue;
    FList.push_back(n);
    changed = true;
    guarded([&] { WithEnumerated(n, true, [&] { if (OnArrival) OnArrival(n); }); });
  }

  FInDeviceChange = !outerPass;
  // Devices their holders checked in during the events above.
  const std::vector<TJvHidDevice*> release = std::move(FReleaseAfterPass);
  FReleaseAfterPass.clear();
  for (TJvHidDevice* dev : release) delete dev;

  FNumCheckedInDevices = FNumCheckedOutDevices = FNumUnpluggedDevices = 0;
  for (TJvHidDevice* dev : FList) {
    if (!dev->FIsCheckedOut) ++FNumCheckedInDevices;
    if (dev->FIsCheckedOut) ++FNumCheckedOutDevices;
    if (!dev->FIsPluggedIn) ++FNumUnpluggedDevices;
  }
  FNumCheckedOutDevices -= FNumUnpluggedDevices;

  if (changed && FDeviceChangeEvent) guarded([&] { FDeviceChangeEvent(this); });
  if (raised) std::rethrow_exception(raised);
}

bool TJvHidDeviceController::CheckOutAt(TJvHidDevice*& HidDev, std::size_t idx, bool match) {
  TJvHidDevice* dev = FList[idx];
  if (!match || dev->FIsCheckedOut) return false;
  HidDev = dev;
  dev->FIsCheckedOut = true;
  ++FNumCheckedOutDevices;
  --FNumCheckedInDevices;
  dev->StartThread();
  return true;
}

template <class Match>
bool TJvHidDeviceController::CheckOutFirst(TJvHidDevice*& HidDev, Match match) {
  HidDev = nullptr;
  for (std::size_t i = 0; i < FList.size(); ++i)
    if (!FList[i]->FIsCheckedOut && CheckOutAt(HidDev, i, match(FList[i]))) return true;
  return false;
}

bool TJvHidDeviceController::CheckOut(TJvHidDevice*& HidDev) {
  return CheckOutFirst(HidDev, [](TJvHidDevice*) { return true; });
}

bool TJvHidDeviceController::CheckOutByID(TJvHidDevice*& HidDev, int Vid, int Pid) {
  return CheckOutFirst(HidDev, [&](TJvHidDevice* d) { return d->VendorID() == Vid && (d->ProductID() == Pid || Pid == -1); });
}

bool TJvHidDeviceController::CheckOutByIndex(TJvHidDevice*& HidDev, int Idx) {
  HidDev = nullptr;
  if (Idx < 0 || static_cast<std::size_t>(Idx) >= FList.size()) return false;
  return CheckOutAt(HidDev, static_cast<std::size_t>(Idx), true);
}

bool TJvHidDeviceController::CheckOutByProductName(TJvHidDevice*& HidDev, const std::wstring& ProductName) {
  HidDev = nullptr;
  if (ProductName.empty()) return false;
  return CheckOutFirst(HidDev, [&](TJvHidDevice* d) { return d->ProductName() == ProductName; });
}

bool TJvHidDeviceController::CheckOutByVendorName(TJvHidDevice*& HidDev, const std::wstring& VendorName) {
  HidDev = nullptr;
  if (VendorName.empty()) return false;
  return CheckOutFirst(HidDev, [&](TJvHidDevice* d) { return d->VendorName() == VendorName; });
}

bool TJvHidDeviceController::CheckOutByClass(TJvHidDevice*& HidDev, const std::wstring& ClassName) {
  HidDev = nullptr;
  if (ClassName.empty()) return false;
  return CheckOutFirst(HidDev, [&](TJvHidDevice* d) { return d->FPnPInfo->ClassDescr == ClassName; });
}

bool TJvHidDeviceController::CheckOutByCallback(TJvHidDevice*& HidDev, TJvHidCheckCallback Check) {
  HidDev = nullptr;
  if (!Check) return false;
  for (std::size_t i = 0; i < FList.size(); ++i) {
    TJvHidDevice* dev = FList[i];
    if (dev->FIsCheckedOut) continue;
    const bool take = WithEnumerated(dev, false, [&] { return Check(dev); });
    if (CheckOutAt(HidDev, i, take)) return true;
    dev->CloseAll();
  }
  return false;
}

void TJvHidDeviceController::CheckIn(TJvHidDevice*& HidDev) {
  if (!HidDev) return;
  TJvHidDevice* dev = HidDev;
  HidDev = nullptr;
  dev->StopThread();
  dev->CloseAll();
  if (dev->FIsPluggedIn) {
    if (dev->FIsCheckedOut) {
      dev->FIsCheckedOut = false;
      --FNumCheckedOutDevices;
      ++FNumCheckedInDevices;
    }
  } else if (FInDeviceChange) {
    // The pass that marked it unplugged still uses it.
    if (std::find(FReleaseAfterPass.begin(), FReleaseAfterPass.end(), dev) == FReleaseAfterPass.end()) FReleaseAfterPass.push_back(dev);
  } else {
    delete dev;
  }
}

int TJvHidDeviceController::CountByID(int Vid, int Pid) {
  int n = 0;
  for (TJvHidDevice* d : FList) n += d->FIsPluggedIn && d->VendorID() == Vid && (d->ProductID() == Pid || Pid == -1);
  return n;
}

int TJvHidDeviceController::CountByProductName(const std::wstring& ProductName) {
  int n = 0;
  for (TJvHidDevice* d : FList) n += d->FIsPluggedIn && d->ProductName() == ProductName;
  return n;
}

int TJvHidDeviceController::CountByVendorName(const std::wstring& VendorName) {
  int n = 0;
  for (TJvHidDevice* d : FList) n += d->FIsPluggedIn && d->VendorName() == VendorName;
  return n;
}

int TJvHidDeviceController::CountByClass(const std::wstring& ClassName) {
  int n = 0;
  for (TJvHidDevice* d : FList) n += d->FIsPluggedIn && d->FPnPInfo->ClassDescr == ClassName;
  return n;
}

int TJvHidDeviceController::CountByCallback(TJvHidCheckCallback Check) {
  int n = 0;
  if (!Check) return 0;
  const std::vector<TJvHidDevice*> listed = FList;
  for (TJvHidDevice* d : listed)
    if (d->FIsPluggedIn) n += WithEnumerated(d, true, [&] { return Check(d); });
  return n;
}

int TJvHidDeviceController::Enumerate() {
  int n = 0;
  const std::vector<TJvHidDevice*> listed = FList;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    TJvHidDevice* d = listed[i];
    if (!d->FIsPluggedIn) continue;
    const bool more = WithEnumerated(d, true, [&] { return OnEnumerate ? OnEnumerate(d, static_cast<int>(i)) : false; });
    ++n;
    if (!more) break;
  }
  return n;
}

void TJvHidDeviceController::SetOnDeviceChange(const TJvHidNotifyEvent& value) {
  if (value == FDeviceChangeEvent) return;
  FDeviceChangeEvent = value;
  if (!FInDeviceChange) {
    FInDeviceChange = true;
    try {
      DeviceChange();
    } catch (...) {
      FInDeviceChange = false;
      throw;
    }
    FInDeviceChange = false;
  } else {
    DeviceChange();
  }
}

void TJvHidDeviceController::SetOnDeviceData(const TJvHidDataEvent& value) {
  if (value == FDevDataEvent) return;
  for (TJvHidDevice* d : FList)
    if (d->FData == FDevDataEvent) d->SetOnData(value);
  FDevDataEvent = value;
}

void TJvHidDeviceController::SetOnDeviceDataError(const TJvHidDataErrorEvent& value) {
  if (value == FDevDataErrorEvent) return;
  for (TJvHidDevice* d : FList)
    if (d->FDataError == FDevDataErrorEvent) d->FDataError = value;
  FDevDataErrorEvent = value;
}

void TJvHidDeviceController::SetOnDeviceUnplug(const TJvHidPlugEvent& value) {
  if (value == FDevUnplugEvent) return;
  for (TJvHidDevice* d : FList)
    if (d->FUnplug == FDevUnplugEvent) d->FUnplug = value;
  FDevUnplugEvent = value;
}

void TJvHidDeviceController::SetDevThreadSleepTime(int value) {
  if (value == FDevThreadSleepTime) return;
  for (TJvHidDevice* d : FList)
    if (d->FThreadSleepTime == FDevThreadSleepTime) d->SetThreadSleepTime(value);
  FDevThreadSleepTime = value;
}

std::wstring TJvHidDeviceController::HidVersion() {
  DWORD dummy = 0;
  const DWORD size = GetFileVersionInfoSizeW(L"HID.dll", &dummy);
  if (size == 0) return {};
  std::vector<std::uint8_t> info(size);
  if (!GetFileVersionInfoW(L"HID.dll", 0, size, info.data())) return {};
  void* value = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(info.data(), L"\\StringFileInfo\\040904E4\\FileVersion", &value, &len) || !value || len == 0) return {};
  return TextUpToZero(static_cast<const WCHAR*>(value), len);
}

// =============================================================================================
// TJvHidDeviceReadThread

jvhid_detail::TReadThreadGate::TReadThreadGate(bool direct) {
  if (direct) throw EControllerError("Direct creation of a TJvDeviceReadThread object is not allowed");
}

TJvHidDeviceReadThread::TJvHidDeviceReadThread(bool) : TReadThreadGate(true) {}

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice* dev) : TReadThreadGate(false), Device(dev) {
  Report.assign(dev->Caps().InputReportByteLength, 0);
}

void TJvHidDeviceReadThread::DoData() {
  Device->FData(Device, Report[0], Report.data() + 1, static_cast<std::uint16_t>(NumBytesRead - 1));
}

void TJvHidDeviceReadThread::DoDataError() {
  if (Device->FDataError) Device->FDataError(Device, FErr);
}

void TJvHidDeviceReadThread::Execute() {
  if (Report.empty()) {
    // A device without input reports: nothing to read, only the stop to wait for.
    while (!Terminated()) SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
    return;
  }
  DWORD w = WAIT_IO_COMPLETION;
  while (!Terminated()) {
    w = WAIT_IO_COMPLETION;
    std::fill(Report.begin(), Report.end(), 0);
    if (!Device->ReadFileEx(Report.data(), static_cast<DWORD>(Report.size()), &DummyReadCompletion)) {
      FErr = GetLastError();
      if (Device->FDataError) {
        Synchronize([this] { DoDataError(); });
      } else {
        // Nobody hears of the failure: pause instead of spinning on a device that is gone.
        SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
      }
      continue;
    }
    do {
      w = SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
    } while (!Terminated() && w != WAIT_IO_COMPLETION);
    if (Terminated()) break;
    NumBytesRead = Device->HidOverlappedReadResult();
    if (NumBytesRead > 0) {
      if (RunningInLibrary()) {
        DoData();
      } else {
        Synchronize([this] { DoData(); });
      }
    }
  }
  if (w != WAIT_IO_COMPLETION) {
    Device->CancelIO(omhRead);
    // The buffer belongs to this thread: let the cancelled read finish with it before it goes.
    for (int i = 0; i < 100 && SleepEx(10, TRUE) != WAIT_IO_COMPLETION; ++i) {
    }
  }
}
