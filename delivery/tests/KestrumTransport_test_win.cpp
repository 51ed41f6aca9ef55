// The transports over Winsock under Wine, against the Linux loopback servers started around this
// program (peers.py with-peers): ports and their folder come in the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "delivery/KestrumDns.h"
#include "delivery/KestrumHttp.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumSmtp.h"
#include "delivery/KestrumZip.h"
#include "delivery/tests/PeerFiles_win.h"

namespace delivery {
namespace {

using testing::PeerWindows;
using testing::PortOf;
using testing::ReadFile;

class WinsockTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(winsock_.Started());
    ASSERT_GT(PortOf("KELVANE_SMTP_PORT"), 0) << "run through peers.py with-peers";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "kelvane-transport-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    report_ = dir_ + "\\bugreport.txt";
    std::ofstream(report_, std::ios::binary) << "Kelvane bug report\r\n.dot line\r\n.\r\nend\r\n";
    shot_ = dir_ + "\\screenshot.png";
    std::string picture;
    for (int i = 0; i < 3000; ++i) picture += static_cast<char>(i * 31);
    std::ofstream(shot_, std::ios::binary) << picture;
    network_.proxyOverride = "";
    network_.openedForTest = &opened_;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  WinsockSession winsock_;
  WinsockNetwork network_;
  std::vector<std::string> opened_;
  std::string dir_, report_, shot_;
};

TEST_F(WinsockTransport, SmtpSessionsReachTheMailServer) {
  SmtpMail mail;
  mail.sender = "Kestrum <bugs@kelvane.example>";
  mail.subject = "Fehler \xE4";
  mail.body = ReadFile(report_);
  mail.attachments = {{report_, shot_}, {"bugreport.txt", "screenshot.png"}, {}};
  EXPECT_TRUE(SmtpSession(network_, nullptr, {"127.0.0.1", PortOf("KELVANE_SMTP_PORT")}, "dev@kelvane.example", mail));
  const std::string eml = ReadFile(PeerWindows("smtp/1.eml"));
  // The server has undone the dot-stuffing: the report's lines arrive as they were.
  EXPECT_NE(eml.find("\r\n\r\nKelvane bug report\r\n.dot line\r\n.\r\nend\r\n"), std::string::npos) << eml;
  EXPECT_NE(eml.find(EncodeBase64(ReadFile(shot_).substr(0, 57)) + "\r\n"), std::string::npos);
  EXPECT_NE(eml.find("Subject: =?ISO-8859-1?Q?Fehler=20=E4?=\r\n"), std::string::npos);

  // The server offers only "AUTH=LOGIN" and knows this account.
  mail.account = "alice";
  mail.password = "s3cret \xE4";
  EXPECT_TRUE(SmtpSession(network_, nullptr, {"127.0.0.1", PortOf("KELVANE_SMTP_AUTH_PORT")}, "dev@kelvane.example", mail));
  EXPECT_NE(ReadFile(PeerWindows("smtp_auth/1.eml.json")).find("\"auth\": \"alice\""), std::string::npos);
  mail.password = "wrong";
  EXPECT_FALSE(SmtpSession(network_, nullptr, {"127.0.0.1", PortOf("KELVANE_SMTP_AUTH_PORT")}, "dev@kelvane.example", mail));
  // An account on a server without AUTH LOGIN.
  EXPECT_FALSE(SmtpSession(network_, nullptr, {"127.0.0.1", PortOf("KELVANE_SMTP_PORT")}, "dev@kelvane.example", mail));
  EXPECT_FALSE(SmtpSession(network_, nullptr, {"host.invalid", 25}, "dev@kelvane.example", mail));
}

TEST_F(WinsockTransport, HttpUploadAndRedirects) {
  HttpUploadRequest request;
  request.url = "http://127.0.0.1/upload";
  request.port = PortOf("KELVANE_HTTP_PORT");
  request.fields = {{"MailSubject", "Fehler"}};
  request.attachments = {{report_, shot_}, {"bugreport.txt", "screenshot.png"}, {"BugReport", "ScreenShot"}};
  EXPECT_TRUE(HttpUpload(network_, nullptr, request));
  EXPECT_EQ(ReadFile(PeerWindows("http/file-ScreenShot")), ReadFile(shot_));
  EXPECT_EQ(ReadFile(PeerWindows("http/file-BugReport")), ReadFile(report_));
  request.port = PortOf("KELVANE_HTTP_REDIRECT_PORT");
  EXPECT_TRUE(HttpUpload(network_, nullptr, request));
  EXPECT_TRUE(opened_.empty()) << opened_.front();
}

TEST_F(WinsockTransport, MxLookupWithGivenServers) {
  network_.dnsServersOverride = std::vector<Network::DnsServer>{{"127.0.0.1", PortOf("KELVANE_DNS_PORT")}};
  EXPECT_EQ(LookupMailServer(network_, "dev@kelvane.example"), "mx1.kelvane.example");
  EXPECT_EQ(LookupMailServer(network_, "dev@a.b.example.org"), "mail.example.org");
  EXPECT_EQ(LookupMailServer(network_, "dev@none.example", 300), "");
  // The system's list under Wine comes from the machine's resolver configuration; whatever it
  // holds, each entry is a dotted address.
  for (const Network::DnsServer& s : SystemDnsServers()) EXPECT_NE(inet_addr(s.host.c_str()), INADDR_NONE) << s.host;
}

TEST_F(WinsockTransport, ConnectionThatNeverComesAboutIsGivenUp) {
  std::uint16_t port = 0;
  SOCKET listener = testing::ListenOnLoopback(0, port);
  ASSERT_NE(listener, INVALID_SOCKET);
  // Nobody accepts: once the queue is full the system drops further connection requests, and a
  // blocking connect would wait for minutes.
  network_.connectWaitMs = 300;
  std::vector<std::unique_ptr<Connection>> queued;
  const DWORD start = GetTickCount();
  bool refused = false;
  for (int i = 0; i < 16 && !refused; ++i) {
    std::unique_ptr<Connection> c = network_.Connect("127.0.0.1", port);
    refused = !c;
    if (c) queued.push_back(std::move(c));
  }
  EXPECT_TRUE(refused);
  EXPECT_LT(GetTickCount() - start, 16u * 300 + 5000);
  closesocket(listener);
}

TEST_F(WinsockTransport, ServerThatStopsReadingIsGivenUp) {
  // More than the two sides' socket buffers can take, so that a send has to wait.
  const std::string big = dir_ + "\\big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    std::string block(1 << 20, 'x');
    for (int i = 0; i < 48; ++i) out << block;
  }
  SmtpMail mail;
  mail.sender = "bugs@kelvane.example";
  mail.subject = "Gross";
  mail.body = "report\r\n";
  mail.attachments = {{big}, {"big.bin"}, {}};
  network_.sendWaitMs = 1000;
  const DWORD start = GetTickCount();
  EXPECT_FALSE(SmtpSession(network_, nullptr, {"127.0.0.1", PortOf("KELVANE_SMTP_STALL_PORT")}, "dev@kelvane.example", mail));
  // One send's wait, then QUIT's reply wait.
  EXPECT_LT(GetTickCount() - start, static_cast<DWORD>(1000 + kSmtpReplyWaitMs + 10000));
}

TEST_F(WinsockTransport, ZipFilesFromDisk) {
  const std::string archive = dir_ + "\\report.zip";
  EXPECT_TRUE(ZipFiles(archive, {report_, dir_ + "\\missing.txt", shot_}, {"bugreport.txt", "", "Bild \xE4.png"}));
  const std::string zip = ReadFile(archive);
  EXPECT_NE(zip.find("Bild \xC3\xA4.png"), std::string::npos);
  EXPECT_EQ(zip.find("missing.txt"), std::string::npos);
  EXPECT_FALSE(ZipFiles(archive, {dir_ + "\\missing.txt"}, {}));
  EXPECT_EQ(GetFileAttributesA(archive.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace delivery
