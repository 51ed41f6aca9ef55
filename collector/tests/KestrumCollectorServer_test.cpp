// The collector program over loopback: uploads through the component's own HTTP upload, the
// answers to every kind of upload, status changes and the end by SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "collector/KestrumCollectorFiles.h"
#include "collector/KestrumCollectorStore.h"
#include "collector/tests/CollectorFixtures.h"
#include "collector/tests/CollectorProcess.h"
#include "collector/tests/PostgresCluster.h"
#include "delivery/KestrumBugReportFile.h"
#include "delivery/KestrumDeliver.h"
#include "delivery/KestrumHttp.h"
#include "delivery/KestrumZip.h"
#include "delivery/tests/HostNetwork.h"

namespace collector {
namespace {

using nlohmann::json;
using testing::CollectorProcess;
using testing::FormBody;
using testing::FormType;
using testing::MakeReport;
using testing::Part;
using testing::ReportRecipe;
using testing::TempFolder;

const std::string kPng("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

std::string WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

std::size_t FilesIn(const std::string& folder) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator(); ++it) ++n;
  return n;
}

// The component's HTTP upload of a report (and a screenshot) to the collector.
bool ComponentUpload(int port, const std::string& folder, const std::string& report, const std::string& name) {
  delivery::testing::HostNetwork network;
  delivery::HttpUploadRequest request;
  request.url = "127.0.0.1/upload";
  request.port = static_cast<std::uint16_t>(port);
  request.fields = delivery::UploadFields({{"Customer", "4711"}}, {"user@example.org", "Bug report", "It crashed.", ""});
  request.attachments.files = {WriteFile(folder + "/" + name + ".txt", report), WriteFile(folder + "/" + name + ".png", kPng)};
  request.attachments.sendAsNames = {"bugreport.txt", "screenShot.png"};
  request.attachments.fieldNames = {"BugReport", "ScreenShot"};
  return delivery::HttpUpload(network, nullptr, request);
}

json Get(const CollectorProcess& c, const std::string& path) {
  auto res = c.Client().Get(path.c_str());
  EXPECT_TRUE(res) << path;
  if (!res) return {};
  EXPECT_EQ(res->status, 200) << path;
  return json::parse(res->body);
}

std::string Gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A raw connection, for senders that misbehave.
int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}
std::string ReadAll(int fd, int timeoutMs) {
  std::string out;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, timeoutMs) > 0) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}
std::string RequestHead(std::size_t length, const std::string& extra = "") {
  return "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: " + FormType() + "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra +
         "\r\n";
}

TEST(CollectorServer, GroupsTheComponentsUploads) {
  TempFolder data, files;
  CollectorProcess c(data.Path());
  ASSERT_GT(c.Port(), 0);
  ReportRecipe second;
  second.date = "2026-12-11, 08:00:00, 1ms";
  second.processId = "$2c8";
  second.version = "1.0.1.0";
  ReportRecipe other;
  other.trace = testing::CrashTrace("TFormMain.btSendClick(TObject*)", 0x00403700);
  const std::string firstText = MakeReport({});
  ASSERT_TRUE(ComponentUpload(c.Port(), files.Path(), firstText, "a"));
  ASSERT_TRUE(ComponentUpload(c.Port(), files.Path(), MakeReport(second), "b"));
  ASSERT_TRUE(ComponentUpload(c.Port(), files.Path(), MakeReport(other), "c"));

  const json groups = Get(c, "/api/groups?sort=count")["groups"];
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]["count"], 2);
  EXPECT_EQ(groups[0]["title"], "EAccessViolation in TFormMain.btOpenClick(TObject*)");
  EXPECT_EQ(groups[1]["count"], 1);
  const json group = Get(c, "/api/groups/" + std::to_string(groups[0]["id"].get<int>()));
  EXPECT_EQ(group["versions"], json({{"1.0.0.0", 1}, {"1.0.1.0", 1}}));
  ASSERT_EQ(group["reports"].size(), 2u);
  const json oldest = group["reports"][1];
  std::vector<std::string> kinds;
  for (const json& f : oldest["files"]) kinds.push_back(f["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"report", "screenshot"}));
  // The component attaches its whole bug report file: the newest report is the one received.
  {
    const std::string file = firstText + "\r\n\r\n" + MakeReport(other) + "\r\n\r\n";
    auto res = c.Client().Post("/upload", FormBody({{"BugReport", "bugreport.txt", file}}), FormType().c_str());
    ASSERT_TRUE(res);
    const json answer = json::parse(res->body);
    EXPECT_EQ(answer["group"], groups[1]["id"]);
    const json latest = Get(c, "/api/groups/" + std::to_string(answer["group"].get<int>()))["reports"][0];
    std::vector<std::string> stored;
    for (const json& f : latest["files"]) stored.push_back(f["kind"]);
    EXPECT_EQ(stored, (std::vector<std::string>{"report", "report file"}));
    EXPECT_EQ(c.Client().Get(("/reports/" + std::to_string(latest["id"].get<int>()) + "/raw").c_str())->body, MakeReport(other));
  }
  // The raw download is the file as sent, byte for byte.
  auto raw = c.Client().Get(("/reports/" + std::to_string(oldest["id"].get<int>()) + "/raw").c_str());
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->body, firstText);
  const json stored = Get(c, "/api/reports/" + std::to_string(oldest["id"].get<int>()));
  EXPECT_EQ(stored["fields"], "Customer: 4711\nMailFrom: user@example.org\nMailSubject: Bug report\nMailBody: It crashed.\n")
      << "the form's other fields are kept with the report";
  // Attachments live under their content's hash only.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data.Path() + "/files")) {
    if (entry.is_regular_file()) {
      EXPECT_TRUE(ValidHash(entry.path().filename().string())) << entry.path();
    }
  }
}

