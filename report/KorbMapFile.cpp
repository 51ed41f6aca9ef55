#include "report/KorbMapFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>

#include "platform/Bytes.h"
#include "platform/Text.h"
#include "report/KestrumBlowfish.h"
#include "report/KorbCodecs.h"
#include "report/KorbDemangle.h"

// ---------------------------------------------------------------------------------------------
// The container's header and the image's layout

namespace report {

std::string MinDebugInfoIdentifier(std::uint32_t totalLength, std::uint32_t dateTime, std::uint32_t crcCopy) {
  char text[40];
  std::snprintf(text, sizeof text, "$%08x, $%08x, $%08x", totalLength, dateTime, crcCopy);
  return text;
}

std::optional<ContainerHeader> ParseContainerHeader(std::string_view data) {
  const std::size_t n = kDebugInfoSignature.size();
  if (data.size() <= n + 8 || data.substr(0, n) != kDebugInfoSignature) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  ContainerHeader header;
  header.payloadLength = platform::LoadLe32(bytes + n);
  header.version = platform::LoadLe32(bytes + n + 4);
  if (header.version == 2) {
    header.payloadOffset = n + 8;
  } else if (header.version == 3) {
    // The version 3 fields must be there: a header cut inside them is no container.
    if (data.size() < n + 20) return std::nullopt;
    header.dateTime = platform::LoadLe32(bytes + n + 8);
    header.crcCopy = platform::LoadLe32(bytes + n + 12);
    header.flags = platform::LoadLe32(bytes + n + 16);
    header.payloadOffset = n + 20;
  } else {
    return std::nullopt;
  }
  return header;
}

std::uint32_t DosDateTimeNowUtc() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  const std::uint32_t date = static_cast<std::uint32_t>((utc.tm_year - 80) << 9 | (utc.tm_mon + 1) << 5 | utc.tm_mday);
  const std::uint32_t time = static_cast<std::uint32_t>(utc.tm_hour << 11 | utc.tm_min << 5 | utc.tm_sec / 2);
  return (date & 0xFFFF) | time << 16;
}

std::optional<ImageLayout> ReadImageLayout(std::span<const std::uint8_t> image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  const std::uint32_t nt = platform::LoadLe32(&image[0x3C]);
  if (nt > image.size() || image.size() - nt < 24 + 96) return std::nullopt;
  const std::uint8_t* h = &image[nt];
  if (platform::LoadLe32(h) != 0x00004550) return std::nullopt;
  const std::uint16_t sections = platform::LoadLe16(h + 6);
  const std::uint16_t optionalSize = platform::LoadLe16(h + 20);
  const std::uint8_t* o = h + 24;
  if (platform::LoadLe16(o) != 0x10B || optionalSize < 96) return std::nullopt;
  const std::size_t sectionTable = nt + 24 + static_cast<std::size_t>(optionalSize);
  if (sectionTable > image.size() || (image.size() - sectionTable) / 40 < sections) return std::nullopt;
  ImageLayout layout;
  layout.entryPoint = platform::LoadLe32(o + 16);
  layout.imageBase = platform::LoadLe32(o + 28);
  layout.sizeOfImage = platform::LoadLe32(o + 56);
  layout.baseOfData = platform::LoadLe32(o + 24);
  layout.topOfData = layout.baseOfData + platform::LoadLe32(o + 8) + platform::LoadLe32(o + 12);
  const std::uint32_t directories = platform::LoadLe32(o + 92);
  if (directories > 6 && optionalSize >= 96 + 7 * 8) {
    layout.debugDirectory = platform::LoadLe32(o + 96 + 6 * 8);
    layout.debugDirectorySize = platform::LoadLe32(o + 96 + 6 * 8 + 4);
  }
  constexpr std::uint32_t kCode = 0x20;
  const std::uint8_t* first = &image[sectionTable];
  if (sections >= 1 && (platform::LoadLe32(first + 36) & kCode)) {
    layout.baseOfCode = platform::LoadLe32(first + 12);
    layout.topOfCode = layout.baseOfCode + platform::LoadLe32(first + 8);
    if (sections >= 2 && (platform::LoadLe32(first + 40 + 36) & kCode)) {
      layout.topOfCode = platform::LoadLe32(first + 40 + 12) + platform::LoadLe32(first + 40 + 8);
      layout.twoCodeSections = true;
    }
  } else {
    layout.baseOfCode = platform::LoadLe32(o + 20);
    layout.topOfCode = layout.baseOfCode + platform::LoadLe32(o + 4);
  }
  return layout;
}

}  // namespace report

