#include "app/ReceiverLogic.h"

#include "platform/Convert.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace app {
bool PassRepeatSuppression(std::int32_t& repeatCounter, const TIRData& frame) {
  if (IsRepetition(frame) && repeatCounter >= 0) {
    // Two's complement wrap, written without signed overflow.
    repeatCounter = static_cast<std::int32_t>(static_cast<std::uint32_t>(repeatCounter) + 1u);
    return repeatCounter >= 5;
  }
  repeatCounter = 0;
  return true;
}

std::vector<std::string> CodeListing(const char* heading, const TIRData& code) {
  std::vector<std::string> lines{heading};
  if (const char* name = ProtocolName(code.Protocol)) lines.emplace_back(name);
  char text[32];
  std::snprintf(text, sizeof text, "Adress: 0x%04X", static_cast<unsigned>(code.Address));
  lines.emplace_back(text);
  std::snprintf(text, sizeof text, "Command: 0x%04X", static_cast<unsigned>(code.Command));
  lines.emplace_back(text);
  std::snprintf(text, sizeof text, "Flags: 0x%02X", static_cast<unsigned>(code.Flags));
  lines.emplace_back(text);
  lines.emplace_back();
  return lines;
}

const char* PowerOnStateText(bool enabled) { return enabled ? "PowerOn is Enabled" : "PowerOn is Disabled"; }

std::string DeviceStatusText(bool connected) {
  return connected ? "Device: connected" : "Device: disconnected";
}

std::string VexaVersionText(bool connected, const THidVexaVersion& version) {
  return connected ? "Vexa Version: " + VersionText(version) : "Vexa Version: unknown";
}

std::int64_t PollingTicks(std::int32_t positionMicroseconds, std::int32_t frequencyHz) {
  const Extended a = Divide(1, frequencyHz);
  const Extended b = Divide(positionMicroseconds, 1000000);
  return Trunc(Divide(b, a));
}

std::string SliderPositionText(int position) { return std::to_string(position) + "\xB5s"; }

namespace {

// "PREFIX" followed by exactly `digits` upper-case hexadecimal digits, as the listing writes them.
bool ParseHexLine(const std::string& line, std::string_view prefix, std::size_t digits, std::uint16_t& value) {
  if (line.size() != prefix.size() + digits || line.compare(0, prefix.size(), prefix) != 0) return false;
  unsigned v = 0;
  for (std::size_t i = prefix.size(); i < line.size(); ++i) {
    const char c = line[i];
    if (c >= '0' && c <= '9') v = v * 16 + static_cast<unsigned>(c - '0');
    else if (c >= 'A' && c <= 'F') v = v * 16 + static_cast<unsigned>(c - 'A' + 10);
    else return false;
  }
  value = static_cast<std::uint16_t>(v);
  return true;
}

constexpr std::size_t kMostShownLines = 5;  // heading, protocol, address, command, flags

std::optional<std::uint8_t> ProtocolNamed(const std::string& name) {
  for (unsigned p = 1; p <= 255; ++p) {
    const char* known = ProtocolName(static_cast<std::uint8_t>(p));
    if (!known) break;
    if (name == known) return static_cast<std::uint8_t>(p);
  }
  return std::nullopt;
}

// The codes a listing shown at lines[first...] may stand for, oldest first; `shown` is set to the
// number of lines it takes. A listing that names its protocol tells its code; one that does not
// stands for the listed codes it is exactly the listing of.
std::vector<ListedCode> ListingsAt(const std::vector<std::string>& lines, std::size_t first, const std::vector<ListedCode>& listed,
                                   std::size_t& shown) {
  std::vector<ListedCode> found;
  if (lines[first] != TrainedCodeHeading && lines[first] != ReceivedCodeHeading) return found;
  const bool named = first + 1 < lines.size() && !lines[first + 1].starts_with("Adress: ");
  shown = named ? 5 : 4;
  if (lines.size() - first < shown) return found;
  const std::size_t at = first + (named ? 2 : 1);
  std::uint16_t address = 0, command = 0, flags = 0;
  if (!ParseHexLine(lines[at], "Adress: 0x", 4, address) || !ParseHexLine(lines[at + 1], "Command: 0x", 4, command) ||
      !ParseHexLine(lines[at + 2], "Flags: 0x", 2, flags))
    return found;
  const bool trained = lines[first] == TrainedCodeHeading;
  if (named) {
    if (const std::optional<std::uint8_t> protocol = ProtocolNamed(lines[first + 1]))
      found.push_back({trained, TIRData{*protocol, address, command, static_cast<std::uint8_t>(flags)}});
    return found;
  }
  for (const ListedCode& code : listed) {
    if (code.Trained != trained || code.Code.Address != address || code.Code.Command != command || code.Code.Flags != flags ||
        ProtocolName(code.Code.Protocol))
      continue;
    found.push_back(code);
  }
  return found;
}

bool SameCode(const ListedCode& a, const ListedCode& b) {
  return a.Trained == b.Trained && a.Code.Protocol == b.Code.Protocol && a.Code.Address == b.Code.Address &&
         a.Code.Command == b.Code.Command && a.Code.Flags == b.Code.Flags;
}

}  // namespace

