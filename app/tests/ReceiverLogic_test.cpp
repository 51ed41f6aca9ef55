#include "app/ReceiverLogic.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <climits>

using namespace app;

namespace {

TIRData Frame(bool repetition) { return TIRData{2, 0x10, 0x20, static_cast<std::uint8_t>(repetition ? 1 : 0)}; }

TEST(RepeatSuppression, HidesTheFirstFourRepetitionsAfterAKeyPress) {
  // true: unmarked frame, false: repetition; expected visibility per frame.
  struct Step {
    bool repetition;
    bool shown;
  };
  const Step steps[] = {
      {true, false},                                                      // counter 0: hidden, counter 1
      {false, true},                                                      // new key press: shown
      {true, false}, {true, false}, {true, false}, {true, false},          // four hidden
      {true, true}, {true, true}, {true, true},                           // and every further one shown
      {false, true}, {true, false},                                       // a new press restarts the count
  };
  std::int32_t counter = 0;
  int i = 0;
  for (const Step& s : steps) EXPECT_EQ(PassRepeatSuppression(counter, Frame(s.repetition)), s.shown) << "frame " << i++;
}

TEST(RepeatSuppression, CounterWrapsLikeA32BitValue) {
  std::int32_t counter = INT_MAX - 1;
  EXPECT_TRUE(PassRepeatSuppression(counter, Frame(true)));  // reaches 2^31 - 1
  EXPECT_EQ(counter, INT_MAX);
  EXPECT_FALSE(PassRepeatSuppression(counter, Frame(true)));  // wraps negative: hidden
  EXPECT_EQ(counter, INT_MIN);
  EXPECT_TRUE(PassRepeatSuppression(counter, Frame(true)));  // negative: reset and shown
  EXPECT_EQ(counter, 0);
}

TEST(CodeListing, Lines) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(CodeListing(ReceivedCodeHeading, TIRData{2, 0x1234, 0xAB, 0x01}),
            (Lines{"IR Code received:", "VEXA_NEC_PROTOCOL", "Adress: 0x1234", "Command: 0x00AB", "Flags: 0x01", ""}));
  // Protocols without a name have no protocol line.
  EXPECT_EQ(CodeListing(ReceivedCodeHeading, TIRData{14, 0xFFFF, 0xBEEF, 0xFE}),
            (Lines{"IR Code received:", "Adress: 0xFFFF", "Command: 0xBEEF", "Flags: 0xFE", ""}));
  EXPECT_EQ(CodeListing(TrainedCodeHeading, TIRData{}),
            (Lines{"Trained IR Code:", "Adress: 0x0000", "Command: 0x0000", "Flags: 0x00", ""}));
}

TEST(StatusTexts, FollowTheDevice) {
  THidVexaVersion v{};
  v.ReportID = 7;
  v.Data[0] = '2';
  v.Data[1] = '.';
  v.Data[2] = '1';
  EXPECT_EQ(DeviceStatusText(true), "Device: connected");
  EXPECT_EQ(DeviceStatusText(false), "Device: disconnected");
  EXPECT_EQ(VexaVersionText(true, v), "Vexa Version: 2.1");
  EXPECT_EQ(VexaVersionText(false, v), "Vexa Version: unknown");
  EXPECT_STREQ(PowerOnStateText(true), "PowerOn is Enabled");
  EXPECT_STREQ(PowerOnStateText(false), "PowerOn is Disabled");
  EXPECT_EQ(SliderPositionText(100), "100\xB5s");
}

TEST(PollingTicks, SliderToTicksAndWord) {
  struct Case {
    int position, frequency;
    std::int64_t ticks;
    std::uint16_t word;
  } cases[] = {
      {50, 12000000, 600, 0xFDA8},
      {100, 12000000, 1200, 0xFB50},
      {150, 12000000, 1800, 0xF8F8},
      // Just below 832 at 64-bit precision: the order and width of the operations show here.
      {52, 16000000, 831, 0xFCC1},
      {100, 1, 0, 0x0000},
  };
  for (const Case& c : cases) {
    const std::int64_t ticks = PollingTicks(c.position, c.frequency);
    EXPECT_EQ(ticks, c.ticks) << c.position << " at " << c.frequency;
    EXPECT_EQ(PollingTimeWord(ticks), c.word) << c.position << " at " << c.frequency;
  }
  for (int pos = 50; pos <= 150; ++pos) EXPECT_EQ(PollingTicks(pos, 12000000), pos * 12) << pos;
}

TEST(PollingTicks, ZeroFrequencyRaisesZeroDivide) {
  try {
    PollingTicks(100, 0);
    FAIL() << "no exception";
  } catch (const EZeroDivide& e) {
    EXPECT_EQ(e.Message(), "Gleitkommadivision durch Null");
  }
}

}  // namespace