// ---------------------------------------------------------------------------------------------
// TMapFile: construction and loading

namespace {

constexpr char kMinDebugInfoProperty[] =
    "\x0C"
    "MinDebugInfo"
    "\x0C\x1F\x00\x00\x00";

// Arrays grow as the stored form's readers expect: small ones to 16, larger ones by half.
template <class T>
void Grow(std::vector<T>& items) {
  if (items.size() < items.capacity()) return;
  const std::size_t capacity = items.capacity();
  items.reserve(capacity <= 7 ? 16 : capacity + items.size() / 2);
}

bool SegmentBefore(const TMfSegment& a, const TMfSegment& b) {
  if (a.Code != b.Code) return a.Code;
  if (a.StartAddress != b.StartAddress) return a.StartAddress < b.StartAddress;
  return a.Length > b.Length;
}

}  // namespace

TMapFile::TMapFile() = default;

std::unique_ptr<TMapFile> TMapFile::ForBuilding(bool codeOnly) {
  auto map = std::make_unique<TMapFile>();
  map->FCodeOnly = codeOnly;
  map->FValid = true;
  return map;
}

TMapFile::TMapFile(bool valid, const std::string& moduleFileName, std::uint32_t hInstance, bool codeOnly, bool onlyAcceptKorbFile,
                   report::DebugInfoSource& source) {
  if (!valid) return;
  FCodeOnly = codeOnly;
  FMapFileName = moduleFileName;
  FHInstance = hInstance;
  source_ = &source;
  bool found = false;
  layout_ = hInstance ? report::ReadImageLayout(source.Image()) : std::nullopt;
  if (layout_) {
    FBaseOfCode = hInstance + layout_->baseOfCode;
    FTopOfCode = hInstance + layout_->topOfCode;
    FBaseOfData = hInstance + layout_->baseOfData;
    FTopOfData = hInstance + layout_->topOfData;
    FModuleFileName = moduleFileName;
    found = LoadDebugInfoResource() || (!onlyAcceptKorbFile && ReadTd32()) || FindDebugFile(onlyAcceptKorbFile);
  } else {
    found = (!onlyAcceptKorbFile && ReadTd32()) || FindDebugFile(onlyAcceptKorbFile);
  }
  FValid = found;
  SortLines();
  source_ = nullptr;
}

bool TMapFile::LoadDebugInfoResource() {
  std::string data;
  if (!source_->ReadResource(report::DebugInfoSource::Resource::debugInfo, data)) return false;
  return LoadDebugInfoStream(data);
}

std::string TMapFile::SiblingBase() const {
  const std::size_t dot = FMapFileName.rfind('.');
  return dot == std::string::npos ? FMapFileName : FMapFileName.substr(0, dot);
}

bool TMapFile::FindDebugFile(bool onlyAcceptKorbFile) {
  if (!source_) return false;
  const std::string base = SiblingBase();
  std::string data;
  if (!onlyAcceptKorbFile && source_->ReadFile(base + ".map", data) && !data.empty()) {
    ParseMapText(data);
    return true;
  }
  if (source_->ReadFile(base + ".korb", data) && LoadDebugInfoStream(data)) return true;
  return !onlyAcceptKorbFile && ReadJclDebugFile(base + ".jdbg");
}

bool TMapFile::LoadDebugInfoStream(std::string_view data) {
  const auto header = report::ParseContainerHeader(data);
  if (!header) return false;
  const std::size_t n = report::kDebugInfoSignature.size();
  if (!FMinDebugInfo.empty()) {
    if (data.size() < n + 16) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    const std::string own = report::MinDebugInfoIdentifier(static_cast<std::uint32_t>(data.size()), platform::LoadLe32(bytes + n + 8),
                                                           platform::LoadLe32(bytes + n + 12));
    if (own != FMinDebugInfo) return false;
  }
  bool minimal = false;
  if (header->flags & 1) {
    minimal = true;
    // A ".korb" file that is itself minimal is read as it is: looking for yet another file from
    // it would go round in circles.
    std::string settings;
    if (FMinDebugInfo.empty() && source_ && source_->ReadResource(report::DebugInfoSource::Resource::settings, settings)) {
      const std::string_view property(kMinDebugInfoProperty, sizeof kMinDebugInfoProperty - 1);
      const std::size_t at = settings.find(property);
      if (at != std::string::npos && settings.size() - at - property.size() >= report::kMinDebugInfoLength) {
        FMinDebugInfo = settings.substr(at + property.size(), report::kMinDebugInfoLength);
        if (FindDebugFile(true)) return true;
      }
    }
  } else {
    FMinDebugInfo.clear();
  }
  // A payload that claims more bytes than the container has is damage: a valid, empty object.
  if (header->payloadLength <= data.size() - header->payloadOffset) {
    std::string payload(data.substr(header->payloadOffset, header->payloadLength));
    const std::string key = report::MakeDebugInfoKey(header->payloadLength);
    report::Blowfish(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()))
        .Decipher(std::span(reinterpret_cast<std::uint8_t*>(payload.data()), payload.size()));
    const std::string stream = report::DecompressBlock(payload);
    if (!stream.empty()) ReadStream(stream, minimal);
  }
  return true;
}

