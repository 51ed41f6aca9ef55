// The times of the most recent handled exceptions (whole seconds, newest first, 0 = unused), which
// the automatic restart and close rules judge and a restart hands to the new process.
#pragma once

#include "crash/settings/KestrumRules.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrum {

inline constexpr std::size_t kExceptionTimesBytes = 80;
using ExceptionTimesBytes = std::array<std::uint8_t, kExceptionTimesBytes>;
static_assert(kExceptionTimesBytes == std::tuple_size_v<ExceptionTimes> * sizeof(std::int64_t));

// The newest time goes in front; the oldest drops out.
void PushExceptionTime(ExceptionTimes& history, std::int64_t seconds);

// Ten little-endian 64-bit values in history order.
ExceptionTimesBytes SerializeExceptionTimes(const ExceptionTimes& history);
ExceptionTimes ParseExceptionTimes(const ExceptionTimesBytes& bytes);

}  // namespace kestrum
