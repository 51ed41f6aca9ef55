// The HID entries the simulation models, and the export table of the whole entry list: what is
// not modelled here fails cleanly through a stub.

#include <windows.h>
#include <hidsdi.h>
#include <hidpi.h>

#include <cstring>
#include <vector>

#include "hid/Hid_win.h"
#include "sim/SimExports_win.h"
#include "sim/SimState_win.h"

using namespace sim;

namespace {

constexpr ULONG kPreparsedMagic = 0x4B534850;  // "PHSK"

struct Preparsed {
  ULONG Magic;
  HIDP_CAPS Caps;
};

BOOLEAN CopyString(HANDLE h, const std::wstring Device::*field, PVOID buffer, ULONG length) {
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  const std::wstring& s = d->*field;
  if (s.empty()) return Fail(ERROR_GEN_FAILURE);  // the device has no such string
  const ULONG bytes = static_cast<ULONG>((s.size() + 1) * sizeof(WCHAR));
  if (!buffer || length < bytes) return Fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(buffer, s.c_str(), bytes);
  return TRUE;
}

BOOLEAN Exchange(HANDLE h, PVOID buffer, ULONG length, bool set) {
  if (!buffer || length == 0) return Fail(ERROR_INVALID_PARAMETER);
  auto* buf = static_cast<std::uint8_t*>(buffer);
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  const std::uint8_t id = buf[0];
  bool ok = false;
  if (d->NoAccess) {
    error = ERROR_ACCESS_DENIED;
  } else if (!d->Receiver) {
    error = ERROR_INVALID_FUNCTION;
  } else {
    ok = set ? d->Firmware.SetFeature(buf, length) : d->Firmware.GetFeature(buf, length);
    error = ERROR_GEN_FAILURE;
  }
  LogExchange(d, set, id, ok, buf, length);
  return ok ? TRUE : Fail(error);
}

}  // namespace

// =============================================================================================
// The HID entries the simulation models

namespace model {

void WINAPI HidD_GetHidGuid(LPGUID guid) {
  if (guid) *guid = kHidInterfaceClassGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
  if (!attributes) return Fail(ERROR_INVALID_PARAMETER);
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  attributes->VendorID = d->VendorID;
  attributes->ProductID = d->ProductID;
  attributes->VersionNumber = d->Version;
  return TRUE;
}

BOOLEAN WINAPI HidD_GetFeature(HANDLE h, PVOID buffer, ULONG length) { return Exchange(h, buffer, length, false); }
BOOLEAN WINAPI HidD_SetFeature(HANDLE h, PVOID buffer, ULONG length) { return Exchange(h, buffer, length, true); }

BOOLEAN WINAPI HidD_GetManufacturerString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Vendor, buffer, length); }
BOOLEAN WINAPI HidD_GetProductString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Product, buffer, length); }
BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Serial, buffer, length); }

BOOLEAN WINAPI HidD_GetIndexedString(HANDLE h, ULONG index, PVOID buffer, ULONG length) {
  switch (index) {
    case 1:
      return CopyString(h, &Device::Vendor, buffer, length);
    case 2:
      return CopyString(h, &Device::Product, buffer, length);
    case 3:
      return CopyString(h, &Device::Serial, buffer, length);
    case 0:
      break;
    default:
      return Fail(ERROR_GEN_FAILURE);
  }
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  if (d->LanguagesFail) return Fail(ERROR_GEN_FAILURE);
  std::vector<WCHAR> units = d->Languages;
  units.push_back(0);
  const ULONG bytes = static_cast<ULONG>(units.size() * sizeof(WCHAR));
  if (!buffer || length < bytes) return Fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(buffer, units.data(), bytes);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE h, PULONG number) {
  if (!number) return Fail(ERROR_INVALID_PARAMETER);
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  *number = d->NumInputBuffers;
  return TRUE;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE h, ULONG number) {
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  if (number < 2 || number > 512) return Fail(ERROR_INVALID_PARAMETER);
  d->NumInputBuffers = number;
  return TRUE;
}

BOOLEAN WINAPI HidD_FlushQueue(HANDLE h) {
  {
    platform::AutoLock g(g_sim.Lock);
    DWORD error = 0;
    if (!FromHandle(h, error)) return Fail(error);
  }
  // Drop what has arrived and not been read yet, where the handle may read at all.
  DWORD avail = 0;
  while (PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
    std::vector<std::uint8_t> sink(avail);
    const platform::ScopedKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = done.Get();
    DWORD n = 0;
    const bool ok =
        ReadFile(h, sink.data(), avail, &n, &ov) || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, &ov, &n, TRUE));
    if (!ok) break;
  }
  return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
  if (!data) return Fail(ERROR_INVALID_PARAMETER);
  platform::AutoLock g(g_sim.Lock);
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  auto* p = static_cast<Preparsed*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Preparsed)));
  if (!p) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  p->Magic = kPreparsedMagic;
  p->Caps.UsagePage = d->Receiver ? 0xFF00 : 0x0001;
  p->Caps.Usage = d->Receiver ? 0x0001 : 0x0000;
  p->Caps.InputReportByteLength = d->InputLength;
  p->Caps.OutputReportByteLength = d->OutputLength;
  p->Caps.FeatureReportByteLength = d->FeatureLength;
  p->Caps.NumberLinkCollectionNodes = 1;
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != kPreparsedMagic) return Fail(ERROR_INVALID_PARAMETER);
  p->Magic = 0;
  HeapFree(GetProcessHeap(), 0, p);
  return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != kPreparsedMagic) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (caps) *caps = p->Caps;
  return HIDP_STATUS_SUCCESS;
}

// The receiver's descriptor, as far as the lists go: one vendor-defined value per feature report.
ULONG WINAPI HidP_MaxDataListLength(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != kPreparsedMagic) return 0;
  return type == HidP_Feature && p->Caps.UsagePage == 0xFF00 ? 7 : 0;
}

ULONG WINAPI HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != kPreparsedMagic) return 0;
  return type == HidP_Feature && p->Caps.UsagePage == 0xFF00 && (usagePage == 0 || usagePage == 0xFF00) ? 7 : 0;
}

}  // namespace model

namespace stubs {
#define HID_ENTRY(F, when) inline const auto F = &::sim::NotModelled<HIDP_STATUS_NOT_IMPLEMENTED_, decltype(&::F)>::Call;
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
}  // namespace stubs

namespace model {
using namespace stubs;
}

#define HID_ENTRY(F, when) SIM_EXPORT(F)
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
