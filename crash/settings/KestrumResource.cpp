#include "crash/settings/KestrumResource.h"

#include "platform/StreamReader.h"
#include "platform/Text.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>

namespace kestrum {

namespace {

constexpr std::uint8_t kPrefix[] = {'T', 'P', 'F', '0', 8, 'T', 'K', 'e', 's', 't', 'r', 'u', 'm',
                                    7,   'K', 'e', 's', 't', 'r', 'u', 'm'};

using Reader = platform::StreamReader;

// The value stored for a name stops at its first zero byte, as the 8-bit zero-terminated copy would.
std::string UpToZero(std::string s) {
  const std::size_t z = s.find('\0');
  if (z != std::string::npos) s.resize(z);
  return s;
}

}  // namespace

std::string Utf16ToLatin1(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

std::string InvalidResourceMessage(std::uint8_t type) {
  return "Internal error: Invalid settings resource (" + platform::DollarHex(type) + ").";
}

ParsedResource ParseSettingsResource(const std::uint8_t* data, std::size_t size, const Utf16ToAnsi& toAnsi) {
  ParsedResource r;
  if (!data || size < sizeof kPrefix || std::memcmp(data, kPrefix, sizeof kPrefix) != 0) return r;
  r.prefixOk = true;
  Reader in(data + sizeof kPrefix, size - sizeof kPrefix);
  for (;;) {
    ParsedProperty p;
    std::uint8_t nameLen;
    if (!in.Byte(nameLen)) break;
    if (nameLen == 0) return r;
    std::uint8_t type;
    if (!in.Chars(nameLen, p.name) || !in.Byte(type)) break;
    p.name = UpToZero(std::move(p.name));
    std::uint32_t u = 0;
    bool ok = true;
    switch (type) {
      case vaInt8:
        ok = in.Le(1, u);
        p.typ = ptInteger;
        p.vInt = static_cast<std::int8_t>(u);
        break;
      case vaInt16:
        ok = in.Le(2, u);
        p.typ = ptInteger;
        p.vInt = static_cast<std::int16_t>(u);
        break;
      case vaInt32:
        ok = in.Le(4, u);
        p.typ = ptInteger;
        p.vInt = static_cast<std::int32_t>(u);
        break;
      case vaString:
        ok = in.ShortString(p.vStr);
        break;
      case vaLString:
        ok = in.Le(4, u) && in.Chars(u, p.vStr);
        break;
      case vaWString: {
        std::u16string w;
        ok = in.Le(4, u) && in.Units(u, w);
        if (ok) p.vStr = toAnsi(w);
        break;
      }
      case vaFalse:
      case vaTrue:
        p.typ = ptBoolean;
        p.vBool = type == vaTrue;
        break;
      default:
        r.invalidType = type;
        return r;
    }
    if (!ok) break;
    if (p.typ == ptString) p.vStr = UpToZero(std::move(p.vStr));
    r.props.push_back(std::move(p));
  }
  r.truncated = true;
  return r;
}

std::vector<std::uint8_t> WriteSettingsResource(const std::vector<ParsedProperty>& props) {
  std::vector<std::uint8_t> out(std::begin(kPrefix), std::end(kPrefix));
  auto le = [&out](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  for (const ParsedProperty& p : props) {
    if (p.name.empty() || p.name.size() > 255) throw std::invalid_argument("property name must have 1 to 255 characters: " + p.name);
    out.push_back(static_cast<std::uint8_t>(p.name.size()));
    out.insert(out.end(), p.name.begin(), p.name.end());
    switch (p.typ) {
      case ptBoolean:
        out.push_back(p.vBool ? vaTrue : vaFalse);
        break;
      case ptInteger:
        if (p.vInt >= -128 && p.vInt <= 127) {
          out.push_back(vaInt8);
          le(static_cast<std::uint32_t>(p.vInt), 1);
        } else if (p.vInt >= -32768 && p.vInt <= 32767) {
          out.push_back(vaInt16);
          le(static_cast<std::uint32_t>(p.vInt), 2);
        } else {
          out.push_back(vaInt32);
          le(static_cast<std::uint32_t>(p.vInt), 4);
        }
        break;
      case ptString:
        if (p.vStr.size() <= 255) {
          out.push_back(vaString);
          out.push_back(static_cast<std::uint8_t>(p.vStr.size()));
        } else {
          out.push_back(vaLString);
          le(static_cast<std::uint32_t>(p.vStr.size()), 4);
        }
        out.insert(out.end(), p.vStr.begin(), p.vStr.end());
        break;
      default:
        throw std::invalid_argument("property type cannot be stored: " + p.name);
    }
  }
  out.push_back(0);
  return out;
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void Fail(std::size_t line, const std::string& what) {
  throw std::invalid_argument("line " + std::to_string(line) + ": " + what);
}

}  // namespace

std::vector<ParsedProperty> ParseSettingsText(std::string_view text) {
  std::vector<ParsedProperty> props;
  std::set<std::string> seen;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const std::size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line.front() == '#') continue;

    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) Fail(lineNo, "expected Key = value");
    ParsedProperty p;
    p.name = std::string(Trim(line.substr(0, eq)));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (p.name.empty() || p.name.size() > 255) Fail(lineNo, "key must have 1 to 255 characters");
    for (char c : p.name) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) Fail(lineNo, "invalid character in key " + p.name);
    }
    if (!seen.insert(p.name).second) Fail(lineNo, "key given twice: " + p.name);

    if (value == "True" || value == "False") {
      p.typ = ptBoolean;
      p.vBool = value == "True";
    } else if (!value.empty() && value.front() == '"') {
      if (value.size() < 2 || value.back() != '"') Fail(lineNo, "string without closing quote");
      p.typ = ptString;
      p.vStr = std::string(value.substr(1, value.size() - 2));
    } else {
      std::string_view digits = value;
      const bool negative = !digits.empty() && digits.front() == '-';
      if (negative) digits.remove_prefix(1);
      if (digits.empty() || digits.size() > 10) Fail(lineNo, "expected True, False, a number or a quoted string");
      std::int64_t n = 0;
      for (char c : digits) {
        if (c < '0' || c > '9') Fail(lineNo, "expected True, False, a number or a quoted string");
        n = n * 10 + (c - '0');
      }
      if (negative) n = -n;
      if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max())
        Fail(lineNo, "number out of the 32-bit range");
      p.typ = ptInteger;
      p.vInt = static_cast<std::int32_t>(n);
    }
    props.push_back(std::move(p));
  }
  return props;
}

}  // namespace kestrum
