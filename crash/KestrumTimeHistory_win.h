// The times of the last exceptions, newest first: the automatic restart and close rules read
// them, and a restart hands them to the next process. Not for use outside crash/.
#pragma once

#include <cstdint>

#include "crash/KestrumTimeHistory.h"

namespace kestrum {

ExceptionTimes ExceptionHistory();
void SetExceptionHistory(const ExceptionTimes& history);
// Adds the present time in one step, under the history's lock.
void PushExceptionTimeNow();
std::int64_t NowSeconds();  // local time in whole seconds since 1601

}  // namespace kestrum
