// The thread registry in the process block "KestrumThreadNameBuf$<pid>": one block per process,
// shared by every copy of the component in it. Entries are kept in the block's list in the
// layout older copies read (28 bytes, names owned by the entry, all from the local heap); the
// merge rules are the pure ones of KestrumThreadRegistry.h.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "crash/KestrumInterception_win.h"
#include "crash/KestrumThreadRegistry.h"
#include "platform/Handles_win.h"

namespace kestrum {
namespace {

struct RawThreadEntry {
  DWORD threadId;
  char* name;
  RawThreadEntry* next;
  // Present only in entries larger than 12 bytes (older copies wrote id, name and next alone).
  char* creatorClass;
  DWORD threadProc;
  DWORD creatorThreadId;
  // Present only in entries larger than 24 bytes.
  HANDLE handle;
};
static_assert(sizeof(RawThreadEntry) == 28);

struct ProcessBlock {
  HANDLE watchdogMutex;
  HANDLE listMutex;
  RawThreadEntry* first;
  volatile LONG refCount;
  HANDLE section;
};
static_assert(sizeof(ProcessBlock) == 20);

ProcessBlock* g_block = nullptr;
// Threads of this copy read g_block while another thread of it may close the registry (a thread
// ending while the program exits): the close waits until no one uses the block any more.
SRWLOCK g_blockUse = SRWLOCK_INIT;

class BlockUse {
 public:
  BlockUse() { AcquireSRWLockShared(&g_blockUse); }
  ~BlockUse() { ReleaseSRWLockShared(&g_blockUse); }
  BlockUse(const BlockUse&) = delete;
  BlockUse& operator=(const BlockUse&) = delete;
};

DWORD g_mainThreadId = 0;
// The thread that raises the debugger's naming exception itself, after the debugger has seen it.
volatile DWORD g_namingRaiser = 0;

constexpr DWORD kThreadNamingCode = 0x406D1388;

class SystemThreadHandles final : public ThreadHandleOps {
 public:
  ThreadHandle Duplicate(ThreadHandle given) override {
    HANDLE out = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(given), GetCurrentProcess(), &out,
                         SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0))
      return 0;
    return reinterpret_cast<ThreadHandle>(out);
  }
  ThreadHandle Open(std::uint32_t threadId) override {
    return reinterpret_cast<ThreadHandle>(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, threadId));
  }
  bool Ended(ThreadHandle handle) override { return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0) == WAIT_OBJECT_0; }
  void Close(ThreadHandle handle) override { CloseHandle(reinterpret_cast<HANDLE>(handle)); }
};

