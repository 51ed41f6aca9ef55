// The bug report as it is assembled: the texts that stand for content still being computed, the
// thread sections' names and trace lines, the fields that describe the exception and the header's
// finish once every section is in. Pure; the exception object and the _win part drive it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/KestrumFields.h"
#include "report/KestrumReportText.h"
#include "report/KorbStackTrace.h"

namespace report {

inline constexpr std::string_view kSoon = "will be calculated soon";
inline constexpr std::string_view kSectionSoon = ">> will be calculated soon";
inline constexpr std::string_view kCallstackCrcField = "callstack crc";

// --- Thread sections.
// "main thread ($a4):", then " <suspended>" and " <priority:-2>" when they apply.
std::string ThreadSectionName(std::string_view title, bool suspended, int priority);
// While the trace is pending: the exception location (or that of address 0), then the notice.
std::string ThreadPlaceholder(std::string_view location);
// A thread whose context could not be read; the crashed one also says where the exception was.
std::string StackNotAccessible(bool crashedThread, std::string_view location);
// ">> created by TITLE at:" in front of the trace's last line (the call that created the thread),
// unless the trace is empty or begins with ">".
std::string InsertCreatorLine(std::string_view trace, std::string_view creatorTitle);

// The lines of one trace in their columns, with the thread's checksums.
struct TraceLines {
  std::string text;  // lines joined by CR LF, no line end after the last
  ThreadChecksums crc;
  bool hasLines = false;  // some line has a value above 0 in its relative-line column
};
TraceLines LayoutTrace(const TStackTrace& items, bool showRelAddrs, bool showRelLines);

// --- The header's fields about the exception, behind the machine's and the program's.
struct ExceptionHeaderInput {
  ReportItems plugins;  // header plug-ins: name, output
  unsigned long long number = 0;
  bool frozen = false;
  std::string className;
  std::string message;    // as the exception gives it
  std::string frozenMsg;  // the text of a freeze report
};
// Adds the plug-in fields, "callstack crc" with its placeholder, "exception number", class and
// message, then makes later new fields go in front of "callstack crc", one behind the other.
void AddExceptionHeaderFields(FieldList& header, const ExceptionHeaderInput& input);
// When every section is in: the checksum text replaces the placeholder, and each module with only
// minimal debug information ("module|identifier") gets its "module.korb" field.
void FinishHeader(FieldList& header, const std::uint32_t (&crc)[3], const std::vector<std::string>& minimalDebugInfo);

// --- Plug-ins.
// The names of the Plugins setting: split at "|", kept as written (not trimmed), empty ones dropped.
std::vector<std::string> PluginNames(std::string_view plugins);

}  // namespace report