void TMapFile::ReadStream(std::string_view data, bool minimal) {
  minimalInfo_ = minimal;
  FSItems.clear();
  FPItems.clear();
  FLItems.clear();
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - TMiniStream::kCapacityStep)) return;
  TMiniStream stream;
  if (!stream.SetSize(static_cast<std::int32_t>(data.size()))) return;
  stream.Write(data.data(), static_cast<std::int32_t>(data.size()));
  stream.SetPosition(0);
  // A count is believed only as far as the bytes left can hold that many items.
  const auto bounded = [&stream](std::int32_t count, std::int32_t smallestItem) {
    return std::clamp(count, 0, stream.Remaining() / smallestItem);
  };

  std::int32_t count = 0;
  ReadLe32(stream, count);
  count = bounded(count, 9);
  for (std::int32_t i = 0; i < count && stream.Remaining() > 0; ++i) {
    TMfSegment segment;
    segment.IsValid = segment.Code = true;
    ReadLe32(stream, segment.StartAddress);
    ReadLe32(stream, segment.Length);
    segment.StartAddress += FBaseOfCode;
    if (minimal) {
      std::uint8_t flag = 0;
      stream.Read(&flag, 1);
      segment.LineNumbers = flag != 0;
      segment.Unit_ = "segment%" + std::to_string(i);
    } else {
      ReadCompactString(stream, segment.Unit_);
    }
    Grow(FSItems);
    FSItems.push_back(std::move(segment));
  }

  count = 0;
  ReadLe32(stream, count);
  count = bounded(count, minimal ? 1 : 2);
  std::uint32_t address = 0;
  for (std::int32_t i = 0; i < count && stream.Remaining() > 0; ++i) {
    TMfPublic item;
    item.IsValid = item.Code = true;
    if (minimal)
      item.Name = "public%" + std::to_string(i);
    else
      ReadCompactString(stream, item.Name);
    if (i == 0) {
      ReadLe32(stream, address);
    } else {
      std::int32_t delta = 0;
      ReadCompactInt(stream, delta);
      address += static_cast<std::uint32_t>(delta);
    }
    item.Address = address + FBaseOfCode;
    Grow(FPItems);
    FPItems.push_back(std::move(item));
  }

  count = 0;
  ReadLe32(stream, count);
  count = bounded(count, 2);
  std::int32_t line = 0;
  address = 0;
  for (std::int32_t i = 0; i < count && stream.Remaining() > 0; ++i) {
    if (i == 0) {
      ReadLe32(stream, line);
      ReadLe32(stream, address);
    } else {
      std::int32_t lineDelta = 0, addressDelta = 0;
      ReadCompactInt(stream, lineDelta);
      ReadCompactInt(stream, addressDelta);
      line = static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(lineDelta));
      address += static_cast<std::uint32_t>(addressDelta);
    }
    Grow(FLItems);
    FLItems.push_back({line, address + FBaseOfCode});
  }

  if (stream.Remaining() == 4) {
    std::uint32_t entry = 0;
    ReadLe32(stream, entry);
    FEntryPoint = entry + FBaseOfCode;
  }
  // A damaged or hand-made stream may be out of order; the lookups search binary.
  SortSegments();
  SortPublics();
}

// ---------------------------------------------------------------------------------------------
// TMapFile: lookups

TMfSegment TMapFile::FindSegment(bool code, std::uint32_t address) const {
  const TMfSegment* found = FValid ? LocateSegment(code, address) : nullptr;
  return found ? *found : TMfSegment();
}

