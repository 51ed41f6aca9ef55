// The handling of one exception and the exception time history. Not for use outside crash/.
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

// Exception time history, newest first.
ExceptionTimes ExceptionHistory();
void SetExceptionHistory(const ExceptionTimes& history);
std::int64_t NowSeconds();  // local time in whole seconds since 1601

}  // namespace kestrum
