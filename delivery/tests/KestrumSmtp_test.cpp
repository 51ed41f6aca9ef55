#include "delivery/KestrumSmtp.h"

#include <gtest/gtest.h>

#include "delivery/KestrumDns.h"
#include "delivery/KestrumTransport.h"
#include "delivery/tests/ScriptNetwork.h"

namespace delivery {
namespace {

using testing::ScriptNetwork;

TEST(SmtpReply, ChunksLinesAndAuthOffers) {
  const struct {
    const char* name;
    const char* code;
    std::vector<std::string> chunks;
    bool ok;
    bool authLogin;
  } cases[] = {
      {"single line", "220", {"220 mail ready\r\n"}, true, false},
      {"bare code", "250", {"250\r\n"}, true, false},
      {"continuations", "250", {"250-mail\r\n250-SIZE 100\r\n250 HELP\r\n"}, true, false},
      {"auth login", "250", {"250-mail\r\n250-AUTH PLAIN LOGIN\r\n250 OK\r\n"}, true, true},
      {"auth=login", "250", {"250-mail\r\n250-AUTH=LOGIN\r\n250 OK\r\n"}, true, true},
      {"lower case", "250", {"250-mail\r\n250-auth cram-md5 login\r\n250 OK\r\n"}, true, true},
      {"login only as a word", "250", {"250-AUTH LOGINX\r\n250-XAUTH LOGIN\r\n250 OK\r\n"}, true, false},
      {"split inside the code", "250", {"2", "5", "0 O", "K\r\n"}, true, false},
      {"continuation in pieces", "250", {"250-a\r\n2", "50-AUTH LOG", "IN\r\n250 x\r\n"}, true, true},
      {"bare line feeds", "220", {"220-a\n220 b\n"}, true, false},
      {"wrong code", "250", {"550 no\r\n"}, false, false},
      {"wrong code later", "250", {"250-a\r\n", "550 no\r\n"}, false, false},
      {"wrong start already in a piece", "250", {"5"}, false, false},
      {"code glued to text", "250", {"2500\r\n"}, false, false},
      {"silence", "220", {}, false, false},
      {"reply never ends", "250", {"250-a\r\n"}, false, false},
      {"endless line", "220", {"220 " + std::string(kSmtpMaxLine + 10, 'x')}, false, false},
      {"huge reply", "250", std::vector<std::string>(200, "250-" + std::string(1000, 'y') + "\r\n"), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScriptPeer peer;
    peer.chunks.assign(c.chunks.begin(), c.chunks.end());
    testing::ScriptConnection connection(peer);
    bool auth = false;
    EXPECT_EQ(ReadSmtpReply(connection, c.code, &auth, 10), c.ok);
    if (c.ok) { EXPECT_EQ(auth, c.authLogin); }
  }
}

// The server's side of a conversation: one reply chunk per command, in order.
ScriptNetwork ServerSaying(std::vector<std::string> replies) {
  ScriptNetwork n;
  n.peers["mail.example.org:25"].chunks.assign(replies.begin(), replies.end());
  return n;
}

SmtpMail Mail() {
  SmtpMail m;
  m.sender = "Kestrum <bugs@kelvane.example>";
  m.subject = "Fehler";
  m.body = "report\r\n.hidden\r\n";
  return m;
}

TEST(SmtpSessionScript, CommandsInOrderAndTheFailuresThatStopIt) {
  const SmtpTarget target{"mail.example.org", 25};
  {
    SCOPED_TRACE("delivered");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
    EXPECT_TRUE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
    const std::string& sent = n.peers["mail.example.org:25"].sent;
    EXPECT_TRUE(sent.starts_with("EHLO TESTPC\r\nMAIL FROM:<bugs@kelvane.example>\r\nRCPT TO:<a@example.org>\r\nDATA\r\n")) << sent;
    EXPECT_NE(sent.find("\r\n\r\nreport\r\n..hidden\r\n.\r\nQUIT\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("To: <a@example.org>\r\nFrom: Kestrum <bugs@kelvane.example>\r\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("account set, no AUTH LOGIN offered: QUIT and fail");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "250-x\r\n250 AUTH PLAIN\r\n", "221 bye\r\n"});
    SmtpMail m = Mail();
    m.account = "alice";
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", m, 10));
    EXPECT_EQ(n.peers["mail.example.org:25"].sent, "EHLO TESTPC\r\nQUIT\r\n");
  }
  {
    SCOPED_TRACE("AUTH LOGIN");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "250-x\r\n250 AUTH=LOGIN\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
                                    "235 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "221 bye\r\n"});
    SmtpMail m = Mail();
    m.account = "alice";
    m.password = "secret";
    m.subject.clear();
    m.body.clear();
    EXPECT_TRUE(SmtpSession(n, nullptr, target, "a@example.org", m, 10));
    EXPECT_EQ(n.peers["mail.example.org:25"].sent,
              "EHLO TESTPC\r\nAUTH LOGIN\r\nYWxpY2U=\r\nc2VjcmV0\r\nMAIL FROM:<bugs@kelvane.example>\r\nRCPT TO:<a@example.org>\r\n"
              "RSET\r\nQUIT\r\n");
  }
  {
    SCOPED_TRACE("EHLO refused, HELO accepted, one of two recipients refused");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "500 what\r\n", "250 ok\r\n", "250 ok\r\n", "550 no\r\n", "250 ok\r\n", "354 go\r\n",
                                    "250 queued\r\n", "221 bye\r\n"});
    EXPECT_TRUE(SmtpSession(n, nullptr, target, "x@example.org; a@example.org", Mail(), 10));
    EXPECT_TRUE(n.peers["mail.example.org:25"].sent.starts_with("EHLO TESTPC\r\nHELO TESTPC\r\n"));
  }
  {
    SCOPED_TRACE("HELO refused too: no QUIT");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "500 what\r\n", "500 what\r\n"});
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
    EXPECT_EQ(n.peers["mail.example.org:25"].sent, "EHLO TESTPC\r\nHELO TESTPC\r\n");
  }
  {
    SCOPED_TRACE("every recipient refused");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "550 no\r\n", "221 bye\r\n"});
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
    EXPECT_TRUE(n.peers["mail.example.org:25"].sent.ends_with("RCPT TO:<a@example.org>\r\nQUIT\r\n"));
  }
  {
    SCOPED_TRACE("QUIT not answered: fails although the mail went out");
    ScriptNetwork n = ServerSaying({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n"});
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
  }
  {
    SCOPED_TRACE("silent server");
    ScriptNetwork n = ServerSaying({});
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
    EXPECT_EQ(n.peers["mail.example.org:25"].sent, "");
  }
  {
    SCOPED_TRACE("no server there");
    ScriptNetwork n;
    EXPECT_FALSE(SmtpSession(n, nullptr, target, "a@example.org", Mail(), 10));
  }
}

TEST(SmtpMailText, HeadersAndParts) {
  // 2026-12-10 07:03:09.123 UTC as a file time.
  const std::uint64_t t = 134413597891230000ULL;
  EXPECT_EQ(MailHeaderBlock("a@x.org", "Ann <b@y.org>", "Hi", t),
            "To: <a@x.org>\r\nFrom: Ann <b@y.org>\r\nSubject: =?ISO-8859-1?Q?Hi?=\r\nDate: 10 Dec 2026 07:03:09 UT\r\n"
            "Message-ID: <01dd88748349f930@Kestrum>\r\n");
  EXPECT_NE(MailAttachmentHead("C:\\tmp\\SHOT.PNG", "screenshot.png").find("Content-Type: image/png; name=\"screenshot.png\""),
            std::string::npos);
  EXPECT_NE(MailAttachmentHead("C:\\tmp\\bugreport.txt", "bugreport.txt").find("application/octet-stream"), std::string::npos);
}

}  // namespace
}  // namespace delivery

