// Deliveries that find the machine offline, under Wine against real peers (peers.py with-peers:
// the bug report collector, aiosmtpd, an upload server answering 500, a port where nothing
// listens): what the outbox keeps, what it sends later and how often, the report id on every way,
// the collector's answer, and personal data kept out of what leaves the machine.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "crash/KestrumException_win.h"
#include "crash/KestrumMiniDump_win.h"
#include "crash/KestrumRedact_win.h"
#include "crash/settings/KestrumRules.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumOutbox_win.h"
#include "delivery/tests/PeerFiles_win.h"
#include "platform/Text.h"
#include "testing/Paths_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <shlobj.h>

namespace delivery {
namespace {

using kestrum::TIZQSettings;
using kestrum::ZQRef;
using testing::PeerWindows;
using testing::PortOf;
using testing::ReadFile;

// The ports the settings name stand for servers that are away (offline) or there (online).
constexpr std::uint16_t kUploadPort = 7001, kFailingUploadPort = 7002, kMailPort = 7003;

class SwitchedNetwork : public WinsockNetwork {
 public:
  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) override {
    std::uint16_t to = port;
    if (port == kUploadPort || port == kMailPort) {
      ++reached[port == kUploadPort ? 0 : 1];
      to = online ? PortOf(port == kUploadPort ? "KELVANE_COLLECTOR_PORT" : "KELVANE_SMTP_PORT") : PortOf("KELVANE_DEAD_PORT");
    }
    if (port == kFailingUploadPort) to = PortOf("KELVANE_HTTP_FAIL_PORT");
    return WinsockNetwork::Connect(host, to);
  }
  std::atomic<bool> online{false};
  std::atomic<int> reached[2] = {0, 0};  // connections to the upload and the mail server
};

// What a crash program writes: a report the collector reads and groups.
const char kReport[] =
    "date/time         : 2026-12-10, 19:44:02, 90ms\r\n"
    "computer name     : KELVANE-PC\r\n"
    "operating system  : Windows XP Service Pack 3\r\n"
    "executable        : C:\\Programme\\Kelvane\\Kelvane.exe\r\n"
    "version           : 1.0.1.0\r\n"
    "callstack crc     : $0532dc2e, $344a083c, $344a083c\r\n"
    "exception number  : 1\r\n"
    "exception class   : EConvertError\r\n"
    "exception message : 'abc' ist kein g\xFCltiger Integer-Wert.\r\n"
    "\r\n"
    "main thread ($a4):\r\n"
    "00403700 +008 Kelvane.exe uMain 176 +2 TFormMain.btSendClick(TObject*)\r\n"
    "7b812345 +000 user32.dll               DispatchMessageA\r\n";

// A plain GET of the collector's JSON API: the body.
std::string CollectorGet(const std::string& path, const std::string& post = "") {
  WinsockNetwork net;
  std::unique_ptr<Connection> c = net.Connect("127.0.0.1", PortOf("KELVANE_COLLECTOR_PORT"));
  if (!c) return "";
  const std::string request = post.empty() ? "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                                           : "POST " + path +
                                                 " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: Bearer test\r\n"
                                                 "Content-Type: application/json\r\nContent-Length: " +
                                                 std::to_string(post.size()) + "\r\n\r\n" + post;
  if (!c->Send(request)) return "";
  std::string answer;
  char buffer[4096];
  for (int n; (n = c->Receive(buffer, sizeof buffer, 5000)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  const std::size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

// Tests that do not look at the answer must not wait for its box.
std::vector<std::string> g_answers;
void RecordAnswer(HWND, const std::string& line) { g_answers.push_back(line); }
int g_failures = 0;
void CountFailure(HWND, const std::string&) { ++g_failures; }

bool ContainsWord(const std::string& text, const std::string& word) {
  const auto nameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
  };
  for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
    if (_strnicmp(text.c_str() + at, word.c_str(), word.size()) != 0) continue;
    if ((at == 0 || !nameChar(text[at - 1])) && (at + word.size() == text.size() || !nameChar(text[at + word.size()]))) return true;
  }
  return false;
}

// Where the privacy test's copies of the names on its stack are known outside the test.
const void* volatile g_stackCopies[2];

bool ContainsNoCase(std::string text, std::string what) {
  for (std::string* s : {&text, &what})
    for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find(what) != std::string::npos;
}

class Outbox : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(PortOf("KELVANE_COLLECTOR_PORT"), 0) << "run through peers.py with-peers with KELVANE_COLLECTOR set";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "kelvane-outbox-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    CreateDirectoryA(dir_.c_str(), nullptr);
    outbox_ = dir_ + "\\outbox\\";
    settings_ = std::make_unique<ZQRef<TIZQSettings>>(new TIZQSettings(GetModuleHandleA(nullptr), true));
    ASSERT_TRUE((*settings_)->IsValid());
    TIZQSettings* s = Settings();
    ASSERT_TRUE(s->GetPropBool("OutboxRetry")) << "the shipped settings keep failed deliveries";
    s->SetMailViaMapi(false);
    s->SetMailViaMailto(false);
    s->SetMailAddr("dev@kelvane.example");
    s->SetBugReportFile(dir_ + "\\bugreport.txt");
    s->SetAttachBugReportFile(false);
    s->SetBugReportZip("");
    SetDeliverySystem({&network_, CountFailure, nullptr, RecordAnswer, outbox_});
    g_answers.clear();
    g_failures = 0;
  }
  void TearDown() override {
    settings_.reset();
    SetDeliverySystem({});
    std::filesystem::remove_all(dir_);
  }
  TIZQSettings* Settings() { return settings_->get(); }
  void Upload(std::uint16_t port) {
    Settings()->SetUploadViaHttp(true);
    Settings()->SetHttpServer("http://127.0.0.1/upload");
    Settings()->SetHttpPort(port);
  }
  std::uint8_t Deliver(const std::string& report, bool hidden = true) {
    return DeliverBugReport(report, nullptr, nullptr, hidden, false, Settings(), false, nullptr);
  }
  OutboxCaps Caps() { return OutboxCapsOf(Settings()); }

