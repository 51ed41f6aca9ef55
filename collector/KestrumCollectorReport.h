// A bug report as the collector reads it: the header fields, the sections, the crashed thread's
// trace lines, and what groups it with equal crashes. Pure: the text may come from anyone, so
// nothing here trusts its form, its size or its encoding.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace collector {

// One line of a thread's trace, in the columns the component lays it out in.
struct TraceRow {
  std::uint32_t address = 0;
  std::optional<std::uint32_t> relative;  // the "+" column; absent when the report has none
  std::string module, unit, line, relLine, function;
  std::string text;  // the whole line, for lines that are not trace items (">> created by ...")
  bool item = true;
};

struct Section {
  std::string title;  // without the ":" and the thread's state
  std::string name;   // the title line as written
  std::string body;   // lines joined by "\n"
  bool thread = false;
  std::vector<TraceRow> rows;  // thread sections only
};

enum class ChecksumState {
  kMatches,       // the stated checksum is the one recomputed from the trace
  kDiffers,       // grouped by the recomputed one; the report is marked
  kNotStated,     // no complete "callstack crc" field
  kNotCheckable,  // the trace has no relative addresses: the stated checksum is taken as it is
};
const char* ChecksumStateName(ChecksumState state);

struct ParsedReport {
  std::vector<std::pair<std::string, std::string>> header;
  std::vector<Section> sections;

  std::string exceptionClass, message, version, os, program, dateTime;
  std::uint64_t count = 1;  // the "count" line of a folded report
  std::optional<std::array<std::uint32_t, 3>> statedCrc;
  std::uint32_t crashCrc = 0;  // the crashed thread's whole-trace checksum, the one grouped by
  ChecksumState checksum = ChecksumState::kNotStated;
  std::string firstOwnFrame;
  std::string title;
  std::string groupKey;

  // "" when the header has no such field.
  const std::string& Field(std::string_view name) const;
};

// Limits on what is parsed; a report beyond them is refused rather than cut.
inline constexpr std::size_t kMaxReportBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxHeaderFields = 1000;
inline constexpr std::size_t kMaxSections = 10000;

// Nullopt with a reason for text that is no bug report: it must begin with the "date/time" field.
std::optional<ParsedReport> ParseReport(std::string_view text, std::string* error = nullptr);

// The reports of a bug report file (several, each followed by an empty line) or of one report.
std::vector<std::string_view> SplitReportFile(std::string_view content);

// Text for pages and the database: UTF-8 as it is, anything else read as code page 1252 (what the
// component writes), control characters other than tab and line ends dropped.
std::string DisplayText(std::string_view text);

// The "date/time" field ("2026-12-10, 17:03:09, 45ms") as seconds since 1970, read as UTC (the
// report does not say its zone); nullopt when it is not in that form.
std::optional<std::int64_t> ReportTime(std::string_view dateTime);

// Seconds since 1970 as UTC in strftime's format.
std::string UtcText(std::int64_t seconds, const char* format);

// Dotted version numbers compared part by part, numbers as numbers; -1, 0 or 1.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace collector
