// Records and enumerations of the crash-report settings that every copy of the component in a
// process shares. The two records are laid out as plain C structures because copies linked into
// different modules walk the same lists through the shared registry.
#pragma once

#include <cstdint>

namespace kestrum {

enum TPropertyType : std::int32_t { ptString = 0, ptInteger = 1, ptBoolean = 2, ptBinary = 3 };

enum TZQShowSetting : std::int32_t { ssFullBox = 0, ssAssistant = 1, ssDetailBox = 2, ssSimpleBox = 3, ssNothing = 4 };

enum TZQButton : std::int32_t {
  bSendBugReport = 0,
  bSaveBugReport = 1,
  bPrintBugReport = 2,
  bShowBugReport = 3,
  bContinueApplication = 4,
  bRestartApplication = 5,
  bCloseApplication = 6,
};

enum TZQDupDef : std::int32_t { ddExceptAddrIdentical = 0, ddCrashStackIdentical = 1, ddAllStacksIdentical = 2 };

// One property. name and vStr come from the allocator of the list (the process-wide local heap
// on Windows) so that whichever copy of the component drops the list can free them.
struct TZQProperty {
  char* name;
  TPropertyType typ;
  bool vBool;
  std::int32_t vInt;
  char* vStr;  // nullptr when empty
};

// The property list of one module.
struct TZQSettingsModule {
  std::int32_t refCount;
  void* module;
  std::int32_t propCap;
  std::int32_t propCount;
  TZQProperty* props;
  TZQSettingsModule* next;
};

}  // namespace kestrum
