#pragma once
// Run-time binding of the device-setup library, through the platform's binding from a table
// (platform/Modules_win.h). Nothing here is linked at build time: a missing library or entry only
// means that the controller finds no devices.

#include <windows.h>
#include <setupapi.h>

#include <functional>

#include "platform/Modules_win.h"

// One pointer per slot, named after the slot with a "p" in front. The generic and alias names
// are macros of the platform header, so they could not be spelled as members otherwise.
struct TSetupApiEntries {
#define SETUPAPI_AW(F) decltype(&::F##A) p##F##A; decltype(&::F##W) p##F##W; decltype(&::F##W) p##F;
#define SETUPAPI_W(F) decltype(&::F##W) p##F##W; decltype(&::F##W) p##F;
#define SETUPAPI_FN(F) decltype(&::F) p##F;
#define SETUPAPI_ALIAS_AW(G, F) decltype(&::F##A) p##G##A; decltype(&::F##W) p##G##W; decltype(&::F##W) p##G;
#define SETUPAPI_ALIAS(G, F) decltype(&::F) p##G;
#include "hid/SetupApiEntries_win.inc"
#undef SETUPAPI_AW
#undef SETUPAPI_W
#undef SETUPAPI_FN
#undef SETUPAPI_ALIAS_AW
#undef SETUPAPI_ALIAS
};

extern TSetupApiEntries SetupApi;

// Loads "SetupApi.dll" and binds every slot on the first call; later calls only count.
bool LoadSetupLibrary();
void UnloadSetupLibrary();
bool IsSetupLibraryLoaded();
int SetupLibraryUseCount();

// Each slot in table order: its name, the export it is bound to and the slot itself.
using TEntrySlot = platform::EntrySlot;
void ForEachSetupApiSlot(const std::function<void(const TEntrySlot&)>& fn);
int SetupApiSlotCount();
