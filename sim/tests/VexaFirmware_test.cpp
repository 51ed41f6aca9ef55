#include "sim/VexaFirmware.h"

#include <gtest/gtest.h>

#include <vector>

using namespace sim;

namespace {

std::vector<std::uint8_t> Get(TVexaFirmware& fw, std::uint8_t id, std::size_t len, bool* ok = nullptr) {
  std::vector<std::uint8_t> buf(len, 0);
  buf[0] = id;
  const bool r = fw.GetFeature(buf.data(), buf.size());
  if (ok) *ok = r;
  return buf;
}

TEST(VexaFirmware, FramesAreServedOncePerPollThenZeros) {
  TVexaFirmware fw;
  fw.QueueFrame({2, 0x1234, 0x00FF, 1});
  EXPECT_EQ(Get(fw, 1, 7), (std::vector<std::uint8_t>{1, 2, 0x34, 0x12, 0xFF, 0x00, 1}));
  EXPECT_EQ(Get(fw, 1, 7), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0}));
}

TEST(VexaFirmware, SettingsWrittenAreReadBack) {
  TVexaFirmware fw;
  const std::uint8_t power[] = {4, 1};
  const std::uint8_t polling[] = {6, 0x50, 0xFB};
  const std::uint8_t trained[] = {5, 7, 1, 0, 2, 0, 3};
  EXPECT_TRUE(fw.SetFeature(power, sizeof power));
  EXPECT_TRUE(fw.SetFeature(polling, sizeof polling));
  EXPECT_TRUE(fw.SetFeature(trained, sizeof trained));
  EXPECT_EQ(Get(fw, 2, 2), (std::vector<std::uint8_t>{2, 1}));
  EXPECT_EQ(fw.PollingWord, 0xFB50);
  EXPECT_EQ(Get(fw, 3, 7), (std::vector<std::uint8_t>{3, 7, 1, 0, 2, 0, 3}));
  const std::uint8_t clear[] = {5, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(fw.SetFeature(clear, sizeof clear));
  EXPECT_EQ(Get(fw, 3, 7), (std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0}));
}

TEST(VexaFirmware, WrongDirectionsIdsAndLengthsFail) {
  TVexaFirmware fw;
  fw.QueueFrame({1, 1, 1, 0});
  bool ok = true;
  for (std::uint8_t id : {0, 4, 5, 6, 8, 255}) {
    Get(fw, id, 12, &ok);
    EXPECT_FALSE(ok) << int(id);
  }
  Get(fw, 1, 6, &ok);  // one byte short
  EXPECT_FALSE(ok);
  EXPECT_EQ(fw.Frames.size(), 1u) << "a failed poll must not eat the frame";
  for (std::uint8_t id : {1, 2, 3, 7, 9}) {
    const std::uint8_t buf[12] = {id};
    EXPECT_FALSE(fw.SetFeature(buf, sizeof buf)) << int(id);
  }
  const std::uint8_t shortPolling[] = {6, 0x50};
  EXPECT_FALSE(fw.SetFeature(shortPolling, sizeof shortPolling));
  EXPECT_EQ(fw.PollingWord, 0);
}

TEST(VexaFirmware, VersionTextAndFaults) {
  TVexaFirmware fw;
  fw.Version = "2.13.7-beta-long";
  bool ok = false;
  auto v = Get(fw, 7, 12, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string(v.begin() + 1, v.end()), "2.13.7-beta");  // 11 bytes, no terminator

  fw.SetVersionFaults(2, TVexaFirmware::vfFail);
  v = Get(fw, 7, 12, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(v[0], 7);
  Get(fw, 7, 12, &ok);
  EXPECT_FALSE(ok);
  Get(fw, 7, 12, &ok);
  EXPECT_TRUE(ok);

  fw.SetVersionFaults(-1, TVexaFirmware::vfWrongID);
  for (int i = 0; i < 5; ++i) {
    v = Get(fw, 7, 12, &ok);
    EXPECT_TRUE(ok);
    EXPECT_NE(v[0], 7);
  }
  fw.SetVersionFaults(0, TVexaFirmware::vfFail);
  EXPECT_EQ(Get(fw, 7, 12)[0], 7);
}

}  // namespace