char* CopyText(const std::string& text) {
  if (text.empty()) return nullptr;
  auto* p = static_cast<char*>(LocalAlloc(LMEM_FIXED, text.size() + 1));
  if (p) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

std::string TextOf(const char* p) { return p ? std::string(p) : std::string(); }

// The list as the pure rules see it. Call with the thread-list mutex held.
std::vector<ThreadEntry> ReadList(const ProcessBlock* block) {
  std::vector<ThreadEntry> list;
  for (RawThreadEntry* raw = block->first; raw; raw = raw->next) {
    ThreadEntry e;
    e.threadId = raw->threadId;
    e.name = TextOf(raw->name);
    const SIZE_T size = LocalSize(raw);
    if (size > 12) {
      e.creatorClass = TextOf(raw->creatorClass);
      e.threadProc = raw->threadProc;
      e.creatorThreadId = raw->creatorThreadId;
    }
    if (size > 24) e.handle = reinterpret_cast<ThreadHandle>(raw->handle);
    list.push_back(std::move(e));
  }
  return list;
}

// Replaces the block's list by list. The handles move into the new entries; the old entries'
// handles are in list already or were closed by the merge. Call with the mutex held.
void WriteList(ProcessBlock* block, const std::vector<ThreadEntry>& list) {
  for (RawThreadEntry* raw = block->first; raw;) {
    RawThreadEntry* next = raw->next;
    LocalFree(raw->name);
    if (LocalSize(raw) > 12) LocalFree(raw->creatorClass);
    LocalFree(raw);
    raw = next;
  }
  block->first = nullptr;
  RawThreadEntry** tail = &block->first;
  for (const ThreadEntry& e : list) {
    auto* raw = static_cast<RawThreadEntry*>(LocalAlloc(LPTR, sizeof(RawThreadEntry)));
    if (!raw) {
      if (e.handle) CloseHandle(reinterpret_cast<HANDLE>(e.handle));
      continue;
    }
    raw->threadId = e.threadId;
    raw->name = CopyText(e.name);
    raw->creatorClass = CopyText(e.creatorClass);
    raw->threadProc = static_cast<DWORD>(e.threadProc);
    raw->creatorThreadId = e.creatorThreadId;
    raw->handle = reinterpret_cast<HANDLE>(e.handle);
    *tail = raw;
    tail = &raw->next;
  }
}

void SetThreadEntryIn(ProcessBlock* block, DWORD threadId, HANDLE threadHandle, const char* name, DWORD creatorThreadId,
                      const void* creator, const char* creatorClassName) {
  SystemThreadHandles ops;
  platform::MutexGuard lock(block->listMutex);
  std::vector<ThreadEntry> list = ReadList(block);
  ThreadEntryCall call;
  call.threadId = threadId;
  call.handle = reinterpret_cast<ThreadHandle>(threadHandle);
  call.name = name ? name : "";
  call.creatorThreadId = creatorThreadId;
  call.threadProc = reinterpret_cast<std::uintptr_t>(creator);
  call.creatorClass = creatorClassName ? creatorClassName : "";
  ApplyThreadEntry(list, call, ops);
  WriteList(block, list);
}

// The thread that runs the static constructors of this module: in the program itself that is the
// main thread (a library's may be any thread that loads it).
const DWORD kConstructingThread = GetCurrentThreadId();

bool InProgramModule() {
  HMODULE own = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&kConstructingThread), &own);
  return own == GetModuleHandleA(nullptr);
}

// The first thread of the process: the one that started earliest. In the program module that is
// known without asking the system for a list of all threads, which costs milliseconds.
DWORD FindMainThread() {
  if (kConstructingThread != 0 && InProgramModule()) return kConstructingThread;
  platform::ScopedFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  const DWORD pid = GetCurrentProcessId();
  DWORD best = 0;
  ULONGLONG bestStart = ~0ULL;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL more = Thread32First(snapshot.Get(), &te); more; more = Thread32Next(snapshot.Get(), &te)) {
    if (te.th32OwnerProcessID != pid) continue;
    platform::ScopedKernelHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID));
    FILETIME created{}, exited{}, kernel{}, user{};
    ULONGLONG start = ~0ULL - 1;  // unknown start: after every known one, but still a candidate
    if (thread && GetThreadTimes(thread.Get(), &created, &exited, &kernel, &user))
      start = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    if (best == 0 || start < bestStart) {
      best = te.th32ThreadID;
      bestStart = start;
    }
  }
  return best;
}

}  // namespace

std::string ThreadRegistrySectionName(DWORD processId) {
  char name[64];
  std::snprintf(name, sizeof name, "KestrumThreadNameBuf$%lx", static_cast<unsigned long>(processId));
  return name;
}

bool OpenThreadRegistry() {
  if (g_block) return true;
  const std::string name = ThreadRegistrySectionName(GetCurrentProcessId());
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProcessBlock), name.c_str());
  if (!section) return false;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  auto* block = static_cast<ProcessBlock*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProcessBlock)));
  if (!block) {
    CloseHandle(section);
    return false;
  }
  g_block = block;
  if (!existed) {
    block->refCount = 1;
    block->watchdogMutex = CreateMutexA(nullptr, FALSE, nullptr);
    block->listMutex = CreateMutexA(nullptr, FALSE, nullptr);
    block->first = nullptr;
    block->section = section;
    g_mainThreadId = FindMainThread();
    if (g_mainThreadId == 0) g_mainThreadId = GetCurrentThreadId();
    SetThreadEntry(g_mainThreadId, nullptr, "main thread", 0, nullptr, nullptr);
    return true;
  }
  // Another copy made the block; the view keeps the section alive.
  CloseHandle(section);
  InterlockedIncrement(&block->refCount);
  platform::MutexGuard lock(block->listMutex);
  RawThreadEntry* last = block->first;
  while (last && last->next) last = last->next;
  g_mainThreadId = last ? last->threadId : FindMainThread();
  return true;
}