const TMfSegment* TMapFile::LocateSegment(bool code, std::uint32_t address) const {
  // The last segment that comes before (kind, address) in the table order.
  const auto after =
      std::upper_bound(FSItems.begin(), FSItems.end(), std::make_pair(code, address), [](const auto& key, const TMfSegment& s) {
        if (key.first != s.Code) return key.first;
        return key.second < s.StartAddress;
      });
  for (auto it = after; it != FSItems.begin();) {
    --it;
    if (it->Code != code) break;
    if (address - it->StartAddress < it->Length) return &*it;
    // Equal starts keep the longer one first; anything earlier cannot reach further.
    if (it->StartAddress != after[-1].StartAddress) break;
  }
  return nullptr;
}

TMfSegment TMapFile::FindSegment(int index) const {
  if (index < 0 || index >= SegmentCount()) return {};
  return FSItems[static_cast<std::size_t>(index)];
}

TMfPublic TMapFile::FindPublic(std::uint32_t address) const {
  if (!FValid || FPItems.empty()) return {};
  const auto after =
      std::upper_bound(FPItems.begin(), FPItems.end(), address, [](std::uint32_t a, const TMfPublic& p) { return a < p.Address; });
  if (after == FPItems.begin()) return {};
  const TMfPublic& p = after[-1];
  if (after == FPItems.end() && FTopOfCode != 0 && address >= FTopOfCode) return {};
  return p;
}

std::uint32_t TMapFile::FindPublic(bool code, const std::string& unit_, const std::string& name, bool caseSensitive) const {
  if (!FValid) return 0;
  const auto search = [&](std::string_view unit) {
    std::uint32_t result = 0;
    for (const TMfSegment& s : FSItems) {
      if (s.Code != code || !platform::EqualNoCase(s.Unit_, unit)) continue;
      for (const TMfPublic& p : FPItems) {
        if (p.Code != code || p.Address < s.StartAddress || p.Address - s.StartAddress > s.Length) continue;
        if (caseSensitive ? p.Name == name : platform::EqualNoCase(p.Name, name)) {
          result = p.Address;
          break;
        }
      }
    }
    return result;
  };
  std::uint32_t result = search(unit_);
  if (result == 0 && unit_.find('.') == std::string::npos) {
    for (const char* ending : {".cpp", ".h", ".c"}) {
      result = search(unit_ + ending);
      if (result) break;
    }
  }
  return result;
}

TMfPublic TMapFile::FindPublic(int index) const {
  if (index < 0 || index >= PublicCount()) return {};
  return FPItems[static_cast<std::size_t>(index)];
}

std::int32_t TMapFile::FindLine(std::uint32_t address) const {
  std::uint32_t next = 0;
  return FindLine(address, next);
}

std::int32_t TMapFile::FindLine(std::uint32_t address, std::uint32_t& next) const {
  if (!FValid) return 0;
  if (FLItems.empty()) {
    const TMfSegment* segment = LocateSegment(true, address);
    return segment && segment->LineNumbers ? -1 : 0;
  }
  next = address + 1;
  // A table of one entry finds nothing: one line says nothing about where it ends.
  if (FLItems.size() < 2) return 0;
  const auto after =
      std::upper_bound(FLItems.begin(), FLItems.end(), address, [](std::uint32_t a, const TMfLine& l) { return a < l.Address; });
  if (after == FLItems.begin()) return 0;
  if (after == FLItems.end() && FTopOfCode != 0 && address >= FTopOfCode) return 0;
  const TMfLine& e = after[-1];
  const TMfSegment* segment = LocateSegment(true, address);
  if (!segment || e.Address < segment->StartAddress || e.Address - segment->StartAddress > segment->Length) return 0;
  if (after != FLItems.end()) next = after->Address;
  return e.Line;
}

// ---------------------------------------------------------------------------------------------
// TMapFile: export

std::string TMapFile::Export(bool newFormat, bool minDebugInfoOnly, bool hideUglyItems) const {
  return Export(newFormat, minDebugInfoOnly, hideUglyItems, report::DosDateTimeNowUtc());
}

