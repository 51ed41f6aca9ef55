// Winsock's header must come before the window system's, which the own header brings.
#include <winsock2.h>

#include "delivery/KestrumDeliver_win.h"

#include <commdlg.h>
#include <mapi.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crash/KestrumExceptionApi_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumAttachments.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumOutbox_win.h"
#include "delivery/KestrumProgress_win.h"
#include "delivery/KestrumTransport.h"
#include "platform/Modules_win.h"
#include "platform/Trace_win.h"

namespace delivery {
namespace {

DeliverySystem g_system;

// The hand-over to the background thread; the thread owns it and the references it holds.
struct SendRecord {
  std::string bugReport;
  INVBitmap* screenShot = nullptr;
  bool hidden = false;
  kestrum::IZQSettings* settings = nullptr;
};

// Reference to the exception object behind a settings interface, when it is one.
class ExceptionRef {
 public:
  explicit ExceptionRef(kestrum::IZQSettings* settings) {
    if (settings) settings->QueryInterface(kestrum::IID_IZQExceptionEx, reinterpret_cast<void**>(&ex_));
  }
  ~ExceptionRef() {
    if (ex_) ex_->Release();
  }
  ExceptionRef(const ExceptionRef&) = delete;
  ExceptionRef& operator=(const ExceptionRef&) = delete;
  kestrum::IZQExceptionEx* operator->() const { return ex_; }
  explicit operator bool() const { return ex_ != nullptr; }

