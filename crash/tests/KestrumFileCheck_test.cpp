#include "crash/KestrumFileCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kestrum {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FileCheck, ChecksumOverWords) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Case {
    const char* what;
    Bytes data;
    std::size_t checksumOffset;
    std::uint32_t expected;
  } cases[] = {
      {"empty", {}, kNone, 0},
      {"odd trailing byte is a word of its own", {0x01}, kNone, 0x0001 + 1},
      {"little-endian words", {0x34, 0x12, 0x01, 0x00}, kNone, 0x1235 + 4},
      {"carry folded back in", {0xFF, 0xFF, 0x02, 0x00}, kNone, 0x0002 + 4},
      {"all ones stays 0xffff", {0xFF, 0xFF, 0xFF, 0xFF}, kNone, 0xFFFF + 4},
      {"many carries", Bytes(0x20000, 0xFF), kNone, 0xFFFF + 0x20000},
      {"checksum bytes skipped", {0x12, 0x34, 0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00}, 2, 0x3412 + 0x0001 + 8},
      {"field at an odd offset counts as zero bytes", {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, 1, 0x0001 + 0x0600 + 6},
      {"field running past the end", {0x01, 0x02, 0x03}, 2, 0x0201 + 3},
      {"field past the end skips nothing", {0x01, 0x02}, 8, 0x0201 + 2},
  };
  for (const Case& c : cases) EXPECT_EQ(ImageChecksum(c.data.data(), c.data.size(), c.checksumOffset), c.expected) << c.what;
}

// The start-up check reads the program file through a small buffer: any cut into pieces sums the
// same as the whole, also where a piece ends inside a word or inside the checksum field.
TEST(FileCheck, PiecewiseSumEqualsWholeSum) {
  Bytes data(70001);
  std::uint32_t x = 12345;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  const std::size_t pieceSizes[] = {1, 2, 3, 5, 4096, 65536, 69999};
  const std::size_t fieldOffsets[] = {0, 1, 4094, 4095, 65535, 69998, 80000};
  for (std::size_t piece : pieceSizes) {
    for (std::size_t field : fieldOffsets) {
      ImageChecksummer sum(field);
      for (std::size_t at = 0; at < data.size(); at += piece) sum.Add(data.data() + at, std::min(piece, data.size() - at));
      EXPECT_EQ(sum.Finish(), ImageChecksum(data.data(), data.size(), field)) << "pieces of " << piece << ", field at " << field;
      EXPECT_EQ(sum.Size(), data.size());
    }
  }
}

// Minimal headers: "MZ", the NT headers' offset at 0x3C, "PE\0\0", a file header whose optional
// header size is given, and the optional header's magic.
Bytes Headers(std::uint32_t ntOffset, std::uint16_t magic = 0x10B, std::uint16_t optionalSize = 0xE0, std::size_t size = 0x200) {
  Bytes b(size, 0);
  b[0] = 'M';
  b[1] = 'Z';
  for (int i = 0; i < 4; ++i) b[0x3C + i] = static_cast<std::uint8_t>(ntOffset >> (8 * i));
  if (std::uint64_t{ntOffset} + 0x60 <= size) {
    b[ntOffset] = 'P';
    b[ntOffset + 1] = 'E';
    b[ntOffset + 20] = static_cast<std::uint8_t>(optionalSize);
    b[ntOffset + 21] = static_cast<std::uint8_t>(optionalSize >> 8);
    b[ntOffset + 24] = static_cast<std::uint8_t>(magic);
    b[ntOffset + 25] = static_cast<std::uint8_t>(magic >> 8);
    b[ntOffset + 88] = 0x78;
    b[ntOffset + 89] = 0x56;
  }
  return b;
}

