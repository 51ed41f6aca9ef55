#include "report/KestrumBugReport_win.h"

#include <algorithm>
#include <mutex>

#include "platform/Exceptions.h"
#include "platform/GuardedRead_win.h"
#include "platform/WideText_win.h"
#include "report/KorbDisAsm_win.h"
#include "report/KorbMapFile_win.h"
#include "report/KorbStackTrace_win.h"

namespace report {

namespace {

const void* Ptr(Addr a) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a)); }

// The end of the committed region that holds address; 0 when it is not committed.
Addr RegionEnd(Addr address) {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(Ptr(address), &mbi, sizeof mbi) != sizeof mbi || mbi.State != MEM_COMMIT) return 0;
  return static_cast<Addr>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress) + mbi.RegionSize);
}

// The process-wide tables are shared by every trace: the completion thread of one exception may
// still run when the next exception's report asks for the complete text on another thread.
std::mutex& TraceLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

class ProcessDebugNames : public DebugNames {
 public:
  std::string ProcNameOfAddress(Addr address) const override { return ::ProcNameOfAddress(Ptr(address)); }
  int LineOfAddress(Addr address) const override {
    std::int32_t line = 0;
    std::uint32_t rangeStart = 0, rangeEnd = 0;
    ::LineOfAddress(Ptr(address), line, rangeStart, rangeEnd);
    return std::max(line, 0);
  }
};

struct ThreadState {
  bool readable = false;
  bool suspended = false;
  int priority = 0;
  Addr esp = 0, ebp = 0, stackTop = 0;
};

// The calling thread cannot pause itself; it reads its own registers.
__attribute__((noinline)) ThreadState OwnThreadState() {
  ThreadState s;
  Addr esp;
  asm volatile("movl %%esp, %0" : "=r"(esp));
  s.esp = esp;
  s.ebp = static_cast<Addr>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  s.stackTop = RegionEnd(esp);
  const int priority = GetThreadPriority(GetCurrentThread());
  s.priority = priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
  s.readable = s.stackTop != 0;
  return s;
}

class Collector {
 public:
  Collector(const CollectInput& in, std::vector<ThreadRecord>& records) : in_(in), records_(records) {}

  void Record(DWORD threadId, bool crashed) {
    Addr creator = 0;
    DWORD creatorTid = 0;
    std::string title;
    try {
      title = in_.threads ? in_.threads->Title(threadId, crashed, creator, creatorTid) : std::string();
    } catch (...) {
      title.clear();
    }
    if (title.empty()) return;
    std::string name = title + ":";
    std::string content;
    try {
      const std::string location =
          DescribeCodeAddress(crashed ? in_.exceptAddr : 0, in_.trace.showRelAddrs, in_.trace.showRelLines);
      content = StackNotAccessible(crashed, location);
      ThreadRecord record;
      if (Read(threadId, crashed, record)) {
        name = ThreadSectionName(title, state_.suspended, state_.priority);
        record.threadName = name;
        record.creatorAddr = creator;
        record.creatorTid = creatorTid;
        if (in_.sink) {
          const bool snapshot = !crashed && threadId != GetCurrentThreadId();
          in_.sink->Add(title, snapshot ? &snapshot_ : nullptr, record);
        }
        records_.push_back(std::move(record));
        content = ThreadPlaceholder(location);
      }
    } catch (...) {
      content = CurrentInternalError("GetThreadStack", in_.trace.showRelAddrs, in_.trace.showRelLines);
    }
    pairs_.emplace_back(std::move(name), std::move(content));
  }

  ReportItems Take() { return std::move(pairs_); }

