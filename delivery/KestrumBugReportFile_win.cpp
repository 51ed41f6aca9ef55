#include "delivery/KestrumBugReportFile_win.h"

#include <commdlg.h>
#include <shlobj.h>

#include "crash/KestrumExceptionApi_win.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

#include <cstring>
#include <new>
#include <vector>

namespace delivery {
namespace {

// A file larger than this is appended to without folding or trimming: a 32-bit process that is
// handling a crash may not find room for a copy of it.
constexpr LONGLONG kLargestRewrittenFile = 64LL << 20;
constexpr DWORD kPollMs = 10;

bool ProcessLockHeld() {
  const platform::ProcessLockOwners owners = platform::CurrentProcessLockOwners();
  return owners.loader || owners.environment;
}

// The file held open by this save, written through the handle.
class HandleWriter : public ReportFileWriter {
 public:
  explicit HandleWriter(HANDLE file) : file_(file) {}
  bool WriteAt(std::uint64_t position, std::string_view data) override {
    if (!Seek(position)) return false;
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
      DWORD written = 0;
      if (!WriteFile(file_, data.data(), chunk, &written, nullptr) || written == 0) return false;
      data.remove_prefix(written);
    }
    return true;
  }
  bool SetLength(std::uint64_t length) override { return Seek(length) && SetEndOfFile(file_); }

 private:
  bool Seek(std::uint64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(file_, to, nullptr, FILE_BEGIN);
  }
  HANDLE file_;
};

bool ReadWhole(HANDLE file, std::string& content) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart > kLargestRewrittenFile) return false;
  try {
    content.resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t done = 0;
  while (done < content.size()) {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 20));
    if (!ReadFile(file, content.data() + done, chunk, &read, nullptr) || read == 0) return false;
    done += read;
  }
  return true;
}

std::string ExeFolder() { return platform::ModuleFolder(); }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The save dialog; "" when cancelled or when it cannot be shown.
std::string AskForFile(const std::string& configured, HWND parentWindow, kestrum::IZQSettings* settings) {
  const std::string initialFolder =
      configured.find('\\') == std::string::npos ? GetDesktopFolder() : FolderOf(MakeAbsolutePath(configured));
  char file[MAX_PATH] = {};
  const std::size_t slash = configured.rfind('\\');
  const std::string proposed = slash == std::string::npos ? configured : configured.substr(slash + 1);
  std::strncpy(file, proposed.c_str(), MAX_PATH - 1);
  const std::string title = settings ? settings->GetSaveBtnCaption() : std::string();
  static const char kFilter[] = "*.txt\0*.txt\0";
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = parentWindow;
  ofn.lpstrFilter = kFilter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrInitialDir = initialFolder.c_str();
  ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
  ofn.Flags = OFN_HIDEREADONLY | OFN_NOREADONLYRETURN;
  ofn.lpstrDefExt = "txt";
  return GetSaveFileNameA(&ofn) ? std::string(file) : std::string();
}

}  // namespace

std::string MakeAbsolutePath(const std::string& path) { return MakeAbsolutePath(path, ExeFolder()); }

bool ForceFolder(const std::string& filePath) {
  std::string folder = FolderOf(filePath);
  if (folder.empty()) return false;
  folder.pop_back();
  if (folder.empty() || GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  // "X:" and "\\server\share" are roots: they exist or cannot be made.
  if (folder.size() == 2 && folder[1] == ':') return false;
  ForceFolder(folder);
  return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string GetDesktopFolder() {
  using GetFolderFn = decltype(&::SHGetSpecialFolderPathW);
  HMODULE shell = GetModuleHandleW(L"shell32.dll");
  platform::ScopedModule loaded;
  if (!shell) {
    loaded.Reset(platform::LoadModule(L"shell32.dll"));
    shell = loaded.Get();
  }
  if (const auto getFolder = platform::ProcAddress<GetFolderFn>(shell, "SHGetSpecialFolderPathW")) {
    wchar_t wide[MAX_PATH] = {};
    char path[MAX_PATH * 2] = {};
    if (getFolder(nullptr, wide, CSIDL_DESKTOPDIRECTORY, TRUE) &&
        WideCharToMultiByte(CP_ACP, 0, wide, -1, path, sizeof path, nullptr, nullptr) > 0 && path[0]) {
      std::string folder(path);
      if (folder.back() != '\\') folder += '\\';
      return folder;
    }
  }
  return ExeFolder();
}

bool DialogWouldBlock(DWORD limitMs) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if (!ProcessLockHeld()) return false;
    if (waited >= limitMs) return true;
    Sleep(kPollMs);
  }
}

