#include <winsock2.h>

#include "delivery/KestrumOutbox_win.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "crash/KestrumHandling_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumTransport.h"
#include "platform/Modules_win.h"
#include "platform/Trace_win.h"

namespace delivery {

namespace {

constexpr char kEntryName[] = "entry.txt";
constexpr char kLockName[] = "lock";
constexpr char kTempSuffix[] = ".tmp";
// A folder that is no entry (a write cut short, an entry sent by a copy that ended before it could
// remove the folder) is removed once it is this old: younger ones may still be written.
constexpr std::int64_t kStaleMs = 60LL * 60 * 1000;

std::string Folder(const std::string& outbox, const std::string& id) { return outbox + id + "\\"; }

std::vector<WIN32_FIND_DATAA> List(const std::string& folder) {
  std::vector<WIN32_FIND_DATAA> found;
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    if (std::strcmp(data.cFileName, ".") != 0 && std::strcmp(data.cFileName, "..") != 0) found.push_back(data);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return found;
}

// Our folders hold plain files only: nothing below them is followed.
void RemoveFolder(const std::string& folder) {
  for (const WIN32_FIND_DATAA& f : List(folder)) {
    if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::string path = folder + f.cFileName;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
  }
  RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

std::int64_t MsOf(const FILETIME& t) {
  const std::int64_t ticks = static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  return ticks / 10000 - 11644473600000LL;
}

bool WriteFlushed(const std::string& path, const std::string& bytes) {
  const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size() && FlushFileBuffers(f);
  CloseHandle(f);
  return ok;
}

// A copy reaches the disk before the rename that makes its entry visible.
bool CopyFlushed(const std::string& from, const std::string& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) return false;
  SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  const HANDLE f = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(f);
  CloseHandle(f);
  return ok;
}

std::optional<std::string> ReadSmall(const std::string& path) {
  const HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  const DWORD size = GetFileSize(f, nullptr);
  bool ok = size != INVALID_FILE_SIZE && size <= kOutboxMaxEntryText;
  if (ok) {
    text.resize(size);
    DWORD read = 0;
    ok = size == 0 || (ReadFile(f, text.data(), size, &read, nullptr) && read == size);
  }
  CloseHandle(f);
  if (!ok) return std::nullopt;
  return text;
}

// The entry's lock: open only once at a time in the whole system, and gone with its handle.
class EntryLock {
 public:
  explicit EntryLock(const std::string& folder)
      : handle_(CreateFileA((folder + kLockName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr)) {}
  ~EntryLock() { Release(); }
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;
  bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (Held()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

struct OnDisk {
  OutboxItem item;
  OutboxEntry entry;
};

// The whole entries in the outbox; folders that are no entry and are old enough go.
std::vector<OnDisk> Scan(const std::string& outbox) {
  std::vector<OnDisk> entries;
  const std::int64_t now = OutboxNow();
  for (const WIN32_FIND_DATAA& f : List(outbox)) {
    if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const std::string folder = Folder(outbox, f.cFileName);
    std::optional<OutboxEntry> entry;
    if (IsReportId(f.cFileName)) {
      if (const auto text = ReadSmall(folder + kEntryName)) entry = ReadOutboxEntry(*text);
      if (entry && entry->reportId != f.cFileName) entry.reset();
    }
    if (!entry) {
      if (now - MsOf(f.ftCreationTime) > kStaleMs) {
        EntryLock lock(folder);
        if (lock.Held()) {
          platform::Trace("Kestrum outbox: removing %s, which is no whole entry", f.cFileName);
          lock.Release();
          RemoveFolder(folder);
        }
      }
      continue;
    }
    std::uint64_t bytes = 0;
    for (const WIN32_FIND_DATAA& file : List(folder)) bytes += (std::uint64_t{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
    entries.push_back({{entry->reportId, entry->created, bytes}, std::move(*entry)});
  }
  return entries;
}

const char* ReasonText(DropReason reason) {
  switch (reason) {
    case DropReason::kAge: return "older than OutboxMaxDays";
    case DropReason::kCount: return "more than OutboxMaxReports";
    case DropReason::kSize: return "more than OutboxMaxKB";
  }
  return "";
}

int ApplyCaps(const std::string& outbox, const OutboxCaps& caps) {
  std::vector<OutboxItem> items;
  for (const OnDisk& e : Scan(outbox)) items.push_back(e.item);
  int dropped = 0;
  for (const OutboxDrop& drop : OutboxDrops(items, OutboxNow(), caps)) {
    const std::string folder = Folder(outbox, drop.reportId);
    // One that is being sent right now is left to its sender.
    EntryLock lock(folder);
    if (!lock.Held()) continue;
    platform::Trace("Kestrum outbox: dropping %s, %s", drop.reportId.c_str(), ReasonText(drop.reason));
    DeleteFileA((folder + kEntryName).c_str());
    lock.Release();
    RemoveFolder(folder);
    ++dropped;
  }
  return dropped;
}

// True when the entry went out; its folder is gone then.
enum class SendResult { kSent, kFailed, kBusy, kGone };
SendResult SendEntry(const std::string& outbox, const std::string& id, Network& network) {
  const std::string folder = Folder(outbox, id);
  EntryLock lock(folder);
  if (!lock.Held()) return SendResult::kBusy;
  // Read again under the lock: another copy may have sent it since the scan.
  const auto text = ReadSmall(folder + kEntryName);
  std::optional<OutboxEntry> entry = text ? ReadOutboxEntry(*text) : std::nullopt;
  if (!entry || entry->reportId != id) {
    lock.Release();
    if (!text) RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
    return SendResult::kGone;
  }
  TransportRequest r;
  r.httpUrl = entry->httpUrl;
  r.recipients = entry->recipients;
  r.server = entry->server;
  r.port = entry->port;
  r.account = entry->account;
  const std::string key = entry->httpUrl.empty() ? entry->server : entry->httpUrl;
  r.password = entry->password.empty() ? std::string() : DecodePassword(entry->password, entry->account, key);
  r.sender = entry->sender;
  r.subject = entry->subject;
  r.body = entry->body;
  r.fields = entry->fields;
  r.reportId = entry->reportId;
  for (std::size_t i = 0; i < entry->files.size(); ++i) {
    r.attachments.files.push_back(folder + OutboxFileName(i));
    r.attachments.sendAsNames.push_back(entry->files[i].sendAsName);
    r.attachments.fieldNames.push_back(entry->files[i].fieldName);
  }
  if (SendBySmtpOrHttp(network, nullptr, r)) {
    // Gone first: whatever happens after, nobody sends it again.
    DeleteFileA((folder + kEntryName).c_str());
    lock.Release();
    RemoveFolder(folder);
    return SendResult::kSent;
  }
  ++entry->attempts;
  const std::string next = folder + kEntryName + std::string(kTempSuffix);
  if (WriteFlushed(next, WriteOutboxEntry(*entry))) {
    MoveFileExA(next.c_str(), (folder + kEntryName).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  DeleteFileA(next.c_str());
  return SendResult::kFailed;
}

bool CreateFolderChain(const std::string& folder) {
  // Each level in turn: the outbox may be the first thing the program keeps there.
  for (std::size_t at = folder.find('\\', 3); at != std::string::npos; at = folder.find('\\', at + 1)) {
    const std::string part = folder.substr(0, at);
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

}  // namespace

std::string DefaultOutboxFolder() {
  char path[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return "";
  std::string exe = platform::ModuleFileName();
  const std::size_t dot = exe.rfind('.');
  if (dot != std::string::npos) exe.resize(dot);
  if (exe.empty()) return "";
  return std::string(path) + "\\" + exe + ".Kestrum\\outbox\\";
}

std::int64_t OutboxNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return MsOf(now);
}

bool StoreInOutbox(const std::string& outbox, const OutboxEntry& entry, const std::vector<std::string>& files, const OutboxCaps& caps) {
  if (outbox.empty() || !IsReportId(entry.reportId) || files.size() != entry.files.size() || files.size() > kOutboxMaxFiles) return false;
  if (!CreateFolderChain(outbox)) return false;
  const std::string final = outbox + entry.reportId;
  // Already waiting there (the same report failed to go twice): once is enough.
  if (GetFileAttributesA(final.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const std::string temp = final + kTempSuffix + std::to_string(GetCurrentProcessId());
  if (!CreateDirectoryA(temp.c_str(), nullptr)) return false;
  bool ok = true;
  for (std::size_t i = 0; ok && i < files.size(); ++i) ok = CopyFlushed(files[i], temp + "\\" + OutboxFileName(i));
  ok = ok && WriteFlushed(temp + "\\" + kEntryName, WriteOutboxEntry(entry));
  ok = ok && MoveFileExA(temp.c_str(), final.c_str(), MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    RemoveFolder(temp + "\\");
    return false;
  }
  ApplyCaps(outbox, caps);
  return true;
}

std::vector<OutboxEntry> ReadOutbox(const std::string& outbox) {
  std::vector<OnDisk> all = Scan(outbox);
  std::sort(all.begin(), all.end(), [](const OnDisk& a, const OnDisk& b) {
    return a.item.created != b.item.created ? a.item.created < b.item.created : a.item.reportId < b.item.reportId;
  });
  std::vector<OutboxEntry> entries;
  for (OnDisk& e : all) entries.push_back(std::move(e.entry));
  return entries;
}

OutboxRound SendOutbox(const std::string& outbox, Network& network, const OutboxCaps& caps) {
  OutboxRound round;
  if (outbox.empty()) return round;
  round.dropped = ApplyCaps(outbox, caps);
  for (const OutboxEntry& e : ReadOutbox(outbox)) {
    switch (SendEntry(outbox, e.reportId, network)) {
      case SendResult::kSent: ++round.sent; break;
      case SendResult::kFailed: ++round.failed; break;
      case SendResult::kBusy: ++round.busy; break;
      case SendResult::kGone: break;
    }
  }
  return round;
}

OutboxCaps OutboxCapsOf(kestrum::IZQSettings* settings) {
  OutboxCaps caps;
  kestrum::IZQPropertyAccess* access = nullptr;
  if (!settings || FAILED(settings->QueryInterface(kestrum::IID_IZQPropertyAccess, reinterpret_cast<void**>(&access))) || !access)
    return caps;
  caps.maxReports = access->GetPropDw("OutboxMaxReports");
  caps.maxKB = access->GetPropDw("OutboxMaxKB");
  caps.maxDays = access->GetPropDw("OutboxMaxDays");
  access->Release();
  return caps;
}

namespace {

bool RetryWanted(kestrum::IZQSettings* settings) {
  kestrum::IZQPropertyAccess* access = nullptr;
  if (!settings || FAILED(settings->QueryInterface(kestrum::IID_IZQPropertyAccess, reinterpret_cast<void**>(&access))) || !access)
    return false;
  const bool retry = access->GetPropBool("OutboxRetry");
  access->Release();
  return retry;
}

DWORD WINAPI SenderProc(void*) {
  // Not before the program has shown itself and waits for input, like the component's own
  // preparation: sending competes with the start otherwise.
  WaitForInputIdle(GetCurrentProcess(), 10000);
  for (std::uint32_t round = 0;; ++round) {
    Sleep(OutboxRetryDelayMs(round));
    try {
      kestrum::IZQSettings* settings = kestrum::MainSettings();
      if (!RetryWanted(settings)) continue;
      const WinsockSession winsock;
      if (!winsock.Started()) continue;
      WinsockNetwork network;
      const OutboxRound r = SendOutbox(DefaultOutboxFolder(), network, OutboxCapsOf(settings));
      if (r.sent || r.failed || r.dropped)
        platform::Trace("Kestrum outbox: %d sent, %d failed, %d busy, %d dropped", r.sent, r.failed, r.busy, r.dropped);
    } catch (...) {
      // A sender that failed once tries again at the next round; the program never hears of it.
    }
  }
}

}  // namespace

void StartOutboxSender() {
  DWORD id = 0;
  // Kept open for the life of the process: the component's thread list holds it.
  const HANDLE thread = CreateThread(nullptr, 0, SenderProc, nullptr, CREATE_SUSPENDED, &id);
  if (!thread) return;
  kestrum::MarkComponentThread(id, thread);
  SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
  ResumeThread(thread);
}

}  // namespace delivery
