#include "report/KestrumReportHeader.h"

#include "report/KestrumReportText.h"

namespace report {

bool HasCommandLineParameters(std::string_view commandLine) {
  std::size_t pos = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    const std::size_t close = commandLine.find('"', 1);
    pos = close == std::string_view::npos ? commandLine.size() : close + 1;
  } else {
    while (pos < commandLine.size() && commandLine[pos] != ' ' && commandLine[pos] != '\t') ++pos;
  }
  for (; pos < commandLine.size(); ++pos) {
    if (commandLine[pos] != ' ' && commandLine[pos] != '\t') return true;
  }
  return false;
}

std::string CompilerName(std::optional<int> linkerMajorVersion) {
  // The GNU linker writes its own major version (2) into every image it links.
  if (!linkerMajorVersion || *linkerMajorVersion == 2) return "GCC (MinGW-w64)";
  return "another compiler";
}

std::string PhysicalMemoryText(std::uint64_t freeBytes, std::uint64_t totalBytes) {
  return std::to_string(RoundedMegabytes(freeBytes)) + "/" + std::to_string(RoundedMegabytes(totalBytes)) + " MB (free/total)";
}

std::string DisplayModeText(int width, int height, int bitsPerPixel, int planes) {
  return std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(bitsPerPixel * planes) + " bit";
}

std::string DriveFreeText(char driveLetter, std::uint64_t freeBytes, std::string_view decimalSeparator) {
  if (driveLetter >= 'a' && driveLetter <= 'z') driveLetter = static_cast<char>(driveLetter - 'a' + 'A');
  return std::string("(") + driveLetter + ":) " + SizeText(freeBytes, decimalSeparator);
}

char DriveLetterOf(std::string_view path) {
  if (path.size() < 2 || path[1] != ':') return 0;
  const char c = path[0];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? c : 0;
}

std::string ProgramUpTimeText(std::int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  if (milliseconds < 1000) return std::to_string(milliseconds) + " milliseconds";
  return DurationText(milliseconds / 1000);
}

std::string ProcessorName(std::string_view rawName) {
  std::string name;
  for (char c : rawName) {
    if (c == ' ' && (name.empty() || name.back() == ' ')) continue;
    name += c;
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::string ProcessorText(int count, std::string_view rawName) {
  std::string name = ProcessorName(rawName);
  if (name.empty() || count <= 1) return name;
  return std::to_string(count) + "x " + name;
}

}  // namespace report
