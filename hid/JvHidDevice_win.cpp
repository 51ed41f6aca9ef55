// TJvHidDevice: one HID device of a controller, its handles, reports and report parsing.
#include "hid/JvHidControllerClass_win.h"

#include <algorithm>
#include <cstdio>

#include "hid/JvHidShared_win.h"

using hid::TextUpToZero;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

TJvHidDevice::TJvHidDevice() { throw EControllerError("Direct creation of a TJvHidDevice object is not allowed"); }

TJvHidDevice::TJvHidDevice(TJvHidPnPInfo* pnpInfo, TJvHidDeviceController* controller) : FMyController(controller), FPnPInfo(pnpInfo) {
  if (controller) {
    FData = controller->FDevDataEvent;
    FUnplug = controller->FDevUnplugEvent;
  }
  FHidFileHandle.Reset(OpenPath(pnpInfo->DevicePath, GENERIC_READ | GENERIC_WRITE));
  FHasReadWriteAccess = FHidFileHandle.IsValid();
  if (!FHasReadWriteAccess) FHidFileHandle.Reset(OpenPath(pnpInfo->DevicePath, 0));
  if (!FHidFileHandle.IsValid()) {
    FPnPInfo = nullptr;  // stays with the caller
    throw EControllerError("Device cannot be opened");
  }
  FAttributes.Size = sizeof(HIDD_ATTRIBUTES);
  if (!Hid.pHidD_GetAttributes || !Hid.pHidD_GetAttributes(FHidFileHandle.Get(), &FAttributes)) {
    FHidFileHandle.Reset();
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
  if (IsAccessible() && !FHidFileHandle.IsValid()) {
    FHidFileHandle.Reset(OpenPath(FPnPInfo->DevicePath, GENERIC_READ | GENERIC_WRITE));
    FHasReadWriteAccess = FHidFileHandle.IsValid();
    if (!FHasReadWriteAccess) FHidFileHandle.Reset(OpenPath(FPnPInfo->DevicePath, 0));
    if (FHidFileHandle.IsValid() && FNumInputBuffers != 0) {
      Hid.pHidD_SetNumInputBuffers(FHidFileHandle.Get(), static_cast<ULONG>(FNumInputBuffers));
      ULONG n = 0;
      if (Hid.pHidD_GetNumInputBuffers(FHidFileHandle.Get(), &n)) FNumInputBuffers = static_cast<int>(n);
    }
  }
  return FHidFileHandle.IsValid();
}

bool TJvHidDevice::OpenFileEx(TJvHidOpenExMode mode) {
  if (!IsAccessible()) return false;
  if (mode == omhRead) {
    if (!FHidOverlappedRead.IsValid()) {
      FHidOverlappedRead.Reset(OpenPath(FPnPInfo->DevicePath, GENERIC_READ, FILE_FLAG_OVERLAPPED));
      if (FHidOverlappedRead.IsValid() && FNumOverlappedBuffers != 0) {
        Hid.pHidD_SetNumInputBuffers(FHidOverlappedRead.Get(), static_cast<ULONG>(FNumOverlappedBuffers));
        ULONG n = 0;
        if (Hid.pHidD_GetNumInputBuffers(FHidOverlappedRead.Get(), &n)) FNumOverlappedBuffers = static_cast<int>(n);
      }
    }
    return FHidOverlappedRead.IsValid();
  }
  if (!FHidOverlappedWrite.IsValid())
    FHidOverlappedWrite.Reset(OpenPath(FPnPInfo->DevicePath, GENERIC_WRITE, FILE_FLAG_OVERLAPPED));
  return FHidOverlappedWrite.IsValid();
}

void TJvHidDevice::CloseFile() {
  FHidFileHandle.Reset();
  FNumInputBuffers = 0;
}

void TJvHidDevice::CloseFileEx(TJvHidOpenExMode mode) {
  if (mode == omhRead) {
    FHidOverlappedRead.Reset();
    FNumOverlappedBuffers = 0;
  } else {
    FHidOverlappedWrite.Reset();
  }
}

void TJvHidDevice::CloseAll() {
  CloseFile();
  CloseFileEx(omhRead);
  CloseFileEx(omhWrite);
}

void TJvHidDevice::SetNumInputBuffers(int value) {
  if (value == FNumInputBuffers || !OpenFile()) return;
  Hid.pHidD_SetNumInputBuffers(FHidFileHandle.Get(), static_cast<ULONG>(value));
  ULONG n = 0;
  FNumInputBuffers = Hid.pHidD_GetNumInputBuffers(FHidFileHandle.Get(), &n) ? static_cast<int>(n) : value;
}

void TJvHidDevice::SetNumOverlappedBuffers(int value) {
  if (value == FNumOverlappedBuffers || !OpenFileEx(omhRead)) return;
  Hid.pHidD_SetNumInputBuffers(FHidOverlappedRead.Get(), static_cast<ULONG>(value));
  ULONG n = 0;
  FNumOverlappedBuffers = Hid.pHidD_GetNumInputBuffers(FHidOverlappedRead.Get(), &n) ? static_cast<int>(n) : value;
}

bool TJvHidDevice::GetFeature(void* report, ULONG size) {
  return OpenFile() && Hid.pHidD_GetFeature(FHidFileHandle.Get(), report, size);
}

bool TJvHidDevice::SetFeature(void* report, ULONG size) {
  return OpenFile() && Hid.pHidD_SetFeature(FHidFileHandle.Get(), report, size);
}

bool TJvHidDevice::GetInputReport(void* report, ULONG size) {
  return Hid.pHidD_GetInputReport && OpenFile() && Hid.pHidD_GetInputReport(FHidFileHandle.Get(), report, size);
}

bool TJvHidDevice::SetOutputReport(void* report, ULONG size) {
  return Hid.pHidD_SetOutputReport && OpenFile() && Hid.pHidD_SetOutputReport(FHidFileHandle.Get(), report, size);
}

bool TJvHidDevice::FlushQueue() { return OpenFile() && Hid.pHidD_FlushQueue(FHidFileHandle.Get()); }

bool TJvHidDevice::ReadFile(void* report, DWORD toRead, DWORD& bytesRead) {
  bytesRead = 0;
  return OpenFile() && ::ReadFile(FHidFileHandle.Get(), report, toRead, &bytesRead, nullptr);
}

bool TJvHidDevice::WriteFile(const void* report, DWORD toWrite, DWORD& bytesWritten) {
  bytesWritten = 0;
  return OpenFile() && ::WriteFile(FHidFileHandle.Get(), report, toWrite, &bytesWritten, nullptr);
}

bool TJvHidDevice::DeviceIoControl(DWORD code, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize, DWORD& bytesReturned) {
  bytesReturned = 0;
  return OpenFile() && ::DeviceIoControl(FHidFileHandle.Get(), code, inBuffer, inSize, outBuffer, outSize, &bytesReturned, nullptr);
}

bool TJvHidDevice::ReadFileEx(void* report, DWORD toRead, LPOVERLAPPED_COMPLETION_ROUTINE callback) {
  if (!OpenFileEx(omhRead)) return false;
  FOvlRead = OVERLAPPED{};
  FOvlRead.hEvent = reinterpret_cast<HANDLE>(this);  // completion routines find the device here
  return ::ReadFileEx(FHidOverlappedRead.Get(), report, toRead, &FOvlRead, callback);
}

bool TJvHidDevice::WriteFileEx(const void* report, DWORD toWrite, LPOVERLAPPED_COMPLETION_ROUTINE callback) {
  if (!OpenFileEx(omhWrite)) return false;
  FOvlWrite = OVERLAPPED{};
  FOvlWrite.hEvent = reinterpret_cast<HANDLE>(this);
  return ::WriteFileEx(FHidOverlappedWrite.Get(), report, toWrite, &FOvlWrite, callback);
}

bool TJvHidDevice::CancelIO(TJvHidOpenExMode mode) {
  const HANDLE h = mode == omhRead ? FHidOverlappedRead.Get() : FHidOverlappedWrite.Get();
  if (h == INVALID_HANDLE_VALUE) return false;
  const auto cancel = platform::ProcAddress<decltype(&::CancelIo)>(L"kernel32.dll", "CancelIo");
  return cancel && cancel(h);
}

DWORD TJvHidDevice::HidOverlappedReadResult() {
  DWORD n = 0;
  if (!FHidOverlappedRead.IsValid() || !GetOverlappedResult(FHidOverlappedRead.Get(), &FOvlRead, &n, FALSE)) return 0;
  return n;
}

DWORD TJvHidDevice::HidOverlappedWriteResult() {
  DWORD n = 0;
  if (!FHidOverlappedWrite.IsValid() || !GetOverlappedResult(FHidOverlappedWrite.Get(), &FOvlWrite, &n, FALSE)) return 0;
  return n;
}

PHIDP_PREPARSED_DATA TJvHidDevice::PreparsedData() {
  if (!FPreparsedData && OpenFile()) {
    Hid.pHidD_GetPreparsedData(FHidFileHandle.Get(), &FPreparsedData);
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
  if (OpenFile()) Hid.pHidD_GetConfiguration(FHidFileHandle.Get(), &config, sizeof config);
  return config;
}

void TJvHidDevice::SetConfiguration(HIDD_CONFIGURATION config) {
  if (OpenFile()) Hid.pHidD_SetConfiguration(FHidFileHandle.Get(), &config, sizeof config);
}

const std::wstring& TJvHidDevice::VendorName() {
  if (FVendorName.empty() && OpenFile()) {
    WCHAR buf[254] = {};
    Hid.pHidD_GetManufacturerString(FHidFileHandle.Get(), buf, sizeof buf);
    FVendorName = TextUpToZero(buf, 254);
    CloseFile();
  }
  return FVendorName;
}

const std::wstring& TJvHidDevice::ProductName() {
  if (FProductName.empty() && OpenFile()) {
    WCHAR buf[254] = {};
    Hid.pHidD_GetProductString(FHidFileHandle.Get(), buf, sizeof buf);
    FProductName = TextUpToZero(buf, 254);
    CloseFile();
  }
  return FProductName;
}

int TJvHidDevice::ReadLanguageList(WCHAR* buf) {
  std::fill(buf, buf + 254, static_cast<WCHAR>(0xFFFF));
  if (!Hid.pHidD_GetIndexedString(FHidFileHandle.Get(), 0, buf, 254 * sizeof(WCHAR))) return 0;
  for (int i = 253; i >= 0; --i) {
    if (buf[i] != 0xFFFF) return buf[i] == 0 ? i : i + 1;
  }
  return 0;
}

const std::wstring& TJvHidDevice::SerialNumber() {
  if (FSerialNumber.empty() && OpenFile()) {
    WCHAR serial[254] = {};
    if (Hid.pHidD_GetSerialNumberString(FHidFileHandle.Get(), serial, sizeof serial)) {
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
      if (Hid.pHidD_GetPhysicalDescriptor(FHidFileHandle.Get(), buf.data(), units * sizeof(WORD))) {
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
  HID_PARSE(
      Hid.pHidP_GetUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, &value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetScaledUsageValue(LONG& value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetScaledUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, &value, pp, report,
                                          reportLength));
}
NTSTATUS TJvHidDevice::SetUsageValue(ULONG value, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::SetScaledUsageValue(LONG value, PCHAR report, ULONG reportLength) {
  HID_PARSE(
      Hid.pHidP_SetScaledUsageValue(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, pp, report, reportLength));
}
NTSTATUS TJvHidDevice::GetUsageValueArray(PCHAR value, USHORT byteLength, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_GetUsageValueArray(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, byteLength, pp,
                                         report, reportLength));
}
NTSTATUS TJvHidDevice::SetUsageValueArray(PCHAR value, USHORT byteLength, PCHAR report, ULONG reportLength) {
  HID_PARSE(Hid.pHidP_SetUsageValueArray(FReportTypeParam, FUsagePageParam, FLinkCollectionParam, FUsageParam, value, byteLength, pp,
                                         report, reportLength));
}
#undef HID_PARSE

NTSTATUS TJvHidDevice::GetExtendedAttributes(HIDP_REPORT_TYPE reportType, USHORT dataIndex, PHIDP_EXTENDED_ATTRIBUTES attributes,
                                             ULONG& length) {
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