TEST(CollectorServer, AnswersEveryKindOfUpload) {
  TempFolder data;
  CollectorProcess c(data.Path(), {"--max-upload", "200000"});
  const std::string report = MakeReport({});
  const std::string dump = "MDMP\x93\xa7" + std::string(1000, 'd');
  struct Case {
    const char* what;
    std::string body, contentType, encoding;
    int status;
    std::string answer;  // part of the body
    bool quarantined = false;
  } cases[] = {
      {"a report with an id", FormBody({{"report_id", "", "id-1"}, {"BugReport", "bugreport.txt", report}}), FormType(), "", 200,
       "\"status\":\"new\""},
      {"the same id again", FormBody({{"report_id", "", "id-1"}, {"BugReport", "bugreport.txt", report}}), FormType(), "", 200,
       "\"duplicate\":true"},
      {"gzip and Crashpad-style fields",
       Gzip(FormBody({{"prod", "", "Kelvane"}, {"ver", "", "1.0"}, {"guid", "", "c0ffee"}, {"upload_file_minidump", "x.dmp", dump}})),
       FormType(), "gzip", 200, "\"status\":\"new\""},
      {"gzip that unpacks past the limit", Gzip(FormBody({{"BugReport", "bugreport.txt", report + std::string(300000, ' ')}})), FormType(),
       "gzip", 413, "larger than"},
      {"over the size limit", FormBody({{"BugReport", "bugreport.txt", report + std::string(300000, ' ')}}), FormType(), "", 413,
       "larger than"},
      {"no form", report, "text/plain", "", 400, "not a multipart", true},
      {"a wrong boundary", FormBody({{"BugReport", "bugreport.txt", report}}), "multipart/form-data; boundary=other", "", 400,
       "boundary", true},
      {"a text that is no report", FormBody({{"BugReport", "bugreport.txt", "Hello"}}), FormType(), "", 400, "neither", true},
      {"a ZIP bomb", FormBody({{"bugreport.zip", "bugreport.zip", [] {
                                  delivery::ZipBuilder z;
                                  z.Add({"bugreport.txt", std::string(64 << 20, 'a')});
                                  return z.Finish();
                                }()}}),
       FormType(), "", 400, "limit", true},
      {"file names that climb out", FormBody({{"BugReport", "../../../../tmp/kestrum-escape.txt", report},
                                             {"ScreenShot", "..\\..\\kestrum-escape.png", kPng}}),
       FormType(), "", 200, "\"status\":\"known\""},
      {"a report id that could be a path", FormBody({{"report_id", "", "../../x"}, {"BugReport", "bugreport.txt", report}}), FormType(),
       "", 400, "report_id", true},
  };
  std::size_t quarantined = 0;
  for (const Case& k : cases) {
    httplib::Headers headers;
    if (!k.encoding.empty()) headers.emplace("Content-Encoding", k.encoding);
    auto res = c.Client().Post("/upload", headers, k.body, k.contentType.c_str());
    ASSERT_TRUE(res) << k.what;
    EXPECT_EQ(res->status, k.status) << k.what << ": " << res->body;
    EXPECT_NE(res->body.find(k.answer), std::string::npos) << k.what << ": " << res->body;
    if (k.quarantined) ++quarantined;
    EXPECT_EQ(FilesIn(data.Path() + "/quarantine"), 2 * quarantined) << k.what << ": the body and its reason";
  }
  const json groups = Get(c, "/api/groups")["groups"];
  ASSERT_EQ(groups.size(), 2u) << "only the accepted uploads are stored";
  EXPECT_EQ(groups[0]["count"].get<int>() + groups[1]["count"].get<int>(), 3);
  EXPECT_FALSE(std::filesystem::exists("/tmp/kestrum-escape.txt"));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data.Path())) {
    EXPECT_EQ(entry.path().string().find("escape"), std::string::npos) << entry.path();
  }
}

