#include "report/KestrumReportText.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "platform/Text.h"

namespace report {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// Calls line(text) for every line of content, a CR LF pair counting as one break.
template <class Fn>
void ForEachLine(std::string_view content, Fn line) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (!IsLineBreak(content[i])) continue;
    line(content.substr(start, i - start));
    if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
    start = i + 1;
  }
  line(content.substr(start));
}

std::string_view TrimRightControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

// One text for a part of a duration: "1 day ", "3 hours ", "" for 0.
std::string DurationPart(std::int64_t value, const char* unit) {
  if (value == 0) return {};
  if (value == 1) return std::string("1 ") + unit + " ";
  return std::to_string(value) + " " + unit + "s ";
}

// Hundredths as "12,34" with the separator before the last two digits.
std::string Hundredths(std::uint64_t value, std::string_view separator) {
  std::string digits = std::to_string(value);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  digits.insert(digits.size() - 2, separator);
  return digits;
}

void AppendLe(std::uint32_t value, std::uint8_t (&bytes)[4]) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::string HeaderLineContent(std::string_view content) {
  std::string line;
  line.reserve(content.size());
  for (std::size_t i = 0; i < content.size(); ++i) {
    char c = content[i];
    if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
    if (IsLineBreak(c)) c = ' ';
    if (c == ' ' && !line.empty() && line.back() == ' ') continue;
    line += c;
  }
  return line;
}

std::string SectionTitle(std::string_view name) {
  std::string title(name);
  if (title.find(':') == std::string::npos) title += ':';
  return title;
}

std::string SectionLines(std::string_view content) {
  std::string lines;
  bool first = true;
  ForEachLine(content, [&](std::string_view line) {
    if (!first) lines += kLineEnd;
    first = false;
    line = TrimRightControls(line);
    lines += line.empty() ? std::string_view(".") : line;
  });
  return lines;
}

std::string ComposeReport(const ReportItems& header, const ReportItems& sections) {
  std::size_t width = 0;
  for (const auto& field : header) width = std::max(width, field.first.size());
  std::string text;
  for (const auto& [name, content] : header) {
    if (!text.empty()) text += kLineEnd;
    text += name;
    text.append(width + 1 - name.size(), ' ');
    text += ": ";
    text += HeaderLineContent(content);
  }
  for (const auto& [name, content] : sections) {
    text += "\r\n\r\n";
    text += SectionTitle(name);
    text += kLineEnd;
    text += SectionLines(content);
  }
  return text;
}

std::string NormaliseMessage(std::string_view message) {
  while (!message.empty() && (message.back() == '.' || message.back() == '!' || message.back() == '\0')) message.remove_suffix(1);
  return HeaderLineContent(std::string(message) + '.');
}

std::string BreakMessage(std::string_view message) {
  std::string broken(message);
  constexpr std::size_t kFirst = 19, kLastFromEnd = 10;  // the 20th character, the 10th-last
  if (message.size() <= kFirst + kLastFromEnd + 1) return broken;
  const std::size_t last = message.size() - kLastFromEnd;  // index of the 10th-last character
  // From the end, so that insertions do not move the positions still to be looked at.
  for (std::size_t i = last; i-- > kFirst;) {
    if (broken[i] == '.' && broken[i + 1] == ' ') broken.replace(i + 1, 1, kLineEnd);
  }
  return broken;
}

std::string DateTimeText(int year, int month, int day, int hour, int minute, int second, int milliseconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d, %02d:%02d:%02d, %dms", year, month, day, hour, minute, second, milliseconds);
  return text;
}

std::string FileDateTimeText(int year, int month, int day, int hour, int minute) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute);
  return text;
}

