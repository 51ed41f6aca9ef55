// Whole deliveries under Wine: the settings of this program's own resource (the shipped ones)
// changed per case, the Linux loopback peers started around the test (peers.py with-peers), a
// recording mapi32.dll and a recording mailto program beside it. What the peers received is
// checked by Python's email, zipfile and form parsers after the run (checks.txt).
// Winsock's header before the window system's.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"
#include "crash/settings/KestrumRules.h"
#include "crash/KestrumMiniDump_win.h"
#include "crash/settings/KestrumAttachments_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "delivery/KestrumPrint_win.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumProgress_win.h"
#include "delivery/KestrumZip.h"
#include "delivery/tests/PeerFiles_win.h"
#include "delivery/tests/TestWindows_win.h"
#include "platform/Text.h"

namespace delivery {
namespace {

using kestrum::TIZQSettings;
using kestrum::ZQRef;
using testing::PeerLinux;
using testing::PeerWindows;
using testing::PortOf;
using testing::ReadFile;

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string Hex(const std::string& text) {
  return platform::HexBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// One oracle run after the test program (tab-separated peers.py arguments).
void AddCheck(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line += (line.empty() ? "" : "\t") + a;
  std::ofstream(PeerWindows("checks.txt"), std::ios::binary | std::ios::app) << line << "\n";
}

// The number of mails a server folder holds.
int MailCount(const std::string& server) {
  int n = 0;
  while (GetFileAttributesA(PeerWindows(server + "/" + std::to_string(n + 1) + ".eml").c_str()) != INVALID_FILE_ATTRIBUTES) ++n;
  return n;
}

// The files a delivery made, kept before its folder goes: the peers compare against them.
// Background deliveries call this from their own threads at the same time.
std::mutex g_keepLock;
std::vector<std::string> g_folders;
int g_kept = 0;
void KeepFolder(const std::string& folder) {
  const std::lock_guard<std::mutex> lock(g_keepLock);
  g_folders.push_back(folder);
  const std::string kept = PeerWindows("kept" + std::to_string(++g_kept));
  CreateDirectoryA(kept.c_str(), nullptr);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CopyFileA((folder + found.cFileName).c_str(), (kept + "\\" + found.cFileName).c_str(), FALSE);
    }
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

std::vector<std::string> g_failures;
void RecordFailure(HWND, const std::string& text) { g_failures.push_back(text); }

// Winsock, with the recipients' mail servers on this machine: port 25 is the test server's, the
// DNS server the test's.
class LoopbackNetwork : public WinsockNetwork {
 public:
  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) override {
    connected.push_back(host + ":" + std::to_string(port));
    if (port == 25) return WinsockNetwork::Connect("127.0.0.1", PortOf("KELVANE_SMTP_PORT"));
    return WinsockNetwork::Connect(host, port);
  }
  std::optional<std::vector<std::uint8_t>> ExchangeDatagram(const std::vector<DnsServer>& servers, const std::vector<std::uint8_t>& query,
                                                            int timeoutMs, bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                            void* context) override {
    std::vector<DnsServer> local = servers;
    for (DnsServer& s : local) {
      asked.push_back(s.host + ":" + std::to_string(s.port));
      if (s.port == 53) s.port = PortOf("KELVANE_DNS_PORT");
    }
    return WinsockNetwork::ExchangeDatagram(local, query, timeoutMs, accept, context);
  }
  std::vector<std::string> connected, asked;
};

const char kReport[] =
    "date/time          : 2026-12-10, 19:20:21, 345ms\r\n"
    "exception class    : EDivByZero\r\n"
    "exception message  : Division durch Null \xE4\xF6\xFC.\r\n"
    "\r\n"
    ".leading dot line\r\n"
    ".\r\n"
    "..two dots\r\n"
    "main thread ($5e8):\r\n";

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(PortOf("KELVANE_SMTP_PORT"), 0) << "run through peers.py with-peers";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "kelvane-deliver-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    reportFile_ = dir_ + "\\bugreport.txt";
    settings_ = std::make_unique<ZQRef<TIZQSettings>>(new TIZQSettings(GetModuleHandleA(nullptr), true));
    ASSERT_TRUE((*settings_)->IsValid());
    TIZQSettings* s = Settings();
    s->SetMailAddr("");
    s->SetMailFrom("");
    s->SetMailAsSmtpServer(false);
    s->SetMailAsSmtpClient(false);
    s->SetUploadViaHttp(false);
    s->SetMailViaMapi(false);
    s->SetMailViaMailto(false);
    s->SetBugReportFile(reportFile_);
    s->SetAttachBugReportFile(false);
    s->SetDeleteBugReportFile(false);
    s->SetBugReportZip("");
    s->SetScreenShotZip("");
    s->SetAttachBugReport(true);
    s->SetBugReportSendAs("bugreport.txt");
    s->SetScreenShotSendAs("screenshot.png");
    s->SetMailSubject("Fehler %exceptClass%: %exceptMsg%");
    s->SetMailBody("%bugReport%");
    network_.dnsServersOverride = std::vector<Network::DnsServer>{{"127.0.0.1", PortOf("KELVANE_DNS_PORT")}};
    network_.proxyOverride = "";
    network_.openedForTest = &opened_;
    // Failed deliveries are kept (the shipped settings say so) in the test's own folder.
    SetDeliverySystem({&network_, RecordFailure, KeepFolder, nullptr, dir_ + "\\outbox\\"});
    g_failures.clear();
    g_folders.clear();
    SetEnvironmentVariableA("KELVANE_MAPI_LOG", (dir_ + "\\mapi.log").c_str());
    SetEnvironmentVariableA("KELVANE_MAPI_ANSWER", "0");
    shot_ = TINVBitmap::Create(24, 16);
    ASSERT_TRUE(shot_);
  }
  void TearDown() override {
    if (shot_) shot_->Release();
    settings_.reset();
    SetDeliverySystem({});
    std::filesystem::remove_all(dir_);
  }
  TIZQSettings* Settings() { return settings_->get(); }
  std::uint8_t Deliver(const std::string& report, bool hidden, INVBitmap* shot = nullptr) {
    return DeliverBugReport(report, shot, nullptr, hidden, false, Settings(), false, nullptr);
  }
  // The kept copy of a file the last delivery sent.
  std::string Kept(const std::string& name) { return PeerLinux("kept" + std::to_string(g_kept) + "/" + name); }

