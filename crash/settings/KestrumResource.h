// The settings resource: a binary form stream "TPF0" + class "TKestrum" + object "Kestrum",
// then name/type/value properties up to a zero name length. Reading and writing it are kept free
// of Windows so that the build tool and the fuzzer use exactly the loader's code.
#pragma once

#include "crash/settings/KestrumSettingsTypes.h"
#include "platform/Convert.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Value-type bytes of the stream.
enum : std::uint8_t {
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
  vaWString = 18,
};

struct ParsedProperty {
  std::string name;
  TPropertyType typ = ptString;
  bool vBool = false;
  std::int32_t vInt = 0;
  std::string vStr;

  bool operator==(const ParsedProperty&) const = default;
};

struct ParsedResource {
  bool prefixOk = false;          // false: not a settings stream at all, the list stays empty
  std::vector<ParsedProperty> props;
  int invalidType = -1;           // the unknown type byte that stopped parsing, or -1
  bool truncated = false;         // the stream ended inside a property or before its end mark
};

// Converts UTF-16 code units into the 8-bit code page.
using Utf16ToAnsi = std::function<std::string(std::u16string_view)>;

// Latin-1 mapping with "?" for everything above it; the Windows loader passes the system code page.
std::string Utf16ToLatin1(std::u16string_view text);

// Never reads outside [data, data + size): a length that points past the end stops parsing and
// keeps the properties read before it.
ParsedResource ParseSettingsResource(const std::uint8_t* data, std::size_t size,
                                     const Utf16ToAnsi& toAnsi = Utf16ToLatin1);

// "Internal error: Invalid settings resource ($5)."
std::string InvalidResourceMessage(std::uint8_t type);

// The stream for the given properties: each integer in the smallest type that holds it, strings
// up to 255 characters as short strings, longer ones as long strings. Throws std::invalid_argument
// for a name that does not fit a length byte.
std::vector<std::uint8_t> WriteSettingsResource(const std::vector<ParsedProperty>& props);

// The readable source of a settings resource, one property a line:
//   Key = True | False | -123 | "text"
// A string runs from the first to the last double quote of the line, so it may contain quotes.
// Blank lines and lines starting with "#" are skipped. Throws std::invalid_argument naming the
// line for anything else, including a key given twice.
std::vector<ParsedProperty> ParseSettingsText(std::string_view text);

}  // namespace kestrum
