#include "report/KorbStackTrace_win.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <bits/functexcept.h>
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "platform/GuardedRead_win.h"
#include "platform/Modules_win.h"
#include "report/KestrumSystemLists_win.h"
#include "report/KorbMapFile_win.h"

extern "C" void _Unwind_Resume(void*);

namespace report {

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE;

const void* Ptr(Addr a) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a)); }
Addr AddrOf(const void* p) { return static_cast<Addr>(reinterpret_cast<std::uintptr_t>(p)); }

bool Query(Addr address, MEMORY_BASIC_INFORMATION& mbi) { return VirtualQuery(Ptr(address), &mbi, sizeof mbi) == sizeof mbi; }

template <typename F>
Addr RoutineAddress(F* f) {
  return AddrOf(reinterpret_cast<const void*>(f));
}

}  // namespace

void ProcessStackMemory::UseStackCopy(Addr begin, const std::uint8_t* data, std::size_t size) {
  copyBegin_ = begin;
  copy_ = data;
  copySize_ = size;
}

std::size_t ProcessStackMemory::Read(Addr address, void* dest, std::size_t count) const {
  const std::uint64_t a = address;
  if (copy_ && a >= copyBegin_ && a < copyBegin_ + static_cast<std::uint64_t>(copySize_)) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, copyBegin_ + copySize_ - a));
    std::memcpy(dest, copy_ + (address - copyBegin_), n);
    return n;
  }
  return code_.Read(address, dest, count);
}

bool ProcessStackMemory::RegionAt(Addr address, Addr& begin, Addr& end) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (!Query(address, mbi) || mbi.State != MEM_COMMIT || !(mbi.Protect & kReadable) || (mbi.Protect & PAGE_GUARD)) return false;
  begin = AddrOf(mbi.BaseAddress);
  end = begin + static_cast<Addr>(mbi.RegionSize);
  return true;
}

bool ProcessStackMemory::AllocationAt(Addr address, Addr& allocationBase, bool& image) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (!Query(address, mbi) || mbi.State != MEM_COMMIT || !mbi.AllocationBase) return false;
  allocationBase = AddrOf(mbi.AllocationBase);
  image = mbi.Type == MEM_IMAGE;
  return true;
}

bool ProcessStackMemory::DescribeModule(Addr base, TraceModuleFacts& facts) const {
  std::uint8_t headers[4096];
  if (Read(base, headers, sizeof headers) != sizeof headers) return false;
  const auto layout = ReadImageLayout(std::span<const std::uint8_t>(headers, sizeof headers));
  const std::string path = platform::ModuleFileName(static_cast<HMODULE>(const_cast<void*>(Ptr(base))));
  if (!layout || path.empty()) return false;
  facts = TraceModuleFacts{};
  facts.base = base;
  facts.name = path.substr(path.find_last_of("\\/") + 1);
  facts.codeBegin = base + layout->baseOfCode;
  facts.codeEnd = base + layout->topOfCode;
  facts.dataBegin = base + layout->baseOfData;
  facts.dataEnd = base + layout->topOfData;
  facts.entryPoint = layout->entryPoint ? base + layout->entryPoint : 0;
  facts.executable = AddrOf(GetModuleHandleA(nullptr)) == base;
  facts.own = AddrOf(platform::ModuleContaining(reinterpret_cast<const void*>(&Query))) == base;
  const auto map = DebugInfoForAddress(Ptr(base + layout->baseOfCode));
  facts.debugInfo = map->IsValid();
  facts.minimalDebugInfo = facts.debugInfo && map->HoldsMinimalInfo();
  facts.minimalDebugId = map->MinDebugInfo();
  return true;
}

bool ProcessStackMemory::PublicAt(Addr address, std::string& name, Addr& start) const {
  const auto map = DebugInfoForAddress(Ptr(address));
  if (!map->IsValid()) return false;
  const TMfPublic p = map->FindPublic(address);
  if (!p.IsValid) return false;
  name = p.Name;
  start = p.Address;
  return true;
}

static int LineAtImpl(Addr address) {
  const auto map = DebugInfoForAddress(Ptr(address));
  return map->IsValid() ? std::max(map->FindLine(address), 0) : 0;
}

int ProcessStackMemory::LineAt(Addr address) const { return LineAtImpl(address); }

std::string ProcessStackMemory::UnitAt(Addr address) const {
  const auto map = DebugInfoForAddress(Ptr(address));
  if (!map->IsValid()) return std::string();
  const TMfSegment s = map->FindSegment(true, address);
  return s.IsValid ? s.Unit_ : std::string();
}

bool ProcessStackMemory::NearestExport(Addr base, Addr address, Addr& exportAddress) const {
  bool ok = true;
  auto u32 = [this, &ok](Addr a) {
    std::uint32_t v = 0;
    ok = ok && Read(a, &v, 4) == 4;
    return v;
  };
  const Addr nt = base + u32(base + 0x3C);
  const Addr directory = u32(nt + 24 + 96);
  if (!ok || directory == 0) return false;
  const Addr exports = base + directory;
  const std::uint32_t count = u32(exports + 20);
  const Addr functions = base + u32(exports + 28);
  if (!ok || count > 0x10000) return false;
  // The whole table in one read: a guarded read per entry costs more than the search itself, and
  // every candidate in a library without debug information asks.
  std::vector<std::uint32_t> table(count);
  if (count != 0 && Read(functions, table.data(), count * 4) != count * 4) return false;
  Addr best = 0;
  for (const std::uint32_t rva : table) {
    const Addr at = base + rva;
    if (at != base && at <= address && at > best) best = at;
  }
  if (best == 0) return false;
  exportAddress = best;
  return true;
}

