// Start and end of the component: the restart hand-over, the temporary folders, the main settings,
// the file check, then the reporting thread, the handler window, the watchdog and the intercepts.
#include "crash/KestrumStartup_win.h"

#include "crash/KestrumHandling_win.h"

#include "crash/KestrumFileCheck.h"
#include "crash/KestrumTimeHistory_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumMiniDump_win.h"
#include "crash/KestrumPause_win.h"
#include "crash/KestrumProgramEnd_win.h"
#include "crash/KestrumReporting_win.h"
#include "crash/KestrumRestart.h"
#include "crash/KestrumTempFolder.h"
#include "crash/KestrumWatchdog_win.h"
#include "platform/GuardedRead_win.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Trace_win.h"
#include "report/KestrumReportHeader_win.h"
#include "report/KestrumSystemLists_win.h"
#include "report/KorbMapFile_win.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

namespace kestrum {

namespace {

bool g_installed = false;
bool g_restarted = false;
DWORD g_mainThreadId = 0;
// Start-up sets it again; a program that reports without installing the component counts from its
// own start.
std::int64_t g_startMs = report::CounterMilliseconds();

CreationTime CreationOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
  return static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// The process that restarted this one hands over its exception times; it must have ended before
// this one goes on. Its id may belong to a newer, unrelated process by now, which is never waited for.
void TakeRestartHandOver() {
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, RestartSectionName(GetCurrentProcessId()).c_str());
  if (!section) return;
  if (const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, kRestartSectionBytes)) {
    const std::optional<RestartHandOver> handOver = ReadRestartSection(static_cast<const std::uint8_t*>(view), kRestartSectionBytes);
    UnmapViewOfFile(view);
    if (handOver) {
      g_restarted = true;
      if (handOver->sectionHandle) CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handOver->sectionHandle)));
      platform::ScopedKernelHandle predecessor(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, handOver->predecessorId));
      if (predecessor && ShouldWaitForPredecessor(CreationOf(predecessor.Get()), CreationOf(GetCurrentProcess()))) {
        WaitForSingleObject(predecessor.Get(), INFINITE);
      }
      SetExceptionHistory(handOver->history);
    }
  }
  CloseHandle(section);
}

// --- Temporary folders.

std::string ComponentFolder() {
  char temp[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n > MAX_PATH) return {};
  std::string folder(temp, n);
  if (folder.back() != '\\') folder += '\\';
  return folder + ComponentFolderName(platform::ModulePath(nullptr)) + "\\";
}

FolderOwner OwnFolderOwner() { return {GetCurrentProcessId(), CreationOf(GetCurrentProcess()).value_or(0)}; }

ProcessState StateOf(const FolderOwner& owner) {
  platform::ScopedKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, owner.processId));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::ended : ProcessState::unknown;
  const CreationTime created = CreationOf(process.Get());
  if (!created) return ProcessState::unknown;
  // The same id with another creation time is a later process: the owner has ended.
  if (*created != owner.creationTime) return ProcessState::ended;
  DWORD code = 0;
  if (GetExitCodeProcess(process.Get(), &code) && code != STILL_ACTIVE) return ProcessState::ended;
  return ProcessState::running;
}

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

// Deliveries of this process whose folders are in use; a folder of any other number is left over.
struct Deliveries {
  platform::CriticalSection lock;
  std::vector<std::uint32_t> running;
  std::uint32_t last = 0;
};
Deliveries* g_deliveries = nullptr;

Deliveries& TheDeliveries() {
  // Made at start-up (InstallKestrum), before any thread could ask.
  if (!g_deliveries) g_deliveries = new Deliveries;
  return *g_deliveries;
}

bool DeliveryRunning(std::uint32_t delivery) {
  Deliveries& d = TheDeliveries();
  platform::AutoLock lock(d.lock);
  return std::find(d.running.begin(), d.running.end(), delivery) != d.running.end();
}

// The subfolders of folder (which ends in a separator) that take accepts, as paths.
std::vector<std::string> Subfolders(const std::string& folder, const std::function<bool(const char* name)>& take) {
  std::vector<std::string> paths;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return paths;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && take(found.cFileName)) paths.push_back(folder + found.cFileName);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return paths;
}

}  // namespace

DWORD ComponentMainThreadId() { return g_mainThreadId; }

std::int64_t ComponentStartMs() { return g_startMs; }

bool StartedByRestart() { return g_restarted; }

