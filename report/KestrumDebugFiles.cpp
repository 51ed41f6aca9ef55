// The fallback readers of debug information: the linker's text map, JCL binary debug files and
// TD32 data. They fill a TMapFile under construction through its table-building operations.
//
// All three read files that anyone may have put beside a module: every column, offset, count and
// name offset is checked against the data before it is used, directory chains are followed a
// bounded number of times, and nothing is allocated beyond what the data can hold.
#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "platform/Bytes.h"
#include "platform/Text.h"
#include "report/KorbMapFile.h"

namespace {

std::string WithoutPath(std::string_view name) {
  const std::size_t slash = name.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

// ---------------------------------------------------------------------------------------------
// Map text

// A line the map reader cannot convert; the line is skipped.
struct BadLine {};

char At(std::string_view line, std::size_t column) { return column < line.size() ? line[column] : '\0'; }

// The columns [first, last] of the line, which must all be there.
std::string_view Columns(std::string_view line, std::size_t first, std::size_t last) {
  if (last >= line.size()) throw BadLine{};
  return line.substr(first, last - first + 1);
}

std::uint32_t Hex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) throw BadLine{};
  std::uint32_t value = 0;
  for (const char c : digits) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) throw BadLine{};
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::int32_t Decimal(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) throw BadLine{};
  std::int32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') throw BadLine{};
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string_view SkipBlanks(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

std::string_view TrimRight(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

// ---------------------------------------------------------------------------------------------
// JCL debug files

// An unsigned value of 7 bits a byte, least significant first; nothing past the data or beyond
// five bytes.
std::optional<std::uint32_t> ReadVarUint(std::span<const std::uint8_t> file, std::size_t& at) {
  std::uint32_t value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (at >= file.size()) return std::nullopt;
    const std::uint8_t byte = file[at++];
    value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return value;
  }
  return std::nullopt;
}

constexpr std::uint32_t kJclSectionEnd = 0x7FFFFFFF;

std::string JclName(std::span<const std::uint8_t> file, std::uint32_t nameArea, std::int32_t offset) {
  if (offset <= 0) return {};
  const std::uint64_t start = static_cast<std::uint64_t>(nameArea) + static_cast<std::uint32_t>(offset) - 1;
  if (start >= file.size()) return {};
  std::size_t at = static_cast<std::size_t>(start);
  std::string name;
  if (file[at] == 1) {
    for (++at; at < file.size() && file[at] != 0 && name.size() < 255; ++at)
      name += static_cast<char>(file[at] == 0xAA ? 0xAA : file[at] ^ 0xAA);
    return name;
  }
  if (file[at] == 2) {
    name = "@";
    ++at;
  }
  static constexpr char kCodes[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
  for (; name.size() < 255; at += 3) {
    const std::uint8_t b0 = at < file.size() ? file[at] : 0;
    const std::uint8_t b1 = at + 1 < file.size() ? file[at + 1] : 0;
    const std::uint8_t b2 = at + 2 < file.size() ? file[at + 2] : 0;
    const std::uint8_t codes[4] = {static_cast<std::uint8_t>(b0 & 0x3F), static_cast<std::uint8_t>(b0 >> 6 | (b1 & 0x0F) << 2),
                                   static_cast<std::uint8_t>(b1 >> 4 | (b2 & 0x03) << 4), static_cast<std::uint8_t>(b2 >> 2)};
    for (const std::uint8_t code : codes) {
      if (code == 0 || name.size() >= 255) return name;
      name += kCodes[code - 1];
    }
    if (at + 3 >= file.size()) return name;
  }
  return name;
}

// Reads the tuples of a section, each value a running sum; stops at the end mark or the data's end.
template <std::size_t N, class Each>
void ReadJclSection(std::span<const std::uint8_t> file, std::uint32_t offset, Each each) {
  if (offset == 0 || offset >= file.size()) return;
  std::size_t at = offset;
  std::uint32_t sums[N] = {};
  for (;;) {
    for (std::size_t i = 0; i < N; ++i) {
      const auto value = ReadVarUint(file, at);
      if (!value || *value == kJclSectionEnd) return;
      sums[i] += *value;
    }
    each(sums);
  }
}

// ---------------------------------------------------------------------------------------------
// TD32

constexpr int kMostDirectories = 256;

struct Subsection {
  std::uint16_t type;
  std::span<const std::uint8_t> bytes;
};

// Every subsection of the wanted type, over every directory of the chain.
std::vector<Subsection> Subsections(std::span<const std::uint8_t> data, std::uint16_t wanted) {
  std::vector<Subsection> found;
  std::set<std::uint32_t> seen;
  std::uint32_t directory = platform::LoadLe32(data.data() + 4);
  for (int n = 0; directory != 0 && n < kMostDirectories && seen.insert(directory).second; ++n) {
    if (directory > data.size() || data.size() - directory < 12) break;
    const std::uint16_t headerSize = platform::LoadLe16(&data[directory]);
    const std::uint16_t entrySize = platform::LoadLe16(&data[directory + 2]);
    const std::uint32_t count = platform::LoadLe32(&data[directory + 4]);
    if (entrySize < 12 || static_cast<std::uint64_t>(directory) + headerSize > data.size()) break;
    const std::size_t first = directory + headerSize;
    const std::uint64_t fits = (data.size() - first) / entrySize;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(count, fits); ++i) {
      const std::uint8_t* entry = &data[first + i * entrySize];
      const std::uint32_t offset = platform::LoadLe32(entry + 4), size = platform::LoadLe32(entry + 8);
      if (platform::LoadLe16(entry) != wanted || offset > data.size() || size > data.size() - offset) continue;
      found.push_back({wanted, data.subspan(offset, size)});
    }
    directory = platform::LoadLe32(&data[directory + 8]);
  }
  return found;
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// ParseMapText

void TMapFile::ParseMapText(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  std::uint32_t dataSegment = 2;
  std::uint32_t codeOffset = 0;
  const auto blank = [](std::string_view line) { return SkipBlanks(line).empty(); };
  const auto skipBlankLines = [&](std::size_t& i) {
    while (i < lines.size() && blank(lines[i])) ++i;
  };

  for (std::size_t i = 0; i < lines.size();) {
    const std::string_view head = SkipBlanks(lines[i]);
    ++i;
    if (head.find("Start         Length     Name                   Class") != std::string_view::npos) {
      for (; i < lines.size() && !blank(lines[i]); ++i) {
        const std::string_view line = SkipBlanks(lines[i]);
        try {
          if (line.find(".text") != std::string_view::npos && At(line, 4) == ':' && At(line, 13) == ' ' && At(line, 22) == 'H') {
            codeOffset = static_cast<std::uint32_t>((static_cast<std::uint64_t>(Hex(Columns(line, 14, 21))) + 4095) / 4096 * 4096);
          } else if (line.find(".data") != std::string_view::npos) {
            const std::int32_t number = Decimal(SkipBlanks(TrimRight(Columns(line, 0, 3))));
            dataSegment = number >= 2 && number <= 9 ? static_cast<std::uint32_t>(number) : 2;
          }
        } catch (const BadLine&) {}
      }
    } else if (head.find("Detailed map of segments") != std::string_view::npos) {
      skipBlankLines(i);
      for (; i < lines.size() && !blank(lines[i]); ++i) {
        std::string_view line = SkipBlanks(lines[i]);
        if (line.size() <= 72 || At(line, 4) != ':' || At(line, 13) != ' ' || At(line, 22) != ' ' || line.substr(23, 2) != "C=") continue;
        try {
          const std::uint32_t segment = Hex(Columns(line, 0, 3));
          std::uint32_t offset = Hex(Columns(line, 5, 12));
          const std::uint32_t length = Hex(Columns(line, 14, 21));
          std::string_view cut = TrimRight(line.substr(0, line.rfind(' ')));
          const std::size_t mark = cut.find_last_of("=\\|");
          const std::string unit(mark == std::string_view::npos ? cut : cut.substr(mark + 1));
          if (segment < 1 || segment > dataSegment) continue;
          if (segment > 1 && segment < dataSegment) offset += codeOffset;
          AddSegment(segment < dataSegment, true, offset, unit, length, SegmentAdd::plain);
        } catch (const BadLine&) {}
      }
      SortSegments();
    } else if (head.find("Publics by Value") != std::string_view::npos) {
      skipBlankLines(i);
      for (; i < lines.size() && !blank(lines[i]); ++i) {
        std::string_view line = TrimRight(SkipBlanks(lines[i]));
        if (line.size() <= 13 || At(line, 4) != ':') continue;
        try {
          if (line.back() == ')') {
            const std::size_t open = line.rfind('(');
            if (open != std::string_view::npos && open >= 13) line = TrimRight(line.substr(0, open));
          }
          const std::size_t lastBlank = line.rfind(' ');
          if (lastBlank == std::string_view::npos || lastBlank < 13) continue;
          std::string name(line.substr(lastBlank + 1));
          const std::uint32_t segment = Hex(Columns(line, 0, 3));
          std::uint32_t offset = Hex(Columns(line, 5, 12));
          if (segment < 1 || segment > dataSegment || name.empty()) continue;
          const bool code = segment < dataSegment;
          if (dataSegment > 2) {
            if (segment > 1 && segment < dataSegment) offset += codeOffset;
            std::size_t unitLength = 0;
            if (SegmentUnitIs(code, (code ? FBaseOfCode : FBaseOfData) + offset, name, unitLength))
              name.erase(0, std::min(name.size(), unitLength + 1));
          }
          AddPublic(code, name, offset, false);
        } catch (const BadLine&) {}
      }
    } else if (head.find("Line numbers for ") != std::string_view::npos) {
      const std::size_t open = head.find('(', 18);
      if (open == std::string_view::npos || head.find(')', open) == std::string_view::npos) continue;
      skipBlankLines(i);
      for (bool firstLine = true; i < lines.size() && !blank(lines[i]); ++i, firstLine = false) {
        const std::string_view line = lines[i];
        std::size_t pos = 0;
        while (pos < line.size()) {
          while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
          const std::size_t colon = line.find(':', pos);
          if (colon == std::string_view::npos || colon < pos + 5 || line[colon - 5] != ' ' || line.size() - colon - 1 < 8) break;
          try {
            const std::uint32_t segment = Hex(line.substr(colon - 4, 4));
            const std::uint32_t offset = Hex(line.substr(colon + 1, 8));
            const std::int32_t number = Decimal(line.substr(pos, colon - 5 - pos));
            if (segment != 0 && segment < dataSegment) AddLine(number, FBaseOfCode + offset + (segment >= 2 ? codeOffset : 0), !firstLine);
          } catch (const BadLine&) {}
          pos = colon + 9;
        }
      }
    } else if (head.find("Program entry point at ") != std::string_view::npos) {
      // Columns 28..35 need 36 characters; a shorter line holds no whole address.
      try {
        if (head.size() >= 36 && head[27] == ':') FEntryPoint = FBaseOfCode + Hex(Columns(head, 28, 35));
      } catch (const BadLine&) {}
    }
  }
}

// -------------------------------------------------------------------------------------------------
// ReadJclDebugFile

bool TMapFile::ReadJclDebugFile(const std::string& fileName) {
  std::string data;
  if (!source_ || !source_->ReadFile(fileName, data)) return false;
  return ReadJclDebugData(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

bool TMapFile::ReadJclDebugData(std::span<const std::uint8_t> file) {
  if (file.size() < 35 || file.size() % 4 != 0 || std::memcmp(file.data(), "JDBG", 4) != 0 || file[4] != 1) return false;
  const std::uint32_t sourceNames = platform::LoadLe32(&file[9]), symbols = platform::LoadLe32(&file[13]),
                      lineNumbers = platform::LoadLe32(&file[17]);
  const std::uint32_t nameArea = platform::LoadLe32(&file[21]);
  const std::uint32_t checksum = platform::LoadLe32(&file[29]);
  if (file[33]) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 4) sum += platform::LoadLe32(&file[at]);
    sum -= checksum;
    if ((sum >> 8 | sum << 24) != checksum) return false;
  }

  ReadJclSection<2>(file, sourceNames, [&](const std::uint32_t* v) {
    AddSegment(true, true, v[0], WithoutPath(JclName(file, nameArea, static_cast<std::int32_t>(v[1]))), 1, SegmentAdd::plain);
  });
  SortSegments();
  CompactSegments(true);
  if (FTopOfCode != 0) {
    for (auto it = FSItems.rbegin(); it != FSItems.rend(); ++it) {
      if (!it->Code) continue;
      if (FTopOfCode > it->StartAddress) it->Length = FTopOfCode - it->StartAddress;
      break;
    }
  }
  ReadJclSection<3>(file, symbols, [&](const std::uint32_t* v) {
    std::string name = JclName(file, nameArea, static_cast<std::int32_t>(v[1]));
    if (static_cast<std::int32_t>(v[2]) > 0) {
      name += "." + JclName(file, nameArea, static_cast<std::int32_t>(v[2]));
      std::size_t unitLength = 0;
      if (SegmentUnitIs(true, FBaseOfCode + v[0], name, unitLength)) name.erase(0, std::min(name.size(), unitLength + 1));
    }
    AddPublic(true, name, v[0], false);
  });
  ReadJclSection<2>(file, lineNumbers,
                    [&](const std::uint32_t* v) { AddLine(static_cast<std::int32_t>(v[1]), FBaseOfCode + v[0], false); });
  return true;
}

// -------------------------------------------------------------------------------------------------
// ReadTd32

bool TMapFile::ReadTd32() {
  if (layout_ && layout_->twoCodeSections) return false;
  if (layout_ && layout_->debugDirectory) {
    const std::span<const std::uint8_t> image = source_ ? source_->Image() : std::span<const std::uint8_t>();
    const std::uint64_t entry = layout_->debugDirectory;
    if (entry + 28 > image.size()) return false;
    const std::uint32_t raw = platform::LoadLe32(&image[entry + 20]);
    if (raw >= image.size()) return false;
    return ReadTd32Data(image.subspan(raw));
  }
  if (!source_) return false;
  const std::size_t dot = FMapFileName.rfind('.');
  const std::string base = dot == std::string::npos ? FMapFileName : FMapFileName.substr(0, dot);
  const bool isTds =
      dot != std::string::npos && platform::StartsWithNoCase(FMapFileName.substr(dot), ".tds") && FMapFileName.size() - dot == 4;
  std::string fileName = isTds ? FMapFileName : base + ".tds";
  if (!isTds && !source_->FileDay(fileName)) fileName = FMapFileName;
  if (fileName != FMapFileName || isTds) {
    const auto tdsDay = source_->FileDay(fileName);
    const auto mapDay = source_->FileDay(base + ".map");
    if (tdsDay && mapDay && *tdsDay < *mapDay) return false;
  }
  std::string data;
  if (!source_->ReadFile(fileName, data)) return false;
  std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') {
    const auto layout = report::ReadImageLayout(file);
    if (!layout || layout->twoCodeSections || layout->debugDirectory == 0) return false;
    const std::uint32_t nt = platform::LoadLe32(&file[0x3C]);
    const std::uint16_t sections = platform::LoadLe16(&file[nt + 6]);
    const std::size_t table = nt + 24 + platform::LoadLe16(&file[nt + 20]);
    if (sections == 0) return false;
    const std::uint8_t* last = &file[table + 40u * (sections - 1)];
    const std::uint32_t lastAddress = platform::LoadLe32(last + 12), rawSize = platform::LoadLe32(last + 16),
                        rawOffset = platform::LoadLe32(last + 20);
    if (lastAddress != layout->debugDirectory || rawSize < 28 || rawOffset > file.size() || file.size() - rawOffset < 28) return false;
    const std::uint32_t start = platform::LoadLe32(&file[rawOffset + 24]);
    if (start >= file.size()) return false;
    return ReadTd32Data(file.subspan(start));
  }
  return ReadTd32Data(file);
}

bool TMapFile::ReadTd32Data(std::span<const std::uint8_t> data) {
  if (data.size() < 8 || (std::memcmp(data.data(), "FB09", 4) != 0 && std::memcmp(data.data(), "FB0A", 4) != 0)) return false;

  std::vector<std::string> names(1);  // numbered from 1
  for (const Subsection& s : Subsections(data, 0x130)) {
    if (s.bytes.size() < 4) continue;
    const std::uint32_t count = platform::LoadLe32(s.bytes.data());
    std::size_t at = 4;
    for (std::uint32_t i = 0; i < count && at < s.bytes.size(); ++i) {
      const std::size_t length = s.bytes[at];
      if (s.bytes.size() - at - 1 < length) break;
      names.emplace_back(reinterpret_cast<const char*>(&s.bytes[at + 1]), length);
      at += 1 + length + 1;
    }
  }
  const auto nameOf = [&names](std::uint32_t number) { return number < names.size() ? names[number] : std::string(); };

  for (const Subsection& s : Subsections(data, 0x120)) {
    if (s.bytes.size() < 12) continue;
    const std::uint16_t count = platform::LoadLe16(&s.bytes[4]);
    const std::string unit = WithoutPath(nameOf(platform::LoadLe32(&s.bytes[8])));
    bool dataAdded = false;
    for (std::size_t i = 0; i < count && 28 + 12 * (i + 1) <= s.bytes.size(); ++i) {
      const std::uint8_t* entry = &s.bytes[28 + 12 * i];
      const std::uint16_t segment = platform::LoadLe16(entry + 2);
      const std::uint32_t offset = platform::LoadLe32(entry + 4), length = platform::LoadLe32(entry + 8);
      if (length == 0) continue;
      if (segment == 1) {
        AddSegment(true, true, offset, unit, length, SegmentAdd::merging);
      } else if (!dataAdded) {
        dataAdded = true;
        AddSegment(false, true, offset, unit, length, SegmentAdd::merging);
      }
    }
  }

  for (const Subsection& s : Subsections(data, 0x127)) {
    const std::span<const std::uint8_t> b = s.bytes;
    if (b.size() < 2) continue;
    const std::uint16_t files = platform::LoadLe16(&b[0]);
    for (std::size_t f = 0; f < files && 4 + 4 * (f + 1) <= b.size(); ++f) {
      const std::uint32_t block = platform::LoadLe32(&b[4 + 4 * f]);
      if (block > b.size() || b.size() - block < 6) continue;
      const std::uint16_t segmentBlocks = platform::LoadLe16(&b[block]);
      const std::string fileName = WithoutPath(nameOf(platform::LoadLe32(&b[block + 2])));
      for (std::size_t k = 0; k < segmentBlocks && static_cast<std::uint64_t>(block) + 6 + 4 * (k + 1) <= b.size(); ++k) {
        const std::uint32_t segmentBlock = platform::LoadLe32(&b[block + 6 + 4 * k]);
        if (segmentBlock > b.size() || b.size() - segmentBlock < 4) continue;
        const std::uint16_t segment = platform::LoadLe16(&b[segmentBlock]);
        const std::uint16_t pairs = platform::LoadLe16(&b[segmentBlock + 2]);
        if (segment == 0 || segment > 2 || static_cast<std::uint64_t>(segmentBlock) + 4 + 6ull * pairs > b.size()) continue;
        std::optional<std::uint32_t> first;
        std::uint32_t last = 0;
        for (std::size_t p = 0; p < pairs; ++p) {
          const std::uint32_t address = FBaseOfCode + platform::LoadLe32(&b[segmentBlock + 4 + 4 * p]);
          const std::uint16_t line = platform::LoadLe16(&b[segmentBlock + 4 + 4 * pairs + 2 * p]);
          AddLine(line, address, false);
          if (!first) first = address;
          last = address;
        }
        if (!fileName.empty() && first) AddSegment(true, false, *first, fileName, last - *first + 1, SegmentAdd::merging);
      }
    }
  }
  SortSegments();
  CompactSegments(false);

  std::vector<Subsection> symbols = Subsections(data, 0x129);
  const std::size_t recordsFrom = symbols.empty() ? 4 : 32;
  if (symbols.empty()) symbols = Subsections(data, 0x125);
  for (const Subsection& s : symbols) {
    for (std::size_t at = recordsFrom; at + 4 <= s.bytes.size();) {
      const std::uint16_t length = platform::LoadLe16(&s.bytes[at]);
      if (length == 0 || s.bytes.size() - at - 2 < length) break;
      const std::uint16_t kind = platform::LoadLe16(&s.bytes[at + 2]);
      const std::uint8_t* r = &s.bytes[at];
      std::optional<bool> code;
      std::uint32_t nameNumber = 0, address = 0;
      if ((kind == 0x204 || kind == 0x205) && length >= 44) {
        code = true, nameNumber = platform::LoadLe32(r + 40), address = platform::LoadLe32(r + 28);
      } else if ((kind == 0x201 || kind == 0x202) && length >= 20) {
        code = false, nameNumber = platform::LoadLe32(r + 16), address = platform::LoadLe32(r + 4);
      } else if (kind == 0x20 && length > 25) {
        code = true, nameNumber = platform::LoadLe32(r + 12), address = platform::LoadLe32(r + 20);
      } else if (kind == 0x21 && length > 23) {
        code = false, nameNumber = platform::LoadLe32(r + 12), address = platform::LoadLe32(r + 20);
      }
      if (code && nameNumber != 0) {
        const std::string name = nameOf(nameNumber);
        if (!name.empty()) AddPublic(*code, name, address, true);
      }
      at += 2u + length;
    }
  }
  SortPublics();
  CompactSegments(true);
  return true;
}