TEST(CollectorServer, LimitsTheRatePerClient) {
  TempFolder data;
  CollectorProcess c(data.Path(), {"--rate", "1", "--burst", "2"});
  const std::string body = FormBody({{"BugReport", "bugreport.txt", MakeReport({})}});
  std::vector<int> statuses;
  std::string retryAfter;
  for (int i = 0; i < 3; ++i) {
    auto res = c.Client().Post("/upload", body, FormType().c_str());
    ASSERT_TRUE(res);
    statuses.push_back(res->status);
    if (res->status == 429) retryAfter = res->get_header_value("Retry-After");
  }
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 429}));
  EXPECT_GE(std::atoi(retryAfter.c_str()), 1);
  auto page = c.Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200) << "reading pages is not limited";
}

TEST(CollectorServer, StatusChangesNeedTheAdminTokenAndChangeTheAnswer) {
  TempFolder data;
  CollectorProcess c(data.Path(), {"--admin-token", "s3cret"});
  ReportRecipe v10;
  v10.version = "1.0";
  auto upload = [&](const ReportRecipe& recipe) {
    auto res = c.Client().Post("/upload", FormBody({{"BugReport", "bugreport.txt", MakeReport(recipe)}}), FormType().c_str());
    return res ? json::parse(res->body) : json();
  };
  const int id = upload(v10)["group"];
  const std::string path = "/groups/" + std::to_string(id) + "/status";
  auto form = [&](const std::string& token) {
    return c.Client().Post(path.c_str(), httplib::Params{{"status", "fixed"}, {"fixed_in", "1.1"}, {"token", token}});
  };
  EXPECT_EQ(form("wrong")->status, 403);
  EXPECT_EQ(form("")->status, 403);
  EXPECT_EQ(c.Client().Post(("/api" + path).c_str(), R"({"status":"fixed","fixed_in":"1.1"})", "application/json")->status, 403);
  EXPECT_EQ(form("s3cret")->status, 303);
  EXPECT_EQ(Get(c, "/api/groups/" + std::to_string(id))["status"], "fixed");
  const json again = upload(v10);
  EXPECT_EQ(again["status"], "fixed");
  EXPECT_EQ(again["fixed_in"], "1.1");
  ReportRecipe v11;
  v11.version = "1.1";
  EXPECT_EQ(upload(v11)["status"], "known");
  EXPECT_EQ(Get(c, "/api/groups/" + std::to_string(id))["status"], "regressed");
  httplib::Headers bearer = {{"Authorization", "Bearer s3cret"}};
  auto api = c.Client().Post(("/api" + path).c_str(), bearer, R"({"status":"new"})", "application/json");
  ASSERT_TRUE(api);
  EXPECT_EQ(api->status, 200);
  EXPECT_EQ(json::parse(api->body)["status"], "new");
}

TEST(CollectorServer, BrokenAndSlowSendersStoreNothingHalf) {
  TempFolder data;
  CollectorProcess c(data.Path(), {"--read-timeout", "1"});
  const std::string body = FormBody({{"BugReport", "bugreport.txt", MakeReport({})}});
  // Announced longer than sent, then the connection closes half way.
  {
    const int fd = Connect(c.Port());
    const std::string head = RequestHead(body.size() + 100) + body.substr(0, body.size() / 2);
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    const std::string answer = ReadAll(fd, 5000);
    ::close(fd);
    // The library drops a connection whose body broke off; the quarantine below has what came.
    EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 400")) << answer;
  }
  // A sender that stops sending: the server gives up after its read timeout.
  {
    const int fd = Connect(c.Port());
    const std::string head = RequestHead(body.size()) + body.substr(0, 100);
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = ReadAll(fd, 10000);
    ::close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 400")) << answer;
  }
  // One that sends a little before each read timeout, for longer than an upload may take.
  {
    CollectorProcess trickled(data.Path(), {"--read-timeout", "1", "--upload-seconds", "2"});
    const int fd = Connect(trickled.Port());
    const std::string head = RequestHead(body.size());
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    std::string answer;
    for (std::size_t at = 0; at < body.size() && answer.empty(); at += 16) {
      ::send(fd, body.data() + at, std::min<std::size_t>(16, body.size() - at), MSG_NOSIGNAL);
      answer = ReadAll(fd, 500);
    }
    ::close(fd);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 408")) << answer;
  }
  EXPECT_EQ(Get(c, "/api/groups")["total"], 0);
  EXPECT_GE(FilesIn(data.Path() + "/quarantine"), 3u * 2) << "what arrived is kept";
  // Text in neither UTF-8 nor plain ASCII comes out as UTF-8.
  ReportRecipe latin;
  latin.message = "ung\xFCltiger Wert \xAB\x80\xBB";
  auto res = c.Client().Post("/upload", FormBody({{"BugReport", "bugreport.txt", MakeReport(latin)}}), FormType().c_str());
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const json report = Get(c, "/api/groups/" + std::to_string(json::parse(res->body)["group"].get<int>()))["reports"][0];
  EXPECT_EQ(report["message"], "ung\xC3\xBCltiger Wert \xC2\xAB\xE2\x82\xAC\xC2\xBB");
}