bool ThreadRegistryOpen() { return g_block != nullptr; }

void CloseThreadRegistry() {
  AcquireSRWLockExclusive(&g_blockUse);
  ProcessBlock* block = g_block;
  g_block = nullptr;
  ReleaseSRWLockExclusive(&g_blockUse);
  if (!block) return;
  if (InterlockedDecrement(&block->refCount) == 0) {
    SetThreadEntryIn(block, GetCurrentThreadId(), nullptr, nullptr, 0, nullptr, nullptr);
    CloseHandle(block->section);
    CloseHandle(block->listMutex);
    CloseHandle(block->watchdogMutex);
  }
  UnmapViewOfFile(block);
}

DWORD MainThreadId() { return g_mainThreadId; }

HANDLE WatchdogMutex() {
  BlockUse use;
  return g_block ? g_block->watchdogMutex : nullptr;
}

void SetThreadEntry(DWORD threadId, HANDLE threadHandle, const char* name, DWORD creatorThreadId, const void* creator,
                    const char* creatorClassName) {
  const DWORD lastError = GetLastError();
  {
    BlockUse use;
    if (!g_block) return;
    SetThreadEntryIn(g_block, threadId, threadHandle, name, creatorThreadId, creator, creatorClassName);
  }
  SetLastError(lastError);
}

namespace {
LONG CALLBACK SwallowOwnNaming(EXCEPTION_POINTERS* ep) {
  return ep->ExceptionRecord->ExceptionCode == kThreadNamingCode && g_namingRaiser == GetCurrentThreadId()
             ? EXCEPTION_CONTINUE_EXECUTION
             : EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

void RaiseThreadNameForDebugger(DWORD threadId, const char* name) {
  // A handler of its own for the moment of the raise, so that nothing after the debugger (a
  // last-chance filter, the system's crash dialog) ever sees it.
  void* swallow = AddVectoredExceptionHandler(1, SwallowOwnNaming);
  if (!swallow) return;
  const ULONG_PTR info[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), threadId, 0};
  g_namingRaiser = GetCurrentThreadId();
  RaiseException(kThreadNamingCode, 0, 4, info);
  g_namingRaiser = 0;
  RemoveVectoredExceptionHandler(swallow);
}

void SetThreadName(DWORD threadId, const char* name) {
  SetThreadEntry(threadId, nullptr, name, 0, nullptr, nullptr);
  if (IsDebuggerPresent() && name && *name) RaiseThreadNameForDebugger(threadId, name);
}

std::string ThreadDisplayName(DWORD threadId, bool showHidden, const void** creator, DWORD* creatorThreadId) {
  SystemThreadHandles ops;
  ThreadDisplay display;
  {
    BlockUse use;
    const DWORD waited = g_block ? WaitForSingleObject(g_block->listMutex, 50) : WAIT_FAILED;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      display = ThreadDisplayName(threadId, nullptr, showHidden, false, ops);
    } else {
      const std::vector<ThreadEntry> list = ReadList(g_block);
      const ThreadEntry* entry = nullptr;
      for (const ThreadEntry& e : list)
        if (e.threadId == threadId) {
          entry = &e;
          break;
        }
      display = ThreadDisplayName(threadId, entry, showHidden, true, ops);
      ReleaseMutex(g_block->listMutex);
    }
  }
  if (creator) *creator = reinterpret_cast<const void*>(display.threadProc);
  if (creatorThreadId) *creatorThreadId = display.creatorThreadId;
  return display.text;
}

}  // namespace kestrum
