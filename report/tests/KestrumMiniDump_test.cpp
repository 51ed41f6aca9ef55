#include "report/KestrumMiniDump.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace report {
namespace {

// A context as GetThreadContext leaves it, with the registers a reader shows set to known values.
std::vector<std::uint8_t> Context(std::uint32_t eip, std::uint32_t esp, std::uint32_t ebp) {
  std::vector<std::uint8_t> c(kX86ContextSize, 0);
  platform::StoreLe32(c.data(), 0x0001003F);         // x86: control, integer, segments, floating point, debug registers
  platform::StoreLe32(c.data() + 0xB0, 0xEAAAAAAA);  // Eax
  platform::StoreLe32(c.data() + 0xB4, ebp);
  platform::StoreLe32(c.data() + 0xB8, eip);
  platform::StoreLe32(c.data() + 0xBC, 0x23);   // SegCs
  platform::StoreLe32(c.data() + 0xC0, 0x246);  // EFlags
  platform::StoreLe32(c.data() + 0xC4, esp);
  return c;
}

std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
  return v;
}

// The CodeView record that the linker writes for --build-id: "RSDS", the 16-byte id, age, name.
std::vector<std::uint8_t> CodeView(const char* name) {
  std::vector<std::uint8_t> v = {'R', 'S', 'D', 'S'};
  for (int i = 0; i < 16; ++i) v.push_back(static_cast<std::uint8_t>(0x10 + i));
  v.insert(v.end(), {1, 0, 0, 0});
  v.insert(v.end(), name, name + std::strlen(name) + 1);
  return v;
}

// Two threads (the second names itself), two modules, code around both instruction pointers where
// one range overlaps the other and one overlaps a stack, and the first thread's exception.
struct Sample {
  std::vector<std::uint8_t> ctx1 = Context(0x00401234, 0x0022FE00, 0x0022FE40), ctx2 = Context(0x7BC4A0C0, 0x0033FF00, 0x0033FF80);
  std::vector<std::uint8_t> stack1 = Filled(0x200, 1), stack2 = Filled(0x100, 7);
  std::vector<std::uint8_t> cv = CodeView("Kelvane.exe");
  std::vector<std::uint8_t> code1 = Filled(256, 0x90), code2 = Filled(256, 0x40), overStack = Filled(0x40, 0x33);
  std::array<MiniDumpThread, 2> threads;
  std::array<MiniDumpModule, 2> modules;
  std::array<MiniDumpMemory, 3> memory;
  MiniDumpException exception;
  MiniDumpInput input;

  Sample() {
    threads[0] = {1001, 0, 0x20, 0, 0x7FFDE000, ctx1, 0x0022FE00, stack1, ""};
    threads[1] = {1002, 1, 0x20, 2, 0x7FFDD000, ctx2, 0x0033FF00, stack2, "worker \x80 one"};
    modules[0].base = 0x00400000;
    modules[0].size = 0x00123000;
    modules[0].checksum = 0x0012ABCD;
    modules[0].timeStamp = 0x5F000000;
    modules[0].path = "C:\\Program Files\\Kelvane\\Kelvane.exe";
    modules[0].hasVersion = true;
    modules[0].version.fileMs = 0x00010002;
    modules[0].version.fileLs = 0x00030004;
    modules[0].codeView = cv;
    modules[1].base = 0x7BC00000;
    modules[1].size = 0x000A0000;
    modules[1].path = "C:\\windows\\system32\\ntdll.dll";
    memory[0] = {0x00401234 - 128, code1};
    memory[1] = {0x00401234 - 64, code2};        // overlaps the first: only its tail is new
    memory[2] = {0x0033FF00 + 0xE0, overStack};  // begins inside the second stack
    exception.threadId = 1001;
    exception.code = 0xC0000005;
    exception.address = 0x00401234;
    exception.parameterCount = 2;
    exception.parameters[0] = 1;
    exception.parameters[1] = 0x10;
    exception.context = ctx1;
    input.timeStamp = 0x65000000;
    input.threads = threads;
    input.modules = modules;
    input.memory = memory;
    input.exception = &exception;
    input.system.processorLevel = 6;
    input.system.processors = 2;
    input.system.productType = 1;
    input.system.major = 6;
    input.system.minor = 1;
    input.system.build = 7601;
    input.system.platformId = 2;
    input.system.servicePack = "Service Pack 1";
    input.misc.hasProcessId = true;
    input.misc.processId = 0x1234;
  }
};

std::vector<std::uint8_t> Encode(const MiniDumpInput& input) {
  const std::size_t size = EncodeMiniDump(input, {});
  std::vector<std::uint8_t> out(size);
  EXPECT_EQ(EncodeMiniDump(input, out), size);
  return out;
}

struct Stream {
  std::uint32_t type = 0, size = 0, rva = 0;
};