  std::string dir_, outbox_;
  std::unique_ptr<ZQRef<TIZQSettings>> settings_;
  SwitchedNetwork network_;
  WinsockSession winsock_;
};

TEST_F(Outbox, OfflineUploadIsKeptWholeAndArrivesOnceWhenTheCollectorIsBack) {
  Upload(kUploadPort);
  const std::string groupsBefore = CollectorGet("/api/groups");
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  EXPECT_EQ(g_failures, 0) << "an automatic send shows nothing";
  const std::vector<OutboxEntry> kept = ReadOutbox(outbox_);
  ASSERT_EQ(kept.size(), 1u);
  const OutboxEntry& e = kept[0];
  EXPECT_TRUE(IsReportId(e.reportId));
  EXPECT_EQ(e.attempts, 0u);
  EXPECT_EQ(e.httpUrl, "http://127.0.0.1/upload");
  EXPECT_EQ(e.port, kUploadPort);
  ASSERT_EQ(e.files.size(), 1u);
  EXPECT_EQ(e.files[0].sendAsName, "bugreport.txt");
  EXPECT_EQ(e.files[0].fieldName, "BugReport");
  EXPECT_NE(ReadFile(outbox_ + e.reportId + "\\" + OutboxFileName(0)).find(kReport), std::string::npos);

  // Still offline: it stays, one attempt more.
  OutboxRound r = SendOutbox(outbox_, network_, Caps());
  EXPECT_EQ(r.failed, 1);
  ASSERT_EQ(ReadOutbox(outbox_).size(), 1u);
  EXPECT_EQ(ReadOutbox(outbox_)[0].attempts, 1u);

  network_.online = true;
  const int before = network_.reached[0];
  r = SendOutbox(outbox_, network_, Caps());
  EXPECT_EQ(r.sent, 1);
  EXPECT_TRUE(ReadOutbox(outbox_).empty());
  EXPECT_TRUE(std::filesystem::is_empty(outbox_)) << "no folder of the entry is left";
  // Nothing goes a second time.
  EXPECT_EQ(SendOutbox(outbox_, network_, Caps()).sent, 0);
  EXPECT_EQ(network_.reached[0], before + 1);
  const std::string groups = CollectorGet("/api/groups");
  EXPECT_NE(groups, groupsBefore);
  EXPECT_NE(groups.find("\"count\":1"), std::string::npos) << groups;
}

TEST_F(Outbox, OfflineUploadKeepsItsScreenShot) {
  // The delivery's own copy of the picture goes once the network has failed: it must be in the
  // entry by then, or nothing is kept at all.
  Upload(kUploadPort);
  TINVBitmap* shot = TINVBitmap::Create(24, 16);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(DeliverBugReport(kReport, shot, nullptr, true, false, Settings(), false, nullptr), kDeliveryFailed);
  shot->Release();
  const std::vector<OutboxEntry> kept = ReadOutbox(outbox_);
  ASSERT_EQ(kept.size(), 1u);
  ASSERT_EQ(kept[0].files.size(), 2u);
  EXPECT_EQ(kept[0].files[1].sendAsName, "screenshot.png");
  EXPECT_EQ(kept[0].files[1].fieldName, "ScreenShot");
  EXPECT_EQ(ReadFile(outbox_ + kept[0].reportId + "\\" + OutboxFileName(1)).substr(0, 4), "\x89PNG");
}

