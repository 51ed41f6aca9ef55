#include "crash/KestrumMiniDump_win.h"

#include <cpuid.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crash/KestrumRedact.h"
#include "platform/Bytes.h"
#include "platform/GuardedRead_win.h"
#include "report/KestrumMiniDump.h"
#include "report/KestrumMiniDumpRedact.h"
#include "report/KorbStackTrace_win.h"

namespace kestrum {

namespace {

using report::Addr;

static_assert(sizeof(CONTEXT) == report::kX86ContextSize, "the dump holds the x86 CONTEXT as it is");

constexpr std::size_t kMaxThreads = 64, kMaxModules = 256;
// The crashed thread's stack gets more room than the others: its frames are the ones looked at.
constexpr std::size_t kCrashedStack = 128 * 1024, kOtherStack = 64 * 1024, kStackArena = 1024 * 1024;
constexpr std::size_t kCodeAround = 256;
constexpr std::size_t kOutput = 8 * 1024 * 1024;
constexpr std::size_t kMaxDataSection = 2 * 1024 * 1024;
constexpr std::size_t kMaxCodeView = 24 + MAX_PATH + 1;

struct ThreadSlot {
  DWORD id;
  DWORD suspendCount;
  int priority;
  std::uint8_t context[sizeof(CONTEXT)];
  Addr stackStart;
  std::size_t stackOffset, stackSize;
  char name[96];
  Addr codeStart;
  std::uint8_t code[kCodeAround];
  std::size_t codeSize;
};

struct ModuleSlot {
  Addr base;
  DWORD size, checksum, timeStamp;
  char path[MAX_PATH];
  bool hasVersion;
  report::MiniDumpVersion version;
  std::uint8_t codeView[kMaxCodeView];
  std::size_t codeViewSize;
};

struct Buffers {
  CRITICAL_SECTION lock;
  ThreadSlot threads[kMaxThreads];
  std::size_t threadCount;
  ModuleSlot modules[kMaxModules];
  std::size_t moduleCount;
  report::MiniDumpThread dumpThreads[kMaxThreads];
  report::MiniDumpModule dumpModules[kMaxModules];
  report::MiniDumpMemory memory[2 * kMaxThreads + 32];
  std::uint8_t exceptionContext[sizeof(CONTEXT)];
  Addr exceptCodeStart;
  std::uint8_t exceptCode[kCodeAround];
  std::size_t exceptCodeSize;
  std::uint8_t* stacks;
  std::size_t stacksUsed;
  std::uint8_t* out;
  std::size_t outSize;
  std::uint32_t number;
};

Buffers* g_buffers = nullptr;
std::uint32_t g_lastMicroseconds = 0;

std::int64_t Ticks() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

// Adds the time from construction to destruction to total.
class Stopwatch {
 public:
  explicit Stopwatch(std::int64_t& total) : total_(total), start_(Ticks()) {}
  ~Stopwatch() { total_ += Ticks() - start_; }
  Stopwatch(const Stopwatch&) = delete;
  Stopwatch& operator=(const Stopwatch&) = delete;

 private:
  std::int64_t& total_;
  std::int64_t start_;
};

const void* Ptr(Addr a) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a)); }

std::size_t Read(Addr address, void* dest, std::size_t count) { return platform::GuardedRead(Ptr(address), dest, count); }

std::uint32_t Le32(Addr address) {
  std::uint8_t b[4] = {};
  return Read(address, b, 4) == 4 ? platform::LoadLe32(b) : 0;
}

void CopyName(char* dest, std::size_t size, const char* text) { std::snprintf(dest, size, "%s", text ? text : ""); }

// The bytes around an instruction pointer, as much of them as can be read: a fault at the edge of
// a module still gets the part before it.
std::size_t CodeAround(Addr ip, Addr& start, std::uint8_t* dest) {
  start = ip >= kCodeAround / 2 ? ip - kCodeAround / 2 : 0;
  std::size_t n = Read(start, dest, kCodeAround);
  if (n == 0) {
    start = ip;
    n = Read(start, dest, kCodeAround / 2);
  }
  return n;
}