std::vector<Stream> Directory(const std::vector<std::uint8_t>& dump) {
  std::vector<Stream> streams;
  const std::uint32_t count = platform::LoadLe32(dump.data() + 8), at = platform::LoadLe32(dump.data() + 12);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* e = dump.data() + at + 12 * i;
    streams.push_back({platform::LoadLe32(e), platform::LoadLe32(e + 4), platform::LoadLe32(e + 8)});
  }
  return streams;
}

std::optional<Stream> Find(const std::vector<Stream>& streams, std::uint32_t type) {
  for (const Stream& s : streams) {
    if (s.type == type) return s;
  }
  return std::nullopt;
}

TEST(MiniDumpEncoder, MeasuresThenWritesOnlyWhatFits) {
  Sample s;
  const std::size_t size = EncodeMiniDump(s.input, {});
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> small(size - 1, 0xEE);
  EXPECT_EQ(EncodeMiniDump(s.input, small), size) << "a short buffer still learns the size";
  std::vector<std::uint8_t> big(size + 16, 0xEE);
  ASSERT_EQ(EncodeMiniDump(s.input, big), size);
  EXPECT_EQ(big[size], 0xEE) << "nothing written past the dump";
  big.resize(size);
  EXPECT_EQ(big, Encode(s.input)) << "the same input gives the same file";
}

TEST(MiniDumpEncoder, RefusesWhatCannotBeWritten) {
  Sample s;
  std::vector<std::uint8_t> shortContext(kX86ContextSize - 1);
  s.threads[1].context = shortContext;
  EXPECT_EQ(EncodeMiniDump(s.input, {}), 0u) << "a thread's context of the wrong size";
  Sample t;
  t.exception.parameterCount = 16;
  EXPECT_EQ(EncodeMiniDump(t.input, {}), 0u) << "more exception parameters than the record holds";
}

// The memory list as readers need it: no two descriptors overlap, each descriptor's bytes are the
// input's bytes at that address, and together they hold every byte of every range.
TEST(MiniDumpEncoder, MemoryListHasNoOverlapsAndKeepsEveryByte) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::size_t>> ranges;  // start, size (bytes: start's low byte + offset)
  } cases[] = {
      {"disjoint", {{0x1000, 16}, {0x2000, 16}}},
      {"second inside first", {{0x1000, 64}, {0x1010, 8}}},
      {"first inside second", {{0x1010, 8}, {0x1000, 64}}},
      {"overlapping tails", {{0x1000, 32}, {0x1010, 32}, {0x0FF0, 32}}},
      {"one range over two", {{0x1000, 16}, {0x1020, 16}, {0x0FF8, 64}}},
      {"equal", {{0x1000, 16}, {0x1000, 16}}},
      {"empty and wrapping", {{0x1000, 0}, {0xFFFFFFFFFFFFFFF8u, 16}, {0x1000, 4}}},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const auto& [start, size] : c.ranges) {
      std::vector<std::uint8_t> b(size);
      for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(start + i);
      bytes.push_back(std::move(b));
    }
    std::vector<MiniDumpMemory> memory;
    for (std::size_t i = 0; i < c.ranges.size(); ++i) memory.push_back({c.ranges[i].first, bytes[i]});
    MiniDumpInput input;
    input.memory = memory;
    const std::vector<std::uint8_t> dump = Encode(input);
    const std::optional<Stream> list = Find(Directory(dump), 5);
    ASSERT_TRUE(list) << c.what;
    const std::uint32_t n = platform::LoadLe32(dump.data() + list->rva);
    ASSERT_EQ(list->size, 4 + 16 * n) << c.what;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint8_t* d = dump.data() + list->rva + 4 + 16 * i;
      const std::uint64_t start = platform::LoadLe64(d);
      const std::uint32_t size = platform::LoadLe32(d + 8), rva = platform::LoadLe32(d + 12);
      ASSERT_LE(std::size_t{rva} + size, dump.size()) << c.what;
      for (std::uint32_t k = 0; k < size; ++k) {
        EXPECT_EQ(dump[rva + k], static_cast<std::uint8_t>(start + k)) << c.what << " at " << std::hex << start + k;
      }
      for (const auto& [b, e] : seen) EXPECT_TRUE(start + size <= b || e <= start) << c.what << ": overlap at " << std::hex << start;
      seen.emplace_back(start, start + size);
    }
    for (const auto& [start, size] : c.ranges) {
      if (start > 0xFFFFFFFFFFFFFFFFu - size) continue;
      for (std::uint64_t a = start; a < start + size; ++a) {
        bool held = false;
        for (const auto& [b, e] : seen) held = held || (b <= a && a < e);
        EXPECT_TRUE(held) << c.what << ": lost " << std::hex << a;
      }
    }
  }
}

