#include "crash/KestrumTimeHistory.h"

#include <gtest/gtest.h>

namespace kestrum {
namespace {

TEST(TimeHistory, NewestFirstOldestDropsOut) {
  ExceptionTimes h{};
  for (std::int64_t t = 1; t <= 12; ++t) PushExceptionTime(h, 100 + t);
  EXPECT_EQ(h, (ExceptionTimes{112, 111, 110, 109, 108, 107, 106, 105, 104, 103}));
  ExceptionTimes fresh{};
  PushExceptionTime(fresh, 7);
  EXPECT_EQ(fresh, (ExceptionTimes{7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TimeHistory, TenPushesWithinTheWindowSwitchTheRuleOn) {
  ExceptionTimes h{};
  const std::int64_t now = 13'400'000'000;  // seconds since 1601, in 2025
  for (int i = 0; i < 9; ++i) PushExceptionTime(h, now - 20 + i);
  EXPECT_FALSE(AutoActionOn(30, h, now)) << "nine exceptions";
  PushExceptionTime(h, now);
  EXPECT_TRUE(AutoActionOn(30, h, now));
  EXPECT_FALSE(AutoActionOn(19, h, now));
}

TEST(TimeHistory, EightyLittleEndianBytes) {
  const ExceptionTimes h{0x0102030405060708, -1, 0, 13'400'000'000, 0, 0, 0, 0, 0, 0x7FFFFFFFFFFFFFFF};
  const ExceptionTimesBytes b = SerializeExceptionTimes(h);
  EXPECT_EQ((std::array<std::uint8_t, 8>{b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]}),
            (std::array<std::uint8_t, 8>{8, 7, 6, 5, 4, 3, 2, 1}));
  for (int i = 8; i < 16; ++i) EXPECT_EQ(b[i], 0xFF) << i;
  EXPECT_EQ(b[79], 0x7F);
  EXPECT_EQ(ParseExceptionTimes(b), h);
}

}  // namespace
}  // namespace kestrum