TEST_F(Outbox, OfflineMailIsSentLaterWithItsReportIdHeader) {
  Settings()->SetMailAsSmtpClient(true);
  Settings()->SetSmtpServer("127.0.0.1");
  Settings()->SetSmtpPort(kMailPort);
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  const std::vector<OutboxEntry> kept = ReadOutbox(outbox_);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].recipients, "dev@kelvane.example");
  EXPECT_EQ(kept[0].server, "127.0.0.1");
  EXPECT_EQ(kept[0].port, kMailPort);
  const std::string folder = PeerWindows("smtp");
  const auto mails = [&folder] {
    int n = 0;
    for (const auto& f : std::filesystem::directory_iterator(folder)) n += f.path().extension() == ".eml";
    return n;
  };
  const int before = mails();
  network_.online = true;
  EXPECT_EQ(SendOutbox(outbox_, network_, Caps()).sent, 1);
  ASSERT_EQ(mails(), before + 1);
  const std::string eml = ReadFile(folder + "\\" + std::to_string(before + 1) + ".eml");
  EXPECT_NE(eml.find("\r\nX-Kestrum-Report-Id: " + kept[0].reportId + "\r\n"), std::string::npos) << eml.substr(0, 600);
  EXPECT_NE(eml.find("filename=\"bugreport.txt\""), std::string::npos) << "the report went along";
  EXPECT_TRUE(ReadOutbox(outbox_).empty());
}

TEST_F(Outbox, ServerErrorKeepsTheEntryAndCountsItsAttempts) {
  Upload(kFailingUploadPort);
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  for (std::uint32_t attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_EQ(SendOutbox(outbox_, network_, Caps()).failed, 1);
    const std::vector<OutboxEntry> kept = ReadOutbox(outbox_);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].attempts, attempt);
  }
  // The id went as the form's field each time.
  const std::string form = ReadFile(PeerWindows("http_fail/form.json"));
  EXPECT_NE(form.find("\"report_id\": \"" + ReadOutbox(outbox_)[0].reportId + "\""), std::string::npos) << form;
}

TEST_F(Outbox, CapsKeepTheNewestAndDropByAgeAndSize) {
  Upload(kUploadPort);
  // Thirty failed deliveries: the twenty newest stay, in their order.
  std::vector<std::string> made;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
    std::set<std::string> known(made.begin(), made.end());
    for (const OutboxEntry& e : ReadOutbox(outbox_))
      if (!known.count(e.reportId)) made.push_back(e.reportId);
    ASSERT_EQ(made.size(), static_cast<std::size_t>(i + 1)) << "each delivery adds its own entry";
  }
  std::vector<std::string> kept;
  for (const OutboxEntry& e : ReadOutbox(outbox_)) kept.push_back(e.reportId);
  EXPECT_EQ(kept, std::vector<std::string>(made.end() - 20, made.end()));

  // One dated 31 days back goes at the next round without being sent; the others fit.
  OutboxEntry old = ReadOutbox(outbox_)[5];
  old.created -= 31LL * 86400 * 1000;
  std::ofstream(outbox_ + old.reportId + "\\entry.txt", std::ios::binary) << WriteOutboxEntry(old);
  const int reached = network_.reached[0];
  OutboxRound r = SendOutbox(outbox_, network_, Caps());
  EXPECT_EQ(r.dropped, 1);
  EXPECT_EQ(r.failed, 19);
  EXPECT_EQ(network_.reached[0], reached + 19);
  // A size cap of two entries' bytes keeps the two newest.
  std::uint64_t bytes = 0;
  for (const auto& f : std::filesystem::recursive_directory_iterator(outbox_ + made.back()))
    bytes += f.is_regular_file() ? f.file_size() : 0;
  OutboxCaps caps = Caps();
  caps.maxKB = static_cast<std::uint32_t>((2 * bytes + 1023) / 1024);
  r = SendOutbox(outbox_, network_, caps);
  EXPECT_EQ(r.dropped, 17);
  kept.clear();
  for (const OutboxEntry& e : ReadOutbox(outbox_)) kept.push_back(e.reportId);
  EXPECT_EQ(kept, std::vector<std::string>(made.end() - 2, made.end()));
}