std::string TMapFile::Export(bool newFormat, bool minDebugInfoOnly, bool hideUglyItems, std::uint32_t dosDateTime) const {
  if (!FValid) return {};
  TMiniStream stream;
  WriteLe32(stream, static_cast<std::uint32_t>(std::count_if(FSItems.begin(), FSItems.end(), [](const auto& s) { return s.Code; })));
  for (const TMfSegment& s : FSItems) {
    if (!s.Code) continue;
    WriteLe32(stream, s.StartAddress);
    WriteLe32(stream, s.Length);
    if (minDebugInfoOnly) {
      const std::uint8_t flag = s.LineNumbers || FindLine(s.StartAddress + s.Length - 1) > 0;
      stream.Write(&flag, 1);
    } else {
      WriteCompactString(stream, s.Unit_);
    }
  }
  WriteLe32(stream, static_cast<std::uint32_t>(std::count_if(FPItems.begin(), FPItems.end(), [](const auto& p) { return p.Code; })));
  bool first = true;
  std::uint32_t previous = 0;
  for (const TMfPublic& p : FPItems) {
    if (!p.Code) continue;
    if (!minDebugInfoOnly) WriteCompactString(stream, hideUglyItems && FindLine(p.Address) == 0 ? std::string_view() : p.Name);
    if (first)
      WriteLe32(stream, p.Address);
    else
      WriteCompactInt(stream, static_cast<std::int32_t>(p.Address - previous));
    first = false;
    previous = p.Address;
  }
  if (minDebugInfoOnly) {
    WriteLe32(stream, 0);
  } else {
    WriteLe32(stream, static_cast<std::uint32_t>(FLItems.size()));
    for (std::size_t i = 0; i < FLItems.size(); ++i) {
      if (i == 0) {
        WriteLe32(stream, static_cast<std::uint32_t>(FLItems[0].Line));
        WriteLe32(stream, FLItems[0].Address);
      } else {
        WriteCompactInt(stream, static_cast<std::int32_t>(static_cast<std::uint32_t>(FLItems[i].Line) -
                                                          static_cast<std::uint32_t>(FLItems[i - 1].Line)));
        WriteCompactInt(stream, static_cast<std::int32_t>(FLItems[i].Address - FLItems[i - 1].Address));
      }
    }
  }
  WriteLe32(stream, FEntryPoint);

  std::string block =
      report::CompressBlock(std::string_view(reinterpret_cast<const char*>(stream.Memory()), static_cast<std::size_t>(stream.Size())));
  if (block.empty()) return {};
  const std::uint32_t crcCopy = platform::LoadLe32(reinterpret_cast<const std::uint8_t*>(block.data()) + 8);
  const std::uint32_t payloadLength = static_cast<std::uint32_t>(block.size());
  const std::string key = report::MakeDebugInfoKey(payloadLength);
  report::Blowfish(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()))
      .Encipher(std::span(reinterpret_cast<std::uint8_t*>(block.data()), block.size()));

  std::string out(report::kDebugInfoSignature);
  const auto put32 = [&out](std::uint32_t v) {
    std::uint8_t bytes[4];
    platform::StoreLe32(bytes, v);
    out.append(reinterpret_cast<const char*>(bytes), 4);
  };
  put32(payloadLength);
  put32(newFormat ? 3 : 2);
  if (newFormat) {
    put32(dosDateTime);
    put32(crcCopy);
    put32(minDebugInfoOnly ? 1 : 0);
  }
  out += block;
  out.resize((out.size() + 3) / 4 * 4, '\0');
  return out;
}

// ---------------------------------------------------------------------------------------------
// TMapFile: table building

void TMapFile::AddSegment(bool code, bool relative, std::uint32_t address, std::string unit, std::uint32_t length, SegmentAdd how) {
  if (!code && FCodeOnly) return;
  for (std::string_view ending : {".dpr", ".pas"}) {
    if (unit.size() >= ending.size() && platform::EqualNoCase(std::string_view(unit).substr(unit.size() - ending.size()), ending)) {
      unit.resize(unit.size() - ending.size());
      break;
    }
  }
  if (relative) address += code ? FBaseOfCode : FBaseOfData;
  int& last = lastSegment_[code ? 1 : 0];
  if (how != SegmentAdd::plain && last >= 0) {
    TMfSegment& previous = FSItems[static_cast<std::size_t>(last)];
    if (previous.Unit_ == unit && address >= previous.StartAddress &&
        static_cast<std::uint64_t>(address) <= static_cast<std::uint64_t>(previous.StartAddress) + previous.Length + 2) {
      previous.Length = address + length - previous.StartAddress;
      return;
    }
  }
  TMfSegment segment;
  segment.IsValid = true;
  segment.Code = code;
  segment.StartAddress = address;
  segment.Length = length;
  segment.Unit_ = std::move(unit);
  Grow(FSItems);
  if (how == SegmentAdd::mergingSorted) {
    const auto at = std::upper_bound(FSItems.begin(), FSItems.end(), segment, SegmentBefore);
    const int index = static_cast<int>(at - FSItems.begin());
    FSItems.insert(at, std::move(segment));
    // The other kind's remembered segment moves up with everything behind the new one.
    int& other = lastSegment_[code ? 0 : 1];
    if (other >= index) ++other;
    last = index;
  } else {
    FSItems.push_back(std::move(segment));
    if (how == SegmentAdd::merging) last = static_cast<int>(FSItems.size()) - 1;
  }
}