std::optional<ListedCode> CodeListedAt(const std::vector<std::string>& lines, std::size_t line, const std::vector<ListedCode>& listed) {
  if (line >= lines.size()) return std::nullopt;
  const std::size_t lowest = line >= kMostShownLines - 1 ? line - (kMostShownLines - 1) : 0;
  for (std::size_t first = line + 1; first-- > lowest;) {
    std::size_t shown = 0;
    const std::vector<ListedCode> found = ListingsAt(lines, first, listed, shown);
    if (found.empty() || first + shown <= line) continue;
    if (std::all_of(found.begin(), found.end(), [&](const ListedCode& c) { return SameCode(c, found.front()); })) return found.front();
    // Equal texts of different codes: count the same text further down the log.
    const std::vector<std::string> text(lines.begin() + static_cast<std::ptrdiff_t>(first),
                                        lines.begin() + static_cast<std::ptrdiff_t>(first + shown));
    std::size_t later = 0;
    for (std::size_t i = first + shown; i + shown <= lines.size(); ++i)
      if (std::equal(text.begin(), text.end(), lines.begin() + static_cast<std::ptrdiff_t>(i))) ++later;
    return found[later < found.size() ? found.size() - 1 - later : 0];
  }
  return std::nullopt;
}

void RememberListedCode(std::vector<ListedCode>& listed, const ListedCode& code) {
  if (listed.size() >= kMaxListedCodes) listed.erase(listed.begin(), listed.begin() + kMaxListedCodes / 4);
  listed.push_back(code);
}

std::string PowerOnCodeQuestion(const TIRData& code) {
  const char* protocol = ProtocolName(code.Protocol);
  char text[256];
  std::snprintf(text, sizeof text,
                "Make this code the receiver's power-on code?\r\n\r\n"
                "Protocol: %s\r\nAddress: 0x%04X\r\nCommand: 0x%04X\r\n\r\n"
                "The trained code that the receiver holds now is replaced.",
                protocol ? protocol : "unknown", static_cast<unsigned>(code.Address), static_cast<unsigned>(code.Command));
  return text;
}

CommandWords WriteTrainedCodeCommand(const TIRData& code) {
  return {static_cast<std::uint32_t>(code.Address) | static_cast<std::uint32_t>(code.Command) << 16,
          kCmdWriteTrainedCode | static_cast<std::uint32_t>(code.Protocol) << 8 |
              static_cast<std::uint32_t>(code.Flags) << 16};
}

std::optional<TIRData> TrainedCodeOfCommand(std::uint32_t argument, std::uint32_t code) {
  if ((code & 0xFF0000FFu) != kCmdWriteTrainedCode) return std::nullopt;
  TIRData d{};
  d.Protocol = static_cast<std::uint8_t>(code >> 8);
  d.Flags = static_cast<std::uint8_t>(code >> 16);
  d.Address = static_cast<std::uint16_t>(argument);
  d.Command = static_cast<std::uint16_t>(argument >> 16);
  return d;
}

std::size_t LineOfOffset(const std::string& text, std::size_t offset) {
  std::size_t line = 0;
  const std::size_t end = offset < text.size() ? offset : text.size();
  for (std::size_t i = text.find("\r\n"); i != std::string::npos && i + 2 <= end; i = text.find("\r\n", i + 2)) ++line;
  return line;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string DefaultLogFileName(int year, int month, int day) {
  char text[64];
  std::snprintf(text, sizeof text, "Kelvane log %04d-%02d-%02d.txt", year, month, day);
  return text;
}

}  // namespace app
