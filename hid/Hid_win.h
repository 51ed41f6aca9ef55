#pragma once
// Run-time binding of the HID library. The slots are filled by LoadHidLibrary in table order;
// the device object reads them from any thread once loaded.

#include <windows.h>
#include <hidsdi.h>
#include <hidpi.h>

#include "hid/SetupApi_win.h"

// Not declared by the platform headers; exported by every HID library we know.
extern "C" ULONG WINAPI HidD_Hello(PCHAR Buffer, ULONG BufferLength);

// HID statuses and report types the layer hands out itself.
constexpr NTSTATUS HIDP_STATUS_NULL_ = static_cast<NTSTATUS>(0x80110001);
constexpr NTSTATUS HIDP_STATUS_NOT_IMPLEMENTED_ = static_cast<NTSTATUS>(0xC0110020);

// The HID device interface class, for when the library cannot tell.
constexpr GUID kHidInterfaceClassGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// On which platform versions a slot is bound at all.
enum THidBinding { hbAlways, hbNT50, hbNT51 };

struct THidPlatformVersion {
  DWORD PlatformId;  // VER_PLATFORM_WIN32_NT for the NT family
  DWORD Major;
  DWORD Minor;
};

// Whether a slot with this condition is bound on that platform. Input and output reports came
// with NT 5.1, extended attributes and report initialisation with NT 5.0; any later version
// has them too, whatever its minor number.
bool HidBindingApplies(THidBinding when, const THidPlatformVersion& v);
THidPlatformVersion CurrentPlatformVersion();

struct THidEntries {
#define HID_ENTRY(F, when) decltype(&::F) p##F;
#define HID_TWIN(F, E) decltype(&::E) p##F;
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
};

extern THidEntries Hid;

bool LoadHidLibrary();
// The same for a given platform version (the version-dependent slots follow it).
bool LoadHidLibraryFor(const THidPlatformVersion& v);
void UnloadHidLibrary();
bool IsHidLibraryLoaded();

void ForEachHidSlot(const std::function<void(const TEntrySlot&, THidBinding)>& fn);