TEST_F(Outbox, AnEntryCutShortIsNeverSent) {
  Upload(kUploadPort);
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  const OutboxEntry whole = ReadOutbox(outbox_).at(0);
  // What an interrupted write can leave: a temporary folder with part of an entry, and an entry
  // whose text was cut (a rename that reached the disk before the data would do this).
  const std::string text = WriteOutboxEntry(whole);
  const std::string temp = outbox_ + whole.reportId + ".tmp99";
  CreateDirectoryA(temp.c_str(), nullptr);
  std::ofstream(temp + "\\entry.txt", std::ios::binary) << text;
  OutboxEntry cut = whole;
  cut.reportId = "00000000000000000000000000000001";
  const std::string cutFolder = outbox_ + cut.reportId;
  CreateDirectoryA(cutFolder.c_str(), nullptr);
  std::filesystem::copy_file(outbox_ + whole.reportId + "\\file0", cutFolder + "\\file0");
  const std::string cutText = WriteOutboxEntry(cut);
  std::ofstream(cutFolder + "\\entry.txt", std::ios::binary) << cutText.substr(0, cutText.size() - 5);
  ASSERT_EQ(ReadOutbox(outbox_).size(), 1u);
  network_.online = true;
  const int before = network_.reached[0];
  EXPECT_EQ(SendOutbox(outbox_, network_, Caps()).sent, 1);
  EXPECT_EQ(network_.reached[0], before + 1) << "only the whole entry went";
}

TEST_F(Outbox, TwoSendersAtOnceDeliverAnEntryOnce) {
  Upload(kUploadPort);
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  network_.online = true;
  const int before = network_.reached[0];
  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 2; ++i) senders.emplace_back([&] { sent += SendOutbox(outbox_, network_, Caps()).sent; });
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(network_.reached[0], before + 1);
  EXPECT_TRUE(ReadOutbox(outbox_).empty());
}

TEST_F(Outbox, DefaultSettingsOfThePartKeepNothing) {
  Settings()->SetPropBool("OutboxRetry", false);
  Upload(kUploadPort);
  ASSERT_EQ(Deliver(kReport), kDeliveryFailed);
  EXPECT_FALSE(std::filesystem::exists(outbox_));
  // Without a network way there is nothing the outbox could send later.
  Settings()->SetPropBool("OutboxRetry", true);
  Settings()->SetUploadViaHttp(false);
  EXPECT_EQ(Deliver(kReport), kDeliveryFailed);
  EXPECT_FALSE(std::filesystem::exists(outbox_));
}

// The line in its box, read and closed through the GUI driver while the delivery waits for it; ""
// when the delivery ended without one.
std::string AnswerBoxOf(const std::function<std::uint8_t()>& deliver) {
  std::atomic<bool> done{false};
  std::uint8_t result = 0;
  std::thread t([&] {
    result = deliver();
    done = true;
  });
  HWND box = nullptr;
  gui::WaitUntil([&] { return done || (box = gui::DialogOf(GetCurrentProcessId())) != nullptr; }, 30000);
  std::string line;
  if (box) {
    for (const gui::Control& c : gui::Controls(box))
      if (c.className == "Static" && !c.text.empty()) line = c.text;
    gui::ClickMessage(gui::FindControl(box, "Button", "OK").hwnd);
  }
  t.join();
  EXPECT_EQ(result, kDelivered);
  return line;
}

TEST_F(Outbox, TheCollectorsAnswerIsShownInABoxAfterAnUpload) {
  SetDeliverySystem({&network_, CountFailure, nullptr, nullptr, outbox_});
  network_.online = true;
  Upload(kUploadPort);
  std::string report = kReport;
  // A crash of its own for this test (the function is part of the checksum): its group starts new.
  report.replace(report.find("btSendClick"), 11, "btAnswerClick");
  const auto shown = [&] { return Deliver(report, false); };
  EXPECT_EQ(AnswerBoxOf(shown), "Thank you: this problem is new to us.");
  EXPECT_EQ(AnswerBoxOf(shown), "This problem is already known.");
  // Automatic sends ask nothing and show nothing.
  EXPECT_EQ(AnswerBoxOf([&] { return Deliver(report, true); }), "");
  // The group of these reports, set fixed in 1.0.2 by its id.
  const std::string groups = CollectorGet("/api/groups");
  const std::size_t title = groups.find("btAnswerClick");
  ASSERT_NE(title, std::string::npos) << groups;
  const std::size_t at = groups.rfind("\"id\":", title);
  ASSERT_NE(at, std::string::npos) << groups;
  const std::string id = groups.substr(at + 5, groups.find_first_not_of("0123456789", at + 5) - at - 5);
  CollectorGet("/api/groups/" + id + "/status", R"({"status":"fixed","fixed_in":"1.0.2"})");
  EXPECT_EQ(AnswerBoxOf(shown), "This problem is fixed in version 1.0.2.");
  // Any other server: the upload is delivered and nothing more is said.
  Settings()->SetHttpPort(PortOf("KELVANE_HTTP_PORT"));
  EXPECT_EQ(AnswerBoxOf(shown), "");
}

