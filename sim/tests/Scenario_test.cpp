#include "sim/Scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

using namespace sim;

namespace {

TEST(Scenario, EveryCommandWithItsFields) {
  const TScenario sc = ParseScenario(
      "# a receiver and a keyboard\n"
      "at 0 plug rx\n"
      "at 0x10 plug kbd vid=046d pid=0xC31C version=2.5 vendor=\"Acme Corp\" product=Keys serial=S1 noaccess inlen=9\n"
      "at 100 frame rx 2 0x1234 0x00FF 1   # held key\n"
      "at 100 trained rx 7 1 2 3\n"
      "at 200 poweron rx 1\n"
      "at 300 version-fails rx -1\n"
      "at 400 input kbd 01A0ff\r\n"
      "at 500 unplug kbd\n"
      "repeat 0x3E8\n");
  ASSERT_TRUE(sc.Errors.empty()) << sc.Errors[0].Line << ": " << sc.Errors[0].Message;
  ASSERT_EQ(sc.Commands.size(), 8u);
  EXPECT_EQ(sc.RepeatMs, 1000);

  const auto& rx = sc.Commands[0];
  EXPECT_EQ(rx.Kind, TScenarioCommand::skPlug);
  EXPECT_EQ(rx.Line, 2);
  EXPECT_EQ(rx.VendorID, 0x16C0);
  EXPECT_EQ(rx.ProductID, 0x05DF);
  EXPECT_EQ(rx.Version, "1.0");
  EXPECT_FALSE(rx.NoAccess);

  const auto& kbd = sc.Commands[1];
  EXPECT_EQ(kbd.At, 16);
  EXPECT_EQ(kbd.VendorID, 0x046D);
  EXPECT_EQ(kbd.ProductID, 0xC31C);
  EXPECT_EQ(kbd.Version, "2.5");
  EXPECT_EQ(kbd.Vendor, "Acme Corp");
  EXPECT_EQ(kbd.Product, "Keys");
  EXPECT_EQ(kbd.Serial, "S1");
  EXPECT_TRUE(kbd.NoAccess);
  EXPECT_EQ(kbd.InputLength, 9);

  const auto& frame = sc.Commands[2];
  EXPECT_EQ(frame.Kind, TScenarioCommand::skFrame);
  EXPECT_EQ(frame.Protocol, 2);
  EXPECT_EQ(frame.Address, 0x1234);
  EXPECT_EQ(frame.Command, 0xFF);
  EXPECT_EQ(frame.Flags, 1);
  EXPECT_EQ(sc.Commands[3].Kind, TScenarioCommand::skTrained);
  EXPECT_EQ(sc.Commands[4].PowerOn, 1);
  EXPECT_EQ(sc.Commands[5].Count, -1);
  EXPECT_EQ(sc.Commands[6].Bytes, (std::vector<std::uint8_t>{0x01, 0xA0, 0xFF}));
  EXPECT_EQ(sc.Commands[7].Kind, TScenarioCommand::skUnplug);
}

TEST(Scenario, BadLinesAreReportedWithTheirNumberAndLeftOut) {
  const struct {
    const char* line;
    const char* why;
  } bad[] = {
      {"at x plug rx", "time not a number"},
      {"at -5 plug rx", "negative time"},
      {"plug rx", "no 'at'"},
      {"at 5", "no command"},
      {"at 5 plug", "no name"},
      {"at 5 jump rx", "unknown command"},
      {"at 5 plug rx vid=12345", "vid wider than 16 bits"},
      {"at 5 plug rx vid=xyz", "vid not hexadecimal"},
      {"at 5 plug rx colour=red", "unknown option"},
      {"at 5 plug rx product=\"open", "unterminated quote"},
      {"at 5 frame rx 1 2 3", "too few fields"},
      {"at 5 frame rx 256 0 0 0", "protocol above 255"},
      {"at 5 frame rx 1 65536 0 0", "address above 16 bits"},
      {"at 5 poweron rx 2", "power-on not 0 or 1"},
      {"at 5 version-fails rx -2", "count below -1"},
      {"at 5 input rx 0", "odd number of digits"},
      {"at 5 input rx 0g", "not hexadecimal"},
      {"at 5 unplug rx extra", "extra argument"},
      {"repeat 0", "repeat without a period"},
      {"at 99999999999999999999 plug rx", "time overflows"},
  };
  for (const auto& b : bad) {
    const std::string text = std::string("at 0 plug good\n") + b.line + "\nat 1 unplug good\n";
    const TScenario sc = ParseScenario(text);
    ASSERT_EQ(sc.Errors.size(), 1u) << b.why;
    EXPECT_EQ(sc.Errors[0].Line, 2) << b.why;
    EXPECT_FALSE(sc.Errors[0].Message.empty());
    EXPECT_EQ(sc.Commands.size(), 2u) << b.why;
  }
}

TEST(Scenario, CommentsBlankLinesAndTimelineOrder) {
  const TScenario sc = ParseScenario("\n   \n# only a comment\nat 50 unplug a # late\nat 10 plug a\nat 50 plug b\nat 10 frame a 1 2 3 0");
  ASSERT_TRUE(sc.Errors.empty());
  const auto order = TimelineOrder(sc.Commands);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].Line, 5);
  EXPECT_EQ(order[1].Line, 7);  // same time: file order
  EXPECT_EQ(order[2].Line, 4);
  EXPECT_EQ(order[3].Line, 6);
  EXPECT_EQ(sc.RepeatMs, 0);
}

}  // namespace

namespace {

TEST(Scenario, ShippedDemoParses) {
  const char* dir = std::getenv("KELVANE_SOURCE_DIR");
  ASSERT_NE(dir, nullptr);
  std::ifstream in(std::string(dir) + "/sim/demo.scenario");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  const TScenario sc = ParseScenario(text.str());
  EXPECT_TRUE(sc.Errors.empty());
  EXPECT_GT(sc.RepeatMs, 0);
  ASSERT_FALSE(sc.Commands.empty());
  EXPECT_EQ(sc.Commands[0].Kind, TScenarioCommand::skPlug);
  EXPECT_EQ(sc.Commands[0].At, 0);
  int held = 0;
  for (const auto& c : sc.Commands) held += c.Kind == TScenarioCommand::skFrame && (c.Flags & 1);
  EXPECT_GT(held, 4) << "held keys long enough to pass the repeat suppression";
}

}  // namespace