// The record of the module's debug directory. Our programs' linker leaves its file name empty; a
// stack walker and a symbol server find symbols by that name, so the module's own file name goes in.
std::size_t CodeViewOf(Addr base, const char* path, std::uint8_t* dest) {
  const Addr pe = base + Le32(base + 0x3C);
  if (Le32(pe) != 0x00004550) return 0;
  const Addr directory = base + Le32(pe + 24 + 144);
  const std::uint32_t directorySize = Le32(pe + 24 + 148);
  if (directory == base) return 0;
  for (std::uint32_t at = 0; at + 28 <= directorySize && at < 28 * 16; at += 28) {
    if (Le32(directory + at + 12) != 2) continue;  // IMAGE_DEBUG_TYPE_CODEVIEW
    const std::size_t size = std::min<std::size_t>(Le32(directory + at + 16), kMaxCodeView - 1);
    std::size_t n = Read(base + Le32(directory + at + 20), dest, size);
    if (n < 24 || std::memcmp(dest, "RSDS", 4) != 0) return n >= 4 ? n : 0;
    if (n == 24 || dest[24] == 0) {
      const char* slash = std::strrchr(path, '\\');
      const char* name = slash ? slash + 1 : path;
      const std::size_t length = std::min(std::strlen(name), kMaxCodeView - 25);
      std::memcpy(dest + 24, name, length);
      dest[24 + length] = 0;
      n = 24 + length + 1;
    }
    return n;
  }
  return 0;
}

bool VersionOf(HMODULE module, report::MiniDumpVersion& v) {
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));  // RT_VERSION
  if (!info) return false;
  HGLOBAL loaded = LoadResource(module, info);
  const auto* bytes = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(module, info);
  if (!bytes) return false;
  for (DWORD at = 0; at + 52 <= size; at += 4) {
    if (platform::LoadLe32(bytes + at) != 0xFEEF04BD) continue;
    const std::uint8_t* f = bytes + at;
    v = {platform::LoadLe32(f + 8),  platform::LoadLe32(f + 12), platform::LoadLe32(f + 16),
         platform::LoadLe32(f + 20), platform::LoadLe32(f + 24), platform::LoadLe32(f + 28),
         platform::LoadLe32(f + 32), platform::LoadLe32(f + 36), platform::LoadLe32(f + 40)};
    return true;
  }
  return false;
}

// The loader's own list, read in place: a module snapshot of the system asks the server, which
// took most of the dump's time. The reads are guarded and the walk bounded, as a thread that loads
// a library meanwhile may be changing the list.
void GatherModules(Buffers& b) {
  b.moduleCount = 0;
  Addr peb = 0;
  asm volatile("movl %%fs:0x30, %0" : "=r"(peb));
  const Addr head = Le32(peb + 0x0C) + 0x0C;  // PEB_LDR_DATA.InLoadOrderModuleList
  if (head == 0x0C) return;
  for (Addr entry = Le32(head); entry && entry != head && b.moduleCount < kMaxModules; entry = Le32(entry)) {
    const Addr base = Le32(entry + 0x18);
    if (!base) continue;
    ModuleSlot& m = b.modules[b.moduleCount++];
    m.base = base;
    m.size = Le32(entry + 0x20);
    wchar_t name[MAX_PATH];
    const std::size_t bytes = std::min<std::size_t>(Le32(entry + 0x24) & 0xFFFF, sizeof name - sizeof(wchar_t));
    const std::size_t got = Read(Le32(entry + 0x28), name, bytes) / sizeof(wchar_t);
    const int n = got ? WideCharToMultiByte(CP_ACP, 0, name, static_cast<int>(got), m.path, sizeof m.path - 1, nullptr, nullptr) : 0;
    m.path[n > 0 ? n : 0] = 0;
    const Addr pe = m.base + Le32(m.base + 0x3C);
    m.timeStamp = Le32(pe + 8);
    m.checksum = Le32(pe + 24 + 64);
    m.hasVersion = VersionOf(reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(base)), m.version);
    m.codeViewSize = CodeViewOf(m.base, m.path, m.codeView);
  }
}

