// The text of a bug report: how header fields and sections are laid out, the call-stack checksum
// and the texts of single values (sizes, durations, the system's name, the stack dump, a code
// address). All of it is plain formatting of facts that the _win parts gather.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace report {

using ReportItems = std::vector<std::pair<std::string, std::string>>;  // name, content

// --- Layout.
// A header value on one line: line breaks become blanks, runs of blanks one blank.
std::string HeaderLineContent(std::string_view content);
// A section's title line: the name, with ":" added unless it holds one.
std::string SectionTitle(std::string_view name);
// A section's lines: cut at CR LF, CR or LF, trailing characters 0 to 32 removed, an empty line
// written "." so that an empty line only ever separates sections. Joined by CR LF.
std::string SectionLines(std::string_view content);
// The whole report: the header lines with their names padded to the longest name + 1 and ": ",
// then each section after an empty line. No line end after the last line.
std::string ComposeReport(const ReportItems& header, const ReportItems& sections);

// --- Values of header fields.
// "exception message": trailing ".", "!" and NUL become one ".", the text one line.
std::string NormaliseMessage(std::string_view message);
// The message as a box shows it: between its 20th and its 10th-last character every ". " ends a
// line. A message of 30 characters or fewer has no such range and stays as it is.
std::string BreakMessage(std::string_view message);
// "2026-12-10, 17:03:09, 45ms".
std::string DateTimeText(int year, int month, int day, int hour, int minute, int second, int milliseconds);
// "2026-12-10 17:03" (the examined module's file time).
std::string FileDateTimeText(int year, int month, int day, int hour, int minute);
// Two parts of days, hours, minutes or seconds ("1 day 1 hour", "2 hours 5 minutes", "59 seconds");
// "" below one second. Negative counts as 0.
std::string DurationText(std::int64_t seconds);
// "512 Bytes", "1,50 KB", "2,00 MB", "1,00 GB" with the given decimal separator.
std::string SizeText(std::uint64_t bytes, std::string_view decimalSeparator = ",");
// Bytes in whole MB, rounded to the nearest.
std::uint64_t RoundedMegabytes(std::uint64_t bytes);

// --- The system's name.
enum class OsKind {
  osNone, osWin95, osWin95osr2, osWin98, osWin98se, osWinME, osWin9xNew,
  osWinNtOld, osWinNt4, osWin2k, osWinXP, osWin2003, osWinVista, osWin2008, osWin7, osWin2008r2, osWinNtNew,
};
struct OsFacts {
  bool win9x = false;          // else the NT family
  std::uint32_t major = 0, minor = 0, build = 0;
  bool workstation = true;     // product type
  bool r2 = false, tabletPc = false, starter = false, mediaCenter = false, x64 = false;
  std::string servicePack;     // "Service Pack 3"
};
OsKind ClassifyOs(const OsFacts& facts);
const char* OsName(OsKind kind);
// The name with the NT family's additions and the service pack ("Windows XP Media Center Service Pack 3").
std::string OsDescription(const OsFacts& facts);

// --- The call-stack checksum.
// The register of CRC-32 (reflected 0xEDB88320) updated over data, without the initial and final
// inversion: the register starts with the seed and is returned as it ends.
std::uint32_t CrcUpdate(std::uint32_t reg, const void* data, std::size_t size);
// Lower case for names in checksums: A-Z and Ä Ö Ü of code page 1252 only.
std::string ChecksumLowerCase(std::string_view name);
// What a shown trace line contributes.
struct TraceLineFacts {
  std::uint32_t address = 0;
  std::optional<std::uint32_t> functionStart;
  std::string module, unit, function;
};
std::uint32_t LineChecksum(const TraceLineFacts& line);
struct ThreadChecksums {
  std::uint32_t crc1 = 0;  // the innermost line
  std::uint32_t crc2 = 0;  // the whole trace
};
ThreadChecksums ChecksumsOfThread(std::span<const std::uint32_t> lineValues);
// The checksum of all stacks: the crashed thread's crc2, then every further thread with line
// information folded in, in section order.
std::uint32_t FoldThreadChecksum(std::uint32_t allStacks, std::uint32_t threadCrc2);
// "callstack crc": "$0badf00d, $11111111, $22222222" (31 characters).
std::string CallstackCrcText(const std::uint32_t (&crc)[3]);

// --- Sections.
// "eax = 00000001" ... for eax, ebx, ecx, edx, esi, edi, eip, esp, ebp in this order.
std::string CpuRegistersText(const std::uint32_t (&registers)[9]);
// How many bytes from the stack pointer the dump shows: at most 20 lines of 16, not beyond the end
// of the memory region that holds the stack pointer (none known: no end).
std::size_t StackDumpLength(std::uint32_t stackPointer, std::optional<std::uint64_t> regionEnd);
// The dump of the bytes read from the stack pointer on: address, 16 byte columns with "- " before
// the ninth, the bytes as characters (33 to 126, others "."). A short last line keeps its columns
// as blanks.
std::string StackDumpText(std::uint32_t stackPointer, std::span<const std::uint8_t> bytes);

// A resolved code address, for the one-line description of an address.
struct CodeLocation {
  std::uint32_t relative = 0;  // from the function's start
  std::string module, unit, function;
  int line = 0;           // 0: unknown
  int functionLine = 0;   // the function's first line; 0: unknown
};
// "00401234 +34 Kelvane.exe uMain 120 +3 TForm1.Button1Click"; an address without a location
// (no module with valid debug information) is "00401234 +0 ???" ("00401234 ???" without relative
// addresses).
std::string FormatCodeAddress(std::uint32_t address, const CodeLocation* location, bool showRelAddrs, bool showRelLines);
// ">> internal error in STEP", with ":" and the description of the fault's address when known.
std::string InternalErrorText(std::string_view step, const std::string* faultAddressText = nullptr);

}  // namespace report