// The exception object's id: made with its report, outside its text, the same on every delivery
// of it, so that the collector counts a report sent twice once.
TEST_F(Outbox, TheExceptionsReportIdGoesWithEachOfItsDeliveries) {
  InstallDelivery();
  network_.online = true;
  Upload(kUploadPort);
  Settings()->SetSendInBackground(false);
  auto* exception = new TIZQException(Settings(), kestrum::ExceptionFacts{});
  const std::string report = exception->GetBugReport(true);
  const std::string id = exception->GetPropStr(kestrum::kReportIdKey);
  ASSERT_TRUE(IsReportId(id)) << id;
  EXPECT_EQ(report.find(id), std::string::npos) << "the id is no part of the report";
  const std::string before = CollectorGet("/api/groups");
  exception->SendBugReport(nullptr);
  exception->SendBugReport(nullptr);
  EXPECT_TRUE(exception->GetMailWasSent());
  exception->Release();
  ASSERT_EQ(g_answers.size(), 2u);
  // The repeat is acknowledged with the first answer: to the collector it is the same report.
  EXPECT_EQ(g_answers[0], "Thank you: this problem is new to us.");
  EXPECT_EQ(g_answers[1], g_answers[0]);
  // One report of one new group, counted once.
  const std::string groups = CollectorGet("/api/groups");
  EXPECT_NE(groups, before);
  const std::string reports = CollectorGet("/api/groups/" + [&] {
    const std::size_t at = groups.find("\"id\":");
    return groups.substr(at + 5, groups.find_first_not_of("0123456789", at + 5) - at - 5);
  }());
  EXPECT_NE(reports.find("\"report_id\":\"" + id + "\""), std::string::npos) << reports.substr(0, 1500);
  EXPECT_EQ(reports.find("\"report_id\"", reports.find("\"report_id\"") + 1), std::string::npos) << reports.substr(0, 1500);
}

