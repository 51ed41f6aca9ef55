#include "report/KestrumMiniDumpRedact.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "platform/Bytes.h"
#include "report/KestrumMiniDump.h"

namespace report {

using platform::LoadLe32;
using platform::LoadLe64;
using platform::StoreLe32;

namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint16_t kVersion = 0xA793;
constexpr std::uint32_t kThreadListStream = 3, kModuleListStream = 4, kMemoryListStream = 5, kSystemInfoStream = 7, kMemory64ListStream = 9,
                        kThreadNamesStream = 24;
constexpr std::uint64_t kThreadSize = 48, kModuleSize = 108, kMemoryDescriptorSize = 16, kThreadNameSize = 12;
// A match may run on into the ranges that follow in the address space, this many at most.
constexpr std::size_t kMaxJoined = 8;

// Case folding of code page 1252 and of UTF-16 within the characters that page has: ASCII, the
// Latin-1 letters and the four pairs among 0x80..0x9F.
std::uint8_t FoldAnsi(std::uint8_t b) {
  if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) return static_cast<std::uint8_t>(b + 32);
  if (b == 0x8A || b == 0x8C || b == 0x8E) return static_cast<std::uint8_t>(b + 16);
  return b == 0x9F ? 0xFF : b;
}

std::uint16_t FoldWide(std::uint16_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<std::uint16_t>(c + 32);
  if (c == 0x160 || c == 0x152 || c == 0x17D) return static_cast<std::uint16_t>(c + 1);
  return c == 0x178 ? 0xFF : c;
}

bool NameUnit(std::uint16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool NameChar(char c) { return NameUnit(static_cast<unsigned char>(c)); }

struct Range {
  std::uint64_t start = 0, size = 0, rva = 0;
  std::uint64_t End() const { return start + size; }
};

// Bytes of the dump seen as one text from a place on: a plain span, or a memory range continued by
// the ranges that begin where it ends.
class Text {
 public:
  // A span [rva, rva + size) of the file.
  Text(std::span<std::uint8_t> dump, std::uint64_t rva, std::uint64_t size) : dump_(dump), sorted_(nullptr) {
    parts_[0] = {0, size, rva};
    count_ = 1;
  }
  // Memory: sorted holds every range by start.
  Text(std::span<std::uint8_t> dump, const Range& first, const std::vector<Range>* sorted) : dump_(dump), sorted_(sorted) {
    parts_[0] = first;
    count_ = 1;
  }
  std::uint64_t Size() const { return parts_[0].size; }
  // The byte at offset from the start, or null past what is known.
  std::uint8_t* At(std::uint64_t offset) {
    for (std::size_t i = 0;; ++i) {
      if (i == count_ && !Extend()) return nullptr;
      if (offset < parts_[i].size) return dump_.data() + parts_[i].rva + offset;
      offset -= parts_[i].size;
    }
  }

 private:
  bool Extend() {
    if (!sorted_ || count_ == kMaxJoined) return false;
    const std::uint64_t end = parts_[count_ - 1].End();
    const auto next = std::lower_bound(sorted_->begin(), sorted_->end(), end, [](const Range& r, std::uint64_t a) { return r.start < a; });
    if (next == sorted_->end() || next->start != end) return false;
    parts_[count_++] = *next;
    return true;
  }

  std::span<std::uint8_t> dump_;
  const std::vector<Range>* sorted_;
  Range parts_[kMaxJoined];
  std::size_t count_ = 0;
};

struct Scan {
  std::span<const DumpRedaction> values;
  bool ansi = true, wide = true;
  bool words = false;            // whole words only (text), or anywhere (memory)
  std::size_t step = 1;          // 2: a UTF-16 string, matched at its characters only
  std::size_t shortAsWords = 0;  // values shorter than this only as words, of one character never
  const bool* first = nullptr;   // [256]: the bytes a match can begin with
};

// Most bytes of a dump begin no value: one look into this table passes them by.
void FirstBytes(std::span<const DumpRedaction> values, bool (&first)[256]) {
  std::fill(std::begin(first), std::end(first), false);
  for (const DumpRedaction& r : values) {
    if (r.value.empty()) continue;
    const auto c = static_cast<std::uint8_t>(r.value.front());
    const std::uint16_t wide = FoldWide(Cp1252ToUtf16(r.value.front()));
    for (unsigned b = 0; b < 256; ++b) first[b] = first[b] || FoldAnsi(static_cast<std::uint8_t>(b)) == FoldAnsi(c);
    // UTF-16: the low byte of every unit that folds to the same letter (the code page's letters
    // lie below 0x2200).
    for (std::uint16_t u = 0; u < 0x2200; ++u)
      if (FoldWide(u) == wide) first[u & 0xFF] = true;
  }
}

std::uint16_t UnitAt(Text& t, std::uint64_t at, bool wide, bool& ok) {
  const std::uint8_t* lo = t.At(at);
  const std::uint8_t* hi = wide ? t.At(at + 1) : nullptr;
  ok = lo && (!wide || hi);
  return ok ? static_cast<std::uint16_t>(*lo | (wide ? *hi << 8 : 0)) : 0;
}

bool MatchesAt(Text& t, std::uint64_t at, std::string_view value, bool wide, bool words) {
  const std::uint64_t unit = wide ? 2 : 1;
  bool ok = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const std::uint16_t got = UnitAt(t, at + unit * i, wide, ok);
    if (!ok) return false;
    if (wide ? FoldWide(got) != FoldWide(Cp1252ToUtf16(value[i]))
             : FoldAnsi(static_cast<std::uint8_t>(got)) != FoldAnsi(static_cast<std::uint8_t>(value[i])))
      return false;
  }
  if (!words) return true;
  if (at >= unit && NameChar(value.front())) {
    const std::uint16_t before = UnitAt(t, at - unit, wide, ok);
    if (ok && NameUnit(before)) return false;
  }
  const std::uint16_t after = UnitAt(t, at + unit * value.size(), wide, ok);
  return !(ok && NameChar(value.back()) && NameUnit(after));
}

