#pragma once
// Stack tracing on the running process: the thread list, per-thread snapshots (suspended while its
// context and stack are copied) and traces of those snapshots.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "report/KorbDisAsm_win.h"
#include "report/KorbStackTrace.h"

namespace report {

// The live process for the tracer: code read under the guard, modules and debug information from
// the system and the debug-info cache. One thread's stack may be replaced by a copy.
class ProcessStackMemory : public StackMemory {
 public:
  ProcessStackMemory() = default;
  // Reads of [begin, begin + size) come from data instead of the live stack.
  void UseStackCopy(Addr begin, const std::uint8_t* data, std::size_t size);

  std::size_t Read(Addr address, void* dest, std::size_t count) const override;
  bool ModuleAt(Addr address, ModuleInfo& module) const override { return code_.ModuleAt(address, module); }
  bool RegionAt(Addr address, Addr& begin, Addr& end) const override;
  std::string ExportName(Addr address) const override { return code_.ExportName(address); }
  bool AllocationAt(Addr address, Addr& allocationBase, bool& image) const override;
  bool DescribeModule(Addr base, TraceModuleFacts& facts) const override;
  bool PublicAt(Addr address, std::string& name, Addr& start) const override;
  int LineAt(Addr address) const override;
  std::string UnitAt(Addr address) const override;
  bool NearestExport(Addr base, Addr address, Addr& exportAddress) const override;

 private:
  ProcessCodeMemory code_;
  Addr copyBegin_ = 0;
  const std::uint8_t* copy_ = nullptr;
  std::size_t copySize_ = 0;
};

// The module and function tables of this process, with the routines that never return.
StackTables& ProcessStackTables();

// The ids of all threads of this process.
std::vector<DWORD> ListProcessThreads();

// One thread as it was at one moment. The stack buffer is reserved when the snapshot object is
// made, so that nothing is allocated while the thread is suspended (it may hold the heap lock).
struct ThreadSnapshot {
  static constexpr std::size_t kMaxStackCopy = 1024 * 1024;
  ThreadSnapshot();
  ~ThreadSnapshot();
  ThreadSnapshot(const ThreadSnapshot&) = delete;
  ThreadSnapshot& operator=(const ThreadSnapshot&) = delete;

  DWORD threadId = 0;
  bool valid = false;
  bool suspended = false;  // it was suspended already before the snapshot
  int priority = 0;
  Addr eip = 0, esp = 0, ebp = 0;
  CONTEXT context{};         // all of it, for the minidump
  Addr stackTop = 0;         // end of the stack's region
  std::uint8_t* stack;       // the copy of [esp, esp + stackSize)
  std::size_t stackSize = 0;
};

// Suspends the thread (never the calling one: that is refused), copies its context and stack,
// resumes it.
bool TakeThreadSnapshot(DWORD threadId, ThreadSnapshot& snapshot);

// Traces a snapshot; exceptAddr/isException describe the crashed thread, else 0/false.
void TraceSnapshot(const ThreadSnapshot& snapshot, const TraceInput& options, TraceOutput& output);

}  // namespace report
