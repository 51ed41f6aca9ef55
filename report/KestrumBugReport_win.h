// The bug report's sections on the running process: which threads get one and what each shows
// (the thread is paused only while its context and stack are copied, the slow trace runs later on
// the completion thread), the processor registers, the stack dump, the disassembly and the
// plug-ins. Names of threads come from the crash component through ReportThreads.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/KestrumBugReport.h"
#include "report/KestrumSystemLists.h"
#include "report/KorbStackTrace.h"

namespace report {

// The registry of thread names, which belongs to the crash component.
class ReportThreads {
 public:
  virtual ~ReportThreads() = default;
  // The thread's title in reports; empty for the component's own threads unless showHidden.
  // creator and creatorThreadId: the call that created the thread and its thread, 0 when unknown.
  virtual std::string Title(DWORD threadId, bool showHidden, Addr& creator, DWORD& creatorThreadId) = 0;
};

struct TraceSettings {
  bool hideUglyItems = true;
  bool showRelAddrs = true;
  bool showRelLines = true;
};

// One thread whose stack the report traces.
struct ThreadRecord {
  std::string threadName;  // the section's name
  DWORD threadId = 0;
  Addr exceptAddr = 0;
  bool exceptThread = false;
  bool extException = false;
  bool bcbTermination = false;
  Addr stackBottom = 0, stackTop = 0, ebp = 0;
  Addr creatorAddr = 0;
  DWORD creatorTid = 0;
  bool hasPrepared = false;
  std::vector<TPreStackItem> prepared;  // released when the trace is done
};

struct ThreadSnapshot;
// Sees every thread that gets a record, while the snapshot's copy is still there (the minidump
// keeps what the report traced).
class ThreadSink {
 public:
  virtual ~ThreadSink() = default;
  // snapshot: null for the crashed thread and the calling thread, whose registers the exception gives.
  virtual void Add(const std::string& title, const ThreadSnapshot* snapshot, const ThreadRecord& record) = 0;
};

struct CollectInput {
  bool frozen = false;
  bool listThreads = false;
  DWORD crashedThreadId = 0;
  DWORD mainThreadId = 0;
  std::vector<DWORD> skipped;  // the component's own threads that never get a section
  Addr exceptAddr = 0;
  const CONTEXT* context = nullptr;
  DWORD currentEsp = 0, currentEbp = 0;
  const std::vector<TPreStackItem>* prepared = nullptr;  // candidates kept when it was thrown
  bool extException = false;
  bool bcbTermination = false;
  TraceSettings trace;
  ReportThreads* threads = nullptr;
  ThreadSink* sink = nullptr;
};

// The records of the threads to trace, in section order, and every thread section with its
// placeholder (threads whose context cannot be read have a section but no record).
ReportItems CollectThreads(const CollectInput& input, std::vector<ThreadRecord>& records);

struct ThreadReport {
  std::string text;
  ThreadChecksums crc;
  bool hasLines = false;
  Addr functionStart = 0, functionAddr = 0;  // what to disassemble
  Addr exceptAddr = 0;                       // the exception address as the trace corrected it
  std::vector<std::string> minimalDebugInfo;
};
// Traces one record (its prepared candidates are released) and adds the creator line. Traces of
// all exceptions share the process's tables, one at a time. progress (may be null) hears the
// trace's per mille.
ThreadReport GetThreadReport(ThreadRecord& record, const TraceSettings& settings, const std::atomic<bool>* abort,
                             ReportThreads* threads, TraceProgress* progress = nullptr);

// The one-line description of a code address ("00401234 +34 Kelvane.exe uMain 120 +3 Name").
std::string DescribeCodeAddress(Addr address, bool showRelAddrs, bool showRelLines);
// The internal-error text of a step that failed with the exception in flight (inside a catch).
std::string CurrentInternalError(std::string_view step, bool showRelAddrs, bool showRelLines);

std::string CpuRegistersSection(const CONTEXT& context);
std::string StackDumpSection(const CONTEXT& context);
std::string DisassemblySection(Addr functionStart, Addr address, bool formatted, int limit);

// The first registered plug-in of that name (any case); false when there is none.
bool FindReportPlugin(std::string_view name, ReportPlugin& plugin);
// The plug-in's output through the first callback it has; UTF-16 output in the ANSI code page.
std::string CallReportPlugin(const ReportPlugin& plugin, kestrum::IZQException* exception);

}  // namespace report
