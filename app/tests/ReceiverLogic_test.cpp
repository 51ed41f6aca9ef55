#include "app/ReceiverLogic.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// A log as the worker and the user leave it: listings, other lines, a listing the user edited and
// one cut off at the end.
const std::vector<std::string> kLog = {
    "IR Code received:",      // 0
    "VEXA_NEC_PROTOCOL",      // 1
    "Adress: 0x00FF",         // 2
    "Command: 0x0045",        // 3
    "Flags: 0x01",            // 4
    "",                       // 5
    "Trained IR Code:",       // 6
    "VEXA_APPLE_PROTOCOL",    // 7
    "Adress: 0xABCD",         // 8
    "Command: 0x1234",        // 9
    "Flags: 0x80",            // 10
    "",                       // 11
    "IR Code received:",      // 12: protocol 14, no protocol line
    "Adress: 0x1234",         // 13
    "Command: 0xABCD",        // 14
    "Flags: 0x80",            // 15
    "PowerOn is Enabled",     // 16
    "IR Code received:",      // 17: lower-case digits, not written by the worker
    "VEXA_NEC_PROTOCOL",      // 18
    "Adress: 0x00ff",         // 19
    "Command: 0x0045",        // 20
    "Flags: 0x00",            // 21
    "Trained IR Code:",       // 22: cut off
    "VEXA_SIRCS_PROTOCOL",    // 23
    "Adress: 0x0001",         // 24
};

// What the worker listed of kLog: the received NEC code, the trained Apple code and the received
// code of protocol 14, which its listing cannot name. The lower-case listing is the user's.
const ListedCode kNec{false, TIRData{2, 0x00FF, 0x0045, 0x01}};
const ListedCode kApple{true, TIRData{11, 0xABCD, 0x1234, 0x80}};
const ListedCode kUnnamed{false, TIRData{14, 0x1234, 0xABCD, 0x80}};
const std::vector<ListedCode> kListed = {kNec, kApple, kUnnamed, {false, TIRData{2, 0x00FF, 0x0045, 0x00}}};

void ExpectCode(const std::optional<ListedCode>& got, const std::optional<ListedCode>& want, const std::string& where) {
  ASSERT_EQ(got.has_value(), want.has_value()) << where;
  if (!got) return;
  EXPECT_EQ(got->Trained, want->Trained) << where;
  EXPECT_EQ(std::memcmp(&got->Code, &want->Code, sizeof got->Code), 0) << where << ": " << CodeListing("", got->Code)[1];
}

TEST(CodeListedAt, FindsTheListingFromAnyOfItsLines) {
  const struct {
    std::size_t line;
    std::optional<ListedCode> want;
  } cases[] = {
      {0, kNec},  {1, kNec},  {2, kNec},  {3, kNec},  {4, kNec},
      {5, std::nullopt},  // the empty line after a listing belongs to none
      {6, kApple}, {7, kApple}, {8, kApple}, {9, kApple}, {10, kApple},
      {11, std::nullopt},
      {12, kUnnamed}, {13, kUnnamed}, {15, kUnnamed},  // the protocol comes from the worker's record
      {16, std::nullopt},
      {17, std::nullopt}, {19, std::nullopt}, {21, std::nullopt},  // not as the worker writes it
      {22, std::nullopt}, {24, std::nullopt},                      // cut off
      {25, std::nullopt}, {1000, std::nullopt},                    // past the end
  };
  for (const auto& c : cases) ExpectCode(CodeListedAt(kLog, c.line, kListed), c.want, "line " + std::to_string(c.line));
  EXPECT_FALSE(CodeListedAt({}, 0, kListed));
  // A listing that names its protocol tells its code; one that does not is a code only as the
  // worker's listing of one: typed or pasted by hand it is none.
  ExpectCode(CodeListedAt(kLog, 7, {}), kApple, "named, typed");
  EXPECT_FALSE(CodeListedAt(kLog, 13, {}));
  EXPECT_FALSE(CodeListedAt(kLog, 13, {kNec, kApple}));
  EXPECT_FALSE(CodeListedAt(kLog, 13, {{false, TIRData{14, 0x1234, 0xABCD, 0x81}}, {true, TIRData{14, 0x1234, 0xABCD, 0x80}}}));
}

TEST(CodeListedAt, EqualListingsOfDifferentCodesMatchFromTheEnd) {
  // Protocols 13 and 200 have no name: their listings read the same.
  const ListedCode older{false, TIRData{13, 0x0102, 0x0304, 0x00}};
  const ListedCode newer{false, TIRData{200, 0x0102, 0x0304, 0x00}};
  std::vector<std::string> log = {"PowerOn is Enabled", ""};
  for (int i = 0; i < 2; ++i) {
    const std::vector<std::string> listing = CodeListing(ReceivedCodeHeading, older.Code);
    log.insert(log.end(), listing.begin(), listing.end());
  }
  ExpectCode(CodeListedAt(log, 3, {older, newer}), older, "first");
  ExpectCode(CodeListedAt(log, 8, {older, newer}), newer, "second");
  // The log cleared between them: the one left is the newest.
  const std::vector<std::string> rest(log.begin() + 7, log.end());
  ExpectCode(CodeListedAt(rest, 1, {older, newer}), newer, "after clearing");
  // More such listings than codes (one pasted): the oldest code for the extra one, no fault.
  log.insert(log.end(), log.begin() + 7, log.end());
  ExpectCode(CodeListedAt(log, 3, {older, newer}), older, "pasted");
}