StackTables& ProcessStackTables() {
  static StackTables* tables = [] {
    auto* t = new StackTables;
    // Calls to these never return, so the analyser must not run into the next function after them.
    // __cxa_throw is the wrapper where the program is linked with one (the link redirects this
    // reference as it does every call).
    t->routines.NoReturn = {RoutineAddress(&std::abort),
                            RoutineAddress(&std::terminate),
                            RoutineAddress(&_Unwind_Resume),
                            RoutineAddress(&__cxxabiv1::__cxa_throw),
                            RoutineAddress(&__cxxabiv1::__cxa_rethrow),
                            RoutineAddress(&std::__throw_bad_alloc),
                            RoutineAddress(&std::__throw_bad_cast),
                            RoutineAddress(&std::__throw_logic_error),
                            RoutineAddress(&std::__throw_invalid_argument),
                            RoutineAddress(&std::__throw_length_error),
                            RoutineAddress(&std::__throw_out_of_range),
                            RoutineAddress(&std::__throw_out_of_range_fmt),
                            RoutineAddress(&std::__throw_runtime_error),
                            RoutineAddress(&std::__throw_system_error),
                            RoutineAddress(&std::exit),
                            RoutineAddress(&ExitProcess),
                            RoutineAddress(&ExitThread)};
    return t;
  }();
  return *tables;
}

namespace {

// The thread ids of this process from the system's process table; false when the table cannot be
// had. Faster than a tool-help snapshot, which copies the table of every process once more.
bool ThreadsFromProcessTable(std::vector<DWORD>& ids) {
  const std::vector<std::uint8_t> buffer = ProcessTable();
  if (buffer.empty()) return false;
  const DWORD self = GetCurrentProcessId();
  std::size_t at = 0;
  while (at + sizeof(SYSTEM_PROCESS_INFORMATION) <= buffer.size()) {
    SYSTEM_PROCESS_INFORMATION process;
    std::memcpy(&process, buffer.data() + at, sizeof process);
    if (static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process.UniqueProcessId)) == self) {
      const std::size_t first = at + sizeof process;
      for (ULONG i = 0; i < process.NumberOfThreads; ++i) {
        const std::size_t entry = first + i * sizeof(SYSTEM_THREAD_INFORMATION);
        if (entry + sizeof(SYSTEM_THREAD_INFORMATION) > buffer.size()) break;
        SYSTEM_THREAD_INFORMATION thread;
        std::memcpy(&thread, buffer.data() + entry, sizeof thread);
        ids.push_back(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(thread.ClientId.UniqueThread)));
      }
      return true;
    }
    if (process.NextEntryOffset == 0) break;
    at += process.NextEntryOffset;
  }
  return false;
}

}  // namespace

std::vector<DWORD> ListProcessThreads() {
  std::vector<DWORD> ids;
  if (ThreadsFromProcessTable(ids)) return ids;
  ids.clear();
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ids.push_back(entry.th32ThreadID);
    entry.dwSize = sizeof entry;
  }
  CloseHandle(snapshot);
  return ids;
}

ThreadSnapshot::ThreadSnapshot() {
  stack = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kMaxStackCopy, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!stack) throw std::bad_alloc();
}

ThreadSnapshot::~ThreadSnapshot() { VirtualFree(stack, 0, MEM_RELEASE); }

bool TakeThreadSnapshot(DWORD threadId, ThreadSnapshot& s) {
  s.valid = false;
  s.threadId = threadId;
  s.stackSize = 0;
  if (threadId == GetCurrentThreadId()) return false;
  HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | THREAD_SUSPEND_RESUME, FALSE, threadId);
  if (!thread) return false;
  const int priority = GetThreadPriority(thread);
  s.priority = priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
  const DWORD previous = SuspendThread(thread);
  if (previous == static_cast<DWORD>(-1)) {
    CloseHandle(thread);
    return false;
  }
  s.suspended = previous > 0;
  // Between suspend and resume: no allocation, no lock the thread might hold.
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_FULL;
  if (GetThreadContext(thread, &context)) {
    MEMORY_BASIC_INFORMATION mbi;
    if (Query(context.Esp, mbi) && mbi.State == MEM_COMMIT) {
      s.eip = context.Eip;
      s.esp = context.Esp;
      s.ebp = context.Ebp;
      s.context = context;
      s.stackTop = AddrOf(mbi.BaseAddress) + static_cast<Addr>(mbi.RegionSize);
      const std::size_t want = std::min<std::size_t>(s.stackTop - s.esp, ThreadSnapshot::kMaxStackCopy);
      s.stackSize = platform::GuardedRead(Ptr(s.esp), s.stack, want);
      s.valid = s.stackSize > 0;
    }
  }
  ResumeThread(thread);
  CloseHandle(thread);
  return s.valid;
}

void TraceSnapshot(const ThreadSnapshot& snapshot, const TraceInput& options, TraceOutput& output) {
  output = TraceOutput{};
  if (!snapshot.valid) return;
  ProcessStackMemory memory;
  memory.UseStackCopy(snapshot.esp, snapshot.stack, snapshot.stackSize);
  TraceInput in = options;
  in.stackBottom = snapshot.esp;
  in.stackTop = snapshot.esp + static_cast<Addr>(snapshot.stackSize);
  in.ebp = snapshot.ebp;
  if (in.currentAddr == 0) in.currentAddr = snapshot.eip;
  TraceStack(memory, ProcessStackTables(), in, output);
}

}  // namespace report
