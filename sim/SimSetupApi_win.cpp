// Test double of SetupApi.dll: the same export table as the layer binds, with the device
// enumeration forwarded to the simulation in the HID double and everything else failing cleanly.

#include <windows.h>
#include <setupapi.h>

#include "sim/SimExports_win.h"
#include "sim/SimModel_win.h"

namespace stubs {
#define SETUPAPI_STUB(F) inline const auto F = &::sim::NotModelled<0, decltype(&::F)>::Call;
#define SETUPAPI_AW(F) SETUPAPI_STUB(F##A) SETUPAPI_STUB(F##W)
#define SETUPAPI_W(F) SETUPAPI_STUB(F##W)
#define SETUPAPI_FN(F) SETUPAPI_STUB(F)
#define SETUPAPI_ALIAS_AW(G, F)
#define SETUPAPI_ALIAS(G, F)
#include "hid/SetupApiEntries_win.inc"
#undef SETUPAPI_STUB
#undef SETUPAPI_AW
#undef SETUPAPI_W
#undef SETUPAPI_FN
#undef SETUPAPI_ALIAS_AW
#undef SETUPAPI_ALIAS
}  // namespace stubs

namespace model {
using namespace stubs;
inline const auto SetupDiGetClassDevsW = &KelvaneSim_SetupDiGetClassDevsW;
inline const auto SetupDiEnumDeviceInterfaces = &KelvaneSim_SetupDiEnumDeviceInterfaces;
inline const auto SetupDiGetDeviceInterfaceDetailW = &KelvaneSim_SetupDiGetDeviceInterfaceDetailW;
inline const auto SetupDiGetDeviceRegistryPropertyW = &KelvaneSim_SetupDiGetDeviceRegistryPropertyW;
inline const auto SetupDiDestroyDeviceInfoList = &KelvaneSim_SetupDiDestroyDeviceInfoList;
}  // namespace model

#define SETUPAPI_AW(F) SIM_EXPORT(F##A) SIM_EXPORT(F##W)
#define SETUPAPI_W(F) SIM_EXPORT(F##W)
#define SETUPAPI_FN(F) SIM_EXPORT(F)
#define SETUPAPI_ALIAS_AW(G, F)
#define SETUPAPI_ALIAS(G, F)
#include "hid/SetupApiEntries_win.inc"
