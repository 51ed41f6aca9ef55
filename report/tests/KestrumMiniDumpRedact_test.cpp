#include "report/KestrumMiniDumpRedact.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "report/KestrumMiniDump.h"

namespace report {

using platform::LoadLe32;
using platform::LoadLe64;
using platform::StoreLe32;
namespace {

const DumpRedaction kValues[] = {
    {"C:\\Users\\mira", "<profile>"}, {"KELV-PC7", "<computer>"}, {"mira", "<user>"}, {"\xD6LBAUER", "<owner>"}, {"MQ", "<client>"},
};

std::vector<std::uint8_t> Wide(std::string_view text) {
  std::vector<std::uint8_t> v;
  for (char c : text) {
    const std::uint16_t u = Cp1252ToUtf16(c);
    v.push_back(static_cast<std::uint8_t>(u));
    v.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return v;
}

std::vector<std::uint8_t> Ansi(std::string_view text) { return {text.begin(), text.end()}; }

// Bytes that hold no value by chance and no letters, with the given pieces at the given offsets.
std::vector<std::uint8_t> Memory(std::size_t size, std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> pieces) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(1 + i % 7);
  for (const auto& [at, bytes] : pieces) std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
  return v;
}

std::vector<std::uint8_t> CodeView(std::string_view name) {
  std::vector<std::uint8_t> v = {'R', 'S', 'D', 'S'};
  // An id whose bytes spell a value: the record's identity is no text and stays.
  v.insert(v.end(), {'m', 'i', 'r', 'a', 'm', 'i', 'r', 'a', 'm', 'i', 'r', 'a', 'm', 'i', 'r', 'a', 1, 0, 0, 0});
  v.insert(v.end(), name.begin(), name.end());
  v.push_back(0);
  return v;
}

// A dump's input with personal values in each place that can hold them: given once as the program
// had it and once as it must read after the redaction. Encoding both must give the same file but
// for those places.
struct Planted {
  std::vector<std::uint8_t> context = std::vector<std::uint8_t>(kX86ContextSize, 0);
  std::string modulePath, otherPath, threadName, servicePack;
  std::vector<std::uint8_t> cv, stack, before, after, code;
  std::array<MiniDumpThread, 1> threads;
  std::array<MiniDumpModule, 2> modules;
  std::array<MiniDumpMemory, 3> memory;
  MiniDumpInput input;

  explicit Planted(bool redacted) {
    const auto pick = [redacted](std::string_view mine, std::string_view theirs) { return std::string(redacted ? theirs : mine); };
    // Text: whole words, as the report has them; the module keeps its file name.
    modulePath = pick("c:\\users\\MIRA\\Temp\\mirage\\KELV-PC7.dll", "<profile>****\\Temp\\mirage\\********.dll");
    otherPath = "C:\\windows\\system32\\ntdll.dll";
    threadName = pick("worker of Mira and mq", "worker of **** and **");
    servicePack = pick("Service Pack 1 for mira", "Service Pack 1 for ****");
    cv = CodeView(pick("mira.pdb", "****.pdb"));
    // Memory: everywhere, 8-bit and UTF-16 at any byte; a two-letter value only as a word.
    stack = Memory(0x300, {{0x10, Ansi(pick("C:\\USERS\\mira\\x", "<profile>****\\x"))},
                           {0x41, Wide(pick("kelv-pc7", "********"))},
                           {0x80, Ansi(pick("Admiral miranda", "Ad****l ****nda"))},
                           {0xA0, Wide(pick("\xF6lbauer \xD6LBAUER", "<owner> <owner>"))},
                           {0xC0, Ansi(pick("\xF6lbauer amqb mq", "<owner> amqb **"))}});
    // Two ranges that meet: the name across their border goes too.
    before = Memory(0x40, {{0x3B, Ansi(pick("KELV-", "*****"))}});
    after = Memory(0x40, {{0, Ansi(pick("PC7", "***"))}});
    code = Memory(0x100, {{0x20, Wide(pick("c:\\users\\mira", "<profile>****"))}});

    threads[0] = {1001, 0, 0x20, 0, 0x7FFDE000, context, 0x0022F000, stack, threadName};
    modules[0].base = 0x10000000;
    modules[0].size = 0x1000;
    modules[0].path = modulePath;
    modules[0].codeView = cv;
    modules[1].base = 0x7BC00000;
    modules[1].size = 0x1000;
    modules[1].path = otherPath;
    memory[0] = {0x00500000, before};
    memory[1] = {0x00500040, after};
    memory[2] = {0x10000800, code};
    input.timeStamp = 0x65000000;
    input.threads = threads;
    input.modules = modules;
    input.memory = memory;
    input.system.servicePack = servicePack;
  }
  Planted(const Planted&) = delete;
};

std::vector<std::uint8_t> Encode(const MiniDumpInput& input) {
  std::vector<std::uint8_t> out(EncodeMiniDump(input, {}));
  EXPECT_EQ(EncodeMiniDump(input, out), out.size());
  return out;
}

// Where a wanted and a redacted dump differ, for the failure message.
std::string FirstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    std::string around;
    for (std::size_t k = i < 8 ? 0 : i - 8; k < std::min(a.size(), i + 24); ++k) around += a[k] >= 32 && a[k] < 127 ? char(a[k]) : '.';
    return "offset " + std::to_string(i) + ", wanted around it: " + around;
  }
  return "";
}

