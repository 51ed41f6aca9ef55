// A second module for the settings tests: it carries its own settings resource and its own copy
// of the component, which must find the process' registry by name.
#include <windows.h>

#include "crash/settings/KestrumSettings_win.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" {

// VersionVar target: the tests store this variable's offset from the module base.
__declspec(dllexport) const char* KestrumTestVersion = "7.1.2 beta";

// Reads through this module's copy of the component.
__declspec(dllexport) int KestrumTestCopySmtpPort() {
  kestrum::ZQRef<kestrum::IZQModuleSettings> s(kestrum::SettingsForModule(reinterpret_cast<HMODULE>(&__ImageBase)));
  return static_cast<int>(s->GetSmtpPort());
}

__declspec(dllexport) LONG KestrumTestCopyRegistryRefs() {
  kestrum::SettingsRegistry* r = kestrum::SettingsRegistryBlock();
  return r ? r->refCount : -1;
}

// Calls fn from this module's code, so that fn's caller is this module.
__declspec(dllexport) void* KestrumTestCallThrough(void* (*fn)()) {
  void* volatile result = fn();
  return result;
}

}  // extern "C"