std::string DurationText(std::int64_t seconds) {
  const std::int64_t s = std::max<std::int64_t>(seconds, 0);
  const std::int64_t days = s / 86400, hours = s / 3600 % 24, minutes = s / 60 % 60;
  std::string text;
  if (days > 0) {
    text = DurationPart(days, "day") + DurationPart(hours, "hour");
  } else if (hours > 0) {
    text = DurationPart(hours, "hour") + DurationPart(minutes, "minute");
  } else {
    text = DurationPart(minutes, "minute") + DurationPart(s % 60, "second");
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::string SizeText(std::uint64_t bytes, std::string_view decimalSeparator) {
  constexpr std::uint64_t kKb = 1024, kMb = kKb * 1024, kGb = kMb * 1024;
  if (bytes < kKb) return std::to_string(bytes) + " Bytes";
  if (bytes < kMb) return Hundredths(bytes * 100 / kKb, decimalSeparator) + " KB";
  if (bytes < kGb) return Hundredths(bytes / kKb * 100 / kKb, decimalSeparator) + " MB";
  return Hundredths(bytes / kKb / kKb * 100 / kKb, decimalSeparator) + " GB";
}

std::uint64_t RoundedMegabytes(std::uint64_t bytes) { return bytes / 1048576 + (bytes % 1048576 >= 524288); }

OsKind ClassifyOs(const OsFacts& f) {
  if (f.win9x) {
    const std::uint32_t build = f.build & 0xFFFF;
    if (f.major <= 3) return OsKind::osNone;
    if (f.major == 4 && f.minor < 10) return build <= 1000 ? OsKind::osWin95 : OsKind::osWin95osr2;
    if (f.major == 4 && f.minor == 10) {
      if (build <= 2000) return OsKind::osWin98;
      return build <= 2700 ? OsKind::osWin98se : OsKind::osWinME;
    }
    if (f.major == 4 && f.minor >= 11 && f.minor <= 90) return OsKind::osWinME;
    return OsKind::osWin9xNew;
  }
  if (f.major < 4) return OsKind::osWinNtOld;
  if (f.major == 4) return OsKind::osWinNt4;
  if (f.major == 5) {
    if (f.minor == 0) return OsKind::osWin2k;
    if (f.minor == 1 || (f.minor == 2 && f.workstation)) return OsKind::osWinXP;
    return OsKind::osWin2003;
  }
  if (f.major == 6 && f.minor == 0) return f.workstation ? OsKind::osWinVista : OsKind::osWin2008;
  if (f.major == 6 && f.minor == 1) return f.workstation ? OsKind::osWin7 : OsKind::osWin2008r2;
  return OsKind::osWinNtNew;
}

const char* OsName(OsKind kind) {
  static const char* const kNames[] = {
      "None",         "Windows 95",    "Windows 95 OSR-2", "Windows 98",    "Windows 98 SE", "Windows ME",
      "Windows 9x New", "Windows NT 3", "Windows NT 4",     "Windows 2000",  "Windows XP",    "Windows 2003",
      "Windows Vista", "Windows 2008", "Windows 7",        "Windows 2008 R2", "Windows NT New",
  };
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(kNames) ? kNames[i] : kNames[0];
}

std::string OsDescription(const OsFacts& facts) {
  const OsKind kind = ClassifyOs(facts);
  std::string text = OsName(kind);
  if (facts.win9x) return text;
  if (facts.r2) text += " R2";
  if (facts.tabletPc) text += " Tablet PC";
  if (facts.starter) text += " Starter";
  if (facts.mediaCenter && kind < OsKind::osWinVista) text += " Media Center";
  if (facts.x64) text += " x64";
  if (!facts.servicePack.empty()) text += " " + facts.servicePack;
  return text;
}

std::uint32_t CrcUpdate(std::uint32_t reg, const void* data, std::size_t size) {
  // zlib inverts the register before and after: inverting around it leaves the plain update.
  const auto* p = static_cast<const Bytef*>(data);
  uLong crc = ~reg & 0xFFFFFFFFu;
  while (size > 0) {
    const uInt chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = crc32(crc, p, chunk);
    p += chunk;
    size -= chunk;
  }
  return ~static_cast<std::uint32_t>(crc);
}

std::string ChecksumLowerCase(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || u == 0xC4 || u == 0xD6 || u == 0xDC) c = static_cast<char>(u + 0x20);
  }
  return lower;
}

