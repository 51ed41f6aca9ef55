#include "app/VexaReports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

template <class R>
std::vector<std::uint8_t> Bytes(const R& r) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
  return {p, p + sizeof r};
}

TEST(VexaReports, PollingTimeTravelsAsNegatedLowWord) {
  struct Case {
    std::int64_t ticks;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {1200, {0x06, 0x50, 0xFB}},
      {600, {0x06, 0xA8, 0xFD}},
      {1800, {0x06, 0xF8, 0xF8}},
      {831, {0x06, 0xC1, 0xFC}},
      {0, {0x06, 0x00, 0x00}},          // 65536 mod 65536
      {65536, {0x06, 0x00, 0x00}},      // only the low 16 bits take part
      {65536 + 1200, {0x06, 0x50, 0xFB}},
      {65535, {0x06, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Bytes(MakePollingTimeReport(PollingTimeWord(c.ticks))), c.bytes) << "ticks " << c.ticks;
  }
}

TEST(VexaReports, IRCodeFieldsSitAtTheirWireOffsets) {
  const std::uint8_t wire[7] = {0x01, 0x07, 0x34, 0x12, 0xCD, 0xAB, 0x81};
  THidReportIRCode r;
  std::memcpy(&r, wire, sizeof r);
  EXPECT_EQ(r.ReportID, 1);
  EXPECT_EQ(r.Data.Protocol, 7);
  EXPECT_EQ(r.Data.Address, 0x1234);
  EXPECT_EQ(r.Data.Command, 0xABCD);
  EXPECT_EQ(r.Data.Flags, 0x81);
  EXPECT_TRUE(IsRepetition(r.Data));
  r.Data.Flags = 0xFE;
  EXPECT_FALSE(IsRepetition(r.Data)) << "only bit 0 marks a repetition";
}

TEST(VexaReports, ProtocolNames) {
  struct Case {
    int protocol;
    const char* name;
  } cases[] = {
      {0, nullptr},  {1, "VEXA_SIRCS_PROTOCOL"}, {7, "VEXA_RC5_PROTOCOL"},
      {11, "VEXA_APPLE_PROTOCOL"}, {12, nullptr}, {14, nullptr}, {255, nullptr},
  };
  for (const auto& c : cases) {
    const char* got = ProtocolName(static_cast<std::uint8_t>(c.protocol));
    if (c.name)
      EXPECT_STREQ(got, c.name) << c.protocol;
    else
      EXPECT_EQ(got, nullptr) << c.protocol;
  }
}

TEST(VexaReports, VersionText) {
  struct Case {
    std::vector<std::uint8_t> payload;  // 11 bytes
    std::string text;
  } cases[] = {
      {{'1', '.', '2', 0, 0, 0, 0, 0, 0, 0, 0}, "1.2"},
      {{'1', '.', '2', 0, 'x', 'y', 0, 0, 0, 0, 0}, "1.2"},  // stops at the first zero
      {{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K'}, "ABCDEFGHIJK"},
      {{0, 'a', 0, 0, 0, 0, 0, 0, 0, 0, 0}, ""},
      {{0xE4, 0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "\xE4\xF6"},  // 8-bit text is kept byte for byte
  };
  for (const auto& c : cases) {
    // A trailing byte after the record shows that an 11-character text reads nothing beyond it.
    struct {
      THidVexaVersion v;
      char after;
    } buf;
    buf.v.ReportID = 7;
    std::memcpy(buf.v.Data, c.payload.data(), 11);
    buf.after = '!';
    EXPECT_EQ(VersionText(buf.v), c.text);
  }
}

TEST(VexaReports, VersionAnswerNeedsSuccessAndReportId7) {
  THidVexaVersion v{};
  v.ReportID = 7;
  EXPECT_TRUE(VersionAnswerAccepted(true, v));
  EXPECT_FALSE(VersionAnswerAccepted(false, v));
  v.ReportID = 3;
  EXPECT_FALSE(VersionAnswerAccepted(true, v));
}

TEST(VexaReports, CommandReports) {
  EXPECT_EQ(Bytes(MakePowerOnReport(1)), (std::vector<std::uint8_t>{0x04, 0x01}));
  EXPECT_EQ(Bytes(MakePowerOnReport(0)), (std::vector<std::uint8_t>{0x04, 0x00}));
  EXPECT_EQ(Bytes(MakeClearTrainedCodeReport()), (std::vector<std::uint8_t>{0x05, 0, 0, 0, 0, 0, 0}));

  THidVexaVersion v;
  std::memset(&v, 0xAA, sizeof v);
  PrepareReport(v, ReportVexaVersion);
  std::vector<std::uint8_t> expected(12, 0);
  expected[0] = 7;
  EXPECT_EQ(Bytes(v), expected);
}

}  // namespace