 private:
  kestrum::IZQExceptionEx* ex_ = nullptr;
};

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A window above all others would hide the sending window and the mail client's dialog.
void MakeNotTopMost(HWND window) {
  if (window) SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

DWORD WINAPI SendThreadProc(void* parameter) {
  std::unique_ptr<SendRecord> record(static_cast<SendRecord*>(parameter));
  // The component's own sending thread: a fault in it must not start another report of it.
  try {
    DeliverBugReport(record->bugReport, record->screenShot, nullptr, record->hidden, true, record->settings, true, nullptr);
  } catch (...) {
  }
  if (record->screenShot) record->screenShot->Release();
  if (record->settings) record->settings->Release();
  return 0;
}

// True when the delivery went to its own thread.
bool HandOverToThread(const std::string& bugReport, INVBitmap* screenShot, HWND parentWindow, bool hidden,
                      kestrum::IZQSettings* settings, HANDLE* pThread) {
  MakeNotTopMost(parentWindow);
  auto* record = new SendRecord{bugReport, screenShot, hidden, settings};
  if (screenShot) screenShot->AddRef();
  if (settings) settings->AddRef();
  HANDLE thread = CreateThread(nullptr, 0, SendThreadProc, record, 0, nullptr);
  if (!thread) {
    if (screenShot) screenShot->Release();
    if (settings) settings->Release();
    delete record;
    return false;
  }
  if (pThread) {
    *pThread = thread;
  } else {
    CloseHandle(thread);
  }
  return true;
}

void ShowAnswer(HWND owner, const std::string& line) {
  if (g_system.showAnswer) {
    g_system.showAnswer(owner, line);
    return;
  }
  MessageBoxA(owner, line.c_str(), "", MB_OK | MB_ICONINFORMATION);
}

// The delivery as the outbox keeps it: the way, its destination and the files it would have sent.
bool StoreFailedDelivery(const DeliverySettings& s, const TransportRequest& request) {
  OutboxEntry entry;
  entry.reportId = request.reportId;
  entry.created = OutboxNow();
  entry.httpUrl = request.httpUrl;
  entry.recipients = request.httpUrl.empty() ? request.recipients : std::string();
  entry.server = request.server;
  entry.port = request.port;
  entry.account = request.account;
  // Enciphered as the settings keep it, never in clear text on disk.
  const std::string key = request.httpUrl.empty() ? request.server : request.httpUrl;
  if (!request.password.empty()) entry.password = EncodePassword(request.password, request.account, key);
  entry.sender = request.sender;
  entry.subject = request.subject;
  entry.body = request.body;
  entry.fields = request.fields;
  const AttachmentSet& a = request.attachments;
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    entry.files.push_back({i < a.sendAsNames.size() ? a.sendAsNames[i] : FileNamePart(a.files[i]),
                           i < a.fieldNames.size() ? a.fieldNames[i] : std::string()});
  }
  const std::string outbox = g_system.outboxFolder.empty() ? DefaultOutboxFolder() : g_system.outboxFolder;
  return StoreInOutbox(outbox, entry, a.files, {s.outboxMaxReports, s.outboxMaxKB, s.outboxMaxDays});
}

void ShowFailure(HWND owner, const std::string& text) {
  if (g_system.showFailure) {
    g_system.showFailure(owner, text);
    return;
  }
  MessageBoxA(owner, text.c_str(), "", MB_OK | MB_ICONERROR);
}

// Copies the bug report file, waiting as a save does for a writer that holds it for the moment of
// its own save: copied a moment too early, the attachment would lack the stored reports.
bool CopyReportFile(const std::string& from, const std::string& to) {
  constexpr DWORD kPollMs = 20;
  for (DWORD waited = 0;; waited += kPollMs) {
    if (CopyFileA(from.c_str(), to.c_str(), FALSE)) return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || waited >= kBugReportFileWaitMs) return false;
    Sleep(kPollMs);
  }
}

// The report attachment: a copy of the bug report file with the current report in it, or the
// current report alone. deleteAfterSend tells whether the file's contents went into the copy.
void AddReportCopy(const DeliverySettings& s, const std::string& folder, const std::string& bugReport,
                   kestrum::IZQSettings* settings, const ExceptionRef& exception, AttachmentList& list, std::string& reportPath,
                   bool& deleteAfterSend) {
  reportPath = s.bugRepFile.empty() ? std::string() : MakeAbsolutePath(s.bugRepFile);
  std::string name = FileNamePart(reportPath);
  if (name.empty()) name = "bugreport.txt";
  const std::string copy = folder + name;
  // Whether the file holds this report already is asked together with the copy, under the lock
  // of the exception's own automatic save: asked before it and copied after, the report would go
  // twice (folded: one crash counted twice).
  platform::AutoLock lock(ConfiguredFileLock());
  const bool copied = s.attachBugRepFile && !reportPath.empty() && CopyReportFile(reportPath, copy);
  bool appendNow = !(s.attachBugRepFile && exception && exception->GetMailWasSaved());
  if (copied) {
    SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    deleteAfterSend = s.delBugRepFile;
  } else {
    DeleteFileA(copy.c_str());
    appendNow = true;
  }
  if (appendNow && !SaveBugReportToFile(copy, bugReport, nullptr, settings, true)) DeleteFileA(copy.c_str());
  if (FileExists(copy)) {
    list.Add({copy, s.bugRepSendAs, s.bugRepZip, "BugReport"});
  } else {
    deleteAfterSend = false;
  }
}

// The minidump made with the report, named as the settings say and zipped with the report when
// the report is zipped. One that cannot be written is left out: the report still goes. An upload
// names its form field as crash servers that take minidumps expect it.
void AddMiniDump(const DeliverySettings& s, const std::string& folder, const ExceptionRef& exception, AttachmentList& list) {
  const std::string dump = folder + "bugreport.dmp";
  DeleteFileA(dump.c_str());
  std::string error;
  if (exception->WriteMiniDump(dump, error)) list.Add({dump, s.miniDumpSendAs, s.bugRepZip, "upload_file_minidump"});
}

std::uint8_t DeliverNow(const std::string& bugReport, INVBitmap* screenShot, HWND parentWindow, bool hidden,
                        kestrum::IZQSettings* settings, bool inThread) {
  const DeliverySettings s = ReadDeliverySettings(settings);
  const MailTexts texts = ComposeMailTexts(s, bugReport);
  const ExceptionRef exception(settings);

  // Every delivery has a folder of its own: several may run at once, and each makes files of the
  // same names.
  std::uint32_t folderId = 0;
  std::string folder;
  AttachmentList list;
  AttachmentSet attachments;
  std::string reportPath, shot;
  bool deleteAfterSend = false;
  IProgressAlert* window = nullptr;
  bool windowShown = false;
  if (NeedsAttachments(s)) {
    folder = kestrum::BeginDeliveryFolder(folderId);
    if (s.attachBugRep && !folder.empty()) {
      AddReportCopy(s, folder, bugReport, settings, exception, list, reportPath, deleteAfterSend);
    }
    if (screenShot && !folder.empty()) {
      shot = folder + "screenShot.png";
      DeleteFileA(shot.c_str());
      if (screenShot->SavePng(shot, PngFormatForDepth(s.scrShotDepth))) {
        list.Add({shot, s.scrShotSendAs, s.scrShotZip, "ScreenShot"});
      } else {
        shot.clear();
      }
    }
    if (exception && exception->WantsMiniDump() && !folder.empty()) AddMiniDump(s, folder, exception, list);
    for (const kestrum::AttachmentSpec& item : s.additionalAttachments) list.Add(item);
    window = CreateProgressWindow(s.sendBoxTitle, settings ? settings->Module() : nullptr, "ZQISEND32");
    for (const auto& [weight, text] : SendingAreas(s, !list.Items().empty())) window->AddArea(weight, text);
    if (!hidden || s.autoSendBox) windowShown = window->Show(inThread ? nullptr : parentWindow, !inThread);
    attachments = ResolveAttachments(
        list.Items(), folder, [](const std::string& path) { return MakeAbsolutePath(path); }, FileExists, ZipFiles);
    if (windowShown) {
      window->AreaDone();
      window->ProcessMessages();
    }
  }

  bool networkDelivered = false;
  const NetworkWay way = ChooseNetworkWay(s, texts.recipients);
  TransportRequest request;
  std::string answerBody;
  if (way != NetworkWay::kNone) {
    request.reportId = ReportIdOf(settings);
    request.sender = texts.sender;
    request.subject = texts.subject;
    request.body = texts.body;
    request.attachments = attachments;
    request.texts = s.texts;
    if (way == NetworkWay::kHttpUpload) {
      request.httpUrl = s.httpServer;
      request.port = s.httpPort;
      request.account = s.httpAccount;
      request.password = s.httpPassword;
      request.fields = UploadFields(s.additionalFields, texts);
    } else {
      request.recipients = texts.recipients;
      if (way == NetworkWay::kSmtpServer) {
        request.server = s.smtpServer;
        request.port = s.smtpPort;
        request.account = s.smtpAccount;
        request.password = s.smtpPassword;
      }
    }
    const WinsockSession winsock;
    WinsockNetwork winsockNetwork;
    Network& network = g_system.network ? *g_system.network : winsockNetwork;
    std::unique_ptr<ProgressAlertSink> sink;
    if (windowShown) sink = std::make_unique<ProgressAlertSink>(window);
    networkDelivered = (g_system.network || winsock.Started()) && SendBySmtpOrHttp(network, sink.get(), request, &answerBody);
  }
  if (window) {
    window->Close();
    window->Release();
  }
  if (networkDelivered && way == NetworkWay::kHttpUpload && !hidden) {
    const std::string line = CollectorAnswerLine(ParseCollectorAnswer(answerBody), {s.answerNewMsg, s.answerKnownMsg, s.answerFixedMsg});
    if (!line.empty()) ShowAnswer(parentWindow, line);
  }
  std::uint8_t result = networkDelivered ? kDelivered : kDeliveryFailed;
  if (!networkDelivered) {
    const FallbackPlan plan = PlanFallbacks(s, hidden);
    if (plan.tryMapi) {
      result = SendViaMapi(texts.recipients, texts.subject, texts.body, hidden, parentWindow, attachments.sendAsNames, attachments.files);
    }
    if (result == kDeliveryFailed && plan.tryMailto) {
      deleteAfterSend = false;
      MakeNotTopMost(parentWindow);
      result = SendViaMailto(texts.recipients, texts.subject, bugReport);
    }
    // Kept before anything is shown: a user who closes the program at the message loses nothing.
    if (result == kDeliveryFailed && way != NetworkWay::kNone && s.outboxRetry && !StoreFailedDelivery(s, request))
      platform::Trace("Kestrum outbox: the failed delivery could not be stored");
    if (result == kDeliveryFailed && plan.showFailure) ShowFailure(parentWindow, s.sendFailMsg);
  }
  // Not before the outbox has its copy: an entry that lacks a file is not kept at all.
  if (!shot.empty() && DeleteScreenShotAfterNetwork(networkDelivered, s.mailViaMapi)) DeleteFileA(shot.c_str());
  if (result == kDelivered) {
    if (exception) exception->SetMailWasSent(true);
    if (deleteAfterSend && !reportPath.empty() && s.delBugRepFile) {
      SetFileAttributesA(reportPath.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(reportPath.c_str());
    }
  }
  if (!folder.empty()) {
    if (g_system.beforeFolderRemoved) g_system.beforeFolderRemoved(folder);
    kestrum::EndDeliveryFolder(folderId);
  }
  return result;
}

// Simple MAPI, bound when a mail goes out: most machines have no mail client that offers it.
struct MapiEntries {
  decltype(&::MAPISendMail) pMAPISendMail;
};

}  // namespace

DeliverySettings ReadDeliverySettings(kestrum::IZQSettings* settings) {
  DeliverySettings s;
  if (!settings) return s;
  s.mailAddr = settings->GetMailAddr();
  s.mailFrom = settings->GetMailFrom();
  s.mailSubject = settings->GetMailSubject();
  s.mailBody = settings->GetMailBody();
  s.mailAsSmtpServer = settings->GetMailAsSmtpServer();
  s.mailAsSmtpClient = settings->GetMailAsSmtpClient();
  s.uploadViaHttp = settings->GetUploadViaHttp();
  s.mailViaMapi = settings->GetMailViaMapi();
  s.mailViaMailto = settings->GetMailViaMailto();
  s.smtpServer = settings->GetSmtpServer();
  s.smtpPort = static_cast<std::uint16_t>(settings->GetSmtpPort());
  s.smtpAccount = settings->GetSmtpAccount();
  s.smtpPassword = settings->GetSmtpPassword();
  s.httpServer = settings->GetHttpServer();
  s.httpPort = static_cast<std::uint16_t>(settings->GetHttpPort());
  s.httpAccount = settings->GetHttpAccount();
  s.httpPassword = settings->GetHttpPassword();
  s.attachBugRep = settings->GetAttachBugReport();
  s.attachBugRepFile = settings->GetAttachBugReportFile();
  s.delBugRepFile = settings->GetDeleteBugReportFile();
  s.bugRepFile = settings->GetBugReportFile();
  s.bugRepSendAs = settings->GetBugReportSendAs();
  s.bugRepZip = settings->GetBugReportZip();
  s.scrShotDepth = settings->GetScreenShotDepth();
  s.scrShotSendAs = settings->GetScreenShotSendAs();
  s.scrShotZip = settings->GetScreenShotZip();
  if (IZQAttachments* list = settings->GetAdditionalAttachments()) {
    // Read whole under the list's lock: another thread may change it meanwhile.
    list->Lock();
    kestrum::AttachmentSpec item;
    for (int i = 0; list->GetItem(i, item.originalFile, item.sendAsFileName, item.zipFile, item.fieldName); ++i)
      s.additionalAttachments.push_back(item);
    list->Unlock();
    list->Release();
  }
  s.additionalFields = settings->GetAdditionalFields();
  s.autoSendBox = settings->GetAutoSendPrgrBox();
  s.sendBoxTitle = settings->GetSendBoxTitle();
  s.sendFailMsg = settings->GetSendFailureMsg();
  s.texts.prepare = settings->GetPrepareAttachMsg();
  s.texts.mxLookup = settings->GetMxLookupMsg();
  s.texts.connect = settings->GetConnectMsg();
  s.texts.auth = settings->GetAuthMsg();
  s.texts.sendMail = settings->GetSendMailMsg();
  s.texts.field = settings->GetFieldsMsg();
  s.texts.sendAttachment = settings->GetSendAttachMsg();
  s.texts.sendFinal = settings->GetSendFinalizeMsg();
  kestrum::IZQPropertyAccess* access = nullptr;
  if (SUCCEEDED(settings->QueryInterface(kestrum::IID_IZQPropertyAccess, reinterpret_cast<void**>(&access))) && access) {
    s.miniDumpSendAs = access->GetPropStr("MiniDumpSendAs");
    s.outboxRetry = access->GetPropBool("OutboxRetry");
    s.outboxMaxReports = access->GetPropDw("OutboxMaxReports");
    s.outboxMaxKB = access->GetPropDw("OutboxMaxKB");
    s.outboxMaxDays = access->GetPropDw("OutboxMaxDays");
    s.answerNewMsg = access->GetPropStr("AnswerNewMsg");
    s.answerKnownMsg = access->GetPropStr("AnswerKnownMsg");
    s.answerFixedMsg = access->GetPropStr("AnswerFixedMsg");
    access->Release();
  }
  return s;
}

std::string ReportIdOf(kestrum::IZQSettings* settings) {
  kestrum::IZQPropertyAccess* access = nullptr;
  std::string id;
  if (settings && SUCCEEDED(settings->QueryInterface(kestrum::IID_IZQPropertyAccess, reinterpret_cast<void**>(&access))) && access) {
    id = access->GetPropStr(kestrum::kReportIdKey);
    access->Release();
  }
  if (IsReportId(id)) return id;
  // A report without an exception object (a delivery asked for by the program itself) still
  // needs one id for all its attempts: this delivery's.
  return kestrum::NewReportId();
}

void SetDeliverySystem(const DeliverySystem& system) { g_system = system; }

std::uint8_t DeliverBugReport(const std::string& bugReport, INVBitmap* screenShot, HWND parentWindow, bool hidden, bool background,
                              kestrum::IZQSettings* settings, bool inThread, HANDLE* pThread) {
  if (pThread) *pThread = nullptr;
  if (background && !inThread && !DialogWouldBlock(250) &&
      HandOverToThread(bugReport, screenShot, parentWindow, hidden, settings, pThread)) {
    return kDelivered;
  }
  return DeliverNow(bugReport, screenShot, parentWindow, hidden, settings, inThread);
}

std::uint8_t SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool hidden,
                         HWND parentWindow, const std::vector<std::string>& names, const std::vector<std::string>& files) {
  if (DialogWouldBlock(250)) return kDeliveryFailed;
  MapiEntries entries{};
  const platform::EntrySlot slots[] = {{"MAPISendMail", "MAPISendMail", platform::SlotOf(entries.pMAPISendMail)}};
  const platform::ScopedModule module(platform::LoadAndBind(L"mapi32.dll", slots));
  if (!module) return kDeliveryFailed;

  const std::vector<MapiRecipient> to = MapiRecipients(recipients);
  std::vector<MapiRecipDesc> recipDescs(to.size());
  for (std::size_t i = 0; i < to.size(); ++i) {
    recipDescs[i].ulRecipClass = MAPI_TO;
    recipDescs[i].lpszName = const_cast<LPSTR>(to[i].name.c_str());
    recipDescs[i].lpszAddress = const_cast<LPSTR>(to[i].address.c_str());
  }
  std::vector<MapiFileDesc> fileDescs(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    fileDescs[i].nPosition = static_cast<ULONG>(-1);
    fileDescs[i].lpszPathName = const_cast<LPSTR>(files[i].c_str());
    fileDescs[i].lpszFileName = const_cast<LPSTR>(i < names.size() ? names[i].c_str() : files[i].c_str());
  }
  MapiMessage message{};
  message.lpszSubject = const_cast<LPSTR>(subject.c_str());
  message.lpszNoteText = const_cast<LPSTR>(body.c_str());
  message.nRecipCount = static_cast<ULONG>(recipDescs.size());
  message.lpRecips = recipDescs.empty() ? nullptr : recipDescs.data();
  message.nFileCount = static_cast<ULONG>(fileDescs.size());
  message.lpFiles = fileDescs.empty() ? nullptr : fileDescs.data();
  const FLAGS flags = MapiWithoutDialog(hidden, recipients) ? 0 : MAPI_LOGON_UI | MAPI_DIALOG;

  const bool topMost = parentWindow && (GetWindowLongA(parentWindow, GWL_EXSTYLE) & WS_EX_TOPMOST);
  if (topMost) MakeNotTopMost(parentWindow);
  const ULONG answer = entries.pMAPISendMail(0, reinterpret_cast<ULONG_PTR>(parentWindow), &message, flags, 0);
  if (topMost) SetWindowPos(parentWindow, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (answer == SUCCESS_SUCCESS) return kDelivered;
  return answer == MAPI_USER_ABORT ? kDeliveryCancelled : kDeliveryFailed;
}

std::uint8_t SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& text) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return kDeliveryFailed;
  DWORD type = 0, size = 0;
  std::string command;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
      size > 0 && size < 32768) {
    command.resize(size);
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(command.data()), &size) != ERROR_SUCCESS) size = 0;
    command.resize(std::min<std::size_t>(size, command.size()));
    command.resize(std::strlen(command.c_str()));
  }
  RegCloseKey(key);
  if (command.empty()) return kDeliveryFailed;
  const DWORD expandedSize = ExpandEnvironmentStringsA(command.c_str(), nullptr, 0);
  if (expandedSize > 0) {
    std::string expanded(expandedSize, '\0');
    if (ExpandEnvironmentStringsA(command.c_str(), expanded.data(), expandedSize) > 0) {
      expanded.resize(std::strlen(expanded.c_str()));
      command = expanded;
    }
  }
  std::string line = MailtoCommand(command, MailtoUrl(recipients, subject, text));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return kDeliveryFailed;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return kDelivered;
}

void SendExceptionReport(kestrum::IZQException* exception, HWND parentWindow, bool background) {
  INVBitmap* shot = exception->GetAppendScreenShot() ? ExceptionScreenShot(exception) : nullptr;
  kestrum::IZQExceptionEx* ex = nullptr;
  exception->QueryInterface(kestrum::IID_IZQExceptionEx, reinterpret_cast<void**>(&ex));
  HANDLE* pThread = ex ? ex->PSendThread() : nullptr;
  // The automatic send is the one without a window: it never asks the user anything.
  const bool hidden = parentWindow == nullptr && background;
  DeliverBugReport(exception->GetBugReport(true), shot, parentWindow, hidden, background, exception, false, pThread);
  if (shot) shot->Release();
  if (ex) ex->Release();
}

std::string DecodeStoredPassword(const std::string& stored, const std::string& account, const std::string& server) {
  return DecodePassword(stored, account, server);
}

}  // namespace delivery
