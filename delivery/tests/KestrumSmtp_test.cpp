#include "delivery/KestrumSmtp.h"

#include <gtest/gtest.h>

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
    if (c.ok) {
      EXPECT_EQ(auth, c.authLogin);
    }
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
