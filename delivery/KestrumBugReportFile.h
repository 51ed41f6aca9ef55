// The bug report file: finished reports one after the other, oldest first, each followed by an
// empty line. A new report folds into an equal stored one (the stored copy goes, the new one
// carries a "count" line), and the oldest reports go when the file outgrows its limit.
//
// Everything here works on text in memory: the new content of the file is built completely from
// the stored content before anything is written, and ReplaceStoredContent writes it so that a
// failed write leaves the stored reports as they were. The _win part opens, reads and writes the
// file, asks for its name and reads the settings.
#pragma once

#include "crash/settings/KestrumSettingsTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

// What follows every stored report. A report boundary is this empty line followed by "date/time":
// a line of a report never is empty, so a line that merely begins with "date/time" (text a user
// typed, a plug-in's output) never splits a report.
inline constexpr std::string_view kReportEnd = "\r\n\r\n";
inline constexpr std::string_view kReportStart = "date/time";
// The "callstack crc" value of a complete report: three "$" + 8 hex digits joined by ", ".
inline constexpr std::size_t kCallstackCrcLength = 31;

// The value of a header field: the text after "name", blanks, ":" and one blank, up to the line
// end. Only the header (the lines before the first empty line) is searched, and a name on the very
// first line is not found. "" when absent.
std::string ExtractHeaderValue(std::string_view report, std::string_view name);

// Adds the line "name: value" below the header line afterName, with the name padded to that line's
// name width so that the colons line up. False (report unchanged) when afterName is not a header
// line after the first or has no ":".
bool InsertHeaderLine(std::string& report, std::string_view name, std::string_view afterName, std::string_view value);

// One stored report in a file's content: [begin, end), its trailing empty line included.
struct StoredReport {
  std::size_t begin;
  std::size_t end;
};
// The reports of a file's content in file order. Text in front of the first report (a file that
// does not begin with "date/time") belongs to none.
std::vector<StoredReport> SplitStoredReports(std::string_view content);

// The settings that decide how a report is stored.
struct StoreRules {
  bool append = true;               // AppendBugReps: false keeps only the new report
  std::uint32_t sizeLimit = 100000; // BugRepFileSize: 0 never trims
  bool noDupExcepts = true, noDupFreezes = true;
  kestrum::TZQDupDef dupExceptDef = kestrum::ddAllStacksIdentical;
  kestrum::TZQDupDef dupFreezeDef = kestrum::ddAllStacksIdentical;
};

// The part of the report's "callstack crc" value that makes two reports equal under the rules; ""
// when the report is never folded (value not complete, folding off for its kind).
std::string DuplicateKey(std::string_view report, const StoreRules& rules);

struct StorePlan {
  std::string content;              // the whole new content of the file
  std::uint64_t count = 0;          // the "count" the new report carries; 0 without folding
  std::size_t droppedReports = 0;   // stored reports removed by trimming
};
// The file's new content for storing report (without its trailing empty line) into a file that
// holds stored.
StorePlan PlanStore(std::string_view stored, std::string_view report, const StoreRules& rules);

// Writes into a file that is held open exclusively.
class ReportFileWriter {
 public:
  virtual ~ReportFileWriter() = default;
  // Writes all of data at position; false when not all of it was written.
  virtual bool WriteAt(std::uint64_t position, std::string_view data) = 0;
  virtual bool SetLength(std::uint64_t length) = 0;
};
// Turns a file whose content is oldContent into one whose content is newContent. When newContent
// extends oldContent, only the new tail is written. Otherwise the new content is first written
// behind the old one, proving that the space and the writes are there, and only then moved to the
// start. On any failure the file is cut back (or written back) to oldContent and the result is
// false.
bool ReplaceStoredContent(ReportFileWriter& file, std::string_view oldContent, std::string_view newContent);

// An absolute form of a configured path (backslashes), relative paths taken from the program's
// folder exeFolder (ending in "\"): "name" and "..\name" below or beside that folder, "\name"
// below the root of its drive or network share; "\.\" and "folder\.." segments are removed.
std::string MakeAbsolutePath(std::string_view path, std::string_view exeFolder);

// The minidump beside a report file: the same folder and name with the extension ".dmp" instead
// of the report's (a dot in a folder's name is no extension).
std::string MiniDumpPathFor(std::string_view reportPath);

}  // namespace delivery
