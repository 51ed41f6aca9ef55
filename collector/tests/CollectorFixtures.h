// Bug reports for the collector's tests, composed by the component's own layout and checksum code
// so that what the collector reads is what the component writes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "report/KestrumBugReport.h"
#include "report/KestrumReportText.h"
#include "report/tests/TraceItemFixture.h"

namespace collector::testing {

inline report::TStackItem Item(std::uint32_t addr, std::uint32_t start, const char* module, const char* unit, int line, int relLine,
                               const char* function) {
  return report::fixtures::Item(addr, start, module, unit, line, relLine, relLine > 0, function);
}

// A crash in Kelvane.exe: the trace through the given own function, a library frame and an
// export without debug information.
inline report::TStackTrace CrashTrace(const char* function = "TFormMain.btOpenClick(TObject*)", std::uint32_t at = 0x004035f8) {
  return {Item(at, at - 8, "Kelvane.exe", "uMain", 176, 2, function),
          Item(0x00412345, 0x00412000, "Kelvane.exe", "Forms", 88, 0, "TControl.WndProc(unsigned int, unsigned int, long)"),
          Item(0x7b812345, 0, "user32.dll", "", 0, 0, "DispatchMessageA"),
          Item(0x7b900010, 0, "???", "", 0, 0, "")};
}

struct ReportRecipe {
  report::TStackTrace trace = CrashTrace();
  std::string exceptionClass = "EAccessViolation";
  std::string message = "Zugriffsverletzung bei Adresse 004035F8.";
  std::string version = "1.0.0.0";
  std::string os = "Windows XP Service Pack 3";
  std::string date = "2026-12-10, 17:03:09, 45ms";
  std::string processId = "$1a4";
  bool relAddrs = true;
  bool tamperCrc = false;
  std::string extraSection;  // a section of its own, for hostile text
};

inline std::string MakeReport(const ReportRecipe& s) {
  const report::TraceLines lines = report::LayoutTrace(s.trace, s.relAddrs, true);
  const report::TraceLines other = report::LayoutTrace({Item(0x7b8000aa, 0, "ntdll.dll", "", 0, 0, "NtWaitForSingleObject")}, s.relAddrs, true);
  std::uint32_t crc[3] = {lines.crc.crc1, lines.crc.crc2, lines.crc.crc2};
  if (s.tamperCrc) crc[1] ^= 0x10;
  report::ReportItems header = {
      {"date/time", s.date},
      {"computer name", "KELVANE-PC"},
      {"operating system", s.os},
      {"process id", s.processId},
      {"executable", "C:\\Programme\\Kelvane\\Kelvane.exe"},
      {"version", s.version},
      {"callstack crc", report::CallstackCrcText(crc)},
      {"exception number", "1"},
      {"exception class", s.exceptionClass},
      {"exception message", s.message},
  };
  report::ReportItems sections = {
      {report::ThreadSectionName("main thread ($a4)", false, 0), lines.text},
      {"cpu registers:", "eax = 00000000\r\nebx = 00000001"},
      {report::ThreadSectionName("TReadThread ($b8)", true, 2), other.text},
  };
  if (!s.extraSection.empty()) sections.emplace_back("notes:", s.extraSection);
  return report::ComposeReport(header, sections);
}

}  // namespace collector::testing
