#include "delivery/KestrumHttp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "delivery/tests/ScriptNetwork.h"

namespace delivery {
namespace {

using Status = HttpAnswer::Status;

TEST(HttpAnswerText, StatusesAndRedirects) {
  const struct {
    const char* name;
    std::string text;
    Status status;
    std::string location;
  } cases[] = {
      {"ok", "HTTP/1.1 200 OK\r\n", Status::kOk, ""},
      {"ok, 1.0", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nthanks", Status::kOk, ""},
      {"partial status line", "HTTP/1.1 20", Status::kMore, ""},
      {"continue, then ok", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", Status::kOk, ""},
      {"continue only", "HTTP/1.1 100 Continue\r\n\r\n", Status::kMore, ""},
      {"continue, head unfinished", "HTTP/1.1 100 Continue\r\n", Status::kMore, ""},
      {"continue, then error", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 500 Oops\r\n", Status::kFailed, ""},
      {"redirect", "HTTP/1.1 302 Found\r\nServer: x\r\nlocation:  http://x.org/thanks \r\n\r\n", Status::kRedirect, "http://x.org/thanks"},
      {"redirect, head unfinished", "HTTP/1.1 302 Found\r\nLocation: http://x.org/", Status::kMore, ""},
      {"redirect without Location", "HTTP/1.1 302 Found\r\n\r\n", Status::kRedirect, ""},
      {"not found", "HTTP/1.1 404 Not Found\r\n\r\n", Status::kFailed, ""},
      {"301 is not 302", "HTTP/1.1 301 Moved\r\nLocation: http://x/\r\n\r\n", Status::kFailed, ""},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n", Status::kFailed, ""},
      {"garbage without line end", "\x01\x02garbage", Status::kFailed, ""},
      {"no status word", "HTTP/1.1\r\n", Status::kFailed, ""},
  };
  for (const auto& c : cases) {
    const HttpAnswer a = JudgeHttpAnswer(c.text);
    EXPECT_EQ(a.status, c.status) << c.name;
    EXPECT_EQ(a.location, c.location) << c.name;
  }
}

TEST(HttpAddresses, UrlProxyPortAndWhatMayBeOpened) {
  std::string host, path;
  EXPECT_TRUE(SplitHttpUrl("http://upload.example.org/cgi/bug.php", host, path));
  EXPECT_EQ(host, "upload.example.org");
  EXPECT_EQ(path, "/cgi/bug.php");
  EXPECT_TRUE(SplitHttpUrl("127.0.0.1:8080/", host, path));
  EXPECT_EQ(host, "127.0.0.1:8080");
  EXPECT_EQ(path, "/");
  EXPECT_FALSE(SplitHttpUrl("http://upload.example.org", host, path));

  EXPECT_EQ(ProxyTarget(""), "");
  EXPECT_EQ(ProxyTarget("proxy:3128"), "proxy:3128");
  EXPECT_EQ(ProxyTarget("http://proxy:3128/"), "proxy:3128");
  EXPECT_EQ(ProxyTarget("ftp=f:21 http=web:8080 https=s:443"), "web:8080");

  const struct {
    std::string target;
    std::uint16_t port;
    std::string name;
  } ports[] = {{"proxy:3128", 3128, "proxy"},
               {"proxy", 80, "proxy"},
               {"proxy:x", 80, "proxy:x"},
               {"proxy:70000", 80, "proxy:70000"},
               {"proxy:", 80, "proxy:"}};
  for (const auto& c : ports) {
    std::string t = c.target;
    std::uint16_t port = 80;
    SplitHostPort(t, port);
    EXPECT_EQ(t, c.name);
    EXPECT_EQ(port, c.port);
  }

  for (const char* ok : {"http://x.org/", "https://x.org/thanks?id=1", "HTTP://X.ORG"}) EXPECT_TRUE(IsWebAddress(ok)) << ok;
  for (const char* bad : {"file:///C:/Windows/system32/calc.exe", "C:\\Windows\\notepad.exe", "calc", "mailto:a@b", "http://",
                          "javascript:alert(1)", "http://x.org/\" -x", "http://x.org/ a", "ms-settings:"}) {
    EXPECT_FALSE(IsWebAddress(bad)) << bad;
  }
}

class HttpUploadScript : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvane-http-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir_);
    report_ = (dir_ / "bugreport.txt").string();
    std::ofstream(report_, std::ios::binary) << "line 1\r\nline 2\r\n";
    empty_ = (dir_ / "empty.bin").string();
    std::ofstream(empty_, std::ios::binary);
    request_.url = "http://upload.example.org/bug";
    request_.port = 8080;
    request_.sender = "Ann <ann@example.org>";
    request_.fields = {{"MailSubject", "Fehler"}, {"MailBody", "text"}};
    request_.attachments = {{report_, empty_, (dir_ / "missing").string()}, {"bugreport.txt", "empty.bin", "m"}, {"BugReport", "E", "M"}};
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::string report_, empty_;
  HttpUploadRequest request_;
};

TEST_F(HttpUploadScript, ContentLengthCountsExactlyTheBodyAndRedirectsAreChecked) {
  const struct {
    const char* name;
    std::string answer;
    bool ok;
    std::vector<std::string> opened;
  } cases[] = {
      {"ok", "HTTP/1.1 200 OK\r\n\r\n", true, {}},
      {"continue, ok", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", true, {}},
      {"redirect to the web", "HTTP/1.1 302 Found\r\nLocation: https://example.org/thanks\r\n\r\n", true, {"https://example.org/thanks"}},
      {"redirect to a program", "HTTP/1.1 302 Found\r\nLocation: file:///C:/windows/system32/calc.exe\r\n\r\n", true, {}},
      {"refused", "HTTP/1.1 403 Forbidden\r\n\r\n", false, {}},
      {"silent", "", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScriptNetwork n;
    if (!c.answer.empty()) n.peers["upload.example.org:8080"].chunks = {c.answer};
    n.peers["upload.example.org:8080"];
    EXPECT_EQ(HttpUpload(n, nullptr, request_, 10), c.ok);
    EXPECT_EQ(n.opened, c.opened);
    const std::string& sent = n.peers["upload.example.org:8080"].sent;
    const std::size_t headEnd = sent.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    const std::string head = sent.substr(0, headEnd);
    EXPECT_TRUE(head.starts_with("POST /bug HTTP/1.1\r\nHost: upload.example.org:8080\r\n")) << head;
    EXPECT_NE(head.find("\r\nFrom: <ann@example.org>"), std::string::npos);
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(sent.size() - headEnd - 4) + "\r\n"), std::string::npos) << head;
    // The empty file and the missing one send no part.
    EXPECT_NE(sent.find("name=\"BugReport\"; filename=\"bugreport.txt\"\r\nContent-Type: application/octet-stream\r\n\r\n"
                        "line 1\r\nline 2\r\n\r\n--"),
              std::string::npos);
    EXPECT_EQ(sent.find("empty.bin"), std::string::npos);
    EXPECT_TRUE(sent.ends_with("--\r\n"));
  }
}

TEST_F(HttpUploadScript, ProxyAccountAndUnreachableServer) {
  testing::ScriptNetwork n;
  n.proxy = "http=127.0.0.1:3128 https=127.0.0.1:3129";
  n.peers["127.0.0.1:3128"].chunks = {"HTTP/1.0 200 OK\r\n\r\n"};
  request_.account = "ann";
  request_.password = "pw";
  EXPECT_TRUE(HttpUpload(n, nullptr, request_, 10));
  const std::string& sent = n.peers["127.0.0.1:3128"].sent;
  EXPECT_TRUE(sent.starts_with("POST http://upload.example.org:8080/bug HTTP/1.1\r\nHost: upload.example.org:8080\r\n")) << sent;
  EXPECT_NE(sent.find("\r\nAuthorization: Basic YW5uOnB3\r\n"), std::string::npos);

  testing::ScriptNetwork nobody;
  EXPECT_FALSE(HttpUpload(nobody, nullptr, request_, 10));
  request_.url = "http://upload.example.org";
  testing::ScriptNetwork noPath;
  noPath.peers["upload.example.org:8080"].chunks = {"HTTP/1.1 200 OK\r\n\r\n"};
  EXPECT_FALSE(HttpUpload(noPath, nullptr, request_, 10));
  EXPECT_FALSE(noPath.peers["upload.example.org:8080"].connected);
}

TEST_F(HttpUploadScript, AnswerBodyIsReadAsFarAsItComesWithoutChangingTheResult) {
  const std::string json = R"({"status":"known"})";
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    bool ok;
    const char* body;  // nullptr: none
  } cases[] = {
      {"in pieces", {"HTTP/1.1 200 OK\r\nContent-Len", "gth: 18\r\n\r\n{\"status\"", ":\"known\"}"}, true, R"({"status":"known"})"},
      {"after continue", {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 18\r\n\r\n" + json + "junk"}, true,
       R"({"status":"known"})"},
      {"empty", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, true, ""},
      // Shorter than announced, or no length and no end of the connection: no body, still delivered.
      {"cut short", {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n" + json}, true, nullptr},
      {"no length", {"HTTP/1.1 200 OK\r\n\r\n" + json}, true, nullptr},
      {"bad length", {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n" + json}, true, nullptr},
      {"failed", {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 18\r\n\r\n" + json}, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScriptNetwork n;
    n.peers["upload.example.org:8080"].chunks.assign(c.chunks.begin(), c.chunks.end());
    std::string body = "untouched";
    EXPECT_EQ(HttpUpload(n, nullptr, request_, 10, &body), c.ok);
    EXPECT_EQ(body, c.body ? c.body : "untouched");
  }
  EXPECT_EQ(HttpAnswerBody("HTTP/1.0 200 OK\r\n\r\n" + json, true), json);
}

}  // namespace
}  // namespace delivery
