#include "report/KestrumBlowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "report/tests/DebugInfoFixtures.h"

namespace {

using report::testing::FromHex;
using report::testing::ToHex;

TEST(Blowfish, PublishedVectorsInTheStandardHalfOrder) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"}, {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"}, {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"}, {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
  };
  for (const Case& c : cases) {
    const std::string key = FromHex(c.key), plain = FromHex(c.plain);
    const report::Blowfish cipher(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
    const auto* p = reinterpret_cast<const std::uint8_t*>(plain.data());
    std::uint32_t left = static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    std::uint32_t right = static_cast<std::uint32_t>(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
    cipher.EncipherBlock(left, right);
    char text[17];
    std::snprintf(text, sizeof text, "%08X%08X", left, right);
    EXPECT_EQ(std::string(text), c.cipher) << c.key;
    cipher.DecipherBlock(left, right);
    std::snprintf(text, sizeof text, "%08X%08X", left, right);
    EXPECT_EQ(std::string(text), c.plain) << c.key;
  }
}

// The stored form reads each block as two little-endian words, the one at offset 4 being the left
// half: a standard cipher block reversed byte for byte.
TEST(Blowfish, BlocksAreLittleEndianWithTheLeftHalfSecond) {
  const std::string key = FromHex("0123456789ABCDEF");
  const report::Blowfish cipher(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
  std::string data = FromHex(
      "1111111111111111"
      "00112233445566778899");  // 18 bytes: two blocks, a tail of 2
  cipher.Encipher(std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()));
  EXPECT_EQ(ToHex(data.substr(0, 8)), "96B0812280C3F961");  // 61F9C3802281B096 reversed
  EXPECT_EQ(ToHex(data.substr(16)), "8899") << "the tail stays plain";
  cipher.Decipher(std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()));
  EXPECT_EQ(ToHex(data),
            "1111111111111111"
            "00112233445566778899");

  std::string shortPayload = FromHex("01020304050607");
  cipher.Encipher(std::span(reinterpret_cast<std::uint8_t*>(shortPayload.data()), shortPayload.size()));
  EXPECT_EQ(ToHex(shortPayload), "01020304050607") << "seven bytes are not enciphered";
}

TEST(DebugInfoKey, TextIsWordLengthInHexWordLengthInDecimalTwice) {
  EXPECT_EQ(report::DebugInfoKeyText(0x1234), "Kestrl$0001234Kestrl00004660Kestrl$0001234Kestrl00004660");
  EXPECT_EQ(report::DebugInfoKeyText(0xABCDEF12), "Kestrl$ABCDEF12Kestrl2882400018Kestrl$ABCDEF12Kestrl2882400018");
  const std::string key = report::MakeDebugInfoKey(0x1234);
  ASSERT_EQ(key.size(), 56u);
  EXPECT_NE(key, report::DebugInfoKeyText(0x1234));
  EXPECT_NE(key, report::MakeDebugInfoKey(0x1235));
}

}  // namespace