  std::string dir_, reportFile_;
  std::unique_ptr<ZQRef<TIZQSettings>> settings_;
  LoopbackNetwork network_;
  std::vector<std::string> opened_;
  TINVBitmap* shot_ = nullptr;
  WinsockSession winsock_;
};

TEST_F(Delivery, ThroughTheConfiguredServerWithReportAndScreenShot) {
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpClient(true);
  s->SetSmtpServer("127.0.0.1");
  s->SetSmtpPort(PortOf("KELVANE_SMTP_PORT"));
  s->SetMailAddr("Dev Team <dev@kelvane.example>; second@kelvane.example");
  const int before = MailCount("smtp");
  ASSERT_EQ(Deliver(kReport, true, shot_), kDelivered);
  ASSERT_EQ(MailCount("smtp"), before + 1);
  const std::string eml = PeerLinux("smtp/" + std::to_string(before + 1) + ".eml");
  WriteFile(PeerWindows("body1.txt"), kReport);
  // The screenshot's file went as soon as the mail was out.
  EXPECT_EQ(GetFileAttributesA(PeerWindows("kept" + std::to_string(g_kept) + "/screenShot.png").c_str()), INVALID_FILE_ATTRIBUTES);
  WriteFile(PeerWindows("shot1.png"), shot_->AsPngStr(pf256Colors));
  AddCheck({"check-mail", eml, PeerLinux("body1.txt"), Hex("Fehler EDivByZero: Division durch Null \xE4\xF6\xFC."),
            "bugreport.txt=" + Kept("bugreport.txt"), "screenshot.png=" + PeerLinux("shot1.png")});
  const std::string json = ReadFile(PeerWindows("smtp/" + std::to_string(before + 1) + ".eml.json"));
  EXPECT_NE(json.find("\"from\": \"dev@kelvane.example\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"second@kelvane.example\""), std::string::npos) << json;
  // The delivery's own folder is gone, and no message was shown.
  ASSERT_EQ(g_folders.size(), 1u);
  EXPECT_EQ(GetFileAttributesA(g_folders[0].c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(g_failures.empty());
}

TEST_F(Delivery, DirectlyToTheRecipientsMailServer) {
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpServer(true);
  s->SetMailAsSmtpClient(true);  // never tried instead
  s->SetSmtpServer("127.0.0.1");
  s->SetSmtpPort(1);
  s->SetMailAddr("dev@kelvane.example");
  s->SetMailFrom("Kelvane <bugs@kelvane.example>");
  const int before = MailCount("smtp");
  ASSERT_EQ(Deliver(kReport, true), kDelivered);
  EXPECT_EQ(MailCount("smtp"), before + 1);
  EXPECT_EQ(network_.connected, std::vector<std::string>{"mx1.kelvane.example:25"});
  WriteFile(PeerWindows("body2.txt"), kReport);
  AddCheck({"check-mail", PeerLinux("smtp/" + std::to_string(before + 1) + ".eml"), PeerLinux("body2.txt"),
            Hex("Fehler EDivByZero: Division durch Null \xE4\xF6\xFC."), "bugreport.txt=" + Kept("bugreport.txt")});
}

TEST_F(Delivery, DirectlyWithoutDnsServersFromTheRoots) {
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpServer(true);
  s->SetMailAddr("dev@kelvane.example");
  network_.dnsServersOverride = std::vector<Network::DnsServer>{};
  network_.rootServersOverride = std::vector<Network::DnsServer>{{"127.0.0.1", PortOf("KELVANE_DNS_PORT")}};
  const int before = MailCount("smtp");
  ASSERT_EQ(Deliver(kReport, true), kDelivered);
  EXPECT_EQ(MailCount("smtp"), before + 1);
  // The root named the domain's server with its address; the MX question went there.
  EXPECT_EQ(network_.asked, (std::vector<std::string>{"127.0.0.1:" + std::to_string(PortOf("KELVANE_DNS_PORT")), "127.0.0.1:53"}));
  EXPECT_EQ(network_.connected, std::vector<std::string>{"mx1.kelvane.example:25"});
}

TEST_F(Delivery, UploadWithOneArchiveForReportAndScreenShot) {
  TIZQSettings* s = Settings();
  s->SetUploadViaHttp(true);
  s->SetMailAsSmtpClient(true);
  s->SetHttpServer("http://127.0.0.1/bugs/upload");
  s->SetHttpPort(PortOf("KELVANE_HTTP_PORT"));
  s->SetMailAddr("dev@kelvane.example");
  // One archive for both: its name compares without regard to case.
  s->SetBugReportZip("Bericht.zip");
  s->SetScreenShotZip("BERICHT.ZIP");
  s->SetScreenShotSendAs("Bildschirm \xE4.png");
  s->SetPropStr("AddFields", "Version=1.2|MailAddr=replaced");
  ASSERT_EQ(Deliver(kReport, true, shot_), kDelivered);
  // The upload's form is replaced by the next one: kept now.
  const std::string snapshot = "form" + std::to_string(g_kept);
  CreateDirectoryA(PeerWindows(snapshot).c_str(), nullptr);
  for (const char* f : {"form.json", "file-Bericht.zip"}) {
    CopyFileA(PeerWindows(std::string("http/") + f).c_str(), PeerWindows(snapshot + "/" + f).c_str(), FALSE);
  }
  AddCheck({"check-form", PeerLinux(snapshot), "MailSubject=" + Hex("Fehler EDivByZero: Division durch Null \xE4\xF6\xFC."),
            "MailAddr=" + Hex("dev@kelvane.example"), "MailFrom=" + Hex("Kestrum <dev@kelvane.example>"), "Version=" + Hex("1.2"),
            "file:Bericht.zip=Bericht.zip=" + Kept("Bericht.zip")});
  WriteFile(PeerWindows("shot3.png"), shot_->AsPngStr(pf256Colors));
  AddCheck({"check-zip", Kept("Bericht.zip"), "bugreport.txt=" + Kept("bugreport.txt"),
            Cp1252ToUtf8("Bildschirm \xE4.png") + "=" + PeerLinux("shot3.png")});
  s->SetPropStr("AddFields", "");
}

TEST_F(Delivery, FailedNetworkWayFallsThroughToTheMailClient) {
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpClient(true);
  s->SetSmtpServer("127.0.0.1");
  s->SetSmtpPort(1);  // nobody listens
  s->SetMailViaMapi(true);
  s->SetMailViaMailto(true);
  s->SetMailAddr("Dev Team <dev@kelvane.example>, other@kelvane.example");
  s->SetMailBody("Bericht anbei.");
  ASSERT_EQ(Deliver(kReport, true, shot_), kDelivered);
  const std::string log = ReadFile(dir_ + "\\mapi.log");
  EXPECT_EQ(log,
            "call flags=0 window=none\n"
            "subject=Fehler EDivByZero: Division durch Null \xE4\xF6\xFC.\n"
            "body=Bericht anbei.\n"
            "to class=1 name=Dev Team address=SMTP:dev@kelvane.example\n"
            "to class=1 name=other@kelvane.example address=SMTP:other@kelvane.example\n"
            "file position=-1 name=bugreport.txt\n"
            "file position=-1 name=screenshot.png\n"
            "end\n");
  // The report copy as the report file would store it.
  EXPECT_EQ(ReadFile(dir_ + "\\mapi.log.1").find(kReport), 0u);
  EXPECT_EQ(ReadFile(dir_ + "\\mapi.log.2").substr(0, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_TRUE(g_failures.empty());
}

TEST_F(Delivery, ShippedSettingsAskTheMailClientWithItsDialog) {
  TIZQSettings* s = Settings();
  s->SetMailViaMapi(true);
  ASSERT_EQ(Deliver(kReport, false), kDelivered);
  const std::string log = ReadFile(dir_ + "\\mapi.log");
  EXPECT_EQ(log.substr(0, log.find('\n')), "call flags=9 window=none");
  EXPECT_EQ(log.find("to class"), std::string::npos);
  EXPECT_NE(log.find("file position=-1 name=bugreport.txt\n"), std::string::npos);
}

TEST_F(Delivery, CancelInTheMailClientEndsWithoutMessageAndKeepsTheFile) {
  TIZQSettings* s = Settings();
  s->SetMailViaMapi(true);
  s->SetMailViaMailto(true);
  s->SetAttachBugReportFile(true);
  s->SetDeleteBugReportFile(true);
  WriteFile(reportFile_, "stored report\r\n");
  SetEnvironmentVariableA("KELVANE_MAPI_ANSWER", "1");
  EXPECT_EQ(Deliver(kReport, false), kDeliveryCancelled);
  EXPECT_TRUE(g_failures.empty());
  EXPECT_EQ(ReadFile(reportFile_), "stored report\r\n");
  // The attached copy held the stored reports and the current one.
  const std::string copy = ReadFile(dir_ + "\\mapi.log.1");
  EXPECT_NE(copy.find("stored report\r\n"), std::string::npos) << copy;
  EXPECT_NE(copy.find(".leading dot line"), std::string::npos);

  // Delivered: the file's contents went out in the copy, the file goes.
  SetEnvironmentVariableA("KELVANE_MAPI_ANSWER", "0");
  EXPECT_EQ(Deliver(kReport, false), kDelivered);
  EXPECT_EQ(GetFileAttributesA(reportFile_.c_str()), INVALID_FILE_ATTRIBUTES);
}

DWORD WINAPI CloseAfterAMoment(void* handle) {
  Sleep(300);
  CloseHandle(handle);
  return 0;
}

TEST_F(Delivery, ReportFileHeldByAWriterIsCopiedOnceItIsFree) {
  TIZQSettings* s = Settings();
  s->SetMailViaMapi(true);
  s->SetAttachBugReportFile(true);
  WriteFile(reportFile_, "stored report\r\n");
  // A save in progress (the same exception's automatic save, or another copy of the program's)
  // holds the file exclusively for a moment.
  HANDLE held = CreateFileA(reportFile_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  HANDLE closer = CreateThread(nullptr, 0, CloseAfterAMoment, held, 0, nullptr);
  ASSERT_NE(closer, nullptr);
  EXPECT_EQ(Deliver(kReport, true), kDelivered);
  WaitForSingleObject(closer, INFINITE);
  CloseHandle(closer);
  const std::string copy = ReadFile(dir_ + "\\mapi.log.1");
  EXPECT_EQ(copy.find("stored report\r\n"), 0u) << copy;
  EXPECT_NE(copy.find(".leading dot line"), std::string::npos) << copy;
}

TEST_F(Delivery, MailtoHandlerThenTheFailureMessage) {
  TIZQSettings* s = Settings();
  s->SetMailViaMapi(true);
  s->SetMailViaMailto(true);
  s->SetMailAddr("dev@kelvane.example; b@kelvane.example");
  s->SetMailSubject("Fehler & mehr");
  SetEnvironmentVariableA("KELVANE_MAPI_ANSWER", "3");  // a failure that is not a cancel
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string recorder = self;
  recorder = recorder.substr(0, recorder.rfind('\\') + 1) + "MailtoRecorder.exe";
  const std::string mailtoLog = dir_ + "\\mailto.log";
  SetEnvironmentVariableA("KELVANE_MAILTO_LOG", mailtoLog.c_str());

  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  char old[1024] = {};
  DWORD oldSize = sizeof old, oldType = 0;
  const bool hadOld = RegQueryValueExA(key, nullptr, nullptr, &oldType, reinterpret_cast<BYTE*>(old), &oldSize) == ERROR_SUCCESS;
  const std::string command = "\"" + recorder + "\" /compose \"%1\"";
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()), static_cast<DWORD>(command.size() + 1));

  EXPECT_EQ(Deliver(kReport, false), kDelivered);
  for (int i = 0; i < 200 && GetFileAttributesA(mailtoLog.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  const std::string expected = "\"" + recorder + "\" /compose \"mailto:dev@kelvane.example,b@kelvane.example?subject=Fehler%20%26%20mehr&body=" +
                               EscapeMailto(kReport) + "\"";
  EXPECT_EQ(ReadFile(mailtoLog), expected);
  EXPECT_TRUE(g_failures.empty());

  // No handler: the failure message, and never for an automatic send.
  RegDeleteValueA(key, nullptr);
  EXPECT_EQ(Deliver(kReport, true), kDeliveryFailed);
  EXPECT_TRUE(g_failures.empty());
  EXPECT_EQ(Deliver(kReport, false), kDeliveryFailed);
  EXPECT_EQ(g_failures, std::vector<std::string>{"Sorry, sending the bug report didn't work."});
  if (hadOld) RegSetValueExA(key, nullptr, 0, oldType, reinterpret_cast<const BYTE*>(old), oldSize);
  RegCloseKey(key);
}

TEST_F(Delivery, BackgroundDeliveriesAtOnceKeepTheirOwnCopies) {
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpClient(true);
  s->SetSmtpServer("127.0.0.1");
  s->SetSmtpPort(PortOf("KELVANE_SMTP_PORT"));
  s->SetMailAddr("dev@kelvane.example");
  s->SetMailSubject("Hintergrund");
  const int before = MailCount("smtp");
  const std::string reports[] = {std::string(kReport) + "first\r\n", std::string(kReport) + "second\r\n"};
  HANDLE threads[2] = {};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(DeliverBugReport(reports[i], nullptr, nullptr, true, true, Settings(), false, &threads[i]), kDelivered);
    ASSERT_NE(threads[i], nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  ASSERT_EQ(MailCount("smtp"), before + 2);
  // Each mail carries its own report as body and as attachment.
  for (int n = before + 1; n <= before + 2; ++n) {
    const std::string eml = ReadFile(PeerWindows("smtp/" + std::to_string(n) + ".eml"));
    const bool first = eml.find("first\r\n") != std::string::npos;
    EXPECT_NE(first, eml.find("second\r\n") != std::string::npos) << eml;
    const std::string& report = reports[first ? 0 : 1];
    const std::string head = "filename=\"bugreport.txt\"\r\n\r\n";
    const std::size_t from = eml.find(head);
    ASSERT_NE(from, std::string::npos) << eml;
    std::string base64 = eml.substr(from + head.size(), eml.find("\r\n\r\n", from + head.size()) - from - head.size());
    std::erase(base64, '\r');
    std::erase(base64, '\n');
    EXPECT_EQ(kestrum::DecodeBase64(base64).find(report), 0u) << eml;
  }
  ASSERT_EQ(g_folders.size(), 2u);
  EXPECT_NE(g_folders[0], g_folders[1]);
}

TEST_F(Delivery, MissingAdditionalFileIsLeftOut) {
  TIZQSettings* s = Settings();
  s->SetMailViaMapi(true);
  s->SetAttachBugReport(false);
  WriteFile(dir_ + "\\extra.log", "extra");
  s->SetPropStr("AddAttachs", dir_ + "\\extra.log>extra.txt>>Extra|" + dir_ + "\\missing.log>>>");
  EXPECT_EQ(Deliver(kReport, false), kDelivered);
  const std::string log = ReadFile(dir_ + "\\mapi.log");
  EXPECT_NE(log.find("file position=-1 name=extra.txt\nend\n"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(dir_ + "\\mapi.log.1"), "extra");
  // Added by the program at run time through the settings' list: the next delivery sends it too.
  WriteFile(dir_ + "\\later.log", "later");
  IZQAttachments* list = s->GetAdditionalAttachments();
  list->Add(dir_ + "\\later.log", "", "", "");
  list->Release();
  EXPECT_EQ(Deliver(kReport, false), kDelivered);
  const std::string again = ReadFile(dir_ + "\\mapi.log");
  EXPECT_NE(again.find("name=extra.txt\n"), std::string::npos) << again;
  EXPECT_NE(again.find("name=later.log\n"), std::string::npos) << again;
  s->SetAttachBugReport(true);
  s->SetPropStr("AddAttachs", "");
}

// A delivery on its own thread; the test looks at its window meanwhile.
struct ThreadDelivery {
  std::string report;
  TIZQSettings* settings;
  std::uint8_t result = 0xFF;
};

DWORD WINAPI DeliverOnThread(void* p) {
  auto* d = static_cast<ThreadDelivery*>(p);
  d->result = DeliverBugReport(d->report, nullptr, nullptr, false, false, d->settings, true, nullptr);
  return 0;
}

TEST_F(Delivery, SilentServerIsGivenUpWhileTheSendingWindowShows) {
  // A server that takes the connection and never greets.
  std::uint16_t port = 0;
  SOCKET listener = testing::ListenOnLoopback(4, port);
  ASSERT_NE(listener, INVALID_SOCKET);
  TIZQSettings* s = Settings();
  s->SetMailAsSmtpClient(true);
  s->SetSmtpServer("127.0.0.1");
  s->SetSmtpPort(port);
  s->SetMailAddr("dev@kelvane.example");
  s->SetSendBoxTitle("Sende Fehlerbericht");
  ThreadDelivery d{kReport, s};
  const DWORD start = GetTickCount();
  HANDLE thread = CreateThread(nullptr, 0, DeliverOnThread, &d, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  // The window is made first and shown a moment later: on a slow machine the search can fall
  // between the two.
  HWND window = nullptr;
  for (int i = 0; i < 200 && !(window && IsWindowVisible(window)); ++i) {
    Sleep(50);
    window = FindWindowA(kProgressWindowClass, nullptr);
  }
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window));
  // Read without a message to the delivery's thread, which is waiting for the server.
  wchar_t title[64] = {};
  InternalGetWindowText(window, title, 64);
  EXPECT_STREQ(title, L"Sende Fehlerbericht");
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  CloseHandle(thread);
  // The greeting's wait is bounded; then the failure message, and the window is gone.
  EXPECT_GE(GetTickCount() - start, static_cast<DWORD>(kSmtpReplyWaitMs) - 100);
  EXPECT_EQ(d.result, kDeliveryFailed);
  EXPECT_EQ(g_failures, std::vector<std::string>{"Sorry, sending the bug report didn't work."});
  EXPECT_FALSE(IsWindow(window));
  closesocket(listener);
  s->SetSendBoxTitle("Sending bug report...");
}

TEST_F(Delivery, ExceptionSendsInTheBackgroundThroughItsSeam) {
  InstallDelivery();
  Settings()->SetMailViaMapi(true);
  Settings()->SetSendInBackground(true);
  auto* exception = new TIZQException(Settings(), kestrum::ExceptionFacts{});
  // A change made to this exception's settings applies to its delivery only.
  exception->SetMailSubject("Nur diese Ausnahme");
  exception->SendBugReport(nullptr);
  ASSERT_NE(*exception->PSendThread(), nullptr);
  exception->FinishAutoWork(true);
  EXPECT_TRUE(exception->GetMailWasSent());
  const std::string log = ReadFile(dir_ + "\\mapi.log");
  EXPECT_NE(log.find("subject=Nur diese Ausnahme\n"), std::string::npos) << log;
  // The complete report went out.
  const std::string report = exception->GetBugReport(true);
  EXPECT_NE(report.find("exception number"), std::string::npos) << report;
  EXPECT_EQ(ReadFile(dir_ + "\\mapi.log.1").find(report), 0u);
  exception->Release();
  EXPECT_EQ(Settings()->GetMailSubject(), "Fehler %exceptClass%: %exceptMsg%");
}

// The exception's own screenshot goes along while its AppendScreenShot says so: the whole screen,
// or the box around the program's windows, as a PNG file Pillow reads with the window's colours;
// a picture given to the exception (the assistant's edited one) instead of the one taken.
TEST_F(Delivery, ExceptionSendsItsOwnScreenShotWhenAppended) {
  InstallDelivery();
  Settings()->SetMailViaMapi(true);
  Settings()->SetSendInBackground(false);
  SetCursorPos(3, 765);  // away from the window
  const RECT place{100, 120, 300, 270};
  testing::TwoColourWindow window(place);
  RECT r{};
  ASSERT_TRUE(GetWindowRect(window.Handle(), &r));
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x0 = GetSystemMetrics(SM_XVIRTUALSCREEN), y0 = GetSystemMetrics(SM_YVIRTUALSCREEN);
  auto at = [](int x, int y, const char* colour) { return std::to_string(x) + "," + std::to_string(y) + "=" + colour; };
  const struct {
    const char* what;
    bool appOnly, append, edited;
    int width, height;
    std::vector<std::string> samples;
  } cases[] = {
      {"the whole screen", false, true, false, GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN),
       {at(r.left + 10 - x0, r.top + 10 - y0, "ff0000"), at(r.right - 10 - x0, r.bottom - 10 - y0, "0000ff")}},
      {"the program's windows", true, true, false, w, h, {at(10, 10, "ff0000"), at(w - 10, h - 10, "0000ff")}},
      {"edited", false, true, true, 24, 16, {at(0, 0, "000000"), at(23, 15, "000000")}},
      {"not appended", false, false, false, 0, 0, {}},
  };
  ASSERT_TRUE(kestrum::ReserveMiniDumpBuffers()) << "the component's install reserves them in a program";
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string log = dir_ + "\\shot" + std::to_string(++n) + ".log";
    SetEnvironmentVariableA("KELVANE_MAPI_LOG", log.c_str());
    auto* exception = new TIZQException(Settings(), kestrum::ExceptionFacts{});
    ASSERT_TRUE(exception->GetCreateScreenShot() && exception->GetAppendScreenShot()) << "the shipped settings take one and send it";
    exception->SetScreenShotAppOnly(c.appOnly);
    exception->SetAppendScreenShot(c.append);
    if (c.edited) exception->SetScreenShot(shot_);
    exception->SendBugReport(nullptr);
    exception->Release();
    const std::string sent = ReadFile(log);
    const std::size_t reportLine = sent.find("file position=-1 name=bugreport.txt\n");
    ASSERT_NE(reportLine, std::string::npos) << sent;
    const std::size_t shotLine = sent.find("file position=-1 name=screenshot.png\n");
    // The minidump made with the report goes as MiniDumpSendAs, behind the report and the picture.
    const std::size_t dumpLine = sent.find("file position=-1 name=crash.dmp\n");
    ASSERT_NE(dumpLine, std::string::npos) << sent;
    EXPECT_GT(dumpLine, std::max(reportLine, c.append ? shotLine : reportLine));
    EXPECT_EQ(ReadFile(log + (c.append ? ".3" : ".2")).substr(0, 4), "MDMP");
    if (!c.append) {
      EXPECT_EQ(shotLine, std::string::npos) << sent;
      continue;
    }
    ASSERT_NE(shotLine, std::string::npos) << sent;
    // The double copies the attachments in their order: the report first.
    ASSERT_LT(reportLine, shotLine);
    const std::string png = "exception-shot" + std::to_string(n) + ".png";
    ASSERT_TRUE(CopyFileA((log + ".2").c_str(), PeerWindows(png).c_str(), FALSE));
    std::vector<std::string> check{"check-png", PeerLinux(png), std::to_string(c.width), std::to_string(c.height)};
    check.insert(check.end(), c.samples.begin(), c.samples.end());
    AddCheck(check);
  }
}

TEST(AttachmentObject, WritesTheListBackToItsOwner) {
  ZQRef<TIZQSettings> settings(new TIZQSettings(GetModuleHandleA(nullptr), true));
  auto* list = new TIZQAttachments(settings.get());
  list->Add("", "ignored", "", "");
  list->Add("C:\\a\\report.txt", "", "", "");
  list->Add("C:\\a\\shot.png", "bild.png", "all.zip", "Bild");
  EXPECT_EQ(settings->RawPropStr("AddAttachs"), "C:\\a\\report.txt>report.txt>>report|C:\\a\\shot.png>bild.png>all.zip>Bild");
  std::string a = "x", b = "x", c = "x", d = "x";
  EXPECT_FALSE(list->GetItem(2, a, b, c, d));
  EXPECT_FALSE(list->GetItem(-1, a, b, c, d));
  EXPECT_EQ(a + b + c + d, "xxxx");
  EXPECT_TRUE(list->GetItem(1, a, b, c, d));
  EXPECT_EQ(a + "|" + b + "|" + c + "|" + d, "C:\\a\\shot.png|bild.png|all.zip|Bild");

  IZQAttachments* copy = list->Clone();
  EXPECT_TRUE(list->Delete("c:\\A\\REPORT.TXT"));
  EXPECT_EQ(settings->RawPropStr("AddAttachs"), "C:\\a\\shot.png>bild.png>all.zip>Bild");
  EXPECT_EQ(copy->GetItemCount(), 2);
  copy->Clear();  // no owner: the settings keep their text
  EXPECT_EQ(settings->RawPropStr("AddAttachs"), "C:\\a\\shot.png>bild.png>all.zip>Bild");
  copy->Release();

  // The owner goes away: later changes stay in the list.
  list->ClearParent();
  list->Clear();
  EXPECT_EQ(settings->RawPropStr("AddAttachs"), "C:\\a\\shot.png>bild.png>all.zip>Bild");
  list->Release();
  settings->SetPropStr("AddAttachs", "");
}

TEST(ReportPrintLayout, WrapsLongLinesAndBreaksPages) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  HFONT font = CreatePrintFont(dc);
  HGDIOBJ old = SelectObject(dc, font);
  std::string words;
  for (int i = 0; i < 120; ++i) words += "Wort" + std::to_string(i) + " ";
  std::string report = "kurz\r\n\r\n" + words + "\r\nEnde\r\n";
  for (int i = 0; i < 400; ++i) report += "Zeile " + std::to_string(i) + "\r\n";
  const PrintLayout layout = LayOutReport(dc, report);
  ASSERT_EQ(layout.lines.size(), 404u);
  const int line = layout.heights[0];
  EXPECT_GT(line, 0);
  // The empty line keeps its height; the long one wraps onto several.
  EXPECT_EQ(layout.heights[1], line);
  EXPECT_GE(layout.heights[2], 2 * line);
  EXPECT_EQ(layout.heights[2] % line, 0);
  EXPECT_EQ(layout.placed[3].top, layout.placed[2].top + layout.heights[2]);
  // Pages: every line within the printable area, each page starting at the top margin.
  EXPECT_GT(layout.placed.back().page, 0);
  for (std::size_t i = 0; i < layout.placed.size(); ++i) {
    EXPECT_LE(layout.placed[i].top + layout.heights[i], layout.area.bottom) << i;
    if (i > 0 && layout.placed[i].page != layout.placed[i - 1].page) {
      EXPECT_EQ(layout.placed[i].top, layout.area.top) << i;
    }
  }
  SelectObject(dc, old);
  DeleteObject(font);
  DeleteDC(dc);
}

// The program makes one call; a hook left out would silently drop saving, sending or the window.
TEST(DeliveryHooks, OneCallFillsEveryHook) {
  const kestrum::DeliveryHooks before = kestrum::DeliveryHooksInUse();
  InstallDelivery();
  const kestrum::DeliveryHooks& hooks = kestrum::DeliveryHooksInUse();
  EXPECT_TRUE(hooks.saveReport && hooks.sendReport && hooks.printReport && hooks.copyToClipboard && hooks.runAssistant &&
              hooks.takeScreenShot && hooks.createProgressWindow && hooks.decodePassword);
  // A record without a clipboard copy keeps the built-in one: the box's Ctrl+C never goes nowhere.
  kestrum::InstallDeliveryHooks({});
  EXPECT_EQ(kestrum::DeliveryHooksInUse().copyToClipboard, &kestrum::CopyTextToClipboard);
  kestrum::InstallDeliveryHooks(before);
}

}  // namespace
}  // namespace delivery