TEST(CollectorServer, SigtermLetsTheUploadInFlightFinish) {
  TempFolder data;
  CollectorProcess c(data.Path());
  const std::string body = FormBody({{"report_id", "", "in-flight"}, {"BugReport", "bugreport.txt", MakeReport({})}});
  const int fd = Connect(c.Port());
  const std::string head = RequestHead(body.size()) + body.substr(0, 200);
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int exitCode = -2;
  std::thread stopper([&] { exitCode = c.Stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string rest = body.substr(200);
  ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
  const std::string answer = ReadAll(fd, 10000);
  ::close(fd);
  stopper.join();
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
  EXPECT_EQ(exitCode, 0);
  Store store(OpenSqlite(data.Path() + "/collector.db"));
  EXPECT_TRUE(store.Known("in-flight")) << "acknowledged means stored";
}

TEST(CollectorServer, ImportsBugReportFilesAndZipsOnce) {
  TempFolder data, files;
  // A bug report file as the component keeps it: equal reports folded with their count.
  delivery::StoreRules rules;
  rules.sizeLimit = 0;
  ReportRecipe other;
  other.trace = testing::CrashTrace("TFormMain.btSendClick(TObject*)", 0x00403700);
  std::string content;
  for (const ReportRecipe& s : {ReportRecipe{}, other, ReportRecipe{}, ReportRecipe{}}) content = delivery::PlanStore(content, MakeReport(s), rules).content;
  const std::string file = WriteFile(files.Path() + "/bugreport.txt", content);
  delivery::ZipBuilder zip;
  zip.Add({"bugreport.txt", MakeReport(other) + "\r\n\r\n"});
  const std::string archive = WriteFile(files.Path() + "/reports.zip", zip.Finish());
  const std::string program = testing::BinaryDir() + "/bin/kestrum-collector import --data " + data.Path() + " ";
  std::string out;
  EXPECT_EQ(delivery::testing::RunProgram(program + file + " " + archive, out), 0) << out;
  EXPECT_NE(out.find("bugreport.txt: 2 reports stored"), std::string::npos) << out;
  EXPECT_EQ(delivery::testing::RunProgram(program + file, out), 0) << out;
  EXPECT_NE(out.find("bugreport.txt: 0 reports stored"), std::string::npos) << "a second import stores nothing twice: " << out;
  EXPECT_NE(delivery::testing::RunProgram(program + files.Path() + "/missing.txt", out), 0);
  CollectorProcess c(data.Path());
  const json groups = Get(c, "/api/groups?sort=count")["groups"];
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]["count"], 3) << "a folded report counts as often as its count says";
  EXPECT_EQ(groups[1]["count"], 1) << "the ZIP holds the same report as the file: one import";
  EXPECT_EQ(groups[0]["first_seen"], 1796922189) << "dated by the report, not by the import";
}

TEST(CollectorServer, TwoInstancesOnOnePostgresqlDatabaseShareTheGroups) {
  testing::PostgresCluster& cluster = testing::SharedCluster();
  ASSERT_TRUE(cluster.Running()) << cluster.Error();
  const std::string url = cluster.Database("two_instances");
  TempFolder data;  // shared by both, as a network folder would be
  CollectorProcess a(data.Path(), {"--database", url}), b(data.Path(), {"--database", url});
  ASSERT_GT(a.Port(), 0);
  ASSERT_GT(b.Port(), 0);
  const std::string report = MakeReport({});
  for (int i = 0; i < 6; ++i) {
    const CollectorProcess* first = i % 2 ? &a : &b;
    const CollectorProcess* second = i % 2 ? &b : &a;
    // Every report goes to both, as a client retrying through the balancer might send it.
    for (const CollectorProcess* c : {first, second}) {
      auto res = c->Client().Post("/upload", FormBody({{"report_id", "", "pg-" + std::to_string(i)}, {"BugReport", "bugreport.txt", report}}),
                                  FormType().c_str());
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200) << res->body;
    }
  }
  for (const CollectorProcess* c : {&a, &b}) {
    const json groups = Get(*c, "/api/groups")["groups"];
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0]["count"], 6);
  }
}

}  // namespace
}  // namespace collector
