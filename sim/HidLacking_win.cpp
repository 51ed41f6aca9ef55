// A HID library that lacks one entry of the layer's table (HidD_GetFeature): the layer must then
// bind nothing at all. Every other entry is there and fails cleanly.

#include <windows.h>

#include "hid/Hid_win.h"
#include "sim/SimExports_win.h"

namespace model {
#define HID_ENTRY(F, when) inline const auto F = &::sim::NotModelled<HIDP_STATUS_NOT_IMPLEMENTED_, decltype(&::F)>::Call;
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
}  // namespace model

// The .def file leaves HidD_GetFeature's thunk under another name.
#define HID_ENTRY(F, when) SIM_EXPORT(F)
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
