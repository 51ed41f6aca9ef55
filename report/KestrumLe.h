// The component's little-endian field helpers, under the names the report's readers use.
#pragma once

#include "crash/settings/KestrumBytes.h"

namespace report {

using kestrum::LoadLe16;
using kestrum::LoadLe32;
using kestrum::LoadLe64;
using kestrum::StoreLe32;
using kestrum::StoreLe64;

}  // namespace report
