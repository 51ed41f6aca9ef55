// TJvHidDeviceController: the device list, the platform's device-change notifications and the
// passes that follow them, check-out and check-in.
#include "hid/JvHidControllerClass_win.h"

#include <dbt.h>

#include <algorithm>

#include "hid/JvHidShared_win.h"
#include "platform/Trace_win.h"

using hid::TextUpToZero;
using hid::ThisModule;

namespace {

constexpr DWORD kDeviceChangeMessage = WM_DEVICECHANGE;  // 0x219
constexpr WPARAM kDeviceNodesChanged = DBT_DEVNODES_CHANGED;  // 7

const wchar_t* const WindowClassName = L"TJvHidDeviceControllerWindow";

}  // namespace

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
      PostMessageW(FHWnd, kDeviceChangeMessage, kDeviceNodesChanged, -1);
    } else {
      // The controller goes on without it but learns of no arrival or removal.
      platform::Trace("HID controller: no notification window (window class %s, error %lu)",
                      registered ? "registered" : "not registered", GetLastError());
    }
  } else {
    FHidGuid = kHidInterfaceClassGuid;
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
  if (self && msg == kDeviceChangeMessage && wParam == kDeviceNodesChanged && !self->FDestroying && !self->FInDeviceChange) {
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
    RunPass(FLParam);
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