TEST(CodeListedAt, AcceptsOnlyWhatTheWorkerWrites) {
  const std::vector<std::string> good = {"IR Code received:", "VEXA_SAMSUNG32_PROTOCOL", "Adress: 0xFFFF",
                                         "Command: 0x0000", "Flags: 0xFE", ""};
  const std::vector<ListedCode> listed = {{false, TIRData{10, 0xFFFF, 0x0000, 0xFE}}};
  const auto found = CodeListedAt(good, 2, listed);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Code.Protocol, 10);
  EXPECT_EQ(found->Code.Address, 0xFFFF);
  EXPECT_EQ(found->Code.Command, 0x0000);
  EXPECT_EQ(found->Code.Flags, 0xFE);
  // Each a single edit of the good listing.
  const struct {
    std::size_t line;
    const char* text;
  } broken[] = {
      {0, "IR Code received"},        {0, "IR Code received: "},    {0, "Trained IR Code"},
      {1, "VEXA_FOO_PROTOCOL"},       {1, "vexa_nec_protocol"},     {1, ""},
      {2, "Address: 0xFFFF"},         {2, "Adress: 0xFFFFF"},       {2, "Adress: 0xFFF"},
      {2, "Adress: 0xFFFF "},         {2, "Adress: FFFF"},          {2, "Adress: 0x-FFF"},
      {3, "Command: 0x00G0"},         {3, "Command: 0x"},           {4, "Flags: 0x1"},
      {4, "Flags: 0x100"},            {4, "Flags: 0xFE\r"},
  };
  for (const auto& b : broken) {
    std::vector<std::string> log = good;
    log[b.line] = b.text;
    for (std::size_t line = 0; line < 5; ++line)
      EXPECT_FALSE(CodeListedAt(log, line, listed)) << "'" << b.text << "' at line " << line;
  }
  // The protocol line left out: the listing of a code whose protocol has no name, not of this one.
  std::vector<std::string> log = good;
  log.erase(log.begin() + 1);
  for (std::size_t line = 0; line < 4; ++line) EXPECT_FALSE(CodeListedAt(log, line, listed)) << line;
}

TEST(RememberListedCode, DropsTheOldestQuarterWhenFull) {
  std::vector<ListedCode> listed;
  for (std::size_t i = 0; i <= kMaxListedCodes; ++i) RememberListedCode(listed, {false, TIRData{1, static_cast<std::uint16_t>(i), 0, 0}});
  ASSERT_EQ(listed.size(), kMaxListedCodes - kMaxListedCodes / 4 + 1);
  EXPECT_EQ(listed.front().Code.Address, static_cast<std::uint16_t>(kMaxListedCodes / 4));
  EXPECT_EQ(listed.back().Code.Address, static_cast<std::uint16_t>(kMaxListedCodes));
}

TEST(WriteTrainedCodeCommand, CarriesTheWholeCode) {
  const TIRData codes[] = {{2, 0x00FF, 0x0045, 0x00}, {255, 0xFFFF, 0xFFFF, 0xFF}, {1, 0x1234, 0xABCD, 0x81}, {}};
  for (const TIRData& c : codes) {
    const CommandWords w = WriteTrainedCodeCommand(c);
    const std::optional<TIRData> back = TrainedCodeOfCommand(w.Argument, w.Code);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(&*back, &c, sizeof c), 0) << CodeListing("", c)[1];
    EXPECT_EQ(w.Code & 0xFF, 9u);
  }
  // The other commands are not taken for it.
  for (std::uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 10u, 0x01000009u, 0xFF000209u})
    EXPECT_EQ(TrainedCodeOfCommand(0x12345678, code).has_value(), code == 9u) << std::hex << code;
}

TEST(LogText, LineOfOffset) {
  const std::string text = "ab\r\n\r\ncd\r\n";
  const struct {
    std::size_t offset, line;
  } cases[] = {{0, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 2}, {8, 2}, {10, 3}, {999, 3}};
  for (const auto& c : cases) EXPECT_EQ(LineOfOffset(text, c.offset), c.line) << c.offset;
  EXPECT_EQ(LineOfOffset("", 0), 0u);
}

TEST(LogText, WithCrLf) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\nb", "a\r\nb"},
      {"a\rb\r", "a\r\nb\r\n"},
      {"\n\r\n\r", "\r\n\r\n\r\n"},
      {"\xB5s\r\n", "\xB5s\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(WithCrLf(c.in), c.out) << c.in;
}

TEST(LogText, DefaultFileName) {
  EXPECT_EQ(DefaultLogFileName(2026, 3, 7), "Kelvane log 2026-03-07.txt");
  EXPECT_EQ(DefaultLogFileName(1999, 12, 31), "Kelvane log 1999-12-31.txt");
}

TEST(PowerOnCodeQuestion, NamesProtocolAddressAndCommand) {
  const std::string q = PowerOnCodeQuestion(TIRData{2, 0x00FF, 0x0045, 0x01});
  EXPECT_NE(q.find("Protocol: VEXA_NEC_PROTOCOL"), std::string::npos) << q;
  EXPECT_NE(q.find("Address: 0x00FF"), std::string::npos) << q;
  EXPECT_NE(q.find("Command: 0x0045"), std::string::npos) << q;
}

}  // namespace
