// A small generator of the three fallback debug-file formats (linker map text, JCL binary debug
// file, TD32 data), written from the formats' descriptions and independent of the readers: no
// producer of these formats exists on this machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace report::testing {

inline void PutLe16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

inline void PutLe32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

inline void SetLe32(std::string& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}

inline std::string Format(const char* format, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// ---------------------------------------------------------------------------------------------
// Linker map text, CR LF lines, with the fixed columns of the format.
struct MapText {
  std::string text;

  MapText& Line(const std::string& line) {
    text += line + "\r\n";
    return *this;
  }
  MapText& Blank() { return Line(""); }
  MapText& SegmentListHeader() { return Line(" Start         Length     Name                   Class"); }
  MapText& SegmentListEntry(int segment, std::uint32_t start, std::uint32_t length, const char* name, const char* kind) {
    return Line(Format(" %04X:%08X %08XH %-23s %s", segment, start, length, name, kind));
  }
  MapText& DetailedHeader() { return Line("Detailed map of segments").Blank(); }
  MapText& Detailed(int segment, std::uint32_t offset, std::uint32_t length, const char* unit) {
    return Line(Format(" %04X:%08X %08X C=CODE     S=.text    G=(none)   M=%-20s ACBP=A9", segment, offset, length, unit));
  }
  MapText& PublicsHeader() { return Line("  Address             Publics by Value").Blank(); }
  MapText& Public(int segment, std::uint32_t offset, const std::string& name) {
    return Line(Format(" %04X:%08X       %s", segment, offset, name.c_str()));
  }
  MapText& LinesHeader(const char* unit) { return Line(Format("Line numbers for %s(%s.pas) segment .text", unit, unit)).Blank(); }
  // One text line of (line, segment, offset) pairs.
  MapText& LinePairs(const std::vector<std::tuple<int, int, std::uint32_t>>& pairs) {
    std::string line;
    for (const auto& [number, segment, offset] : pairs) line += Format("%6d %04X:%08X", number, segment, offset);
    return Line(line);
  }
  MapText& EntryPoint(const std::string& address) { return Line("Program entry point at " + address); }
};

// ---------------------------------------------------------------------------------------------
// JCL binary debug file.
struct JclFile {
  enum class NameForm { packed, xored };
  struct Symbol {
    std::uint32_t address;
    std::string first, second;
  };
  std::vector<std::pair<std::uint32_t, std::string>> sources;  // (address, file name)
  std::vector<Symbol> symbols;
  std::vector<std::pair<std::uint32_t, std::int32_t>> lines;  // (address, line)
  NameForm form = NameForm::packed;
  bool withChecksum = true;

  std::string Build() const {
    std::string file(36, '\0');
    file.replace(0, 4, "JDBG");
    file[4] = 1;
    std::string names;
    const auto nameOffset = [&](const std::string& name) -> std::uint32_t {
      if (name.empty()) return 0;
      const std::uint32_t k = static_cast<std::uint32_t>(names.size()) + 1;
      // Packed text holds letters, digits and "_" only; other names are always written XOR-ed.
      const bool packable =
          name.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_", name[0] == '@') == std::string::npos;
      if (form == NameForm::xored || !packable) {
        names += '\x01';
        for (const char c : name) names += static_cast<char>(static_cast<unsigned char>(c) == 0xAA ? 0xAA : c ^ 0xAA);
        names += '\0';
      } else {
        std::string text = name;
        if (text[0] == '@') {
          names += '\x02';
          text.erase(0, 1);
        }
        std::vector<std::uint8_t> codes;
        for (const char c : text) codes.push_back(Code(c));
        codes.push_back(0);
        while (codes.size() % 4) codes.push_back(0);
        for (std::size_t i = 0; i < codes.size(); i += 4) {
          names += static_cast<char>(codes[i] | codes[i + 1] << 6);
          names += static_cast<char>(codes[i + 1] >> 2 | codes[i + 2] << 4);
          names += static_cast<char>(codes[i + 2] >> 4 | codes[i + 3] << 2);
        }
      }
      return k;
    };
    std::string sourceSection, symbolSection, lineSection;
    std::uint32_t previous[3] = {};
    for (const auto& [address, name] : sources) Differences(sourceSection, previous, {address, nameOffset(name)});
    EndSection(sourceSection);
    std::fill(std::begin(previous), std::end(previous), 0);
    for (const Symbol& s : symbols) Differences(symbolSection, previous, {s.address, nameOffset(s.first), nameOffset(s.second)});
    EndSection(symbolSection);
    std::fill(std::begin(previous), std::end(previous), 0);
    for (const auto& [address, line] : lines) Differences(lineSection, previous, {address, static_cast<std::uint32_t>(line)});
    EndSection(lineSection);

    SetLe32(file, 9, static_cast<std::uint32_t>(file.size()));
    file += sourceSection;
    SetLe32(file, 13, static_cast<std::uint32_t>(file.size()));
    file += symbolSection;
    SetLe32(file, 17, static_cast<std::uint32_t>(file.size()));
    file += lineSection;
    SetLe32(file, 21, static_cast<std::uint32_t>(file.size()));
    file += names;
    file.resize((file.size() + 3) / 4 * 4, '\0');
    if (withChecksum) {
      // With the field at 0, the word sum itself satisfies "sum - field, rotated right by 8 = field".
      file[33] = 1;
      std::uint32_t sum = 0;
      for (std::size_t at = 0; at < file.size(); at += 4)
        sum += static_cast<std::uint32_t>(static_cast<unsigned char>(file[at])) | static_cast<unsigned char>(file[at + 1]) << 8 |
               static_cast<unsigned char>(file[at + 2]) << 16 | static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 3])) << 24;
      SetLe32(file, 29, sum);
    }
    return file;
  }

 private:
  static std::uint8_t Code(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(1 + c - '0');
    if (c >= 'A' && c <= 'Z') return static_cast<std::uint8_t>(11 + c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(37 + c - 'a');
    return 63;
  }
  static void VarUint(std::string& out, std::uint32_t v) {
    do {
      const std::uint8_t low = v & 0x7F;
      v >>= 7;
      out += static_cast<char>(v ? low | 0x80 : low);
    } while (v);
  }
  static void Differences(std::string& out, std::uint32_t* previous, std::initializer_list<std::uint32_t> values) {
    std::size_t i = 0;
    for (const std::uint32_t v : values) {
      VarUint(out, v - previous[i]);
      previous[i++] = v;
    }
  }
  static void EndSection(std::string& out) { VarUint(out, 0x7FFFFFFF); }
};