void TMapFile::AddPublic(bool code, std::string name, std::uint32_t address, bool segmentKeeping) {
  if (!code && FCodeOnly) return;
  if (name.size() >= 6 && name.compare(0, 3, "@$x") == 0 && name[4] == '$') return;
  std::string unit;
  Demangle(name, unit);
  address += code ? FBaseOfCode : FBaseOfData;
  const TMfSegment* segment = LocateSegment(code, address);
  const bool contained = segment != nullptr;
  if (segment) {
    if (name == segment->Unit_) name = "initialization";
    if (!unit.empty() && !platform::EqualNoCase(unit, segment->Unit_)) name = unit + "." + name;
  }
  TMfPublic item;
  item.IsValid = true;
  item.Code = code;
  item.Name = std::move(name);
  item.Address = address;
  Grow(FPItems);
  FPItems.push_back(std::move(item));
  if (!segmentKeeping) return;

  const int last = lastSegment_[code ? 1 : 0];
  if (last >= 0) {
    TMfSegment& kept = FSItems[static_cast<std::size_t>(last)];
    if (address == kept.StartAddress) return;
    if (address >= kept.StartAddress && address - kept.StartAddress >= kept.Length) {
      std::uint32_t end = address + 1;
      const std::size_t next = static_cast<std::size_t>(last) + 1;
      if (next < FSItems.size() && FSItems[next].Code == code && FSItems[next].StartAddress < address) end = FSItems[next].StartAddress;
      if (end > kept.StartAddress) kept.Length = end - kept.StartAddress;
    }
  }
  if (!contained && (last < 0 || !platform::EqualNoCase(unit, FSItems[static_cast<std::size_t>(last)].Unit_)))
    AddSegment(code, false, address, unit, 1, SegmentAdd::mergingSorted);
}

void TMapFile::AddPublicAsIs(bool code, std::string name, std::uint32_t address) {
  if (!code && FCodeOnly) return;
  TMfPublic item;
  item.IsValid = true;
  item.Code = code;
  item.Name = std::move(name);
  item.Address = address + (code ? FBaseOfCode : FBaseOfData);
  Grow(FPItems);
  FPItems.push_back(std::move(item));
}

void TMapFile::AddLine(std::int32_t line, std::uint32_t address, bool checked) {
  if (checked && !FLItems.empty() && address <= FLItems.back().Address) return;
  Grow(FLItems);
  FLItems.push_back({line, address});
}

void TMapFile::SortSegments() {
  std::stable_sort(FSItems.begin(), FSItems.end(), SegmentBefore);
  lastSegment_[0] = lastSegment_[1] = -1;
}

void TMapFile::SortPublics() {
  std::stable_sort(FPItems.begin(), FPItems.end(), [](const TMfPublic& a, const TMfPublic& b) { return a.Address < b.Address; });
}

void TMapFile::SortLines() {
  std::stable_sort(FLItems.begin(), FLItems.end(), [](const TMfLine& a, const TMfLine& b) { return a.Address < b.Address; });
}

void TMapFile::CompactSegments(bool closing) {
  std::size_t i = 0;
  while (i + 1 < FSItems.size()) {
    TMfSegment& s = FSItems[i];
    const TMfSegment& next = FSItems[i + 1];
    if (s.Length == 0 || s.StartAddress == next.StartAddress) {
      FSItems.erase(FSItems.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (next.Code == s.Code && (closing || static_cast<std::uint64_t>(s.StartAddress) + s.Length >= next.StartAddress)) {
      s.Length = next.StartAddress - s.StartAddress;
      if (platform::EqualNoCase(s.Unit_, next.Unit_)) {
        s.Length += next.Length;
        FSItems.erase(FSItems.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        continue;
      }
    }
    ++i;
  }
  lastSegment_[0] = lastSegment_[1] = -1;
}

bool TMapFile::SegmentUnitIs(bool code, std::uint32_t address, std::string_view name, std::size_t& unitLength) const {
  const TMfSegment* segment = LocateSegment(code, address);
  if (!segment || segment->Unit_.empty() || !platform::StartsWithNoCase(name, segment->Unit_)) return false;
  unitLength = segment->Unit_.size();
  return true;
}