 private:
  bool Read(DWORD threadId, bool crashed, ThreadRecord& record) {
    state_ = ThreadState{};
    if (threadId == GetCurrentThreadId()) {
      state_ = OwnThreadState();
    } else if (TakeThreadSnapshot(threadId, snapshot_)) {
      state_.readable = true;
      state_.suspended = snapshot_.suspended;
      state_.priority = snapshot_.priority;
      state_.esp = snapshot_.esp;
      state_.ebp = snapshot_.ebp;
      state_.stackTop = snapshot_.stackTop;
    }
    if (!state_.readable) return false;
    record.threadId = threadId;
    record.exceptThread = crashed;
    ProcessStackMemory memory;
    Addr currentAddr = 0;
    if (crashed) {
      record.exceptAddr = in_.exceptAddr;
      record.extException = in_.extException;
      record.bcbTermination = in_.bcbTermination;
      record.stackBottom = state_.esp;
      record.ebp = state_.ebp;
      if (in_.context) {
        record.stackBottom = in_.context->Esp;
        record.ebp = in_.context->Ebp;
      } else if (in_.currentEsp != 0) {
        record.stackBottom = in_.currentEsp;
        record.ebp = in_.currentEbp;
        currentAddr = in_.exceptAddr;
      }
      record.stackTop = RegionEnd(record.stackBottom);
      if (record.stackTop == 0) return false;
      if (in_.prepared && !in_.prepared->empty()) {
        record.prepared = *in_.prepared;
        record.hasPrepared = true;
        return true;
      }
    } else {
      // The copy taken while the thread stood still: it has gone on since.
      memory.UseStackCopy(snapshot_.esp, snapshot_.stack, snapshot_.stackSize);
      record.stackBottom = snapshot_.esp;
      record.stackTop = snapshot_.esp + static_cast<Addr>(snapshot_.stackSize);
      record.ebp = snapshot_.ebp;
    }
    record.prepared = PreScanStack(memory, record.ebp, record.stackTop, record.stackBottom, crashed, currentAddr);
    record.hasPrepared = !record.prepared.empty();
    return true;
  }

  const CollectInput& in_;
  std::vector<ThreadRecord>& records_;
  ReportItems pairs_;
  ThreadSnapshot snapshot_;  // its buffer is reserved before any thread is paused
  ThreadState state_;
};

}  // namespace

ReportItems CollectThreads(const CollectInput& in, std::vector<ThreadRecord>& records) {
  records.clear();
  std::vector<DWORD> listed;
  if (in.listThreads) listed = ListProcessThreads();
  Collector collector(in, records);
  std::vector<DWORD> done;
  const DWORD first = in.frozen ? in.mainThreadId : in.crashedThreadId;
  collector.Record(first, !in.frozen);
  done.push_back(first);
  if (in.mainThreadId != 0 && in.mainThreadId != first) {
    collector.Record(in.mainThreadId, false);
    done.push_back(in.mainThreadId);
  }
  for (DWORD id : listed) {
    if (std::find(done.begin(), done.end(), id) != done.end()) continue;
    if (std::find(in.skipped.begin(), in.skipped.end(), id) != in.skipped.end()) continue;
    collector.Record(id, false);
    done.push_back(id);
  }
  return collector.Take();
}

ThreadReport GetThreadReport(ThreadRecord& record, const TraceSettings& settings, const std::atomic<bool>* abort,
                             ReportThreads* threads, TraceProgress* progress) {
  ThreadReport report;
  try {
    TraceInput in;
    in.hideUglyItems = settings.hideUglyItems;
    in.showRelAddrs = settings.showRelAddrs;
    in.showRelLines = settings.showRelLines;
    in.dontAddTopItem = !record.exceptThread && record.exceptAddr == 0;
    in.bcbTermination = record.bcbTermination;
    in.extException = record.extException;
    in.isException = record.exceptThread;
    in.ebp = record.ebp;
    in.stackTop = record.stackTop;
    in.stackBottom = record.stackBottom;
    in.currentAddr = record.exceptThread ? record.exceptAddr : 0;
    in.creatorAddr = record.creatorAddr;
    in.prepared = record.hasPrepared ? &record.prepared : nullptr;
    in.abort = abort;
    in.progress = progress;
    TraceOutput out;
    {
      ProcessStackMemory memory;
      std::lock_guard<std::mutex> hold(TraceLock());
      TraceStack(memory, ProcessStackTables(), in, out);
    }
    if (!out.failedPhase.empty()) {
      report.text = InternalErrorText(out.failedPhase);
      if (in.isException) {
        report.text += "\r\n>> original exception location: \r\n" +
                       DescribeCodeAddress(in.currentAddr, settings.showRelAddrs, settings.showRelLines);
      }
    } else {
      report.text = out.text;
      report.crc.crc1 = out.crc1;
      report.crc.crc2 = out.crc2;
      report.hasLines = out.hasLines;
      report.functionStart = out.functionStart;
      report.functionAddr = out.functionAddr;
      report.exceptAddr = out.exceptAddr;
      report.minimalDebugInfo = std::move(out.minimalDebugInfo);
    }
    if (record.creatorAddr != 0 && threads) {
      Addr creator = 0;
      DWORD creatorTid = 0;
      report.text = InsertCreatorLine(report.text, threads->Title(record.creatorTid, true, creator, creatorTid));
    }
  } catch (...) {
    report = ThreadReport{};
    report.text = CurrentInternalError("GetThreadReport", settings.showRelAddrs, settings.showRelLines);
  }
  record.prepared.clear();
  record.prepared.shrink_to_fit();
  record.hasPrepared = false;
  return report;
}