// Personal data: planted in the report through the exception's message and found by the system's
// own names, gone from the text shown, saved, uploaded and mailed.
TEST_F(Outbox, RedactedReportLeavesNoPersonalNameAnywhere) {
  const kestrum::PersonalFacts& facts = kestrum::MachinePersonalFacts();
  ASSERT_FALSE(facts.computerName.empty());
  ASSERT_FALSE(facts.userName.empty());
  ASSERT_FALSE(facts.profileFolders.empty());
  const std::string planted = facts.profileFolders[0] + "\\Documents\\geheim.kvl of " + facts.userName + " on " + facts.computerName;
  Settings()->SetPropBool("RedactPersonal", true);
  Settings()->SetPropBool("NoDupExcepts", true);
  std::vector<std::string> texts;
  for (int i = 0; i < 2; ++i) {
    kestrum::ExceptionFacts f;
    f.object = std::make_exception_ptr(std::runtime_error(planted));
    auto* exception = new TIZQException(Settings(), f);
    const std::string report = exception->GetBugReport(true);
    texts.push_back(report);
    EXPECT_NE(report.find("<profile>\\Documents\\geheim.kvl of <user> on <computer>"), std::string::npos) << report;
    EXPECT_TRUE(SaveBugReportToFile(dir_ + "\\saved.txt", report, nullptr, Settings(), true));
    exception->Release();
  }
  const std::string saved = ReadFile(dir_ + "\\saved.txt");
  EXPECT_NE(saved.find("count"), std::string::npos) << "equal crashes still fold:\n" << saved;

  network_.online = true;
  Upload(PortOf("KELVANE_HTTP_PORT"));
  ASSERT_EQ(Deliver(texts[0]), kDelivered);
  Settings()->SetUploadViaHttp(false);
  Settings()->SetMailAsSmtpClient(true);
  Settings()->SetSmtpServer("127.0.0.1");
  Settings()->SetSmtpPort(kMailPort);
  Settings()->SetMailBody("%bugReport%");
  ASSERT_EQ(Deliver(texts[0]), kDelivered);
  // The same as an archive: looked into by Python's zipfile after the run.
  Settings()->SetMailAsSmtpClient(false);
  Upload(PortOf("KELVANE_HTTP_PORT"));
  Settings()->SetBugReportZip("redacted.zip");
  ASSERT_EQ(Deliver(texts[0]), kDelivered);
  ASSERT_TRUE(CopyFileA(PeerWindows("http/file-redacted.zip").c_str(), PeerWindows("redacted.zip").c_str(), FALSE));
  std::ofstream(PeerWindows("checks.txt"), std::ios::binary | std::ios::app)
      << "check-zip-lacks\t" << testing::PeerLinux("redacted.zip") << "\t" << facts.profileFolders[0] << "\t" << facts.userName << "\t"
      << facts.computerName << "\n";
  // The newest mail, its text part and its attachment decoded.
  int newest = 0;
  for (const auto& f : std::filesystem::directory_iterator(PeerWindows("smtp")))
    if (f.path().extension() == ".eml") newest = std::max(newest, std::atoi(f.path().stem().string().c_str()));
  const std::string eml = ReadFile(PeerWindows("smtp/" + std::to_string(newest) + ".eml"));
  const std::size_t part = eml.find("filename=\"bugreport.txt\"\r\n\r\n");
  ASSERT_NE(part, std::string::npos) << eml.substr(0, 1000);
  std::string base64 = eml.substr(part + 28, eml.find("\r\n--", part + 28) - part - 28);
  std::erase_if(base64, [](char c) { return c == '\r' || c == '\n'; });
  const std::string mail = eml.substr(0, part) + kestrum::DecodeBase64(base64);
  const std::string upload = ReadFile(PeerWindows("http/file-BugReport"));
  for (const std::string* sent : std::vector<const std::string*>{&texts[0], &saved, &upload, &mail}) {
    EXPECT_NE(sent->find("<profile>\\Documents\\geheim.kvl of <user> on <computer>"), std::string::npos) << sent->substr(0, 2000);
    EXPECT_FALSE(platform::ContainsNoCase(*sent, facts.profileFolders[0])) << sent->substr(0, 2000);
    // Names are replaced as words: the same letters inside another word are no leak.
    for (const std::string& name : {facts.userName, facts.computerName})
      EXPECT_FALSE(ContainsWord(*sent, name)) << name << " in\n" << sent->substr(0, 2000);
  }

  // The minidump of such an exception, with the names on this thread's stack (8-bit and UTF-16) and
  // a library loaded from the profile folder: saved, uploaded to the collector, mailed, zipped and
  // kept in the outbox, always the same redacted file, which peers.py check-dump-lacks then looks
  // into with LLVM's reader and Breakpad's stack walker.
  ASSERT_TRUE(kestrum::ReserveMiniDumpBuffers()) << "the component's install reserves them in a program";
  const std::string library = dir_ + "\\kelvane-planted.dll";
  ASSERT_TRUE(ContainsNoCase(library, facts.profileFolders[0])) << "the temporary folder lies in the profile: " << library;
  ASSERT_TRUE(CopyFileA(testsupport::BesideThisProgram("deliver\\mapi32.dll").c_str(), library.c_str(), FALSE));
  HMODULE loaded = LoadLibraryA(library.c_str());
  ASSERT_NE(loaded, nullptr);
  char ansi[512] = {};
  wchar_t wide[512] = {};
  std::snprintf(ansi, sizeof ansi, "%s", planted.c_str());
  ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, planted.c_str(), -1, wide, 512), 0);
  g_stackCopies[0] = ansi;  // seen from outside: the copies are there before the report is made
  g_stackCopies[1] = wide;
  kestrum::ExceptionFacts f;
  f.object = std::make_exception_ptr(std::runtime_error(planted));
  std::string error;
  {
    // Without RedactPersonal the same dump holds the planted copies and the library's path: what
    // the checks below look for is there to be found.
    Settings()->SetPropBool("RedactPersonal", false);
    auto* plain = new TIZQException(Settings(), f);
    plain->GetBugReport(true);
    Settings()->SetPropBool("RedactPersonal", true);
    ASSERT_TRUE(plain->WriteMiniDump(dir_ + "\\plain.dmp", error)) << error;
    plain->Release();
    const std::string bytes = ReadFile(dir_ + "\\plain.dmp");
    const auto utf16 = [](const std::string& text) {
      std::string wide;
      for (char c : text) wide += std::string{c, '\0'};
      return wide;
    };
    EXPECT_NE(bytes.find(planted), std::string::npos) << "the 8-bit copy on the stack";
    EXPECT_NE(bytes.find(utf16(planted)), std::string::npos) << "the UTF-16 copy on the stack";
    EXPECT_NE(bytes.find(utf16(library)), std::string::npos) << "the library in the module list";
  }
  auto* exception = new TIZQException(Settings(), f);
  exception->GetBugReport(true);
  const std::string savedDump = MiniDumpPathFor(dir_ + "\\saved.txt");
  ASSERT_TRUE(exception->WriteMiniDump(savedDump, error)) << error;
  const std::string dump = ReadFile(savedDump);
  ASSERT_EQ(dump.substr(0, 4), "MDMP");
  ASSERT_TRUE(CopyFileA(savedDump.c_str(), PeerWindows("redacted.dmp").c_str(), FALSE));
  std::ofstream(PeerWindows("checks.txt"), std::ios::binary | std::ios::app)
      << "check-dump-lacks\t" << testing::PeerLinux("redacted.dmp") << "\tkelvane-planted.dll\t" << facts.profileFolders[0] << "\t"
      << facts.userName << "\t" << facts.computerName << "\n";

  // With the screenshot, as the product takes it: the offline entry below must keep it too.
  InstallDelivery();
  exception->SetSendInBackground(false);
  exception->SetBugReportZip("");
  exception->SetUploadViaHttp(true);
  exception->SetHttpServer("http://127.0.0.1/upload");
  exception->SetHttpPort(kUploadPort);
  exception->SetMailAsSmtpClient(false);
  exception->SendBugReport(nullptr);
  // The collector keeps what it was sent under its SHA-256 in its data folder.
  bool stored = false;
  for (const auto& file : std::filesystem::recursive_directory_iterator(PeerWindows("collector")))
    stored = stored || (file.is_regular_file() && file.file_size() == dump.size() && ReadFile(file.path().string()) == dump);
  EXPECT_TRUE(stored) << "the collector has no copy of the saved dump";

  exception->SetUploadViaHttp(false);
  exception->SetMailAsSmtpClient(true);
  exception->SetSmtpServer("127.0.0.1");
  exception->SetSmtpPort(kMailPort);
  exception->SendBugReport(nullptr);
  newest = 0;
  for (const auto& file : std::filesystem::directory_iterator(PeerWindows("smtp")))
    if (file.path().extension() == ".eml") newest = std::max(newest, std::atoi(file.path().stem().string().c_str()));
  const std::string dumpMail = ReadFile(PeerWindows("smtp/" + std::to_string(newest) + ".eml"));
  const std::string header = "filename=\"crash.dmp\"\r\n\r\n";
  const std::size_t attached = dumpMail.find(header);
  ASSERT_NE(attached, std::string::npos) << dumpMail.substr(0, 1500);
  const std::size_t body = attached + header.size();
  std::string dumpBase64 = dumpMail.substr(body, dumpMail.find("\r\n--", body) - body);
  std::erase_if(dumpBase64, [](char c) { return c == '\r' || c == '\n'; });
  EXPECT_TRUE(kestrum::DecodeBase64(dumpBase64) == dump) << "the mailed dump is the saved one";

  exception->SetMailAsSmtpClient(false);
  exception->SetUploadViaHttp(true);
  exception->SetHttpPort(PortOf("KELVANE_HTTP_PORT"));
  exception->SetBugReportZip("redacted-dump.zip");
  exception->SendBugReport(nullptr);
  ASSERT_TRUE(CopyFileA(PeerWindows("http/file-redacted-dump.zip").c_str(), PeerWindows("redacted-dump.zip").c_str(), FALSE));
  std::ofstream(PeerWindows("checks.txt"), std::ios::binary | std::ios::app)
      << "check-zip-lacks\t" << testing::PeerLinux("redacted-dump.zip") << "\t" << facts.profileFolders[0] << "\t" << facts.userName << "\t"
      << facts.computerName << "\n";

  // Offline: the outbox keeps the same file.
  network_.online = false;
  exception->SetBugReportZip("");
  exception->SetHttpPort(kUploadPort);
  exception->SendBugReport(nullptr);
  bool kept = false;
  std::string entries;
  for (const OutboxEntry& e : ReadOutbox(outbox_))
    for (std::size_t i = 0; i < e.files.size(); ++i) {
      const std::string bytes = ReadFile(outbox_ + e.reportId + "\\" + OutboxFileName(i));
      entries += e.reportId + ": " + e.files[i].sendAsName + " " + std::to_string(bytes.size()) + " bytes\n";
      kept = kept || (e.files[i].sendAsName == "crash.dmp" && bytes == dump);
    }
  EXPECT_TRUE(kept) << "no outbox entry holds the saved dump (" << dump.size() << " bytes); the outbox:\n" << entries;
  // The screenshot, which the network way deletes after it ran, is in the entry as well.
  EXPECT_NE(entries.find(" screenshot.png "), std::string::npos) << entries;
  exception->Release();
  FreeLibrary(loaded);
}

