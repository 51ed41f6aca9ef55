#pragma once
// Text helpers for the program's 8-bit strings: compares that ignore case, and hexadecimal numbers
// as reports, messages and names spell them.
//
// Case is folded for the ASCII letters only, whatever the locale: the texts compared are keys,
// names, file endings and class titles, and a byte of another code page must compare the same on
// every machine (a locale-dependent fold would make "É" equal "é" on one and not on another).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// --- Compares without regard to case

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string AsciiLowered(std::string_view text);

bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view tail);
// Where what first stands in text at or after from; npos when nowhere, and for an empty what,
// which would stand everywhere (a replacement of it would never end).
std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from = 0);
bool ContainsNoCase(std::string_view text, std::string_view what);
// Every place of what replaced by with, left to right; what a replacement puts in is not searched.
std::string ReplaceAllNoCase(std::string_view text, std::string_view what, std::string_view with);
// Below, equal to or above 0 as a sorts before, with or after b: folded bytes by their unsigned
// value, then the shorter first.
int CompareNoCase(std::string_view a, std::string_view b);

// --- Hexadecimal, lowercase digits

// "$" and the digits without leading zeros ("$0", "$401abc"): how the run-time's messages and the
// crash-report component write addresses, codes, process and thread ids.
std::string DollarHex(std::uint64_t value);
// At least width digits, zeros in front; width 0 gives the digits without leading zeros.
std::string HexDigits(std::uint64_t value, std::size_t width);
// Eight digits: the addresses, registers and checksums of a report.
inline std::string Hex8(std::uint32_t value) { return HexDigits(value, 8); }
// Two digits a byte, in order (ids, digests).
std::string HexBytes(std::span<const std::uint8_t> bytes);

// --- Hexadecimal, uppercase digits

// The two digits of one byte behind prefix ('%' for URLs, '=' for quoted-printable mail text),
// which spell their escapes in uppercase.
void AppendEscapedByte(std::string& out, char prefix, std::uint8_t byte);

}  // namespace platform