void GatherSystem(report::MiniDumpSystem& s, report::MiniDumpMisc& misc) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  s.processorLevel = info.wProcessorLevel;
  s.processorRevision = info.wProcessorRevision;
  s.processors = static_cast<std::uint8_t>(std::min<DWORD>(info.dwNumberOfProcessors, 255));
  OSVERSIONINFOEXA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) {
    s.major = version.dwMajorVersion;
    s.minor = version.dwMinorVersion;
    s.build = version.dwBuildNumber;
    s.platformId = version.dwPlatformId;
    s.productType = version.wProductType;
    s.suiteMask = version.wSuiteMask;
  }
  static char servicePack[sizeof version.szCSDVersion];
  std::memcpy(servicePack, version.szCSDVersion, sizeof servicePack);
  servicePack[sizeof servicePack - 1] = 0;
  s.servicePack = servicePack;
  unsigned a = 0, bx = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &bx, &c, &d)) {
    s.vendorId[0] = bx, s.vendorId[1] = d, s.vendorId[2] = c;
    if (__get_cpuid(1, &a, &bx, &c, &d)) s.versionInformation = a, s.featureInformation = d;
  }
  if (__get_cpuid(0x80000000u, &a, &bx, &c, &d) && a >= 0x80000001u && __get_cpuid(0x80000001u, &a, &bx, &c, &d)) s.amdFeatures = d;

  misc.hasProcessId = true;
  misc.processId = GetCurrentProcessId();
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    auto value = [](const FILETIME& t) { return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
    misc.hasTimes = true;
    misc.createTime = value(created) > kUnixEpoch ? static_cast<std::uint32_t>((value(created) - kUnixEpoch) / 10000000u) : 0;
    misc.userTime = static_cast<std::uint32_t>(value(user) / 10000000u);
    misc.kernelTime = static_cast<std::uint32_t>(value(kernel) / 10000000u);
  }
}

}  // namespace