namespace delivery {
namespace {

// Areas as the progress window keeps them: count, current area, texts.
class RecordingProgress : public ProgressSink {
 public:
  std::vector<std::pair<std::int64_t, std::string>> areas;
  int current = 0;
  void AddArea(std::int64_t weight, const std::string& text) override { areas.emplace_back(weight, text); }
  void ClearAreas() override {
    areas.clear();
    current = 0;
  }
  void AreaDone() override { SetCurrentArea(current + 1); }
  int CurrentArea() override { return current; }
  void SetCurrentArea(int value) override {
    if (value >= 0 && value <= static_cast<int>(areas.size())) current = value;
  }
  void SetPosition(int) override {}
};

std::vector<std::uint8_t> MxAnswer(std::uint16_t id, const std::string& domain, const std::string& host) {
  std::vector<std::uint8_t> q = BuildDnsQuery(id, domain, kDnsTypeMx);
  q[2] = 0x81;
  q[3] = 0x80;
  q[7] = 1;
  const std::vector<std::uint8_t> query = BuildDnsQuery(id, host, kDnsTypeMx);
  std::vector<std::uint8_t> name(query.begin() + 12, query.end() - 4);
  q.insert(q.end(), {0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(name.size() + 2), 0, 10});
  q.insert(q.end(), name.begin(), name.end());
  return q;
}

TEST(Transport, DirectDeliveryTriesEachRecipientsServer) {
  testing::ScriptNetwork n;
  n.dnsServers = {{"127.0.0.1", 53}};
  n.datagrams = {{MxAnswer(n.nextId, "a.example", "mx.a.example")}, {MxAnswer(n.nextId, "b.example", "mx.b.example")}};
  // The first recipient's server refuses everything; the second one takes the mail.
  n.peers["mx.a.example:25"].chunks = {"554 go away\r\n"};
  n.peers["mx.b.example:25"].chunks = {"220 hi\r\n", "250 ok\r\n",     "250 ok\r\n", "250 ok\r\n",
                                       "354 go\r\n", "250 queued\r\n", "221 bye\r\n"};
  TransportRequest r;
  r.recipients = "ann@a.example; bob@b.example";
  r.subject = "s";
  r.body = "b";
  r.texts.mxLookup = "MX";
  r.texts.connect = "Connect";
  RecordingProgress progress;
  progress.AddArea(100, "from before");
  EXPECT_TRUE(SendBySmtpOrHttp(n, &progress, r));
  EXPECT_TRUE(n.peers["mx.a.example:25"].connected);
  EXPECT_NE(n.peers["mx.b.example:25"].sent.find("RCPT TO:<bob@b.example>\r\n"), std::string::npos);
  ASSERT_EQ(progress.areas.size(), 1u + 2 * 12);
  EXPECT_EQ(progress.areas[0].second, "Prepare attachments...");
  EXPECT_EQ(progress.areas[1], (std::pair<std::int64_t, std::string>{500, "MX"}));
  EXPECT_EQ(progress.areas[13], (std::pair<std::int64_t, std::string>{500, "MX"}));
  EXPECT_EQ(progress.current, 25);

  r.recipients = "nobody@c.example";
  EXPECT_FALSE(SendBySmtpOrHttp(n, &progress, r));
  r.recipients.clear();
  EXPECT_FALSE(SendBySmtpOrHttp(n, &progress, r));
}

}  // namespace
}  // namespace delivery
