// The texts of the header fields that describe the machine and the process, from the facts that
// the _win part gathers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace report {

// Whether a command line names at least one parameter after the program: the program's name ends
// at the closing quote when it starts with one, else at the first blank or tab.
bool HasCommandLineParameters(std::string_view commandLine);

// "compiled with": the image header's linker major version tells the toolchain apart; an
// unreadable header (no version) counts as ours.
std::string CompilerName(std::optional<int> linkerMajorVersion);

// "physical memory": "512/2048 MB (free/total)", each rounded to the nearest MB.
std::string PhysicalMemoryText(std::uint64_t freeBytes, std::uint64_t totalBytes);

// "display mode": "1024x768, 24 bit".
std::string DisplayModeText(int width, int height, int bitsPerPixel, int planes);

// One drive of "free disk space": "(C:) 12,34 GB". The drive letter is written in upper case.
std::string DriveFreeText(char driveLetter, std::uint64_t freeBytes, std::string_view decimalSeparator);
// The drive letter a path begins with ("C:\..."), or 0 (a share "\\server\..." or no drive).
char DriveLetterOf(std::string_view path);

// "program up time": below one second the milliseconds ("250 milliseconds"), else a duration.
std::string ProgramUpTimeText(std::int64_t milliseconds);

// "processor"/"processors": the name with runs of blanks made one and trimmed; with several
// processors "2 x " in front. Empty when the name is.
std::string ProcessorName(std::string_view rawName);
std::string ProcessorText(int count, std::string_view rawName);

// The label of the examined module's file time.
inline const char* ModuleTimeLabel(bool examinedIsExecutable) {
  return examinedIsExecutable ? "exec. date/time" : "module date/time";
}

}  // namespace report