bool ReserveMiniDumpBuffers() {
  if (g_buffers) return true;
  auto* b = static_cast<Buffers*>(VirtualAlloc(nullptr, sizeof(Buffers), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  // Committed pages cost nothing until they are written; the crash path then only fills them.
  auto* stacks = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kStackArena, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  auto* out = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kOutput, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (!b || !stacks || !out) {
    if (b) VirtualFree(b, 0, MEM_RELEASE);
    if (stacks) VirtualFree(stacks, 0, MEM_RELEASE);
    if (out) VirtualFree(out, 0, MEM_RELEASE);
    return false;
  }
  InitializeCriticalSection(&b->lock);
  b->stacks = stacks;
  b->out = out;
  g_buffers = b;
  return true;
}

class MiniDumpGathering::Impl : public report::ThreadSink {
 public:
  explicit Impl(const MiniDumpFacts& facts) : facts_(facts) {
    if (!g_buffers) {
      error_ = "no buffers were reserved for it";
      return;
    }
    // A save of the previous dump may still be writing; never wait long on the crash path.
    for (int i = 0; i < 200 && !locked_; ++i) {
      locked_ = TryEnterCriticalSection(&g_buffers->lock);
      if (!locked_) Sleep(10);
    }
    if (!locked_) {
      error_ = "its buffers are in use by another save";
      return;
    }
    Buffers& b = *g_buffers;
    b.threadCount = 0;
    b.stacksUsed = 0;
    b.outSize = 0;
  }
  ~Impl() override {
    if (locked_) LeaveCriticalSection(&g_buffers->lock);
  }

  report::ThreadSink* Sink() { return locked_ ? this : nullptr; }

  void Add(const std::string& title, const report::ThreadSnapshot* snapshot, const report::ThreadRecord& record) override {
    const Stopwatch watch(ticks_);
    Buffers& b = *g_buffers;
    if (b.threadCount >= kMaxThreads) return;
    ThreadSlot& t = b.threads[b.threadCount];
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    const std::uint8_t* stackCopy = nullptr;
    std::size_t limit = kOtherStack;
    if (snapshot) {
      context = snapshot->context;
      t.suspendCount = snapshot->suspended ? 1 : 0;
      t.priority = snapshot->priority;
      t.stackStart = snapshot->esp;
      t.stackSize = snapshot->stackSize;
      stackCopy = snapshot->stack;
    } else if (record.exceptThread) {
      if (facts_.context) {
        context = *facts_.context;
      } else if (facts_.exceptAddr == 0) {
        // Nothing says where it happened (an abort, a pure virtual call): the thread as it stands
        // now, in the handling, whose stack still holds the calls that led there.
        if (!CurrentContext(record.threadId, context)) return;
      } else {
        // Without the fault's context: what the report traced from.
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        context.Eip = facts_.exceptAddr;
        context.Esp = record.stackBottom;
        context.Ebp = record.ebp;
      }
      t.suspendCount = 0;
      t.priority = 0;
      limit = kCrashedStack;
      t.stackStart = context.Esp;
      t.stackSize = record.stackTop > context.Esp ? record.stackTop - context.Esp : 0;
      // A thrown exception's frames are gone from the live stack by now: the copy made at the
      // throw holds them.
      if (facts_.stackCopy && facts_.stackCopyBegin == context.Esp) {
        stackCopy = facts_.stackCopy;
        t.stackSize = facts_.stackCopySize;
      }
    } else {
      return;  // the calling thread itself, not crashed: no registers to show
    }
    t.id = record.threadId;
    std::memcpy(t.context, &context, sizeof context);
    t.stackSize = std::min({t.stackSize, limit, kStackArena - b.stacksUsed});
    t.stackOffset = b.stacksUsed;
    if (stackCopy)
      std::memcpy(b.stacks + b.stacksUsed, stackCopy, t.stackSize);
    else
      t.stackSize = Read(t.stackStart, b.stacks + b.stacksUsed, t.stackSize);
    b.stacksUsed += t.stackSize;
    CopyName(t.name, sizeof t.name, title.c_str());
    t.codeSize = CodeAround(context.Eip, t.codeStart, t.code);
    ++b.threadCount;
  }

  std::uint32_t Finish(std::string& error) {
    if (!locked_) {
      error = error_;
      return 0;
    }
    Buffers& b = *g_buffers;
    struct Total {
      Impl& impl;
      ~Total() {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        g_lastMicroseconds = static_cast<std::uint32_t>(impl.ticks_ * 1000000 / (frequency.QuadPart ? frequency.QuadPart : 1));
      }
    } total{*this};
    const Stopwatch watch(ticks_);
    GatherModules(b);
    report::MiniDumpInput in;
    in.timeStamp = static_cast<std::uint32_t>(time(nullptr));
    std::size_t ranges = 0;
    for (std::size_t i = 0; i < b.threadCount; ++i) {
      const ThreadSlot& t = b.threads[i];
      report::MiniDumpThread& d = b.dumpThreads[i];
      d = {};
      d.id = t.id;
      d.suspendCount = t.suspendCount;
      d.priorityClass = GetPriorityClass(GetCurrentProcess());
      d.priority = static_cast<std::uint32_t>(t.priority);
      d.context = report::Bytes(t.context, sizeof t.context);
      d.stackStart = t.stackStart;
      d.stack = report::Bytes(b.stacks + t.stackOffset, t.stackSize);
      d.name = t.name;
      if (t.codeSize) b.memory[ranges++] = {t.codeStart, report::Bytes(t.code, t.codeSize)};
    }
    for (std::size_t i = 0; i < b.moduleCount; ++i) {
      const ModuleSlot& m = b.modules[i];
      report::MiniDumpModule& d = b.dumpModules[i];
      d = {};
      d.base = m.base;
      d.size = m.size;
      d.checksum = m.checksum;
      d.timeStamp = m.timeStamp;
      d.path = m.path;
      d.hasVersion = m.hasVersion;
      d.version = m.version;
      d.codeView = report::Bytes(m.codeView, m.codeViewSize);
    }
    report::MiniDumpException exception;
    if (!facts_.frozen) {
      exception.threadId = facts_.crashedThreadId;
      exception.address = facts_.exceptAddr;
      // A C++ exception has no system record: it gets the code GCC's unwinder raises C++
      // exceptions with where it goes through the system's dispatcher.
      exception.code = facts_.hasRecord ? facts_.code : 0x20474343;
      exception.flags = facts_.hasRecord ? facts_.flags : 1;
      exception.parameterCount = facts_.hasRecord ? std::min<DWORD>(facts_.parameterCount, 15) : 0;
      for (DWORD i = 0; i < exception.parameterCount; ++i) exception.parameters[i] = facts_.parameters[i];
      ThreadSlot* crashed = nullptr;
      for (std::size_t i = 0; i < b.threadCount; ++i) crashed = b.threads[i].id == facts_.crashedThreadId ? &b.threads[i] : crashed;
      if (crashed && !facts_.hasRecord) PointAtTheThrow(*crashed);
      if (crashed) {
        std::memcpy(b.exceptionContext, crashed->context, sizeof b.exceptionContext);
        exception.context = report::Bytes(b.exceptionContext, sizeof b.exceptionContext);
        in.exception = &exception;
      }
      Addr codeStart = 0;
      if (facts_.exceptAddr && (!crashed || reinterpret_cast<const CONTEXT*>(crashed->context)->Eip != facts_.exceptAddr)) {
        b.exceptCodeSize = CodeAround(facts_.exceptAddr, codeStart, b.exceptCode);
        if (b.exceptCodeSize) b.memory[ranges++] = {codeStart, report::Bytes(b.exceptCode, b.exceptCodeSize)};
      }
    }
    if (facts_.level >= 2) AddWritableData(b, ranges);
    in.threads = std::span<const report::MiniDumpThread>(b.dumpThreads, b.threadCount);
    in.modules = std::span<const report::MiniDumpModule>(b.dumpModules, b.moduleCount);
    in.memory = std::span<const report::MiniDumpMemory>(b.memory, ranges);
    GatherSystem(in.system, in.misc);

    const std::size_t size = report::EncodeMiniDump(in, std::span<std::uint8_t>(b.out, kOutput));
    if (size == 0 || size > kOutput) {
      char text[96];
      std::snprintf(text, sizeof text, "the dump needs %lu bytes, %lu are reserved", static_cast<unsigned long>(size),
                    static_cast<unsigned long>(kOutput));
      error = text;
      return 0;
    }
    // The whole file at once: module names, thread names and every byte of memory it copied (the
    // stacks, the code, the program's data), whichever stream they ended in.
    if (facts_.personal && !report::RedactMiniDump(std::span<std::uint8_t>(b.out, size), PersonalValues(*facts_.personal)).readable) {
      error = "it could not be cleared of personal data";
      return 0;
    }
    b.outSize = size;
    if (++b.number == 0) b.number = 1;
    return b.number;
  }

 private:
  // The program's writable sections as they are now (committed for the life of the module).
  static void AddWritableData(Buffers& b, std::size_t& ranges) {
    const Addr base = static_cast<Addr>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
    const Addr pe = base + Le32(base + 0x3C);
    const std::uint32_t sections = Le32(pe + 4) >> 16 & 0xFFFF;
    const Addr table = pe + 24 + (Le32(pe + 20) & 0xFFFF);
    for (std::uint32_t i = 0; i < sections && ranges < sizeof b.memory / sizeof b.memory[0]; ++i) {
      const Addr s = table + 40 * i;
      const std::uint32_t characteristics = Le32(s + 36);
      if (!(characteristics & IMAGE_SCN_MEM_WRITE)) continue;
      const std::size_t size = std::min<std::size_t>(Le32(s + 8), kMaxDataSection);
      const Addr start = base + Le32(s + 12);
      MEMORY_BASIC_INFORMATION mbi;
      if (size == 0 || VirtualQuery(Ptr(start), &mbi, sizeof mbi) != sizeof mbi || mbi.State != MEM_COMMIT) continue;
      b.memory[ranges++] = {start, report::Bytes(static_cast<const std::uint8_t*>(Ptr(start)), size)};
    }
  }

  static bool CurrentContext(DWORD threadId, CONTEXT& context) {
    context.ContextFlags = CONTEXT_FULL;
    if (threadId == GetCurrentThreadId()) {
      RtlCaptureContext(&context);
      return true;
    }
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME, FALSE, threadId);
    if (!thread) return false;
    // It waits for this handling: its stack stays as it is once the registers are read.
    bool ok = false;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
      ok = GetThreadContext(thread, &context);
      ResumeThread(thread);
    }
    CloseHandle(thread);
    return ok;
  }

  // A throw's context stands at the return address of the call that threw, where a stack walker
  // would name the line after the throw (it takes the first frame's address as it is, unlike the
  // callers' return addresses). The dump's frame begins at the call itself, as a system exception's
  // address names the instruction that raised it.
  void PointAtTheThrow(ThreadSlot& t) {
    CONTEXT context;
    std::memcpy(&context, t.context, sizeof context);
    if (!facts_.context || context.Eip != facts_.exceptAddr || context.Eip < 5) return;
    std::uint8_t call = 0;
    context.Eip -= Read(context.Eip - 5, &call, 1) == 1 && call == 0xE8 ? 5 : 1;
    std::memcpy(t.context, &context, sizeof context);
  }

  MiniDumpFacts facts_;
  std::int64_t ticks_ = 0;
  bool locked_ = false;
  std::string error_;
};