std::uint32_t LineChecksum(const TraceLineFacts& line) {
  if (!line.functionStart || line.module.empty() || line.function.empty()) return line.address;
  std::uint32_t v = line.address - *line.functionStart;
  for (const std::string* name : {&line.module, &line.unit, &line.function}) {
    if (name->empty()) continue;
    const std::string lower = ChecksumLowerCase(*name);
    v = CrcUpdate(v, lower.data(), lower.size());
  }
  return v;
}

ThreadChecksums ChecksumsOfThread(std::span<const std::uint32_t> lineValues) {
  ThreadChecksums c;
  if (lineValues.empty()) return c;
  c.crc1 = c.crc2 = lineValues[0];
  for (std::size_t i = 1; i < lineValues.size(); ++i) c.crc2 = FoldThreadChecksum(c.crc2, lineValues[i]);
  return c;
}

std::uint32_t FoldThreadChecksum(std::uint32_t allStacks, std::uint32_t threadCrc2) {
  std::uint8_t bytes[4];
  AppendLe(threadCrc2, bytes);
  return CrcUpdate(allStacks, bytes, sizeof bytes);
}

std::string CallstackCrcText(const std::uint32_t (&crc)[3]) {
  return "$" + platform::Hex8(crc[0]) + ", $" + platform::Hex8(crc[1]) + ", $" + platform::Hex8(crc[2]);
}

std::string CpuRegistersText(const std::uint32_t (&registers)[9]) {
  static const char* const kNames[9] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "eip", "esp", "ebp"};
  std::string text;
  for (int i = 0; i < 9; ++i) {
    if (i) text += kLineEnd;
    text += std::string(kNames[i]) + " = " + platform::Hex8(registers[i]);
  }
  return text;
}

std::size_t StackDumpLength(std::uint32_t stackPointer, std::optional<std::uint64_t> regionEnd) {
  constexpr std::size_t kMost = 20 * 16;
  if (!regionEnd) return kMost;
  if (*regionEnd <= stackPointer) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*regionEnd - stackPointer, kMost));
}

std::string StackDumpText(std::uint32_t stackPointer, std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    if (line) text += kLineEnd;
    text += platform::Hex8(static_cast<std::uint32_t>(stackPointer + line)) + "  ";
    const std::size_t n = std::min<std::size_t>(16, bytes.size() - line);
    for (std::size_t j = 0; j < 16; ++j) {
      if (j == 8) text += j < n ? "- " : "  ";
      if (j < n) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", bytes[line + j]);
        text += hex;
      } else {
        text += "   ";
      }
    }
    text += ' ';
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint8_t b = bytes[line + j];
      text += b >= 33 && b <= 126 ? static_cast<char>(b) : '.';
    }
  }
  return text;
}

std::string FormatCodeAddress(std::uint32_t address, const CodeLocation* location, bool showRelAddrs, bool showRelLines) {
  std::string text = platform::Hex8(address);
  if (!location) return text + (showRelAddrs ? " +0 ???" : " ???");
  if (showRelAddrs) {
    char rel[16];
    std::snprintf(rel, sizeof rel, " +%x", static_cast<unsigned>(location->relative));
    text += rel;
  }
  text += " " + location->module + " " + location->unit + " ";
  if (location->line > 0) text += std::to_string(location->line) + " ";
  if (showRelLines) text += "+" + std::to_string(location->line - location->functionLine) + " ";
  return text + location->function;
}

std::string InternalErrorText(std::string_view step, const std::string* faultAddressText) {
  std::string text = ">> internal error in " + std::string(step);
  if (faultAddressText) text += ":\r\n" + *faultAddressText;
  return text;
}

}  // namespace report