char Filler(const DumpRedaction& r, std::size_t i) { return r.value.size() >= r.token.size() && i < r.token.size() ? r.token[i] : '*'; }

std::size_t Redact(Text& t, const Scan& s) {
  std::size_t replaced = 0;
  for (std::uint64_t at = 0; at < t.Size();) {
    if (!s.first[*t.At(at)]) {
      at += s.step;
      continue;
    }
    const DumpRedaction* best = nullptr;
    bool bestWide = false;
    for (const DumpRedaction& r : s.values) {
      if (r.value.empty() || (r.value.size() == 1 && s.shortAsWords)) continue;
      const bool words = s.words || r.value.size() < s.shortAsWords;
      for (const bool wide : {false, true}) {
        if (!(wide ? s.wide : s.ansi)) continue;
        const std::uint64_t bytes = r.value.size() * (wide ? 2 : 1);
        if (best && bytes <= best->value.size() * (bestWide ? 2 : 1)) continue;
        if (MatchesAt(t, at, r.value, wide, words)) best = &r, bestWide = wide;
      }
    }
    if (!best) {
      at += s.step;
      continue;
    }
    for (std::size_t i = 0; i < best->value.size(); ++i) {
      const char c = Filler(*best, i);
      if (bestWide) {
        *t.At(at + 2 * i) = static_cast<std::uint8_t>(c);
        *t.At(at + 2 * i + 1) = 0;
      } else {
        *t.At(at + i) = static_cast<std::uint8_t>(c);
      }
    }
    ++replaced;
    at += best->value.size() * (bestWide ? 2 : 1);
  }
  return replaced;
}

class Dump {
 public:
  explicit Dump(std::span<std::uint8_t> bytes) : bytes_(bytes) {}

  bool Has(std::uint64_t rva, std::uint64_t size) const { return rva <= bytes_.size() && size <= bytes_.size() - rva; }
  std::uint32_t Le32(std::uint64_t rva) const { return Has(rva, 4) ? LoadLe32(bytes_.data() + rva) : 0; }
  std::uint64_t Le64(std::uint64_t rva) const { return Has(rva, 8) ? LoadLe64(bytes_.data() + rva) : 0; }
  // How many entries of a list at rva (its count first, countSize bytes) lie inside the file.
  std::uint64_t Entries(std::uint64_t rva, std::uint64_t countSize, std::uint64_t entrySize) const {
    if (!Has(rva, countSize)) return 0;
    const std::uint64_t count = countSize == 8 ? Le64(rva) : Le32(rva);
    return std::min(count, (bytes_.size() - rva - countSize) / entrySize);
  }

  // A MINIDUMP_STRING: its UTF-16 units, as many as the file holds.
  std::size_t String(std::uint64_t rva, const Scan& s) const {
    if (!Has(rva, 4)) return 0;
    const std::uint64_t size = std::min<std::uint64_t>(Le32(rva), bytes_.size() - rva - 4) & ~std::uint64_t{1};
    Text t(bytes_, rva + 4, size);
    return Redact(t, s);
  }
  std::size_t Bytes(std::uint64_t rva, std::uint64_t size, const Scan& s) const {
    if (!Has(rva, 0)) return 0;
    Text t(bytes_, rva, std::min(size, bytes_.size() - rva));
    return Redact(t, s);
  }
  void AddRange(std::vector<Range>& ranges, std::uint64_t start, std::uint64_t size, std::uint64_t rva) const {
    if (size == 0 || !Has(rva, size) || start > std::numeric_limits<std::uint64_t>::max() - size) return;
    ranges.push_back({start, size, rva});
  }
  std::span<std::uint8_t> Bytes() const { return bytes_; }

