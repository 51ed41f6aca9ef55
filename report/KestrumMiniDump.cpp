#include "report/KestrumMiniDump.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace report {

namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint32_t kVersion = 0xA793;
constexpr std::uint32_t kThreadListStream = 3, kModuleListStream = 4, kMemoryListStream = 5, kExceptionStream = 6, kSystemInfoStream = 7,
                        kMiscInfoStream = 15, kThreadNamesStream = 24;
constexpr std::size_t kHeaderSize = 32, kDirectoryEntrySize = 12, kThreadSize = 48, kModuleSize = 108, kMemoryDescriptorSize = 16,
                      kSystemInfoSize = 56, kMiscInfoSize = 24, kExceptionStreamSize = 168, kThreadNameSize = 12;
constexpr std::uint16_t kProcessorArchitectureX86 = 0;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD, kFixedFileInfoVersion = 0x00010000;
constexpr std::uint32_t kMiscProcessId = 1, kMiscProcessTimes = 2;

// Lays the file out front to back. Every write lands only when the whole of it fits into out, so
// a measuring pass (empty out) and a writing pass walk the same steps and agree on every offset.
class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : out_(out) {}

  std::uint64_t Pos() const { return pos_; }
  bool Fits() const { return pos_ <= out_.size(); }
  bool TooLarge() const { return pos_ > std::numeric_limits<std::uint32_t>::max(); }
  std::uint32_t Rva() const { return static_cast<std::uint32_t>(pos_); }

  void Align4() {
    const std::uint64_t aligned = (pos_ + 3) & ~std::uint64_t{3};
    if (aligned <= out_.size()) std::memset(out_.data() + pos_, 0, aligned - pos_);
    pos_ = aligned;
  }
  // Room for a fixed part that is filled in later (zeroed now).
  std::uint64_t Reserve(std::size_t n) {
    const std::uint64_t at = pos_;
    if (at + n <= out_.size()) std::memset(out_.data() + at, 0, n);
    pos_ += n;
    return at;
  }
  void Bytes(report::Bytes b) {
    if (!b.empty() && pos_ + b.size() <= out_.size()) std::memcpy(out_.data() + pos_, b.data(), b.size());
    pos_ += b.size();
  }
  void Le16At(std::uint64_t at, std::uint16_t v) {
    if (at + 2 <= out_.size()) {
      out_[at] = static_cast<std::uint8_t>(v);
      out_[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
  }
  void Le32At(std::uint64_t at, std::uint32_t v) {
    if (at + 4 <= out_.size()) {
      for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
  }
  void Le64At(std::uint64_t at, std::uint64_t v) {
    Le32At(at, static_cast<std::uint32_t>(v));
    Le32At(at + 4, static_cast<std::uint32_t>(v >> 32));
  }
  std::uint32_t Le32Of(std::uint64_t at) const {
    if (at + 4 > out_.size()) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | out_[at + i];
    return v;
  }
  // MINIDUMP_STRING: byte length, UTF-16 text, a terminating zero that the length leaves out.
  std::uint32_t String(std::string_view text) {
    Align4();
    const std::uint64_t at = Reserve(4 + 2 * text.size() + 2);
    Le32At(at, static_cast<std::uint32_t>(2 * text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) Le16At(at + 4 + 2 * i, Cp1252ToUtf16(text[i]));
    return static_cast<std::uint32_t>(at);
  }

 private:
  std::span<std::uint8_t> out_;
  std::uint64_t pos_ = 0;
};

// The ranges of the memory list in the order they claim memory: the stacks first, then the rest.
class Ranges {
 public:
  explicit Ranges(const MiniDumpInput& in) : in_(in) {}
  std::size_t Count() const { return in_.threads.size() + in_.memory.size(); }
  std::uint64_t Start(std::size_t i) const { return i < in_.threads.size() ? in_.threads[i].stackStart : in_.memory[Other(i)].start; }
  std::uint64_t Size(std::size_t i) const {
    return i < in_.threads.size() ? in_.threads[i].stack.size() : in_.memory[Other(i)].bytes.size();
  }
  // A range that wraps around the address space holds nothing that a reader could place.
  bool Valid(std::size_t i) const { return Size(i) != 0 && Start(i) <= std::numeric_limits<std::uint64_t>::max() - Size(i); }
  std::uint64_t End(std::size_t i) const { return Start(i) + Size(i); }

  // The next part of range i at or after cursor that no earlier range holds: [begin, end).
  // False when none is left.
  bool NextPiece(std::size_t i, std::uint64_t cursor, std::uint64_t& begin, std::uint64_t& end) const {
    const std::uint64_t stop = End(i);
    while (cursor < stop) {
      bool moved = false;
      std::uint64_t nextStart = stop;
      for (std::size_t k = 0; k < i; ++k) {
        if (!Valid(k)) continue;
        if (Start(k) <= cursor && cursor < End(k)) {
          cursor = End(k);
          moved = true;
          break;
        }
        if (Start(k) > cursor && Start(k) < nextStart) nextStart = Start(k);
      }
      if (moved) continue;
      begin = cursor;
      end = nextStart;
      return true;
    }
    return false;
  }

 private:
  std::size_t Other(std::size_t i) const { return i - in_.threads.size(); }
  const MiniDumpInput& in_;
};

void Directory(Writer& w, std::uint64_t& slot, std::uint32_t type, std::uint64_t at, std::uint64_t size) {
  w.Le32At(slot, type);
  w.Le32At(slot + 4, static_cast<std::uint32_t>(size));
  w.Le32At(slot + 8, static_cast<std::uint32_t>(at));
  slot += kDirectoryEntrySize;
}

void SystemInfo(Writer& w, const MiniDumpSystem& s, std::uint64_t at) {
  w.Le16At(at, kProcessorArchitectureX86);
  w.Le16At(at + 2, s.processorLevel);
  w.Le16At(at + 4, s.processorRevision);
  w.Le16At(at + 6, static_cast<std::uint16_t>(s.processors | s.productType << 8));
  w.Le32At(at + 8, s.major);
  w.Le32At(at + 12, s.minor);
  w.Le32At(at + 16, s.build);
  w.Le32At(at + 20, s.platformId);
  // at + 24: the service pack's string, written behind
  w.Le16At(at + 28, s.suiteMask);
  for (int i = 0; i < 3; ++i) w.Le32At(at + 32 + 4 * i, s.vendorId[i]);
  w.Le32At(at + 44, s.versionInformation);
  w.Le32At(at + 48, s.featureInformation);
  w.Le32At(at + 52, s.amdFeatures);
}

void Module(Writer& w, const MiniDumpModule& m, std::uint64_t at) {
  w.Le64At(at, m.base);
  w.Le32At(at + 8, m.size);
  w.Le32At(at + 12, m.checksum);
  w.Le32At(at + 16, m.timeStamp);
  // at + 20: the name, written behind
  if (m.hasVersion) {
    const std::uint32_t fields[13] = {kFixedFileInfoSignature,
                                      kFixedFileInfoVersion,
                                      m.version.fileMs,
                                      m.version.fileLs,
                                      m.version.productMs,
                                      m.version.productLs,
                                      m.version.flagsMask,
                                      m.version.flags,
                                      m.version.os,
                                      m.version.type,
                                      m.version.subtype,
                                      0,
                                      0};
    for (int i = 0; i < 13; ++i) w.Le32At(at + 24 + 4 * i, fields[i]);
  }
}

}  // namespace

// 0x80..0x9F of code page 1252; the rest of the page is Latin-1. Unassigned bytes keep their value,
// as the system's own conversion does.
constexpr std::uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                           0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                           0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::uint16_t Cp1252ToUtf16(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b;
}

std::size_t EncodeMiniDump(const MiniDumpInput& in, std::span<std::uint8_t> out) {
  for (const MiniDumpThread& t : in.threads) {
    if (t.context.size() != kX86ContextSize) return 0;
  }
  if (in.exception && in.exception->context.size() != kX86ContextSize) return 0;
  if (in.exception && in.exception->parameterCount > 15) return 0;

  std::size_t names = 0;
  for (const MiniDumpThread& t : in.threads) names += t.name.empty() ? 0 : 1;
  const std::uint32_t streams = 5 + (in.exception ? 1 : 0) + (names ? 1 : 0);

  Writer w(out);
  const std::uint64_t header = w.Reserve(kHeaderSize);
  std::uint64_t slot = w.Reserve(streams * kDirectoryEntrySize);
  w.Le32At(header, kSignature);
  w.Le32At(header + 4, kVersion);
  w.Le32At(header + 8, streams);
  w.Le32At(header + 12, static_cast<std::uint32_t>(kHeaderSize));
  w.Le32At(header + 20, in.timeStamp);

  const std::uint64_t system = w.Reserve(kSystemInfoSize);
  SystemInfo(w, in.system, system);
  w.Le32At(system + 24, w.String(in.system.servicePack));
  Directory(w, slot, kSystemInfoStream, system, kSystemInfoSize);

  w.Align4();
  const std::uint64_t misc = w.Reserve(kMiscInfoSize);
  w.Le32At(misc, kMiscInfoSize);
  w.Le32At(misc + 4, (in.misc.hasProcessId ? kMiscProcessId : 0) | (in.misc.hasTimes ? kMiscProcessTimes : 0));
  w.Le32At(misc + 8, in.misc.processId);
  w.Le32At(misc + 12, in.misc.createTime);
  w.Le32At(misc + 16, in.misc.userTime);
  w.Le32At(misc + 20, in.misc.kernelTime);
  Directory(w, slot, kMiscInfoStream, misc, kMiscInfoSize);

  w.Align4();
  const std::uint64_t threadList = w.Reserve(4 + kThreadSize * in.threads.size());
  w.Le32At(threadList, static_cast<std::uint32_t>(in.threads.size()));
  Directory(w, slot, kThreadListStream, threadList, 4 + kThreadSize * in.threads.size());
  for (std::size_t i = 0; i < in.threads.size(); ++i) {
    const MiniDumpThread& t = in.threads[i];
    const std::uint64_t at = threadList + 4 + kThreadSize * i;
    w.Le32At(at, t.id);
    w.Le32At(at + 4, t.suspendCount);
    w.Le32At(at + 8, t.priorityClass);
    w.Le32At(at + 12, t.priority);
    w.Le64At(at + 16, t.teb);
    w.Le64At(at + 24, t.stackStart);
    w.Le32At(at + 32, static_cast<std::uint32_t>(t.stack.size()));
    w.Align4();
    w.Le32At(at + 36, w.Rva());
    w.Bytes(t.stack);
    w.Align4();
    w.Le32At(at + 40, kX86ContextSize);
    w.Le32At(at + 44, w.Rva());
    w.Bytes(t.context);
  }

  w.Align4();
  const std::uint64_t moduleList = w.Reserve(4 + kModuleSize * in.modules.size());
  w.Le32At(moduleList, static_cast<std::uint32_t>(in.modules.size()));
  Directory(w, slot, kModuleListStream, moduleList, 4 + kModuleSize * in.modules.size());
  for (std::size_t i = 0; i < in.modules.size(); ++i) {
    const MiniDumpModule& m = in.modules[i];
    const std::uint64_t at = moduleList + 4 + kModuleSize * i;
    Module(w, m, at);
    w.Le32At(at + 20, w.String(m.path));
    if (!m.codeView.empty()) {
      w.Align4();
      w.Le32At(at + 76, static_cast<std::uint32_t>(m.codeView.size()));
      w.Le32At(at + 80, w.Rva());
      w.Bytes(m.codeView);
    }
  }

  // The memory list: each stack's parts point into the thread's own copy above, the other ranges'
  // bytes follow the list.
  const Ranges ranges(in);
  std::size_t pieces = 0;
  for (std::size_t i = 0; i < ranges.Count(); ++i) {
    std::uint64_t begin = 0, end = 0;
    for (std::uint64_t cursor = ranges.Start(i); ranges.Valid(i) && ranges.NextPiece(i, cursor, begin, end); cursor = end) ++pieces;
  }
  w.Align4();
  const std::uint64_t memoryList = w.Reserve(4 + kMemoryDescriptorSize * pieces);
  w.Le32At(memoryList, static_cast<std::uint32_t>(pieces));
  Directory(w, slot, kMemoryListStream, memoryList, 4 + kMemoryDescriptorSize * pieces);
  std::uint64_t descriptor = memoryList + 4;
  for (std::size_t i = 0; i < ranges.Count(); ++i) {
    std::uint64_t begin = 0, end = 0;
    for (std::uint64_t cursor = ranges.Start(i); ranges.Valid(i) && ranges.NextPiece(i, cursor, begin, end); cursor = end) {
      const std::uint64_t offset = begin - ranges.Start(i);
      w.Le64At(descriptor, begin);
      w.Le32At(descriptor + 8, static_cast<std::uint32_t>(end - begin));
      if (i < in.threads.size()) {
        const std::uint32_t stackRva = w.Le32Of(threadList + 4 + kThreadSize * i + 36);
        w.Le32At(descriptor + 12, static_cast<std::uint32_t>(stackRva + offset));
      } else {
        w.Align4();
        w.Le32At(descriptor + 12, w.Rva());
        w.Bytes(in.memory[i - in.threads.size()].bytes.subspan(offset, end - begin));
      }
      descriptor += kMemoryDescriptorSize;
    }
  }

  if (const MiniDumpException* e = in.exception) {
    w.Align4();
    const std::uint64_t at = w.Reserve(kExceptionStreamSize);
    Directory(w, slot, kExceptionStream, at, kExceptionStreamSize);
    w.Le32At(at, e->threadId);
    w.Le32At(at + 8, e->code);
    w.Le32At(at + 12, e->flags);
    w.Le64At(at + 24, e->address);
    w.Le32At(at + 32, e->parameterCount);
    for (std::uint32_t i = 0; i < e->parameterCount; ++i) w.Le64At(at + 40 + 8 * i, e->parameters[i]);
    w.Le32At(at + 160, kX86ContextSize);
    w.Le32At(at + 164, w.Rva());
    w.Bytes(e->context);
  }

  if (names) {
    w.Align4();
    const std::uint64_t at = w.Reserve(4 + kThreadNameSize * names);
    Directory(w, slot, kThreadNamesStream, at, 4 + kThreadNameSize * names);
    w.Le32At(at, static_cast<std::uint32_t>(names));
    std::uint64_t entry = at + 4;
    for (const MiniDumpThread& t : in.threads) {
      if (t.name.empty()) continue;
      w.Le32At(entry, t.id);
      w.Le64At(entry + 4, w.String(t.name));
      entry += kThreadNameSize;
    }
  }

  if (w.TooLarge()) return 0;
  return static_cast<std::size_t>(w.Pos());
}

}  // namespace report
