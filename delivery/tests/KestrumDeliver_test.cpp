#include "delivery/KestrumDeliver.h"

#include <gtest/gtest.h>

namespace delivery {
namespace {

DeliverySettings Ways(bool http, bool direct, bool client) {
  DeliverySettings s;
  s.uploadViaHttp = http;
  s.mailAsSmtpServer = direct;
  s.mailAsSmtpClient = client;
  return s;
}

TEST(DeliveryDecisions, OneNetworkWayInOrderAndNoneWhenItLacksItsServer) {
  struct Case {
    bool http, direct, client;
    const char* httpServer;
    const char* smtpServer;
    const char* recipients;
    NetworkWay way;
  } cases[] = {
      {true, true, true, "http://h/u", "smtp", "a@b", NetworkWay::kHttpUpload},
      // The chosen way lacks its server: the later ways are not tried instead.
      {true, true, true, "", "smtp", "a@b", NetworkWay::kNone},
      {false, true, true, "", "smtp", "a@b", NetworkWay::kDirectSmtp},
      {false, true, true, "", "smtp", "", NetworkWay::kNone},
      {false, false, true, "", "smtp", "a@b", NetworkWay::kSmtpServer},
      {false, false, true, "", "", "a@b", NetworkWay::kNone},
      {false, false, true, "", "smtp", "", NetworkWay::kNone},
      {false, false, false, "http://h/u", "smtp", "a@b", NetworkWay::kNone},
  };
  for (const Case& c : cases) {
    DeliverySettings s = Ways(c.http, c.direct, c.client);
    s.httpServer = c.httpServer;
    s.smtpServer = c.smtpServer;
    EXPECT_EQ(ChooseNetworkWay(s, c.recipients), c.way) << c.http << c.direct << c.client << " " << c.httpServer << "|" << c.smtpServer
                                                        << "|" << c.recipients;
  }
}

TEST(DeliveryDecisions, SendingWindowAreas) {
  DeliverySettings s;
  s.texts = {"prep", "mx", "conn", "auth", "mail", "field", "att", "final"};
  auto texts = [&](const DeliverySettings& settings, bool anyAttachment) {
    std::string out;
    for (const auto& [weight, text] : SendingAreas(settings, anyAttachment)) out += text + "=" + std::to_string(weight) + " ";
    return out;
  };
  struct Case {
    bool http, direct, client, anyAttachment;
    const char* areas;
  } cases[] = {
      {false, false, false, true, "prep=100 "},
      {false, true, false, true, "prep=100 mx=100 conn=100 auth=200 mail=100 att=100 final=100 "},
      {false, false, true, false, "prep=100 conn=100 auth=200 mail=100 final=100 "},
      {true, false, false, true, "prep=100 conn=100 field=100 att=100 final=100 "},
      {true, true, true, true, "prep=100 mx=100 conn=100 auth=200 mail=100 field=100 att=100 final=100 "},
  };
  for (const Case& c : cases) {
    DeliverySettings with = s;
    with.uploadViaHttp = c.http;
    with.mailAsSmtpServer = c.direct;
    with.mailAsSmtpClient = c.client;
    EXPECT_EQ(texts(with, c.anyAttachment), c.areas);
  }
  // Only the mailto handler: nothing is prepared, no window is made.
  DeliverySettings mailtoOnly;
  mailtoOnly.mailViaMapi = false;
  EXPECT_FALSE(NeedsAttachments(mailtoOnly));
  mailtoOnly.mailViaMapi = true;
  EXPECT_TRUE(NeedsAttachments(mailtoOnly));
}

TEST(DeliveryDecisions, ScreenShotFormatOfTheDepthSetting) {
  const std::pair<std::int32_t, TPngFormat> cases[] = {{4, pf16Grays},    {51200, pf50kb},  {102400, pf100kb}, {204800, pf200kb},
                                                       {307200, pf300kb}, {8, pf256Colors}, {0, pf256Colors},  {24, pf256Colors},
                                                       {-1, pf256Colors}, {51201, pf256Colors}};
  for (const auto& [depth, format] : cases) EXPECT_EQ(PngFormatForDepth(depth), format) << depth;
}

TEST(DeliveryDecisions, FallbacksAndTheMailClientDialog) {
  DeliverySettings s;
  s.mailViaMapi = true;
  s.mailViaMailto = true;
  FallbackPlan shown = PlanFallbacks(s, false);
  EXPECT_TRUE(shown.tryMapi && shown.tryMailto && shown.showFailure);
  // An automatic send never asks the user anything.
  FallbackPlan hidden = PlanFallbacks(s, true);
  EXPECT_TRUE(hidden.tryMapi);
  EXPECT_FALSE(hidden.tryMailto || hidden.showFailure);
  s.mailViaMapi = s.mailViaMailto = false;
  EXPECT_FALSE(PlanFallbacks(s, false).tryMapi || PlanFallbacks(s, false).tryMailto);
  EXPECT_TRUE(PlanFallbacks(s, false).showFailure);

  EXPECT_TRUE(MapiWithoutDialog(true, "a@b"));
  EXPECT_FALSE(MapiWithoutDialog(true, ""));
  EXPECT_FALSE(MapiWithoutDialog(false, "a@b"));

  EXPECT_TRUE(DeleteScreenShotAfterNetwork(true, true));
  EXPECT_TRUE(DeleteScreenShotAfterNetwork(false, false));
  EXPECT_FALSE(DeleteScreenShotAfterNetwork(false, true));
}

TEST(DeliveryTexts, SenderFromTheSettingsOrTheFirstRecipient) {
  EXPECT_EQ(DefaultSender("Me <me@x>", "dev@y"), "Me <me@x>");
  EXPECT_EQ(DefaultSender("", " Dev Team <dev@kelvane.example> ; other@x "), "Kestrum <dev@kelvane.example>");
  EXPECT_EQ(DefaultSender("", "dev@kelvane.example,other@x"), "Kestrum <dev@kelvane.example>");
  EXPECT_EQ(DefaultSender("", ""), "");
}

TEST(DeliveryTexts, ExceptionPlaceholdersInOnePass) {
  EXPECT_EQ(ExpandExceptionPlaceholders("[%ExceptClass%] %exceptmsg% %BUGREPORT%%", "EAccessViolation", "Zugriff", "R"),
            "[EAccessViolation] Zugriff R%");
  // A message that holds a placeholder is not expanded again (the report could be huge).
  EXPECT_EQ(ExpandExceptionPlaceholders("%exceptMsg%|%exceptClass%", "C", "see %bugReport%", "REPORT"), "see %bugReport%|C");
  EXPECT_EQ(ExpandExceptionPlaceholders("%exceptMsg%", "C", "", "R"), "Unknown");
  EXPECT_EQ(ExpandExceptionPlaceholders("100% %exceptClass", "C", "M", "R"), "100% %exceptClass");

  DeliverySettings s;
  s.mailAddr = "dev@kelvane.example";
  s.mailSubject = "Fehler: %exceptClass%";
  s.mailBody = "%exceptMsg%%LF%";
  const std::string report = "date/time          : 2026-12-10\r\nexception class    : EDivByZero\r\nexception message  : Division durch Null.\r\n";
  const MailTexts t = ComposeMailTexts(s, report);
  EXPECT_EQ(t.subject, "Fehler: EDivByZero");
  EXPECT_EQ(t.body, "Division durch Null.%LF%");
  EXPECT_EQ(t.recipients, "dev@kelvane.example");
  EXPECT_EQ(t.sender, "Kestrum <dev@kelvane.example>");
}

TEST(DeliveryTexts, UploadFieldsReplaceByNameAndSkipEmptyTexts) {
  const FormFields additional = {{"Version", "1.2"}, {"mailsubject", "old"}};
  const MailTexts t{"Kestrum <a@b>", "Betreff", "", "a@b"};
  const FormFields expected = {{"Version", "1.2"}, {"mailsubject", "Betreff"}, {"MailFrom", "Kestrum <a@b>"}, {"MailAddr", "a@b"}};
  EXPECT_EQ(UploadFields(additional, t), expected);
}

TEST(DeliveryTexts, MapiRecipientsNameAndAddress) {
  const std::vector<MapiRecipient> expected = {
      {"Dev Team", "SMTP:dev@kelvane.example"}, {"other@x", "SMTP:other@x"}, {"third@y", "SMTP:third@y"}};
  EXPECT_EQ(MapiRecipients(" Dev Team <dev@kelvane.example>; other@x , <third@y>"), expected);
  // A quoted name keeps its comma and loses its quotes.
  EXPECT_EQ(MapiRecipients("\"Doe, Jane\" <jane@x>;b@y"),
            (std::vector<MapiRecipient>{{"Doe, Jane", "SMTP:jane@x"}, {"b@y", "SMTP:b@y"}}));
  EXPECT_TRUE(MapiRecipients("").empty());
}

TEST(ReportPrinting, LinesAreaAndPageBreaks) {
  EXPECT_EQ(PrintLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", " ", "b"}));
  EXPECT_EQ(PrintLines("a\nb"), (std::vector<std::string>{"a\nb"}));
  EXPECT_TRUE(PrintLines("").empty());

  // A4 at 600 dpi: 4960 x 7016 pixels on 210 x 297 mm, the printer reaches 100 / 120 pixels in.
  const PrintArea a = PrintAreaOf({210, 297, 4960, 7016, 100, 120});
  EXPECT_EQ(a.top, 236 - 120);
  EXPECT_EQ(a.left, 472 - 100);
  EXPECT_EQ(a.width, 4960 - 372 - 136);
  EXPECT_EQ(a.bottom, 7016 - 116);
  // A device that reports no size must not divide by it.
  const PrintArea none = PrintAreaOf({0, 0, 800, 600, 0, 0});
  EXPECT_EQ(none.top, 0);
  EXPECT_EQ(none.width, 800);

  const PrintArea page{0, 10, 100, 100};
  struct Case {
    std::vector<int> heights;
    std::vector<std::pair<int, int>> placed;  // page, top
  } cases[] = {
      {{30, 30, 30}, {{0, 10}, {0, 40}, {0, 70}}},
      {{30, 30, 30, 1}, {{0, 10}, {0, 40}, {0, 70}, {1, 10}}},
      {{50, 50, 20}, {{0, 10}, {1, 10}, {1, 60}}},
      {{45, 45, 20}, {{0, 10}, {0, 55}, {1, 10}}},
      // Higher than a page: printed alone on its page, the next line on the next one.
      {{200, 10}, {{0, 10}, {1, 10}}},
      {{10, 200, 10}, {{0, 10}, {1, 10}, {2, 10}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<int, int>> got;
    for (const PrintPlacement& p : PlacePrintLines(c.heights, page)) got.emplace_back(p.page, p.top);
    EXPECT_EQ(got, c.placed);
  }
}

TEST(CollectorAnswer, TheThreeStatesAndNothingFromOtherServers) {
  const AnswerTexts texts{"new!", "known.", "fixed in %version% (%version%)"};
  struct Case {
    const char* body;
    const char* line;
  } cases[] = {
      {R"({"report_id":"ab","group":7,"status":"new","fixed_in":""})", "new!"},
      {R"( { "status" : "known" , "fixed_in":null, "group": -1.5e3 } )", "known."},
      {R"({"report_id":"ab","group":7,"status":"fixed","fixed_in":"1.2.3"})", "fixed in 1.2.3 (1.2.3)"},
      {R"({"status":"fixed","fixed_in":"1.\u0032"})", "fixed in 1.2 (1.2)"},
      // A fixed group without a readable version says what it can.
      {R"({"status":"fixed","fixed_in":""})", "known."},
      {R"({"status":"fixed","fixed_in":"1.2\r\nX"})", "known."},
      {R"({"status":"fixed","fixed_in":"%version%"})", "fixed in %version% (%version%)"},
      // Anything else: a plain server's page, other JSON, broken JSON.
      {"<html><body>OK</body></html>", ""},
      {"", ""},
      {"OK", ""},
      {R"({"status":"regressed"})", ""},
      {R"({"status":"new")", ""},
      {R"({"status":"new"} trailing)", ""},
      {R"({"status":{"x":"new"}})", ""},
      {R"(["new"])", ""},
      {R"({"status":"ne\w"})", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CollectorAnswerLine(ParseCollectorAnswer(c.body), texts), c.line) << c.body;
}

}  // namespace
}  // namespace delivery
