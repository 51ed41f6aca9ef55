// The transports against real servers on loopback, the archives against unzip and zipfile.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "delivery/KestrumDns.h"
#include "delivery/KestrumHttp.h"
#include "delivery/KestrumSmtp.h"
#include "delivery/KestrumZip.h"
#include "delivery/tests/HostNetwork.h"
#include "platform/Text.h"

namespace delivery {
namespace {

using testing::HostNetwork;
using testing::PeerProcess;
using testing::RunProgram;

std::string Hex(std::string_view text) {
  return platform::HexBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class Peers : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* python = std::getenv("KELVANE_PYTHON");
    const char* source = std::getenv("KELVANE_SOURCE_DIR");
    ASSERT_TRUE(python && source);
    python_ = python;
    script_ = std::string(source) + "/delivery/tests/peers.py";
    dir_ = std::filesystem::temp_directory_path() / ("kelvane-peers-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    // A report whose lines test the data transparency: dots at line starts, a lone dot.
    report_ = "Kelvane bug report\r\n.hidden line\r\n.\r\n..two dots\r\nexception message : Zugriff\xE4\r\n";
    Write("bugreport.txt", report_);
    std::string picture;
    for (int i = 0; i < 70000; ++i) picture += static_cast<char>((i * 7919) >> 3);
    Write("screenshot.png", picture);
    Write("empty.txt", "");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& data) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  PeerProcess Start(std::vector<std::string> args) {
    args.insert(args.begin(), {python_, script_});
    return PeerProcess(std::move(args));
  }
  int Check(std::vector<std::string> args, std::string& output) {
    std::string command = "'" + python_ + "' '" + script_ + "'";
    for (const std::string& a : args) {
      command += " '";
      for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
      command += '\'';
    }
    return RunProgram(command, output);
  }

  std::string python_, script_, report_;
  std::filesystem::path dir_;
};

TEST_F(Peers, SmtpSessionsAgainstAMailServer) {
  const std::string subject = "Fehler in Kelvane: \xC4rger \xFC" + std::string(" mit einer sehr langen Meldung").append(120, '!');
  const struct {
    const char* name;
    const char* mode;
    std::string account, password;
    bool attachments;
    bool ok;
  } cases[] = {
      {"no auth, with attachments", "noauth", "", "", true, true},
      {"no auth, body only", "noauth", "", "", false, true},
      {"AUTH LOGIN", "auth", "alice", "s3cret \xE4", true, true},
      {"AUTH=LOGIN", "auth-eq", "alice", "s3cret \xE4", false, true},
      {"wrong password", "auth", "alice", "wrong", false, false},
      {"account but no AUTH LOGIN offered", "noauth", "alice", "s3cret \xE4", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path mails = dir_ / "mails";
    std::filesystem::remove_all(mails);
    std::filesystem::create_directories(mails);
    PeerProcess server = Start({"smtp", mails.string(), c.mode});
    ASSERT_GT(server.Port(), 0) << server.FirstLine();
    HostNetwork network;
    SmtpMail mail;
    mail.sender = "Kestrum <bugs@kelvane.example>";
    mail.subject = subject;
    mail.body = report_;
    mail.account = c.account;
    mail.password = c.password;
    if (c.attachments) {
      mail.attachments = {{Path("bugreport.txt"), Path("missing.txt"), Path("screenshot.png"), Path("empty.txt")},
                          {"bugreport.txt", "missing.txt", "screenshot.png", "empty.txt"},
                          {}};
    }
    EXPECT_EQ(SmtpSession(network, nullptr, {"127.0.0.1", server.Port()}, "dev@kelvane.example", mail), c.ok);
    const std::filesystem::path eml = mails / "1.eml";
    EXPECT_EQ(std::filesystem::exists(eml), c.ok);
    if (!c.ok) continue;
    std::vector<std::string> args = {"check-mail", eml.string(), Path("bugreport.txt"), Hex(subject)};
    if (c.attachments) {
      // The missing file is left out; the empty one goes as an empty part.
      args.insert(args.end(),
                  {"bugreport.txt=" + Path("bugreport.txt"), "screenshot.png=" + Path("screenshot.png"), "empty.txt=" + Path("empty.txt")});
    }
    std::string output;
    EXPECT_EQ(Check(args, output), 0) << output;
    const std::string envelope = ReadFile(mails / "1.eml.json");
    EXPECT_NE(envelope.find("\"from\": \"bugs@kelvane.example\""), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"to\": [\"dev@kelvane.example\"]"), std::string::npos) << envelope;
    if (!c.account.empty()) {
      EXPECT_NE(envelope.find("\"auth\": \"alice\""), std::string::npos) << envelope;
    }
  }
}

// What mail readers make of the recipients and of a body whose last line has no line end: the
// To header lists exactly the envelope's recipients, and the text part is the body byte for byte.
TEST_F(Peers, RecipientListsAndTheTextPartAsMailReadersSeeThem) {
  const struct {
    const char* mailAddr;
    std::vector<std::string> expected;  // display name, address, ...
  } cases[] = {
      {"dev@kelvane.example", {"", "dev@kelvane.example"}},
      {"Dev Team <dev@kelvane.example>; other@kelvane.example", {"Dev Team", "dev@kelvane.example", "", "other@kelvane.example"}},
      {"\"Doe, Jane\" <jane@kelvane.example>, \"Max \\\"M\\\" Mustermann\" <max@kelvane.example>;"
       " J\xF6rg M\xFCller-\x80uro <joerg@kelvane.example>",
       {"Doe, Jane", "jane@kelvane.example", "Max \"M\" Mustermann", "max@kelvane.example", "J\xF6rg M\xFCller-\x80uro",
        "joerg@kelvane.example"}},
      {"Ann O'Neil (QA) <ann@kelvane.example>;;  <bob@kelvane.example> ,", {"Ann O'Neil (QA)", "ann@kelvane.example", "", "bob@kelvane.example"}},
  };
  const std::string body = "Kelvane bug report\r\n.dot line\r\nlast line without its end";
  Write("body.txt", body);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mailAddr);
    const std::filesystem::path mails = dir_ / "mails";
    std::filesystem::remove_all(mails);
    std::filesystem::create_directories(mails);
    PeerProcess server = Start({"smtp", mails.string(), "noauth"});
    ASSERT_GT(server.Port(), 0) << server.FirstLine();
    HostNetwork network;
    SmtpMail mail;
    mail.sender = "Kestrum <bugs@kelvane.example>";
    mail.subject = "Bug";
    mail.body = body;
    mail.attachments = {{Path("bugreport.txt")}, {"bugreport.txt"}, {}};
    ASSERT_TRUE(SmtpSession(network, nullptr, {"127.0.0.1", server.Port()}, c.mailAddr, mail));
    const std::string eml = (mails / "1.eml").string();
    std::vector<std::string> args = {"check-to", eml};
    args.insert(args.end(), c.expected.begin(), c.expected.end());
    std::string output;
    EXPECT_EQ(Check(args, output), 0) << output;
    EXPECT_EQ(Check({"check-mail", eml, Path("body.txt"), Hex("Bug"), "bugreport.txt=" + Path("bugreport.txt")}, output), 0) << output;
  }
}