StoreResult StoreBugReport(const std::string& path, const std::string& report, const StoreRules& rules, DWORD waitMs,
                           StorePlan* plan) {
  if (!ForceFolder(path)) return StoreResult::kNotOpened;
  // Windows refuses to write a read-only file to anyone; a file system that lets an administrator
  // (or root under a compatibility layer) write it anyway must not either.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
    return StoreResult::kNotOpened;
  }
  // Nobody else may read or write while the stored reports are rewritten. Another writer holds
  // the file only for the moment of its own save, so a save waits for it instead of losing its
  // report; a file that stays held (an editor) is reported as not saved.
  platform::ScopedFileHandle file;
  for (DWORD waited = 0;; waited += kPollMs) {
    file.Reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) break;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || waited >= waitMs) return StoreResult::kNotOpened;
    Sleep(kPollMs);
  }

  std::string stored;
  StorePlan decided;
  HandleWriter writer(file.Get());
  bool ok;
  if (ReadWhole(file.Get(), stored)) {
    decided = PlanStore(stored, report, rules);
    ok = ReplaceStoredContent(writer, stored, decided.content);
  } else {
    // Too large to rewrite or unreadable: appended as it stands, nothing folded or trimmed.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size)) return StoreResult::kNotWritten;
    const std::uint64_t end = rules.append ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    decided.content = report + std::string(kReportEnd);
    ok = rules.append ? writer.WriteAt(end, decided.content) && writer.SetLength(end + decided.content.size())
                      : false;
    if (!ok && rules.append) writer.SetLength(end);
  }
  if (plan) *plan = std::move(decided);
  return ok ? StoreResult::kStored : StoreResult::kNotWritten;
}

StoreRules StoreRulesOf(kestrum::IZQSettings* settings) {
  StoreRules rules;
  if (!settings) return rules;
  rules.append = settings->GetAppendBugReports();
  rules.sizeLimit = settings->GetBugReportFileSize();
  rules.noDupExcepts = settings->GetNoDupExcepts();
  rules.noDupFreezes = settings->GetNoDupFreezes();
  rules.dupExceptDef = settings->GetDupExceptDef();
  rules.dupFreezeDef = settings->GetDupFreezeDef();
  return rules;
}

bool SaveBugReportToFile(const std::string& fileName, const std::string& bugReport, HWND parentWindow,
                         kestrum::IZQSettings* settings, bool silent) {
  std::string path = fileName;
  if (path.empty()) {
    const std::string configured = settings ? settings->GetBugReportFile() : std::string();
    if (silent) {
      if (configured.empty()) return false;
      path = MakeAbsolutePath(configured);
    } else {
      if (DialogWouldBlock(250)) {
        MessageBeep(MB_OK);
        return false;
      }
      path = AskForFile(configured, parentWindow, settings);
    }
  }
  if (path.empty()) return false;
  return StoreBugReport(path, bugReport, StoreRulesOf(settings)) == StoreResult::kStored;
}

void SaveExceptionReport(kestrum::IZQException* exception, HWND parentWindow, bool ask) {
  if (!exception) return;
  kestrum::IZQExceptionEx* ex = nullptr;
  if (FAILED(exception->QueryInterface(kestrum::IID_IZQExceptionEx, reinterpret_cast<void**>(&ex)))) ex = nullptr;
  std::string report = exception->GetBugReport(true);
  // The automatic save puts the minidump beside the configured file first: when it cannot be
  // written, the report says so instead of being lost with it.
  const std::string configured = exception->GetBugReportFile();
  if (!ask && ex && ex->WantsMiniDump() && !configured.empty()) {
    std::string error;
    if (!ex->WriteMiniDump(MiniDumpPathFor(MakeAbsolutePath(configured)), error)) report += "\r\n\r\nminidump:\r\nnot written: " + error;
  }
  if (ask) {
    SaveBugReportToFile("", report, parentWindow, exception, false);
  } else {
    // Only a silent save lands in the configured file, which the mail part attaches; a file the
    // user chose is not that file.
    platform::AutoLock lock(ConfiguredFileLock());
    if (SaveBugReportToFile("", report, parentWindow, exception, true) && ex) ex->SetMailWasSaved(true);
  }
  if (ex) ex->Release();
}

platform::CriticalSection& ConfiguredFileLock() {
  // Never destroyed: a background delivery may still copy while the program ends.
  static auto* lock = new platform::CriticalSection;
  return *lock;
}

}  // namespace delivery
