#include "crash/KestrumImports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrum {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutText(Bytes& b, std::size_t at, const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) b[at + i] = static_cast<std::uint8_t>(s[i]);
}

constexpr std::uint32_t kNt = 0x40;

// An image as the loader lays it out: headers at 0, the import directory at importRva with the
// descriptors given (name, import address table), names at 0x300, tables at 0x400 (three bound
// slots for the first library, one for the second).
struct Image {
  Bytes bytes = Bytes(0x600, 0);
  Image(std::uint32_t importRva = 0x200, std::uint32_t directories = 16) {
    bytes[0] = 'M';
    bytes[1] = 'Z';
    Put32(bytes, 0x3C, kNt);
    PutText(bytes, kNt, "PE");
    bytes[kNt + 24] = 0x0B;
    bytes[kNt + 25] = 0x01;
    Put32(bytes, kNt + 24 + 92, directories);
    Put32(bytes, kNt + 24 + 104, importRva);
    Put32(bytes, kNt + 24 + 108, 60);
    if (importRva != 0x200) return;
    Descriptor(0x200, 0x300, 0x400);
    Descriptor(0x214, 0x310, 0x420);
    PutText(bytes, 0x300, "KERNEL32.dll");
    PutText(bytes, 0x310, "msvcrt.dll");
    for (std::uint32_t i = 0; i < 3; ++i) Put32(bytes, 0x400 + 4 * i, 0x7B800000 + i);
    Put32(bytes, 0x420, 0x7C000000);
  }
  void Descriptor(std::size_t at, std::uint32_t name, std::uint32_t table) {
    Put32(bytes, at, table);  // the unbound copy of the table
    Put32(bytes, at + 12, name);
    Put32(bytes, at + 16, table);
  }
};

const std::vector<ImportSlot> kBothLibraries = {
    {0x400, "KERNEL32.dll"}, {0x404, "KERNEL32.dll"}, {0x408, "KERNEL32.dll"}, {0x420, "msvcrt.dll"}};

TEST(ImportSlots, ListsEverySlotOfEveryLibrary) { EXPECT_EQ(ImportSlots(Image().bytes), kBothLibraries); }

TEST(ImportSlots, DamagedImagesEndTheWalkInsideTheImage) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::optional<std::vector<ImportSlot>> expected;
  };
  std::vector<Case> cases;
  cases.push_back({"no import directory", Image(0).bytes, std::vector<ImportSlot>{}});
  cases.push_back({"no directory entries for imports", Image(0x200, 1).bytes, std::vector<ImportSlot>{}});
  cases.push_back({"import directory outside the image", Image(0x600).bytes, std::nullopt});
  {
    Image i;
    i.bytes[0] = 'X';
    cases.push_back({"no MZ", i.bytes, std::nullopt});
  }
  {
    Image i;
    Put32(i.bytes, 0x3C, 0xFFFFFFF0);
    cases.push_back({"NT headers offset wraps", i.bytes, std::nullopt});
  }
  {
    Image i;
    i.bytes[kNt + 25] = 0x02;
    cases.push_back({"64-bit optional header", i.bytes, std::nullopt});
  }
  {
    Image i;
    i.bytes.resize(0x406);
    cases.push_back({"table cut by the image's end", i.bytes, std::vector<ImportSlot>{{0x400, "KERNEL32.dll"}}});
  }
  {
    Image i;
    Put32(i.bytes, 0x200 + 16, 0);  // the first library lists no table: skipped, not the end
    cases.push_back({"descriptor without a table", i.bytes, std::vector<ImportSlot>{{0x420, "msvcrt.dll"}}});
  }
  {
    Image i;
    Put32(i.bytes, 0x200 + 12, 0x5FE);  // a name that runs into the image's end
    Put32(i.bytes, 0x214 + 16, 0x7FFFFFF0);  // a table far outside
    i.bytes[0x5FE] = 'a';
    i.bytes[0x5FF] = 'b';
    cases.push_back({"name and table at and past the end", i.bytes,
                     std::vector<ImportSlot>{{0x400, "ab"}, {0x404, "ab"}, {0x408, "ab"}}});
  }
  {
    Image i;
    i.bytes.resize(0x228);  // ends right after the two descriptors: no closing one, names and tables gone
    cases.push_back({"image ends after the descriptors", i.bytes, std::vector<ImportSlot>{}});
  }
  for (const Case& c : cases) EXPECT_EQ(ImportSlots(c.bytes), c.expected) << c.what;
}

TEST(ImportSlots, StopsAtTheSlotLimit) {
  const auto got = ImportSlots(Image().bytes, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<ImportSlot>{kBothLibraries[0], kBothLibraries[1]}));
}

TEST(ImportSlots, SystemCoreLibrariesByNameInAnyCase) {
  EXPECT_TRUE(IsSystemCoreLibrary("KERNEL32.DLL"));
  EXPECT_TRUE(IsSystemCoreLibrary("kernelbase.dll"));
  EXPECT_TRUE(IsSystemCoreLibrary("ntdll.dll"));
  EXPECT_FALSE(IsSystemCoreLibrary("msvcrt.dll"));
  EXPECT_FALSE(IsSystemCoreLibrary("kernel32.dll.bak"));
  EXPECT_FALSE(IsSystemCoreLibrary(""));
}

}  // namespace
}  // namespace kestrum
