#include "hid/Hid_win.h"

THidEntries Hid{};

namespace {
HMODULE HidModule = nullptr;

template <class T>
void** AsSlot(T*& p) {
  return reinterpret_cast<void**>(&p);
}
}  // namespace

bool HidBindingApplies(THidBinding when, const THidPlatformVersion& v) {
  const bool nt = v.PlatformId == VER_PLATFORM_WIN32_NT;
  switch (when) {
    case hbAlways:
      return true;
    case hbNT50:
      return nt && v.Major >= 5;
    case hbNT51:
      return nt && (v.Major > 5 || (v.Major == 5 && v.Minor >= 1));
  }
  return false;
}

THidPlatformVersion CurrentPlatformVersion() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExW(&info);
#pragma GCC diagnostic pop
  return {info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
}

void ForEachHidSlot(const std::function<void(const TEntrySlot&, THidBinding)>& fn) {
#define HID_ENTRY(F, when) fn({#F, #F, AsSlot(Hid.p##F)}, when);
#define HID_TWIN(F, E) fn({#F, #E, AsSlot(Hid.p##F)}, hbAlways);
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
}

bool LoadHidLibrary() { return LoadHidLibraryFor(CurrentPlatformVersion()); }

bool LoadHidLibraryFor(const THidPlatformVersion& v) {
  if (!OpenModule(HidModule, L"HID.dll")) return false;
  bool allFound = true;
  ForEachHidSlot([&](const TEntrySlot& s, THidBinding when) {
    if (HidBindingApplies(when, v)) *s.Slot = reinterpret_cast<void*>(ResolveEntry(HidModule, s.Export, allFound));
  });
  if (!allFound) {
    UnloadHidLibrary();
    return false;
  }
  return true;
}

void UnloadHidLibrary() {
  CloseModule(HidModule);
  Hid = THidEntries{};
}

bool IsHidLibraryLoaded() { return HidModule != nullptr; }
