// Built-in values the main module falls back to for keys its settings resource lacks.
#pragma once

#include "crash/settings/KestrumSettingsTypes.h"

#include <cstddef>

namespace kestrum {

// Rows in key order. Callers only read them: writers never ask for defaults.
const TZQProperty* DefaultsTable(std::size_t* count);

// Exact, case-sensitive match on the key, as in a module's list.
const TZQProperty* FindDefault(const char* name);

}  // namespace kestrum
