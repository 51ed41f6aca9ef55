#include "delivery/KestrumOutbox.h"

#include <gtest/gtest.h>

namespace delivery {
namespace {

OutboxEntry Upload() {
  OutboxEntry e;
  e.reportId = "0123456789abcdef0123456789abcdef";
  e.created = 1765400000123;
  e.attempts = 3;
  e.httpUrl = "http://collector.example.org/upload";
  e.port = 8080;
  e.account = "";
  e.password = "enc/+=";
  e.sender = "Kestrum <a@b.c>";
  e.subject = "bug report: EAccessViolation";
  // Line ends, blanks, percent signs, control and 8-bit bytes all survive the text.
  e.body = "line 1\r\nline 2 100% \t\x01\xE4";
  e.fields = {{"report_id", e.reportId}, {"", ""}, {"Message", "a b\nc"}};
  e.files = {{"bugreport.txt", "BugReport"}, {"screen shot.png", "ScreenShot"}};
  return e;
}

TEST(OutboxEntry, WrittenAndReadBackUnchanged) {
  const OutboxEntry upload = Upload();
  EXPECT_EQ(ReadOutboxEntry(WriteOutboxEntry(upload)), upload);
  OutboxEntry mail;
  mail.reportId = "ffffffffffffffffffffffffffffffff";
  mail.recipients = "bugs@example.org";
  mail.server = "";
  mail.port = 25;
  EXPECT_EQ(ReadOutboxEntry(WriteOutboxEntry(mail)), mail);
}

TEST(OutboxEntry, EveryCutOfTheTextIsRejected) {
  // Power loss or a full disk leaves a text cut anywhere: only the whole text is an entry.
  const std::string text = WriteOutboxEntry(Upload());
  for (std::size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(ReadOutboxEntry(text.substr(0, n))) << n;
}

TEST(OutboxEntry, DamagedOrForeignTextsAreRejected) {
  const std::string good = WriteOutboxEntry(Upload());
  const auto replaced = [&good](const std::string& what, const std::string& with) {
    std::string t = good;
    t.replace(t.find(what), what.size(), with);
    return t;
  };
  const std::string cases[] = {
      replaced("kestrum-outbox 1", "kestrum-outbox 2"),
      replaced("id 0123456789abcdef", "id ../../windows/x"),   // the id names a folder
      replaced("id 0123456789abcdef", "id 0123456789ABCDEF"),  // one spelling only
      replaced("attempts 3", "attempts -3"),
      replaced("port 8080", "port 70000"),
      replaced("created 1765400000123", "created 17654x0000123"),
      replaced("url http", "url %zzhttp"),  // a broken escape
      replaced("url http", "url %4"),
      replaced("subject bug", "subject bug report"),         // a raw blank
      replaced("attempts 3\n", "attempts 3\nattempts 4\n"),  // two entries run together
      replaced("attempts 3\n", ""),
      replaced("attempts 3\n", "attempts 3\nsize 9\n"),              // an unknown key
      replaced("url http://collector.example.org/upload", "url %"),  // no destination at all
      replaced("file bugreport.txt BugReport", "file bugreport.txt"),
      good + "end\n",
  };
  for (const std::string& text : cases) EXPECT_FALSE(ReadOutboxEntry(text)) << text;
  std::string files;
  for (std::size_t i = 0; i <= kOutboxMaxFiles; ++i) files += "file a b\n";
  std::string tooMany = good;
  tooMany.insert(tooMany.rfind("end\n"), files);
  EXPECT_FALSE(ReadOutboxEntry(tooMany));
}

TEST(OutboxReportId, OnlyThirtyTwoLowercaseHexDigits) {
  const std::uint8_t bytes[16] = {0x00, 0x01, 0xab, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
  EXPECT_EQ(FormatReportId(bytes), "0001abff102030405060708090a0b0c0");
  EXPECT_TRUE(IsReportId(FormatReportId(bytes)));
  for (const char* bad : {"", "0001abff102030405060708090a0b0c", "0001abff102030405060708090a0b0c0f", "0001ABFF102030405060708090a0b0c0",
                          "0001abff1020304050607080\r\nX: y00", "../01abff102030405060708090a0b0c0"})
    EXPECT_FALSE(IsReportId(bad)) << bad;
}

std::vector<std::string> Ids(const std::vector<OutboxDrop>& drops, DropReason reason) {
  std::vector<std::string> ids;
  for (const OutboxDrop& d : drops)
    if (d.reason == reason) ids.push_back(d.reportId);
  return ids;
}

TEST(OutboxCaps, OldestGoFirstByAgeThenCountThenSize) {
  constexpr std::int64_t kNow = 1765400000000, kDay = 86400000;
  // Thirty failed deliveries, one a minute: the twenty newest stay.
  std::vector<OutboxItem> thirty;
  for (int i = 0; i < 30; ++i) thirty.push_back({"r" + std::to_string(100 + i), kNow - 3000000 + i * 60000, 1000});
  const auto drops = OutboxDrops(thirty, kNow, {});
  ASSERT_EQ(drops.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(drops[i], (OutboxDrop{"r" + std::to_string(100 + i), DropReason::kCount}));

  // Given out of order: age drops count towards the count cap, size drops come last and oldest first.
  const std::vector<OutboxItem> mixed = {
      {"new", kNow - 10000, 600 * 1024}, {"old", kNow - 31 * kDay, 1},    {"mid", kNow - 2 * kDay, 600 * 1024},
      {"day", kNow - 30 * kDay, 1},      {"future", kNow + 99 * kDay, 1},
  };
  const auto d = OutboxDrops(mixed, kNow, {3, 1024, 30});
  EXPECT_EQ(Ids(d, DropReason::kAge), std::vector<std::string>{"old"});  // exactly 30 days still stays
  EXPECT_EQ(Ids(d, DropReason::kCount), std::vector<std::string>{"day"});
  EXPECT_EQ(Ids(d, DropReason::kSize), std::vector<std::string>{"mid"});  // new + future fit in 1 MB
  EXPECT_TRUE(OutboxDrops(mixed, kNow, {100, 100000, 100}).empty());
  // Nothing fits in no room; a single entry larger than the whole cap goes as well.
  EXPECT_EQ(Ids(OutboxDrops(mixed, kNow, {100, 0, 100}), DropReason::kSize).size(), 5u);
  EXPECT_EQ(OutboxDrops({{"big", kNow, 2048 * 1024}}, kNow, {20, 1024, 30}), (std::vector<OutboxDrop>{{"big", DropReason::kSize}}));
}

TEST(OutboxOrder, OldestFirstTiesByIdAndPausesGrowToAnHour) {
  std::vector<OutboxItem> items = {{"b", 5, 0}, {"c", 1, 0}, {"a", 5, 0}};
  SortOldestFirst(items);
  EXPECT_EQ(items[0].reportId, "c");
  EXPECT_EQ(items[1].reportId, "a");
  EXPECT_EQ(items[2].reportId, "b");
  const std::uint32_t expected[] = {0, 60000, 120000, 240000, 480000, 960000, 1920000, 3600000, 3600000};
  for (std::uint32_t round = 0; round < 9; ++round) EXPECT_EQ(OutboxRetryDelayMs(round), expected[round]) << round;
  EXPECT_EQ(OutboxRetryDelayMs(0xFFFFFFFFu), 3600000u);
}

}  // namespace
}  // namespace delivery
