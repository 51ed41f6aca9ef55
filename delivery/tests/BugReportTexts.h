// Bug reports laid out as the composer lays them out, for the file tests: the header's names
// padded to the longest, the sections after an empty line.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace delivery::testing {

inline std::string MakeReport(const std::string& time, const std::string& crc, const std::string& section,
                              const std::string& exceptClass = "EConvertError") {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"date/time", time},      {"executable", "Kelvane.exe"}, {"version", "1.0.0.0"},
      {"callstack crc", crc},   {"exception number", "1"},     {"exception class", exceptClass},
      {"exception message", "'abc' is not a valid integer value."}};
  std::string r;
  for (const auto& [name, value] : fields) {
    if (!r.empty()) r += "\r\n";
    r += name + std::string(18 - name.size(), ' ') + ": " + value;
  }
  return r + "\r\n\r\nmain thread ($1):\r\n" + section;
}

// A "callstack crc" value of the right length from one number.
inline std::string Crc(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "$%08x, $%08x, $%08x", n, n + 1, n + 2);
  return text;
}

}  // namespace delivery::testing
