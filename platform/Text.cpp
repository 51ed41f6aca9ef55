#include "platform/Text.h"

namespace platform {

namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

bool SameFolded(std::string_view a, std::string_view b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && SameFolded(a, b); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameFolded(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && SameFolded(text.substr(text.size() - tail.size()), tail);
}

std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from) {
  if (what.empty() || text.size() < what.size()) return std::string_view::npos;
  for (std::size_t i = from; i <= text.size() - what.size(); ++i) {
    if (SameFolded(text.substr(i, what.size()), what)) return i;
  }
  return std::string_view::npos;
}

bool ContainsNoCase(std::string_view text, std::string_view what) { return FindNoCase(text, what) != std::string_view::npos; }

std::string ReplaceAllNoCase(std::string_view text, std::string_view what, std::string_view with) {
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = FindNoCase(text, what, pos)) != std::string_view::npos; pos = hit + what.size()) {
    out.append(text.substr(pos, hit - pos));
    out.append(with);
  }
  out.append(text.substr(pos));
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i])), y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

std::string DollarHex(std::uint64_t value) { return "$" + HexDigits(value, 0); }

std::string HexDigits(std::uint64_t value, std::size_t width) {
  char digits[16];
  std::size_t n = 0;
  do {
    digits[n++] = kLowerDigits[value & 15];
    value >>= 4;
  } while (value);
  std::string out(width > n ? width - n : 0, '0');
  while (n > 0) out += digits[--n];
  return out;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(2 * bytes.size());
  for (const std::uint8_t b : bytes) {
    out += kLowerDigits[b >> 4];
    out += kLowerDigits[b & 15];
  }
  return out;
}

void AppendEscapedByte(std::string& out, char prefix, std::uint8_t byte) {
  out += prefix;
  out += kUpperDigits[byte >> 4];
  out += kUpperDigits[byte & 15];
}

}  // namespace platform
