// The handling of one exception. Not for use outside crash/.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include "crash/KestrumException_win.h"
#include "crash/settings/KestrumRules.h"

namespace kestrum {

// The handling of one exception on the calling thread (the reporting thread, or a thread that
// cannot hand its request over). reportOut receives the report when given.
void HandleException(const ExceptionFacts& facts, std::string* reportOut);

}  // namespace kestrum
