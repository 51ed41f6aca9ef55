#include "hid/SetupApi_win.h"

TSetupApiEntries SetupApi{};

namespace {
HMODULE SetupModule = nullptr;
int SetupUseCount = 0;

template <class T>
void** AsSlot(T*& p) {
  return reinterpret_cast<void**>(&p);
}
}  // namespace

bool OpenModule(HMODULE& handle, const wchar_t* fileName) {
  if (!handle) {
    const UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    handle = LoadLibraryW(fileName);
    SetErrorMode(oldMode);
  }
  return handle != nullptr;
}

void CloseModule(HMODULE& handle) {
  if (handle) {
    FreeLibrary(handle);
    handle = nullptr;
  }
}

FARPROC ResolveEntry(HMODULE handle, const char* name, bool& allFound) {
  FARPROC p = handle ? GetProcAddress(handle, name) : nullptr;
  if (!p) allFound = false;
  return p;
}

void ForEachSetupApiSlot(const std::function<void(const TEntrySlot&)>& fn) {
#define SETUPAPI_AW(F)                                        \
  fn({#F "A", #F "A", AsSlot(SetupApi.p##F##A)});             \
  fn({#F "W", #F "W", AsSlot(SetupApi.p##F##W)});             \
  fn({#F, #F "W", AsSlot(SetupApi.p##F)});
#define SETUPAPI_W(F)                             \
  fn({#F "W", #F "W", AsSlot(SetupApi.p##F##W)}); \
  fn({#F, #F "W", AsSlot(SetupApi.p##F)});
#define SETUPAPI_FN(F) fn({#F, #F, AsSlot(SetupApi.p##F)});
#define SETUPAPI_ALIAS_AW(G, F)                       \
  fn({#G "A", #F "A", AsSlot(SetupApi.p##G##A)});     \
  fn({#G "W", #F "W", AsSlot(SetupApi.p##G##W)});     \
  fn({#G, #F "W", AsSlot(SetupApi.p##G)});
#define SETUPAPI_ALIAS(G, F) fn({#G, #F, AsSlot(SetupApi.p##G)});
#include "hid/SetupApiEntries_win.inc"
#undef SETUPAPI_AW
#undef SETUPAPI_W
#undef SETUPAPI_FN
#undef SETUPAPI_ALIAS_AW
#undef SETUPAPI_ALIAS
}

int SetupApiSlotCount() {
  int n = 0;
  ForEachSetupApiSlot([&](const TEntrySlot&) { ++n; });
  return n;
}

bool LoadSetupLibrary() {
  ++SetupUseCount;
  if (SetupUseCount > 1) return true;
  if (!OpenModule(SetupModule, L"SetupApi.dll")) {
    UnloadSetupLibrary();
    return false;
  }
  bool allFound = true;
  ForEachSetupApiSlot([&](const TEntrySlot& s) { *s.Slot = reinterpret_cast<void*>(ResolveEntry(SetupModule, s.Export, allFound)); });
  if (!allFound) {
    UnloadSetupLibrary();
    return false;
  }
  return true;
}

void UnloadSetupLibrary() {
  --SetupUseCount;
  if (SetupUseCount <= 0) {
    // A failed first load leaves the count at 0, not below, so the next load starts afresh.
    SetupUseCount = 0;
    CloseModule(SetupModule);
    SetupApi = TSetupApiEntries{};
  }
}

bool IsSetupLibraryLoaded() { return SetupModule != nullptr; }
int SetupLibraryUseCount() { return SetupUseCount; }