TEST(MiniDumpRedaction, ReplacesEveryPlantedValueInPlaceAndNothingElse) {
  const Planted mine(false), wanted(true);
  std::vector<std::uint8_t> dump = Encode(mine.input);
  const std::vector<std::uint8_t> expected = Encode(wanted.input);
  ASSERT_EQ(dump.size(), expected.size()) << "the planted and the wanted texts are equally long";
  const DumpRedactResult r = RedactMiniDump(dump, kValues);
  EXPECT_TRUE(r.readable);
  EXPECT_TRUE(dump == expected) << FirstDifference(expected, dump);
  // six in the texts, ten in memory (the stack's own and its memory list's piece are the same bytes)
  EXPECT_EQ(r.replaced, 16u);
  // A second pass finds nothing left.
  EXPECT_EQ(RedactMiniDump(dump, kValues).replaced, 0u);
}

TEST(MiniDumpRedaction, WithoutValuesOrWithoutADumpNothingChanges) {
  const Planted mine(false);
  const std::vector<std::uint8_t> original = Encode(mine.input);
  std::vector<std::uint8_t> dump = original;
  const DumpRedactResult none = RedactMiniDump(dump, {});
  EXPECT_TRUE(none.readable);
  EXPECT_EQ(dump, original);
  // Blank values match nothing (not the empty text between two bytes).
  const DumpRedaction blank[] = {{"", "<user>"}};
  EXPECT_EQ(RedactMiniDump(dump, blank).replaced, 0u);
  EXPECT_EQ(dump, original);

  struct Case {
    const char* what;
    std::size_t keep;  // bytes of the dump kept
    std::uint32_t signature;
  } cases[] = {
      {"another file's signature", SIZE_MAX, 0x464C457F},
      {"the header cut", 31, 0x504D444D},
      {"the directory cut", 40, 0x504D444D},
      {"empty", 0, 0x504D444D},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(std::min(c.keep, original.size())));
    if (bad.size() >= 4) StoreLe32(bad.data(), c.signature);
    const std::vector<std::uint8_t> copy = bad;
    EXPECT_FALSE(RedactMiniDump(bad, kValues).readable) << c.what;
    EXPECT_EQ(bad, copy) << c.what;
  }
}

// A dump cut anywhere past its directory, or with a descriptor pointing outside the file, is
// redacted where its bytes are (and never read or written beyond them: the sanitizers watch).
TEST(MiniDumpRedaction, CutAndBrokenDumpsAreRedactedWhereTheyHoldBytes) {
  const Planted mine(false);
  const std::vector<std::uint8_t> original = Encode(mine.input);
  for (std::size_t keep = 32 + 12 * 6; keep < original.size(); keep += 7) {
    std::vector<std::uint8_t> cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(keep));
    EXPECT_TRUE(RedactMiniDump(cut, kValues).readable) << keep;
  }
  // Every stream's place moved past the end: nothing to do, nothing touched.
  std::vector<std::uint8_t> moved = original;
  for (std::uint32_t i = 0, n = LoadLe32(moved.data() + 8); i < n; ++i)
    StoreLe32(moved.data() + LoadLe32(moved.data() + 12) + 12 * i + 8, 0xFFFFFFF0);
  const std::vector<std::uint8_t> copy = moved;
  EXPECT_EQ(RedactMiniDump(moved, kValues).replaced, 0u);
  EXPECT_EQ(moved, copy);
}

#ifdef KELVANE_OBJ2YAML
// --- The redacted dump as real readers see it (on the build machine only).

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "FAILED: " + command;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
  const int status = pclose(p);
  if (status != 0) out = "FAILED (" + std::to_string(status) + "): " + out;
  return out;
}

TEST(MiniDumpRedactionReaders, LlvmAndTheStackWalkerReadTheRedactedDump) {
  const Planted mine(false);
  std::vector<std::uint8_t> dump = Encode(mine.input);
  ASSERT_TRUE(RedactMiniDump(dump, kValues).readable);
  const std::string path = ::testing::TempDir() + "redacted.dmp";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));

  const std::string yaml = Shell(std::string(KELVANE_OBJ2YAML) + " " + path + " 2>&1");
  ASSERT_EQ(yaml.find("FAILED"), std::string::npos) << yaml;
  for (const char* expected :
       {"Module Name:     '<profile>****\\Temp\\mirage\\********.dll'", "Module Name:     'C:\\windows\\system32\\ntdll.dll'",
        "CSD Version:     'Service Pack 1 for ****'", "Start of Memory Range: 0x500040", "Thread Id:       0x3E9"})
    EXPECT_NE(yaml.find(expected), std::string::npos) << expected << " in\n" << yaml;

  const std::string walked = Shell(std::string(KELVANE_STACKWALK) + " -m " + path + " 2>/dev/null");
  ASSERT_EQ(walked.find("FAILED"), std::string::npos) << walked;
  EXPECT_NE(walked.find("\nModule|********.dll|"), std::string::npos) << walked;
  EXPECT_NE(walked.find("\nModule|ntdll.dll|"), std::string::npos) << walked;
  EXPECT_NE(walked.find("\n0|0|"), std::string::npos) << "the thread's frame\n" << walked;
}
#endif

}  // namespace
}  // namespace report