void RemoveEndedTempFolders() {
  const std::string folder = ComponentFolder();
  if (folder.empty()) return;
  const FolderOwner self = OwnFolderOwner();
  for (const std::string& path : Subfolders(folder, [&](const char* name) { return MayRemoveProcessFolder(name, self, StateOf); })) {
    RemoveTree(path);
  }
  // In the own folder: the folders of deliveries that are over (they ended without removing them,
  // or the thread doing them was ended).
  const std::string own = folder + ProcessFolderName(self) + "\\";
  for (const std::string& path : Subfolders(own, [](const char* name) { return MayRemoveDeliveryFolder(name, DeliveryRunning); })) {
    RemoveTree(path);
  }
  // The component's folder goes too once nobody uses it; it fails harmlessly while it has content.
  RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

std::string BeginDeliveryFolder(std::uint32_t& delivery) {
  const std::string own = ProcessTempFolder();
  if (own.empty()) return {};
  Deliveries& d = TheDeliveries();
  {
    platform::AutoLock lock(d.lock);
    delivery = ++d.last;
    d.running.push_back(delivery);
  }
  const std::string folder = own + DeliveryFolderName(delivery) + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void EndDeliveryFolder(std::uint32_t delivery) {
  Deliveries& d = TheDeliveries();
  {
    platform::AutoLock lock(d.lock);
    std::erase(d.running, delivery);
  }
  const std::string own = ProcessTempFolder();
  if (!own.empty()) RemoveTree(own + DeliveryFolderName(delivery));
}

std::string ProcessTempFolder() {
  const std::string folder = ComponentFolder();
  if (folder.empty()) return {};
  const std::string own = folder + ProcessFolderName(OwnFolderOwner()) + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  CreateDirectoryA(own.c_str(), nullptr);
  return own;
}

namespace {

// The program file on disk against the checksum of the loaded image's headers. Where the field
// lies comes from the image, never from the file, which may have been cut short meanwhile.
FileCheck CheckOwnFile(HMODULE module) {
  MEMORY_BASIC_INFORMATION mbi;
  if (!VirtualQuery(module, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return FileCheck::noChecksum;
  const auto* headers = reinterpret_cast<const std::uint8_t*>(module);
  const std::size_t headerBytes = static_cast<const std::uint8_t*>(mbi.BaseAddress) + mbi.RegionSize - headers;
  const std::optional<ChecksumField> field = FindChecksumField(headers, headerBytes);
  if (!field || field->stored == 0) return FileCheck::noChecksum;

  const std::wstring path = platform::ModulePathW(module);
  platform::ScopedFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return FileCheck::noChecksum;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.HighPart != 0) return FileCheck::noChecksum;
  const DWORD bytes = size.LowPart;
  if (field->offset > bytes || bytes - field->offset < 4) return FileCheck::tooShort;
  // Read through a small buffer: a buffer for the whole file costs more in fresh pages than the
  // reading and summing together, and a mapped view is slower still under Wine (one fault a page).
  constexpr DWORD kPiece = 256 * 1024;
  auto* buffer = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kPiece, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!buffer) return FileCheck::noChecksum;
  ImageChecksummer sum(field->offset);
  DWORD read = 0;
  while (sum.Size() < bytes && ReadFile(file.Get(), buffer, kPiece, &read, nullptr) && read > 0) sum.Add(buffer, read);
  VirtualFree(buffer, 0, MEM_RELEASE);
  if (sum.Size() != bytes) return FileCheck::noChecksum;  // changed while it was read
  return sum.Finish() == field->stored ? FileCheck::matches : FileCheck::differs;
}

void UninstallAtExit() { UninstallKestrum(); }

// --- What a report reads, prepared ahead: the debug information of every loaded module (reading
// it, or probing for files that are not there, costs a few milliseconds per module under Wine).

struct Preparation {
  platform::ScopedKernelHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  platform::ScopedKernelHandle loaded{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  platform::ScopedKernelHandle thread;
  void* cookie = nullptr;
};
Preparation* g_preparation = nullptr;

using DllNotificationFn = void(CALLBACK*)(ULONG reason, const void* data, void* context);
using LdrRegisterDllNotificationFn = LONG(NTAPI*)(ULONG flags, DllNotificationFn notification, void* context, void** cookie);
using LdrUnregisterDllNotificationFn = LONG(NTAPI*)(void* cookie);
constexpr ULONG kDllLoaded = 1;
constexpr DWORD kStartWaitMs = 10000;

// Runs under the loader's lock, where nothing may wait: it only wakes the preparation.
void CALLBACK LibraryNotification(ULONG reason, const void*, void* context) {
  if (reason == kDllLoaded) SetEvent(static_cast<Preparation*>(context)->loaded.Get());
}

DWORD WINAPI PreparationProc(void* context) {
  auto* p = static_cast<Preparation*>(context);
  const HANDLE events[2] = {p->stop.Get(), p->loaded.Get()};
  // Not before the program has shown itself and waits for input: during its start the reads would
  // compete with it for the system (about 90 ms later to the main window under Wine). A program
  // without windows is not waited for.
  WaitForInputIdle(GetCurrentProcess(), kStartWaitMs);
  if (WaitForSingleObject(p->stop.Get(), 0) == WAIT_OBJECT_0) return 0;
  do { report::PrepareLoadedModules(); } while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1);
  return 0;
}

void StartPreparation() {
  auto* p = new Preparation;
  if (!p->stop || !p->loaded) {
    delete p;
    return;
  }
  DWORD id = 0;
  p->thread.Reset(CreateThread(nullptr, 0, PreparationProc, p, CREATE_SUSPENDED, &id));
  if (!p->thread) {
    delete p;
    return;
  }
  // One of the component's own threads: reports leave it out.
  SetThreadEntry(id, p->thread.Get(), "-", GetCurrentThreadId(), nullptr, nullptr);
  // Second to the program: what it prepares only pays off at the first report.
  SetThreadPriority(p->thread.Get(), THREAD_PRIORITY_BELOW_NORMAL);
  if (const auto registerNotification = platform::ProcAddress<LdrRegisterDllNotificationFn>(L"ntdll.dll", "LdrRegisterDllNotification"))
    registerNotification(0, LibraryNotification, p, &p->cookie);
  g_preparation = p;
  ResumeThread(p->thread.Get());
}

// Not waited for: the end may come under the loader's lock, which the thread may be waiting for.
// It touches nothing but the debug-info cache, which lives until the process ends, and its own
// block, which is left to it.
void StopPreparation() {
  Preparation* p = g_preparation;
  if (!p) return;
  g_preparation = nullptr;
  if (p->cookie) {
    if (const auto unregister = platform::ProcAddress<LdrUnregisterDllNotificationFn>(L"ntdll.dll", "LdrUnregisterDllNotification"))
      unregister(p->cookie);
  }
  SetEvent(p->stop.Get());
}

}  // namespace

bool InstallKestrum() {
  if (g_installed) return true;
  g_startMs = report::CounterMilliseconds();
  g_mainThreadId = GetCurrentThreadId();
  RememberStartDirectory();
  TheDeliveries();
  TakeRestartHandOver();
  RemoveEndedTempFolders();

  HMODULE own = platform::ModuleContaining(reinterpret_cast<const void*>(&InstallKestrum));
  ZQRef<IZQModuleSettings> settings(SettingsForModule(own));
  if (!settings || !settings->IsValid()) return false;
  SetMainSettings(settings.get());
  if (settings->Enabled() && settings->CheckFileCrc()) {
    const FileCheck result = CheckOwnFile(own);
    if (!FileCheckPassed(result)) {
      platform::Trace("kestrum: file check failed (%d)", static_cast<int>(result));
      MessageBoxA(nullptr, settings->GetBitFaultMsg().c_str(), nullptr, MB_OK | MB_ICONERROR);
      ExitProcess(0);
    }
  }
  if (!OpenThreadRegistry()) {
    ShowInternalError("internal error (opening global buffer)");
    ExitProcess(0);
  }
  if (!settings->Enabled()) return false;

  if (!StartReportingThread() || !StartHandlerWindow()) {
    platform::Trace("kestrum: the reporting thread or the handler window could not be made");
    return false;
  }
  if (settings->CheckForFreeze()) StartWatchdog(settings->FreezeTimeout());
  StartPreparation();
  InstallInterception();
  if (settings->GetSuspendThreads()) InstallPauseHooks();
  TakeMemoryReserve();
  // Made now: at a crash the dump only fills them. A library's copy with dumps switched on that
  // is installed later reserves them then.
  IZQPropertyAccess* access = nullptr;
  if (settings->QueryInterface(IID_IZQPropertyAccess, reinterpret_cast<void**>(&access)) == S_OK && access) {
    if (access->GetPropInt("MiniDump") > 0 && !ReserveMiniDumpBuffers()) platform::Trace("kestrum: no buffers for the minidump");
    access->Release();
  }
  platform::InstallGuardedRead();  // the report reads code and stacks through it
  report::RegisterSystemLists();
  g_installed = true;
  std::atexit(UninstallAtExit);
  return true;
}

void UninstallKestrum() {
  if (!g_installed) return;
  g_installed = false;
  RemoveInterception();
  StopPreparation();
  report::UnregisterSystemLists();
  ReleasePausedThreads();  // nobody is left to let them go
  const bool watchdogStopped = StopWatchdog();
  const bool reportingStopped = StopReportingThread();
  if (!watchdogStopped || !reportingStopped) {
    // A thread ended by force may have held the heap's or the loader's lock: nothing below may run,
    // nor may the system's own process end, which takes the loader lock.
    TerminateProcess(GetCurrentProcess(), 0);
  }
  CloseThreadRegistry();
  GiveBackMemoryReserve();
  SetMainSettings(nullptr);
  // This process's own folder is nobody else's: it goes now rather than at the next start.
  const std::string folder = ComponentFolder();
  if (!folder.empty()) {
    const std::string own = folder + ProcessFolderName(OwnFolderOwner());
    if (GetFileAttributesA(own.c_str()) != INVALID_FILE_ATTRIBUTES) RemoveTree(own);
    RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
  }
}

void MarkComponentThread(DWORD threadId, HANDLE thread) { SetThreadEntry(threadId, thread, "-", GetCurrentThreadId(), nullptr, nullptr); }

}  // namespace kestrum