 private:
  std::span<std::uint8_t> bytes_;
};

}  // namespace

DumpRedactResult RedactMiniDump(std::span<std::uint8_t> bytes, std::span<const DumpRedaction> values) {
  DumpRedactResult result;
  const Dump d(bytes);
  if (!d.Has(0, 32) || d.Le32(0) != kSignature || (d.Le32(4) & 0xFFFF) != kVersion) return result;
  const std::uint64_t streams = d.Le32(8), directory = d.Le32(12);
  if (!d.Has(directory, streams * 12)) return result;
  result.readable = true;

  bool first[256];
  FirstBytes(values, first);
  const Scan text{values, false, true, true, 2, 0, first};
  const Scan name{values, true, false, true, 1, 0, first};
  std::vector<Range> ranges;
  for (std::uint64_t i = 0; i < streams; ++i) {
    const std::uint64_t entry = directory + 12 * i;
    const std::uint32_t type = d.Le32(entry);
    const std::uint64_t rva = d.Le32(entry + 8);
    switch (type) {
      case kThreadListStream:
        for (std::uint64_t k = 0, n = d.Entries(rva, 4, kThreadSize); k < n; ++k) {
          const std::uint64_t at = rva + 4 + kThreadSize * k;
          d.AddRange(ranges, d.Le64(at + 24), d.Le32(at + 32), d.Le32(at + 36));
        }
        break;
      case kMemoryListStream:
        for (std::uint64_t k = 0, n = d.Entries(rva, 4, kMemoryDescriptorSize); k < n; ++k) {
          const std::uint64_t at = rva + 4 + kMemoryDescriptorSize * k;
          d.AddRange(ranges, d.Le64(at), d.Le32(at + 8), d.Le32(at + 12));
        }
        break;
      case kMemory64ListStream: {
        // The ranges' bytes lie one after the other from a base.
        std::uint64_t data = d.Le64(rva + 8);
        for (std::uint64_t k = 0, n = d.Entries(rva, 16, kMemoryDescriptorSize); k < n && d.Has(data, 0); ++k) {
          const std::uint64_t at = rva + 16 + kMemoryDescriptorSize * k;
          const std::uint64_t size = d.Le64(at + 8);
          d.AddRange(ranges, d.Le64(at), size, data);
          if (size > bytes.size()) break;
          data += size;
        }
        break;
      }
      case kModuleListStream:
        for (std::uint64_t k = 0, n = d.Entries(rva, 4, kModuleSize); k < n; ++k) {
          const std::uint64_t at = rva + 4 + kModuleSize * k;
          result.replaced += d.String(d.Le32(at + 20), text);
          // CodeView: after the signature, the id and age ("RSDS") or the offset, time and age ("NB10")
          // comes the file name; a record of another kind is taken as text all through. The misc
          // record's name follows its 12 bytes, 8-bit or UTF-16 as its flag says.
          const std::uint64_t cvSize = d.Le32(at + 76), cv = d.Le32(at + 80);
          const std::uint32_t signature = d.Le32(cv);
          const std::uint64_t skip = d.Has(cv, 24) && signature == 0x53445352 ? 24 : d.Has(cv, 16) && signature == 0x3031424E ? 16 : 0;
          if (cvSize > skip) result.replaced += d.Bytes(cv + skip, cvSize - skip, name);
          const std::uint64_t miscSize = d.Le32(at + 84), misc = d.Le32(at + 88);
          if (miscSize > 12 && d.Has(misc, 12)) result.replaced += d.Bytes(misc + 12, miscSize - 12, d.Bytes()[misc + 8] ? text : name);
        }
        break;
      case kSystemInfoStream:
        if (d.Has(rva, 28)) result.replaced += d.String(d.Le32(rva + 24), text);
        break;
      case kThreadNamesStream:
        for (std::uint64_t k = 0, n = d.Entries(rva, 4, kThreadNameSize); k < n; ++k)
          result.replaced += d.String(d.Le64(rva + 4 + kThreadNameSize * k + 4), text);
        break;
      default: break;
    }
  }

  std::vector<Range> sorted = ranges;
  std::sort(sorted.begin(), sorted.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
  const Scan memory{values, true, true, false, 1, kMinMemoryValue, first};
  for (const Range& r : ranges) {
    Text t(bytes, r, &sorted);
    result.replaced += Redact(t, memory);
  }
  return result;
}

}  // namespace report
