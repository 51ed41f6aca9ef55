// ZIP archives of report attachments: deflated entries with UTF-8 names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

// Code page 1252 text as UTF-8 (the five unassigned bytes stand for themselves, as U+0081 etc.).
std::string Cp1252ToUtf8(std::string_view text);

struct ZipEntry {
  std::string name;  // code page 1252
  std::string data;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = (1 << 5) | 1;  // 1980-01-01
  std::uint32_t attributes = 0;
};

// Builds the archive in memory; false when zlib fails (then out is unchanged).
class ZipBuilder {
 public:
  bool Add(const ZipEntry& entry);
  std::size_t EntryCount() const { return count_; }
  // Local entries, central directory and end record.
  std::string Finish() const;

 private:
  std::string local_;
  std::string central_;
  std::size_t count_ = 0;
};

// Raw deflate of data (RFC 1951); false when zlib fails.
bool DeflateRaw(std::string_view data, std::string& out);

}  // namespace delivery
