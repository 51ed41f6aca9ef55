#pragma once
// What the worker and the main window compute without touching a device or a window: repeat
// suppression, the log's listing texts, the status label texts and the polling-period ticks.

#include "app/VexaReports.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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

// A code listing of the log, found from any of its lines but the empty one that ends it.
struct ListedCode {
  bool Trained = false;  // a trained-code listing rather than a received code
  TIRData Code{};
};

// The code whose listing holds line `line` of the log, when that listing is exactly as the worker
// writes it. A listing that names its protocol tells the code. One without a protocol line (0, or
// 12 to 255) does not: `listed` holds the codes the worker listed, oldest first, and such a
// listing counts only as the worker's listing of one of them, so one typed or pasted by hand is
// no code. Of several listed codes with the same text, the listings are matched from the end of
// the log: the last such listing is the newest such code.
std::optional<ListedCode> CodeListedAt(const std::vector<std::string>& lines, std::size_t line, const std::vector<ListedCode>& listed);

// Keeps the worker's listed codes for CodeListedAt. Past kMaxListedCodes the oldest quarter goes:
// their listings are long gone from any log a person still scrolls through.
inline constexpr std::size_t kMaxListedCodes = 1 << 16;
void RememberListedCode(std::vector<ListedCode>& listed, const ListedCode& code);

// The question asked before a listed code becomes the receiver's power-on code.
std::string PowerOnCodeQuestion(const TIRData& code);

// The command that writes a whole code as the trained code travels in the one message of the
// command queue: the code number 9 in the low byte of the code word with protocol and flags
// above it, address and command in the argument word. Code words with anything in the top byte
// are other commands.
inline constexpr std::uint32_t kCmdWriteTrainedCode = 9;
struct CommandWords {
  std::uint32_t Argument;
  std::uint32_t Code;
};
CommandWords WriteTrainedCodeCommand(const TIRData& code);
std::optional<TIRData> TrainedCodeOfCommand(std::uint32_t argument, std::uint32_t code);

// The line of `text` (lines end in CR LF, as in the log) that holds character `offset`.
std::size_t LineOfOffset(const std::string& text, std::size_t offset);

// The text with every line ending as CR LF: a lone LF or CR becomes CR LF.
std::string WithCrLf(const std::string& text);

// "Kelvane log YYYY-MM-DD.txt"
std::string DefaultLogFileName(int year, int month, int day);

}  // namespace app