TEST(FileCheck, ChecksumFieldFromHeaders) {
  EXPECT_EQ(FindChecksumField(Headers(0x80).data(), 0x200), (ChecksumField{0x80 + 88, 0x5678}));
  EXPECT_EQ(FindChecksumField(Headers(0x80, 0x20B).data(), 0x200), (ChecksumField{0x80 + 88, 0x5678})) << "PE32+";
  EXPECT_EQ(FindChecksumField(Headers(0x80).data(), 0x80 + 92), (ChecksumField{0x80 + 88, 0x5678})) << "ends with the field";

  struct Case {
    const char* what;
    Bytes headers;
    std::size_t size;
  } bad[] = {
      {"ends inside the field", Headers(0x80), 0x80 + 91},
      {"too short for the DOS header", Headers(0x80), 0x3F},
      {"not MZ", [] { Bytes b = Headers(0x80); b[1] = 'X'; return b; }(), 0x200},
      {"not PE", [] { Bytes b = Headers(0x80); b[0x82] = 1; return b; }(), 0x200},
      {"NT headers past the end", Headers(0x7FFFFFF0), 0x200},
      {"NT headers offset wraps a 32-bit sum", Headers(0xFFFFFFF0), 0x200},
      {"optional header without a checksum", Headers(0x80, 0x10B, 67), 0x200},
      {"unknown optional header", Headers(0x80, 0x107), 0x200},
  };
  for (const Case& c : bad) EXPECT_EQ(FindChecksumField(c.headers.data(), c.size), std::nullopt) << c.what;
  EXPECT_EQ(FindChecksumField(nullptr, 0x200), std::nullopt);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LinkedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("KESTRUM_TINY_IMAGE");
    ASSERT_TRUE(path != nullptr && *path != 0) << "KESTRUM_TINY_IMAGE names the tiny program the build links";
    file_ = ReadFile(path);
    ASSERT_GT(file_.size(), 1024u) << path;
    // What the loaded image says: its headers are the file's as it was when the program started.
    const std::optional<ChecksumField> field = FindChecksumField(file_.data(), file_.size());
    ASSERT_TRUE(field);
    image_ = *field;
    ASSERT_NE(image_.stored, 0u) << "the linker writes the checksum";
  }
  Bytes file_;
  ChecksumField image_;
};

TEST_F(LinkedImage, OurChecksumIsTheLinkers) {
  EXPECT_EQ(ImageChecksum(file_.data(), file_.size(), image_.offset), image_.stored);
  EXPECT_EQ(CheckModuleFile(file_.data(), file_.size(), image_), FileCheck::matches);
}

TEST_F(LinkedImage, AnyChangedByteFails) {
  for (std::size_t at : {std::size_t{0x40}, image_.offset - 1, image_.offset + 4, file_.size() / 2, file_.size() - 1}) {
    Bytes damaged = file_;
    damaged[at] ^= 0x10;
    EXPECT_EQ(CheckModuleFile(damaged.data(), damaged.size(), image_), FileCheck::differs) << at;
  }
  Bytes longer = file_;
  longer.push_back(0);
  EXPECT_EQ(CheckModuleFile(longer.data(), longer.size(), image_), FileCheck::differs) << "the size counts";
}

TEST_F(LinkedImage, TruncatedFileFails) {
  struct Case {
    std::size_t size;
    FileCheck result;
  } cases[] = {
      {0, FileCheck::tooShort},
      {0x40, FileCheck::tooShort},
      {image_.offset + 3, FileCheck::tooShort},
      {image_.offset + 4, FileCheck::differs},
      {file_.size() / 2, FileCheck::differs},
      {file_.size() - 2, FileCheck::differs},
  };
  for (const Case& c : cases) {
    // Exactly sized: a read past the file is a read past the heap block.
    const Bytes cut(file_.begin(), file_.begin() + static_cast<std::ptrdiff_t>(c.size));
    EXPECT_EQ(CheckModuleFile(cut.data(), cut.size(), image_), c.result) << c.size;
    EXPECT_FALSE(FileCheckPassed(c.result));
  }
}

TEST_F(LinkedImage, OffsetsComeFromTheImageNotTheFile) {
  // The file on disk now claims its NT headers lie far outside it; the check still sums the
  // whole file against the image's value and fails cleanly.
  Bytes damaged = file_;
  damaged[0x3C] = 0xF0;
  damaged[0x3D] = damaged[0x3E] = damaged[0x3F] = 0xFF;
  EXPECT_EQ(FindChecksumField(damaged.data(), damaged.size()), std::nullopt);
  EXPECT_EQ(CheckModuleFile(damaged.data(), damaged.size(), image_), FileCheck::differs);
}

TEST_F(LinkedImage, ImageWithoutChecksumPasses) {
  const ChecksumField none{image_.offset, 0};
  Bytes damaged = file_;
  damaged[file_.size() / 2] ^= 1;
  EXPECT_EQ(CheckModuleFile(damaged.data(), damaged.size(), none), FileCheck::noChecksum);
  EXPECT_EQ(CheckModuleFile(nullptr, 0, none), FileCheck::noChecksum);
  EXPECT_TRUE(FileCheckPassed(FileCheck::noChecksum));
}

}  // namespace
}  // namespace kestrum
