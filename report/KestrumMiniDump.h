// The minidump file: what the crash-time gatherer collected, written in the documented layout that
// debuggers, stack walkers and crash servers read. Pure: the records only point at bytes the caller
// owns (buffers reserved at install time), and the output goes into a buffer of the caller's too,
// so that writing a dump allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace report {

using Bytes = std::span<const std::uint8_t>;

// The x86 CONTEXT record as GetThreadContext fills it; the encoder copies it as it is.
constexpr std::size_t kX86ContextSize = 716;

struct MiniDumpThread {
  std::uint32_t id = 0;
  std::uint32_t suspendCount = 0;
  std::uint32_t priorityClass = 0;
  std::uint32_t priority = 0;
  std::uint64_t teb = 0;
  Bytes context;  // kX86ContextSize bytes
  std::uint64_t stackStart = 0;
  Bytes stack;            // the copy of [stackStart, stackStart + stack.size())
  std::string_view name;  // code page 1252; empty: the thread has no name entry
};

struct MiniDumpVersion {  // the fixed part of a module's version resource, 0 when it has none
  std::uint32_t fileMs = 0, fileLs = 0, productMs = 0, productLs = 0;
  std::uint32_t flagsMask = 0, flags = 0, os = 0, type = 0, subtype = 0;
};

struct MiniDumpModule {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t checksum = 0;
  std::uint32_t timeStamp = 0;
  std::string_view path;  // the module's full file name, code page 1252
  MiniDumpVersion version;
  bool hasVersion = false;
  Bytes codeView;  // the module's CodeView record as its debug directory holds it; may be empty
};

struct MiniDumpMemory {
  std::uint64_t start = 0;
  Bytes bytes;
};

struct MiniDumpException {
  std::uint32_t threadId = 0;
  std::uint32_t code = 0;
  std::uint32_t flags = 0;
  std::uint64_t address = 0;
  std::uint32_t parameterCount = 0;  // at most 15 are kept
  std::uint64_t parameters[15] = {};
  Bytes context;  // the context at the fault, kX86ContextSize bytes
};

struct MiniDumpSystem {
  std::uint16_t processorLevel = 0;
  std::uint16_t processorRevision = 0;
  std::uint8_t processors = 0;
  std::uint8_t productType = 0;
  std::uint32_t major = 0, minor = 0, build = 0, platformId = 0;
  std::string_view servicePack;  // code page 1252
  std::uint16_t suiteMask = 0;
  std::uint32_t vendorId[3] = {};
  std::uint32_t versionInformation = 0, featureInformation = 0, amdFeatures = 0;
};

struct MiniDumpMisc {
  bool hasProcessId = false;
  std::uint32_t processId = 0;
  bool hasTimes = false;
  std::uint32_t createTime = 0, userTime = 0, kernelTime = 0;
};

struct MiniDumpInput {
  std::uint32_t timeStamp = 0;
  std::span<const MiniDumpThread> threads;
  std::span<const MiniDumpModule> modules;
  std::span<const MiniDumpMemory> memory;  // besides the stacks; parts already covered are left out
  const MiniDumpException* exception = nullptr;
  MiniDumpSystem system;
  MiniDumpMisc misc;
};

// Writes the dump into out when it fits and returns the size it needs (0: the input cannot be
// written, e.g. a context of the wrong size or a file beyond 4 GB). Call with an empty out to
// measure. Memory ranges overlap nowhere in the file: readers refuse a memory list with overlaps,
// so a range (or a stack) is cut to the parts that no earlier one holds.
std::size_t EncodeMiniDump(const MiniDumpInput& input, std::span<std::uint8_t> out);

// A character of code page 1252 as the dump's UTF-16 strings hold it.
std::uint16_t Cp1252ToUtf16(char c);

}  // namespace report
