#pragma once
// Stack tracing: turns a thread's stack into the list of calls a report shows.
//
// Every stack value that could be a return address (a call instruction ends in front of it) becomes
// a candidate; the function analyser tells in which function each one lies and which call precedes
// it; candidates whose call targets and functions agree are linked; between fixed anchors the best
// rated chain is kept; repeated stretches left by recursion are removed; the survivors are resolved
// to module, unit, line and function.
//
// Pure logic: the process comes in through StackMemory, so that traces run natively on synthetic
// stacks and code images (tests, fuzzing, benchmarks) and under Windows on the live process or on
// stack copies taken while a thread was suspended (KorbStackTrace_win.cpp).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "report/KorbDisAsm.h"

namespace report {

// What the tracer needs to know about a module beyond its code.
struct TraceModuleFacts {
  Addr base = 0;
  std::string name;  // file name without folder
  Addr codeBegin = 0, codeEnd = 0;
  Addr dataBegin = 0, dataEnd = 0;
  Addr entryPoint = 0;
  bool executable = false;  // the process's main image
  bool own = false;         // the module that holds this component
  bool debugInfo = false;   // valid debug information
  bool minimalDebugInfo = false;
  std::string minimalDebugId;  // identifier of minimal debug information
};

// The process as the tracer sees it. Reads never fault (CodeMemory's contract).
class StackMemory : public CodeMemory {
 public:
  // The committed region that contains address and its allocation base; false when not committed.
  virtual bool AllocationAt(Addr address, Addr& allocationBase, bool& image) const = 0;
  // Facts of the module image based at base; false when its headers cannot be read.
  virtual bool DescribeModule(Addr base, TraceModuleFacts& facts) const = 0;
  // Debug information of the module that contains address (only asked for modules with debugInfo).
  virtual bool PublicAt(Addr address, std::string& name, Addr& start) const = 0;
  virtual int LineAt(Addr address) const = 0;
  virtual std::string UnitAt(Addr address) const = 0;
  // A public starting exactly at address, "" when none.
  virtual std::string PublicNameAt(Addr address) const;
  // The nearest export at or below address in the module based at base; false when none.
  virtual bool NearestExport(Addr base, Addr address, Addr& exportAddress) const = 0;
};

// One call of a trace, innermost first.
struct TStackItem {
  Addr Addr_ = 0;
  std::uint32_t relAddr = 0;
  std::string ModuleName;
  std::string UnitName;
  int Line = 0;
  int relLine = 0;
  std::string FunctionName;
  Addr functionStart = 0;   // 0: unknown
  bool hasRelLine = false;  // relLine counts from the function's first line
};
using TStackTrace = std::vector<TStackItem>;

// One entry of the packed candidate list (5 bytes each, no padding, behind a 32-bit count).
struct TPreStackItem {
  bool dontKill = false;
  Addr afterInstr = 0;
};
// Packs candidates as count + 5-byte entries; Unpack refuses a list whose count runs past size.
std::vector<std::uint8_t> PackPreparedStack(const std::vector<TPreStackItem>& items);
bool UnpackPreparedStack(const std::uint8_t* data, std::size_t size, std::vector<TPreStackItem>& items);

// The process-wide module and function tables. Functions once approved or invalid stay so for
// later traces; one table set serves one process.
struct TraceModule {
  TraceModuleFacts facts;
};
struct TraceFunction {
  int module = -1;
  std::string name;
  TFunctionInfo fi;
  bool approved = false;
  bool invalid = false;
};
class StackTables {
 public:
  std::vector<TraceModule> modules;
  std::vector<TraceFunction> functions;
  std::unordered_map<Addr, int> functionByEntry;
  RuntimeRoutines routines;  // handed to the analyser; NoReturn lists our never-returning routines
  Addr tryFinallyReturn = 0;  // a stack value that is never a candidate (0: none)
  // Names that raise: a call to a function whose name contains one (any case) is the throw site.
  std::vector<std::string> raiseNames{"@RaiseExcept", "Error", "__cxa_throw", "_Unwind_RaiseException", "RaiseException"};
  void Clear();
};

// Progress of one thread's trace, in per mille.
class TraceProgress {
 public:
  virtual ~TraceProgress() = default;
  virtual void Position(int perMille) = 0;
};

struct TraceInput {
  bool hideUglyItems = true;
  bool showRelAddrs = true;
  bool showRelLines = true;
  bool dontAddTopItem = false;
  bool bcbTermination = false;
  bool extException = false;
  bool isException = false;
  Addr ebp = 0;
  Addr stackTop = 0;     // exclusive end of the stack
  Addr stackBottom = 0;  // lowest address examined
  Addr currentAddr = 0;  // the exception address or the thread's instruction pointer
  Addr creatorAddr = 0;
  const std::vector<TPreStackItem>* prepared = nullptr;
  const std::atomic<bool>* abort = nullptr;
  TraceProgress* progress = nullptr;
  // How many inner items one item is linked to at most: linking is quadratic between anchors, and
  // a stack full of code-like values must still finish quickly.
  int linkSpan = 64;
};

struct TraceOutput {
  std::string text;
  bool hasLines = false;
  Addr functionAddr = 0;
  Addr functionStart = 0;
  Addr exceptAddr = 0;
  TStackTrace items;
  std::uint32_t crc1 = 0, crc2 = 0;            // the checksums of the shown lines
  std::vector<std::string> minimalDebugInfo;  // "module|identifier", once per module
  std::string failedPhase;                    // the phase that faulted, empty when none did
};

void TraceStack(const StackMemory& memory, StackTables& tables, const TraceInput& input, TraceOutput& output);

// The quick pre-scan: candidates from stackTop − 4 down to stackBottom (stopping at the slot that
// holds currentAddr), dontKill for return slots of the frame-pointer chain.
std::vector<TPreStackItem> PreScanStack(const StackMemory& memory, Addr ebp, Addr stackTop, Addr stackBottom, bool isException,
                                        Addr currentAddr);

// True when a call instruction ends at address (the 8 bytes in front of it must be readable).
bool CallEndsAt(const CodeMemory& memory, Addr address);

// Adds a quality to a rating without overflowing into the flag bits that mark a reached end.
std::int64_t AddRating(std::int64_t quality, int exponent);

}  // namespace report
