#include "report/KorbCodecs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/Bytes.h"
#include "report/tests/DebugInfoFixtures.h"

namespace {

using report::testing::FromHex;
using report::testing::Stream;
using report::testing::ToHex;

TEST(CompactInt, OneByteUpTo127ElseMarkerAndFourBytes) {
  struct Case {
    std::int32_t value;
    const char* bytes;
  };
  const Case cases[] = {{0, "00"},
                        {127, "7F"},
                        {-127, "81"},
                        {128, "8080000000"},
                        {-128, "8080FFFFFF"},
                        {200, "80C8000000"},
                        {-2147483647 - 1, "8000000080"}};
  for (const Case& c : cases) {
    TMiniStream stream;
    WriteCompactInt(stream, c.value);
    EXPECT_EQ(ToHex(Stream(stream)), c.bytes) << c.value;
    stream.SetPosition(0);
    std::int32_t back = 12345;
    ReadCompactInt(stream, back);
    EXPECT_EQ(back, c.value);
  }
}

TEST(CompactInt, ReadAtTheEndLeavesTheValue) {
  TMiniStream stream;
  std::int32_t value = 77;
  ReadCompactInt(stream, value);
  EXPECT_EQ(value, 77);
}

TEST(CompactString, LengthBeyondTheBytesLeftReadsNothing) {
  TMiniStream stream;
  const std::string bytes = FromHex("05414243");
  stream.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  std::string value = "old";
  ReadCompactString(stream, value);
  EXPECT_EQ(value, "");
  EXPECT_EQ(stream.Position(), 1);
}

TEST(CompactString, WritesAtMost255Characters) {
  TMiniStream stream;
  WriteCompactString(stream, std::string(300, 'x'));
  EXPECT_EQ(stream.Size(), 256);
  stream.SetPosition(0);
  std::string value;
  ReadCompactString(stream, value);
  EXPECT_EQ(value, std::string(255, 'x'));
}

TEST(MiniStream, SizeBelowThePositionMovesThePositionAndBadCountsReadNothing) {
  TMiniStream stream;
  const std::string bytes(10000, 'a');
  stream.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  EXPECT_EQ(stream.Position(), 10000);
  ASSERT_TRUE(stream.SetSize(100));
  EXPECT_EQ(stream.Position(), 100);
  char buffer[4] = {};
  stream.SetPosition(-1);
  EXPECT_EQ(stream.Read(buffer, 4), 0);
  stream.SetPosition(0);
  EXPECT_EQ(stream.Read(buffer, -4), 0);
  ASSERT_TRUE(stream.SetSize(0));
  EXPECT_EQ(stream.Memory(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Compressed block

TEST(CompressedBlock, RoundTripAndEveryDamageGivesNothing) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += "line " + std::to_string(i) + "\n";
  const std::string block = report::CompressBlock(data);
  ASSERT_GE(block.size(), 13u);
  EXPECT_EQ(platform::LoadLe32(reinterpret_cast<const std::uint8_t*>(block.data())), data.size());
  EXPECT_EQ(platform::LoadLe32(reinterpret_cast<const std::uint8_t*>(block.data()) + 8), report::Crc32(data));
  EXPECT_EQ(report::DecompressBlock(block), data);
  EXPECT_EQ(report::Crc32("123456789"), 0xCBF43926u) << "the ZIP check value";

  const auto patched = [&](std::size_t at, std::uint32_t value) {
    std::string copy = block;
    platform::StoreLe32(reinterpret_cast<std::uint8_t*>(copy.data()) + at, value);
    return copy;
  };
  EXPECT_EQ(report::DecompressBlock(block.substr(0, 12)), "") << "shorter than 13 bytes";
  EXPECT_EQ(report::DecompressBlock(block.substr(0, block.size() / 2)), "") << "stream ends early";
  EXPECT_EQ(report::DecompressBlock(patched(8, report::Crc32(data) ^ 1)), "") << "CRC differs";
  EXPECT_EQ(report::DecompressBlock(patched(0, static_cast<std::uint32_t>(data.size() - 1))), "") << "length too small: cut, CRC differs";
  // A length the compressed size cannot give is capped instead of allocated.
  EXPECT_EQ(report::DecompressBlock(patched(0, 0xFFFFFFF0u)), data);
  std::string garbage = block;
  for (std::size_t i = 12; i < garbage.size(); ++i) garbage[i] = static_cast<char>(0xFF);
  EXPECT_EQ(report::DecompressBlock(garbage), "") << "does not inflate";
}

}  // namespace