std::string DescribeCodeAddress(Addr address, bool showRelAddrs, bool showRelLines) {
  std::string module, unit, function;
  std::int32_t line = 0;
  std::uint32_t start = 0;
  // A null address asks the lookup for its caller's call site: address 0 is not resolved.
  if (address == 0 || !DescribeAddress(Ptr(address), module, unit, line, start, function))
    return FormatCodeAddress(address, nullptr, showRelAddrs, showRelLines);
  CodeLocation location;
  location.relative = start != 0 && start <= address ? address - start : 0;
  location.module = module;
  location.unit = unit;
  location.function = function;
  location.line = line;
  if (start != 0) {
    std::int32_t startLine = 0;
    std::uint32_t rangeStart = 0, rangeEnd = 0;
    LineOfAddress(Ptr(start), startLine, rangeStart, rangeEnd);
    location.functionLine = std::max(startLine, 0);
  }
  return FormatCodeAddress(address, &location, showRelAddrs, showRelLines);
}

std::string CurrentInternalError(std::string_view step, bool showRelAddrs, bool showRelLines) {
  Addr at = 0;
  try {
    throw;
  } catch (const EExternal& e) {
    if (e.HasRecord()) at = static_cast<Addr>(e.ExceptionRecord().ExceptionAddress);
  } catch (...) {
  }
  if (at == 0) return InternalErrorText(step);
  const std::string where = DescribeCodeAddress(at, showRelAddrs, showRelLines);
  return InternalErrorText(step, &where);
}

std::string CpuRegistersSection(const CONTEXT& c) {
  const std::uint32_t registers[9] = {c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Eip, c.Esp, c.Ebp};
  return CpuRegistersText(registers);
}

std::string StackDumpSection(const CONTEXT& c) {
  std::optional<std::uint64_t> end;
  if (const Addr regionEnd = RegionEnd(c.Esp)) end = regionEnd;
  std::uint8_t bytes[320];
  const std::size_t want = std::min<std::size_t>(StackDumpLength(c.Esp, end), sizeof bytes);
  const std::size_t got = platform::GuardedRead(Ptr(c.Esp), bytes, want);
  return StackDumpText(c.Esp, std::span<const std::uint8_t>(bytes, got));
}

std::string DisassemblySection(Addr functionStart, Addr address, bool formatted, int limit) {
  if (functionStart == 0) return {};
  ProcessCodeMemory memory;
  ProcessDebugNames names;
  TFunctionInfo info;
  return GetCleartextDisAsm(memory, &names, functionStart, address, formatted, limit, info);
}

bool FindReportPlugin(std::string_view name, ReportPlugin& plugin) {
  for (const ReportPlugin& p : ReportPlugins()) {
    if (SameName(p.name, name)) {
      plugin = p;
      return true;
    }
  }
  return false;
}

std::string CallReportPlugin(const ReportPlugin& plugin, kestrum::IZQException* exception) {
  if (plugin.procOldA) return plugin.procOldA();
  if (plugin.procOldW) return platform::AnsiFromWide(plugin.procOldW());
  if (plugin.procNewA) return plugin.procNewA(exception);
  if (plugin.procNewW) return platform::AnsiFromWide(plugin.procNewW(exception));
  return {};
}

}  // namespace report
