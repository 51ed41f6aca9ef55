#pragma once
// What the worker and the main window compute without touching a device or a window: repeat
// suppression, the log's listing texts, the status label texts and the polling-period ticks.

#include "app/VexaReports.h"

#include <cstdint>
#include <string>
#include <vector>

namespace app {
// Repeat suppression of received codes. After a frame without the repetition mark the first
// four marked frames are hidden and every further one is shown, until an unmarked frame starts
// the count again. The counter is a 32-bit two's complement value that wraps: the marked frame
// that would take it past 2^31 - 1 makes it negative and is hidden, and the next marked frame
// finds it negative, resets it and is shown. Returns whether the frame is shown.
bool PassRepeatSuppression(std::int32_t& repeatCounter, const TIRData& frame);

// The log lines of a code listing: heading, protocol name (only for known protocols), address,
// command and flags in upper-case hexadecimal, and an empty line.
std::vector<std::string> CodeListing(const char* heading, const TIRData& code);
inline constexpr const char* ReceivedCodeHeading = "IR Code received:";
inline constexpr const char* TrainedCodeHeading = "Trained IR Code:";

const char* PowerOnStateText(bool enabled);  // "PowerOn is Enabled" / "PowerOn is Disabled"

// The two status labels.
std::string DeviceStatusText(bool connected);
std::string VexaVersionText(bool connected, const THidVexaVersion& version);

// The polling period in receiver clock ticks for a slider position (microseconds) and a clock
// frequency (Hz): a = 1/frq, b = position/1000000, q = b/a at 64-bit precision, truncated
// toward zero. A frequency of 0 raises EZeroDivide.
std::int64_t PollingTicks(std::int32_t positionMicroseconds, std::int32_t frequencyHz);

// Slider text shown next to the track bar, e.g. "100µs" (8-bit text).
std::string SliderPositionText(int position);

}  // namespace app