// --- Whole programs: the outbox sender as the program's start starts it, two copies at once, and
// a program killed while it writes entries.

std::string ProgramOutbox() {
  char path[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return "";
  return std::string(path) + "\\OutboxProgram.Kestrum\\outbox\\";
}

HANDLE StartProgram(const std::string& arguments) {
  std::string line = "\"" + testsupport::BesideThisProgram("OutboxProgram.exe") + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

DWORD Finish(HANDLE process, DWORD waitMs) {
  DWORD code = 99;
  if (WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) TerminateProcess(process, 98);
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

std::uint16_t FreePort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  closesocket(s);
  return ntohs(a.sin_port);
}

// The server coming back at the address the entry names: connections to port go on to the
// collector, and are counted.
class Relay {
 public:
  explicit Relay(std::uint16_t port) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener_, 8) == 0;
    if (listening_) thread_ = std::thread([this] { Accept(); });
  }
  ~Relay() {
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : pumps_) t.join();
  }
  bool Listening() const { return listening_; }
  std::atomic<int> accepted{0};

 private:
  void Accept() {
    for (SOCKET client; (client = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;) {
      ++accepted;
      pumps_.emplace_back([client] {
        WinsockNetwork net;
        std::unique_ptr<Connection> server = net.Connect("127.0.0.1", PortOf("KELVANE_COLLECTOR_PORT"));
        char buffer[16384];
        // The upload is sent whole before the answer: first one way, then the other.
        std::string request;
        for (int n; server && (n = recv(client, buffer, sizeof buffer, 0)) > 0;) {
          request.append(buffer, static_cast<std::size_t>(n));
          const std::size_t head = request.find("\r\n\r\n");
          const std::size_t length = request.find("Content-Length: ");
          if (head != std::string::npos && length != std::string::npos &&
              request.size() >= head + 4 + std::strtoul(request.c_str() + length + 16, nullptr, 10))
            break;
        }
        if (server && server->Send(request)) {
          for (int n; (n = server->Receive(buffer, sizeof buffer, 10000)) > 0;) send(client, buffer, n, 0);
        }
        closesocket(client);
      });
    }
  }
  SOCKET listener_ = INVALID_SOCKET;
  bool listening_ = false;
  std::thread thread_;
  std::vector<std::thread> pumps_;
};

class OutboxProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(PortOf("KELVANE_COLLECTOR_PORT"), 0) << "run through peers.py with-peers with KELVANE_COLLECTOR set";
    outbox_ = ProgramOutbox();
    ASSERT_FALSE(outbox_.empty());
    std::filesystem::remove_all(outbox_);
  }
  void TearDown() override { std::filesystem::remove_all(outbox_); }
  std::string outbox_;
  WinsockSession winsock_;
};

TEST_F(OutboxProgram, KeptAtTheCrashAndSentOnceByTheNextStartsOfTwoCopies) {
  const std::uint16_t port = FreePort();
  ASSERT_EQ(Finish(StartProgram("deliver " + std::to_string(port)), 60000), 0u) << "the failed upload was kept";
  ASSERT_EQ(ReadOutbox(outbox_).size(), 1u);
  Relay relay(port);
  ASSERT_TRUE(relay.Listening());
  HANDLE first = StartProgram("send 120"), second = StartProgram("send 120");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(Finish(first, 180000), 0u) << "the outbox emptied while the program ran";
  EXPECT_EQ(Finish(second, 180000), 0u);
  EXPECT_EQ(relay.accepted, 1) << "exactly one delivery reached the server";
  EXPECT_NE(CollectorGet("/api/groups").find("EOutboxProgram"), std::string::npos);
}

TEST_F(OutboxProgram, KilledWhileWritingLeavesOnlyWholeEntries) {
  for (DWORD after : {300u, 900u, 1700u, 2600u}) {
    HANDLE writer = StartProgram("store");
    ASSERT_TRUE(writer);
    Sleep(after);
    TerminateProcess(writer, 1);
    Finish(writer, 10000);
  }
  // Whatever the kills left, an entry is either whole or not there; only whole ones go.
  const std::vector<OutboxEntry> entries = ReadOutbox(outbox_);
  for (const OutboxEntry& e : entries) {
    ASSERT_EQ(e.files.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(outbox_ + e.reportId + "\\file0"), 4u << 20) << e.reportId;
  }
  std::size_t folders = 0;
  for (const auto& f : std::filesystem::directory_iterator(outbox_)) folders += f.is_directory();
  EXPECT_GE(folders, entries.size());
}

}  // namespace
}  // namespace delivery
