#pragma once
// The IA-32 code analyser and disassembler: decodes single instructions, follows every path of a
// function from its entry without leaving it, and renders an analysed function as assembly text.
//
// Pure logic: memory and module facts come through CodeMemory, routine names and source lines
// through DebugNames, so that the whole unit runs natively on memory images (tests, fuzzing,
// benchmarks) and under Windows on the live process (KorbDisAsm_win.h). Addresses are 32-bit
// everywhere, also on a 64-bit host.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace report {

using Addr = std::uint32_t;

// A loaded module as the analyser needs it.
struct ModuleInfo {
  Addr base = 0;
  Addr imageEnd = 0;     // base + SizeOfImage
  Addr rangeBegin = 0;   // the range the analysis may not leave (code, widened by the data)
  Addr rangeEnd = 0;     // exclusive
  std::string fileName;  // without folder
  bool own = false;      // the module that holds this component
};

// Reading code and learning about modules. Implementations must not throw for unreadable memory.
class CodeMemory {
 public:
  virtual ~CodeMemory() = default;
  // Copies up to count bytes from address into dest; returns how many leading bytes were readable.
  virtual std::size_t Read(Addr address, void* dest, std::size_t count) const = 0;
  // The module image that contains address.
  virtual bool ModuleAt(Addr address, ModuleInfo& module) const = 0;
  // The committed region that contains address; false when the address is not committed.
  virtual bool RegionAt(Addr address, Addr& begin, Addr& end) const = 0;
  // The name under which a module exports exactly this address, "" when none does.
  virtual std::string ExportName(Addr address) const = 0;
  // The system's message text for an error code.
  virtual std::string SystemErrorText(std::uint32_t code) const;
};

// Routine names and source lines from debug information.
class DebugNames {
 public:
  virtual ~DebugNames() = default;
  // Name of the routine that starts at address, "" when none is known.
  virtual std::string ProcNameOfAddress(Addr address) const = 0;
  // Source line of the code at address, 0 when none is known.
  virtual int LineOfAddress(Addr address) const = 0;
};

// Module range from the image headers at base (the first code section, extended by the second
// when that is code too, else the optional header's code range; widened by the data range).
bool ModuleRangeFromHeaders(const CodeMemory& memory, Addr base, ModuleInfo& module);

// A flat memory image at a base address, optionally described as one module: what the tests,
// the fuzz target and the benchmarks analyse. Reading outside the image gives nothing.
class MemoryImage : public CodeMemory {
 public:
  MemoryImage(Addr base, std::vector<std::uint8_t> bytes) : base_(base), bytes_(std::move(bytes)) {}
  // Makes the image a module whose analysis range is [rangeBegin, rangeEnd).
  void SetModule(std::string fileName, Addr rangeBegin, Addr rangeEnd, bool own);
  void AddExport(Addr address, std::string name) { exports_[address] = std::move(name); }
  Addr Base() const { return base_; }
  Addr End() const { return base_ + static_cast<Addr>(bytes_.size()); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

  std::size_t Read(Addr address, void* dest, std::size_t count) const override;
  bool ModuleAt(Addr address, ModuleInfo& module) const override;
  bool RegionAt(Addr address, Addr& begin, Addr& end) const override;
  std::string ExportName(Addr address) const override;

 private:
  Addr base_;
  std::vector<std::uint8_t> bytes_;
  bool isModule_ = false;
  ModuleInfo module_;
  std::map<Addr, std::string> exports_;
};

// ---------------------------------------------------------------------------------------------
// Decoding

struct TDecodedInstruction {
  bool Valid = false;
  std::uint16_t Instruction = 0;  // opcode byte, 0x0F00 + second byte for two-byte opcodes
  std::uint8_t ModRmByte = 0;
  bool Call = false;
  bool Jump = false;
  bool RelTarget = false;
  Addr Target = 0;
  Addr PTarget = 0;
  Addr PPTarget = 0;
  std::uint32_t TargetBytes = 0;
  bool Widenable = false;
  Addr Start = 0;
  Addr Following = 0;
};

// Known register values in encoding order (EAX, ECX, EDX, EBX, ESP, EBP, ESI, EDI); 0 = unknown.
using TRegisters = std::array<std::uint32_t, 8>;

TDecodedInstruction DecodeInstruction(const CodeMemory& memory, Addr address, TRegisters* registers = nullptr, bool trackRegisters = false);

// One instruction as assembly text: mnemonic and operands in Intel order, without address and
// comment (empty for an invalid instruction).
std::string InstructionText(const CodeMemory& memory, Addr address);

// ---------------------------------------------------------------------------------------------
// Function analysis

struct TCodeArea {
  Addr AreaBegin = 0;
  Addr AreaEnd = 0;  // inclusive; 0 while the area is not parsed
  bool CaseBlock = false;
  bool OnExceptBlock = false;
  Addr CalledFrom = 0;
  TRegisters Registers{};
};

struct TFarCall {
  bool Call = false;
  Addr CodeAddr1 = 0;
  Addr CodeAddr2 = 0;
  Addr Target = 0;
  bool RelTarget = false;
  Addr PTarget = 0;
  Addr PPTarget = 0;
};

struct TUnknownTarget {
  bool Call = false;
  Addr CodeAddr1 = 0;
  Addr CodeAddr2 = 0;
};

struct TFunctionCopy {
  bool IsValid = false;
  std::uint32_t BufferLen = 0;
  Addr LastErrorAddr = 0;
  std::uint32_t LastErrorNo = 0;
  std::string LastErrorStr;
};

struct TFunctionInfo {
  bool IsValid = false;
  Addr EntryPoint = 0;
  Addr CodeBegin = 0;
  std::uint32_t CodeLen = 0;
  Addr LastErrorAddr = 0;
  std::uint32_t LastErrorNo = 0;
  std::string LastErrorStr;
  std::vector<TCodeArea> CodeAreas;
  std::vector<TFarCall> FarCalls;
  std::vector<TUnknownTarget> UnknownTargets;
  bool Interceptable = false;
  TFunctionCopy Copy;
};

// Addresses of the runtime routines the analysis treats specially; 0 = none.
struct RuntimeRoutines {
  Addr HandleAnyException = 0;
  Addr HandleOnException = 0;
  Addr HandleAutoException = 0;
  Addr HandleFinally = 0;
  Addr Halt0 = 0;
  // Further routines that never return (the C++ throw, the unwinder's resume, abort): a compiler
  // puts no return after a call to one, so the next function follows at once.
  std::vector<Addr> NoReturn;
};

inline constexpr std::uint32_t kInvalidCodeError = 0x770001;
inline constexpr std::uint32_t kInvalidParameterError = 87;

TFunctionInfo AnalyseFunction(const CodeMemory& memory, Addr entryPoint, const RuntimeRoutines& routines = {});

// True when an instruction of the analysed function starts at address, or address is the
// return address of one of its calls.
bool IsInstructionPosition(const CodeMemory& memory, const TFunctionInfo& info, Addr address);

// ---------------------------------------------------------------------------------------------
// Disassembly text

// The function at functionStart as assembly text (CR LF line ends), markedAddress marked with ">".
// formatted adds labels, blank and separator lines; limit > 0 keeps that many lines around the
// mark. names may be null (export names only, no line numbers). info receives the analysis.
std::string GetCleartextDisAsm(const CodeMemory& memory, const DebugNames* names, Addr functionStart, Addr markedAddress, bool formatted,
                               int limit, TFunctionInfo& info);

}  // namespace report