// A server that accepts the connection and never says anything.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_;
};

TEST_F(Peers, SilentServersFailAfterTheBoundedWait) {
  SilentServer silent;
  HostNetwork network;
  SmtpMail mail;
  mail.body = report_;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SmtpSession(network, nullptr, {"127.0.0.1", silent.Port()}, "dev@kelvane.example", mail, 300));
  HttpUploadRequest request;
  request.url = "http://127.0.0.1/upload";
  request.port = silent.Port();
  EXPECT_FALSE(HttpUpload(network, nullptr, request, 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(Peers, HttpUploadsAgainstAWebServer) {
  const struct {
    const char* name;
    std::vector<std::string> mode;
    bool ok;
    std::vector<std::string> opened;
  } cases[] = {
      {"200", {"ok"}, true, {}},
      {"100 then 200", {"continue"}, true, {}},
      {"302 to a web page", {"redirect", "http://127.0.0.1/thanks?id=7"}, true, {"http://127.0.0.1/thanks?id=7"}},
      {"302 to a program", {"redirect", "file:///C:/Windows/System32/calc.exe"}, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path received = dir_ / "form";
    std::filesystem::remove_all(received);
    std::filesystem::create_directories(received);
    std::vector<std::string> args = {"http", received.string()};
    args.insert(args.end(), c.mode.begin(), c.mode.end());
    PeerProcess server = Start(args);
    ASSERT_GT(server.Port(), 0) << server.FirstLine();
    HostNetwork network;
    HttpUploadRequest request;
    request.url = "http://127.0.0.1/cgi/upload";
    request.port = server.Port();
    request.sender = "Ann <ann@kelvane.example>";
    request.account = "ann";
    request.password = "pw";
    request.fields = {{"MailSubject", "Fehler \xE4"}, {"MailBody", "line 1\r\nline 2"}};
    request.attachments = {{Path("bugreport.txt"), Path("screenshot.png"), Path("empty.txt"), Path("missing.txt")},
                           {"bugreport.txt", "screenshot.png", "empty.txt", "missing.txt"},
                           {"BugReport", "ScreenShot", "Empty", "Missing"}};
    EXPECT_EQ(HttpUpload(network, nullptr, request), c.ok);
    EXPECT_EQ(network.opened, c.opened);
    std::string output;
    EXPECT_EQ(Check({"check-form", received.string(), "MailSubject=" + Hex("Fehler \xE4"), "MailBody=" + Hex("line 1\r\nline 2"),
                     "file:BugReport=bugreport.txt=" + Path("bugreport.txt"), "file:ScreenShot=screenshot.png=" + Path("screenshot.png"),
                     "header:path=" + Hex("/cgi/upload"), "header:from=" + Hex("<ann@kelvane.example>"),
                     "header:authorization=" + Hex("Basic YW5uOnB3"), "header:user_agent=" + Hex("Kestrum/3.0")},
                    output),
              0)
        << output;
  }
}

TEST_F(Peers, HttpUploadThroughAProxy) {
  const std::filesystem::path received = dir_ / "form";
  std::filesystem::create_directories(received);
  PeerProcess server = Start({"http", received.string(), "ok"});
  ASSERT_GT(server.Port(), 0);
  // tinyproxy in the foreground on a port that was free a moment ago.
  const std::uint16_t proxyPort = SilentServer().Port();
  const std::string config = Write("tinyproxy.conf", "Port " + std::to_string(proxyPort) +
                                                         "\nListen 127.0.0.1\nTimeout 30\nMaxClients 4\nAllow 127.0.0.1\n"
                                                         "ConnectPort " +
                                                         std::to_string(server.Port()) + "\n");
  std::vector<std::string> args = {"/usr/bin/tinyproxy", "-d", "-c", config};
  PeerProcess proxy(args);
  HostNetwork network;
  for (int i = 0; i < 100 && !network.Connect("127.0.0.1", proxyPort); ++i) ::usleep(50000);
  network.proxy = "http=127.0.0.1:" + std::to_string(proxyPort);
  HttpUploadRequest request;
  request.url = "http://127.0.0.1/via-proxy";
  request.port = server.Port();
  request.fields = {{"MailSubject", "proxied"}};
  request.attachments = {{Path("bugreport.txt")}, {"bugreport.txt"}, {"BugReport"}};
  EXPECT_TRUE(HttpUpload(network, nullptr, request));
  std::string output;
  EXPECT_EQ(Check({"check-form", received.string(), "MailSubject=" + Hex("proxied"),
                   "file:BugReport=bugreport.txt=" + Path("bugreport.txt"), "header:path=" + Hex("/via-proxy")},
                  output),
            0)
      << output;
}

TEST_F(Peers, MxLookupAgainstADnsServer) {
  const std::string zone = Write("zone.txt",
                                 "kelvane.example MX mx1.kelvane.example\n"
                                 "b.example.org MX mail.example.org\n"
                                 "only-a.example A 127.0.0.1\n");
  PeerProcess dns = Start({"dns", zone});
  ASSERT_GT(dns.Port(), 0) << dns.FirstLine();
  HostNetwork network;
  // The servers are given here: port 53 would need a network namespace of the test's own.
  network.dnsServers = {{"127.0.0.1", dns.Port()}};
  EXPECT_EQ(LookupMailServer(network, "dev@kelvane.example"), "mx1.kelvane.example");
  EXPECT_EQ(LookupMailServer(network, "Dev <dev@a.b.example.org>"), "mail.example.org");
  EXPECT_EQ(LookupMailServer(network, "dev@only-a.example", 500), "");
  EXPECT_EQ(LookupMailServer(network, "dev@nowhere.example", 500), "");
}

TEST_F(Peers, ZipArchivesPassUnzipAndZipfile) {
  ZipBuilder zip;
  std::string bigText;
  for (int i = 0; i < 5000; ++i) bigText += "line " + std::to_string(i) + "\r\n";
  const std::string big = Write("big.txt", bigText);
  const std::string names[] = {"bugreport.txt", "Bildschirm \xE4\xF6\xFC\xDF \x80.png", "empty.txt", "big.txt"};
  const std::string files[] = {Path("bugreport.txt"), Path("screenshot.png"), Path("empty.txt"), big};
  for (int i = 0; i < 4; ++i) {
    ZipEntry e;
    e.name = names[i];
    e.data = ReadFile(files[i]);
    e.dosDate = static_cast<std::uint16_t>((46 << 9) | (12 << 5) | 10);
    e.dosTime = static_cast<std::uint16_t>((7 << 11) | (3 << 5) | 4);
    e.attributes = 0x20;
    ASSERT_TRUE(zip.Add(e));
  }
  const std::string archive = Write("report.zip", zip.Finish());
  EXPECT_LT(ReadFile(archive).size(), bigText.size() / 3);
  std::string output;
  EXPECT_EQ(RunProgram("unzip -t '" + archive + "'", output), 0) << output;
  EXPECT_NE(output.find("No errors detected"), std::string::npos) << output;
  EXPECT_EQ(RunProgram("zipinfo -v '" + archive + "'", output), 0) << output;
  // zipinfo reads names of archives made on FAT systems as OEM text: the names are left to zipfile.
  EXPECT_NE(output.find("central directory contains 4 entries"), std::string::npos) << output;
  EXPECT_NE(output.find("2026 Dec 10 07:03:08"), std::string::npos) << output;
  const std::string utf8Names[] = {names[0], Cp1252ToUtf8(names[1]), names[2], names[3]};
  std::vector<std::string> args = {"check-zip", archive};
  for (int i = 0; i < 4; ++i) args.push_back(utf8Names[i] + "=" + files[i]);
  EXPECT_EQ(Check(args, output), 0) << output;
}

}  // namespace
}  // namespace delivery
