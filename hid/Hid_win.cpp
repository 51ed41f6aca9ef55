#include "hid/Hid_win.h"

#include <vector>

THidEntries Hid{};

namespace {
HMODULE g_hidModule = nullptr;

using platform::SlotOf;
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
#define HID_ENTRY(F, when) fn({#F, #F, SlotOf(Hid.p##F)}, when);
#define HID_TWIN(F, E) fn({#F, #E, SlotOf(Hid.p##F)}, hbAlways);
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
}

bool LoadHidLibrary() { return LoadHidLibraryFor(CurrentPlatformVersion()); }

bool LoadHidLibraryFor(const THidPlatformVersion& v) {
  if (!g_hidModule) g_hidModule = platform::LoadModule(L"HID.dll");
  if (!g_hidModule) return false;
  // Slots of later platform versions stay as they are.
  std::vector<TEntrySlot> slots;
  ForEachHidSlot([&](const TEntrySlot& s, THidBinding when) {
    if (HidBindingApplies(when, v)) slots.push_back(s);
  });
  if (!platform::BindEntries(g_hidModule, slots)) {
    UnloadHidLibrary();
    return false;
  }
  return true;
}

void UnloadHidLibrary() {
  if (g_hidModule) FreeLibrary(g_hidModule);
  g_hidModule = nullptr;
  Hid = THidEntries{};
}

bool IsHidLibraryLoaded() { return g_hidModule != nullptr; }