// ---------------------------------------------------------------------------------------------
// TD32 data: one directory, a names subsection, module and source-module subsections per unit and
// one global-symbols subsection.
struct Td32File {
  struct Unit {
    std::string name;                                                               // may carry a path
    std::vector<std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>> segments;  // (segment, offset, length)
    std::string sourceFile;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> lines;  // (offset, line) in segment 1
  };
  struct Symbol {
    std::uint16_t kind;  // 0x205 code, 0x202 data
    std::uint32_t address;
    std::string name;
  };
  std::vector<Unit> units;
  std::vector<Symbol> symbols;
  std::string signature = "FB09";

  std::string Build() const {
    std::vector<std::string> names;
    const auto number = [&names](const std::string& name) {
      names.push_back(name);
      return static_cast<std::uint32_t>(names.size());
    };
    std::vector<std::pair<std::uint16_t, std::string>> subsections;
    for (const Unit& u : units) {
      std::string module(28, '\0');
      SetLe16(module, 4, static_cast<std::uint16_t>(u.segments.size()));
      SetLe32(module, 8, number(u.name));
      for (const auto& [segment, offset, length] : u.segments) {
        PutLe16(module, 0);
        PutLe16(module, segment);
        PutLe32(module, offset);
        PutLe32(module, length);
      }
      subsections.emplace_back(0x120, module);
      if (!u.lines.empty()) {
        // One file block with one segment block.
        std::string source;
        PutLe16(source, 1);
        PutLe16(source, 0);
        PutLe32(source, 8);  // the file block
        PutLe16(source, 1);
        PutLe32(source, number(u.sourceFile));
        PutLe32(source, 8 + 10);  // the segment block
        PutLe16(source, 1);
        PutLe16(source, static_cast<std::uint16_t>(u.lines.size()));
        for (const auto& line : u.lines) PutLe32(source, line.first);
        for (const auto& line : u.lines) PutLe16(source, line.second);
        subsections.emplace_back(0x127, source);
      }
    }
    std::string globals(32, '\0');
    for (const Symbol& s : symbols) {
      std::string record;
      if (s.kind == 0x205 || s.kind == 0x204) {
        record.assign(46, '\0');
        SetLe16(record, 0, 44);
        SetLe16(record, 2, s.kind);
        SetLe32(record, 28, s.address);
        SetLe32(record, 40, number(s.name));
      } else {
        record.assign(22, '\0');
        SetLe16(record, 0, 20);
        SetLe16(record, 2, s.kind);
        SetLe32(record, 4, s.address);
        SetLe32(record, 16, number(s.name));
      }
      globals += record;
    }
    subsections.emplace_back(0x129, globals);
    std::string nameTable;
    PutLe32(nameTable, static_cast<std::uint32_t>(names.size()));
    for (const std::string& n : names) {
      nameTable += static_cast<char>(n.size());
      nameTable += n;
      nameTable += '\0';
    }
    subsections.emplace_back(0x130, nameTable);

    std::string data = signature;
    PutLe32(data, 0);  // the directory's offset, set below
    std::vector<std::pair<std::uint32_t, std::uint32_t>> placed;
    for (const auto& s : subsections) {
      placed.emplace_back(static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(s.second.size()));
      data += s.second;
    }
    SetLe32(data, 4, static_cast<std::uint32_t>(data.size()));
    PutLe16(data, 16);
    PutLe16(data, 12);
    PutLe32(data, static_cast<std::uint32_t>(subsections.size()));
    PutLe32(data, 0);  // no next directory
    PutLe32(data, 0);
    for (std::size_t i = 0; i < subsections.size(); ++i) {
      PutLe16(data, subsections[i].first);
      PutLe16(data, 0);
      PutLe32(data, placed[i].first);
      PutLe32(data, placed[i].second);
    }
    return data;
  }

  static void SetLe16(std::string& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
  }
};

}  // namespace report::testing