MiniDumpGathering::MiniDumpGathering(const MiniDumpFacts& facts) : impl_(new Impl(facts)) {}
MiniDumpGathering::~MiniDumpGathering() { delete impl_; }
report::ThreadSink* MiniDumpGathering::Sink() { return impl_->Sink(); }
std::uint32_t MiniDumpGathering::Finish(std::string& error) { return impl_->Finish(error); }

std::uint32_t LastMiniDumpMicroseconds() { return g_lastMicroseconds; }

bool WriteMiniDumpFile(std::uint32_t number, const std::string& path, std::string& error) {
  if (!g_buffers) {
    error = "no buffers were reserved for it";
    return false;
  }
  EnterCriticalSection(&g_buffers->lock);
  bool ok = false;
  if (number == 0 || number != g_buffers->number || g_buffers->outSize == 0) {
    error = number == 0 ? "it could not be made" : "a later exception's dump has replaced it";
  } else {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ok = f != INVALID_HANDLE_VALUE && WriteFile(f, g_buffers->out, static_cast<DWORD>(g_buffers->outSize), &written, nullptr) &&
         written == g_buffers->outSize;
    const DWORD code = GetLastError();
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    if (!ok) {
      char text[64];
      std::snprintf(text, sizeof text, " cannot be written (error %lu)", static_cast<unsigned long>(code));
      error = path + text;
      if (f != INVALID_HANDLE_VALUE) DeleteFileA(path.c_str());
    }
  }
  LeaveCriticalSection(&g_buffers->lock);
  return ok;
}

}  // namespace kestrum
