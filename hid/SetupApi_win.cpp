#include "hid/SetupApi_win.h"

#include <vector>

TSetupApiEntries SetupApi{};

namespace {
HMODULE g_setupModule = nullptr;
int g_setupUseCount = 0;

using platform::SlotOf;
}  // namespace

void ForEachSetupApiSlot(const std::function<void(const TEntrySlot&)>& fn) {
#define SETUPAPI_AW(F)                                        \
  fn({#F "A", #F "A", SlotOf(SetupApi.p##F##A)});             \
  fn({#F "W", #F "W", SlotOf(SetupApi.p##F##W)});             \
  fn({#F, #F "W", SlotOf(SetupApi.p##F)});
#define SETUPAPI_W(F)                             \
  fn({#F "W", #F "W", SlotOf(SetupApi.p##F##W)}); \
  fn({#F, #F "W", SlotOf(SetupApi.p##F)});
#define SETUPAPI_FN(F) fn({#F, #F, SlotOf(SetupApi.p##F)});
#define SETUPAPI_ALIAS_AW(G, F)                       \
  fn({#G "A", #F "A", SlotOf(SetupApi.p##G##A)});     \
  fn({#G "W", #F "W", SlotOf(SetupApi.p##G##W)});     \
  fn({#G, #F "W", SlotOf(SetupApi.p##G)});
#define SETUPAPI_ALIAS(G, F) fn({#G, #F, SlotOf(SetupApi.p##G)});
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
  ++g_setupUseCount;
  if (g_setupUseCount > 1) return true;
  std::vector<TEntrySlot> slots;
  ForEachSetupApiSlot([&](const TEntrySlot& s) { slots.push_back(s); });
  g_setupModule = platform::LoadAndBind(L"SetupApi.dll", slots);
  if (!g_setupModule) {
    UnloadSetupLibrary();
    return false;
  }
  return true;
}

void UnloadSetupLibrary() {
  --g_setupUseCount;
  if (g_setupUseCount <= 0) {
    // A failed first load leaves the count at 0, not below, so the next load starts afresh.
    g_setupUseCount = 0;
    if (g_setupModule) FreeLibrary(g_setupModule);
    g_setupModule = nullptr;
    SetupApi = TSetupApiEntries{};
  }
}

bool IsSetupLibraryLoaded() { return g_setupModule != nullptr; }
int SetupLibraryUseCount() { return g_setupUseCount; }