// The names stream has no reader here that knows it: its one entry read by hand, the name in
// UTF-16 with code page 1252's euro sign converted.
TEST(MiniDumpEncoder, ThreadNamesOnlyForNamedThreads) {
  Sample s;
  const std::vector<std::uint8_t> dump = Encode(s.input);
  const std::optional<Stream> names = Find(Directory(dump), 24);
  ASSERT_TRUE(names);
  ASSERT_EQ(names->size, 4u + 12u);
  ASSERT_EQ(platform::LoadLe32(dump.data() + names->rva), 1u);
  EXPECT_EQ(platform::LoadLe32(dump.data() + names->rva + 4), 1002u);
  const std::uint64_t at = platform::LoadLe64(dump.data() + names->rva + 8);
  ASSERT_LT(at + 4, dump.size());
  const std::u16string expected = u"worker \u20AC one";
  ASSERT_EQ(platform::LoadLe32(dump.data() + at), 2 * expected.size());
  ASSERT_LE(at + 4 + 2 * expected.size() + 2, dump.size());
  std::u16string name;
  for (std::size_t i = 0; i <= expected.size(); ++i)
    name.push_back(static_cast<char16_t>(platform::LoadLe16(dump.data() + at + 4 + 2 * i)));
  EXPECT_EQ(name, expected + u'\0') << "terminated, the zero outside the length";

  s.threads[1].name = "";
  EXPECT_FALSE(Find(Directory(Encode(s.input)), 24)) << "no stream without names";
}

#ifdef KELVANE_OBJ2YAML
// --- LLVM's reader (on the build machine only). obj2yaml parses the whole file and prints what it understood.

std::string Run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
  const int status = pclose(p);
  if (status != 0) out = "FAILED (" + std::to_string(status) + "): " + out;
  return out;
}

std::string Obj2Yaml(const std::vector<std::uint8_t>& dump, const std::string& name) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
  return Run(std::string(KELVANE_OBJ2YAML) + " " + path + " 2>&1");
}

TEST(MiniDumpReader, Obj2YamlReadsEveryStream) {
  Sample s;
  const std::string yaml = Obj2Yaml(Encode(s.input), "sample.dmp");
  ASSERT_EQ(yaml.find("FAILED"), std::string::npos) << yaml;
  for (const char* expected : {
           "--- !minidump",
           "Type:            SystemInfo",
           "Processor Arch:  X86",
           "Number of Processors: 2",
           "Platform ID:     Win32NT",
           "Build Number:    7601",
           "CSD Version:     Service Pack 1",
           "Type:            MiscInfo\n    Content:         '180000000100000034120000",
           "Type:            ThreadList",
           "- Thread Id:       0x3E9\n        Priority Class:  0x20\n        Environment Block: 0x7FFDE000\n"
           "        Context:         3F000100",
           "AAAAAAEA40FE220034124000230000004602000000FE2200",
           "Stack:\n          Start of Memory Range: 0x22FE00\n          Content:         010203",
           "- Thread Id:       0x3EA\n        Suspend Count:   0x1\n        Priority Class:  0x20\n        Priority:        0x2",
           "Type:            ModuleList",
           "- Base of Image:   0x400000\n        Size of Image:   0x123000\n        Checksum:        0x12ABCD\n"
           "        Time Date Stamp: 1593835520\n        Module Name:     'C:\\Program Files\\Kelvane\\Kelvane.exe'",
           "File Version High: 0x10002\n          File Version Low: 0x30004",
           "CodeView Record: 52534453101112131415161718191A1B1C1D1E1F010000004B656C76616E652E65786500",
           "Module Name:     'C:\\windows\\system32\\ntdll.dll'",
           "Type:            MemoryList",
           // the second code range only with the part that the first does not hold; the third cut at the stack's end
           "- Start of Memory Range: 0x4011B4\n        Content:         909192",
           "- Start of Memory Range: 0x4012B4\n        Content:         000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
           "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F\n",
           "- Start of Memory Range: 0x340000\n        Content:         535455565758595A5B5C5D5E5F606162636465666768696A6B6C6D6E6F707172\n",
           "Type:            Exception\n    Thread ID:       0x3E9\n    Exception Record:\n      Exception Code:  0xC0000005\n"
           "      Exception Address: 0x401234\n      Number of Parameters: 2\n      Parameter 0:     0x1\n      Parameter 1:     0x10\n"
           "    Thread Context:  3F000100",
           // the names stream, which this reader does not know: one entry, thread 0x3EA
           "Type:            0x18\n    Content:         01000000EA030000",
       }) {
    EXPECT_NE(yaml.find(expected), std::string::npos) << "missing \"" << expected << "\" in\n" << yaml;
  }
}

TEST(MiniDumpReader, Obj2YamlReadsTheSmallestDump) {
  const std::string yaml = Obj2Yaml(Encode(MiniDumpInput{}), "empty.dmp");
  EXPECT_EQ(yaml.find("FAILED"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("Type:            ThreadList"), std::string::npos) << yaml;
}

#endif

}  // namespace
}  // namespace report
