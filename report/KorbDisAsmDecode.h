#pragma once
// The decoder's full result, shared by the analyser and the text renderer of KorbDisAsm.

#include <string>

#include "report/KorbDisAsm.h"
#include "report/KorbDisAsmTables.h"

namespace report::detail {

struct Decoded {
  TDecodedInstruction d;
  const char* mn = nullptr;
  optable::Op op[3] = {optable::ONone, optable::ONone, optable::ONone};
  std::uint16_t flags = 0;
  std::uint8_t implicit = 0;
  bool opsize16 = false;
  bool addr16 = false;
  bool lock = false;
  bool rep = false;      // F3 shown as "rep"
  bool repne = false;    // F2 shown as "repne"
  std::uint8_t seg = 0;  // 0 none, else segment number + 1
  bool hasModRm = false;
  std::uint8_t mod = 0, reg = 0, rm = 0;
  bool hasSib = false;
  std::uint8_t scale = 0, index = 4, base = 0;
  bool noBase = false;  // memory operand without base register (displacement only or index only)
  std::int32_t disp = 0;
  std::uint8_t dispSize = 0;
  std::uint32_t imm = 0, imm2 = 0;
  std::uint8_t immSize = 0;
  std::uint16_t farSeg = 0;
  Addr shownTarget = 0;      // a relative target, kept for the text also where the decoding drops it
  std::uint16_t opcode = 0;  // as in TDecodedInstruction::Instruction, 0x0F38xx / 0x0F3Axx for three-byte ones
};

// The little-endian dword at address; ok tells whether all four bytes could be read (0 if not).
std::uint32_t ReadDword(const CodeMemory& memory, Addr address, bool& ok);
inline std::uint32_t ReadDword(const CodeMemory& memory, Addr address) {
  bool ok;
  return ReadDword(memory, address, ok);
}

// Decodes the instruction at address; reads through memory. registers may be null.
void Decode(const CodeMemory& memory, Addr address, Decoded& out);
// Applies the instruction's effect on known register values; true when a value changed.
bool TrackRegisters(const Decoded& in, TRegisters& registers);
// Resolves a register-indirect target from known register values and clears a call to the next
// instruction, as DecodeInstruction does.
void FinishTargets(Decoded& in, const TRegisters* registers);

// "$" and lower-case hexadecimal with an even number of digits; 0 to 9 in decimal.
std::string Number(std::uint32_t value);
// The lock and repeat prefixes and the mnemonic: "rep movsd", "lock xadd", "rep ret".
std::string MnemonicText(const Decoded& in);
// The operands in Intel order, separated by ", ".
std::string OperandText(const Decoded& in);

}  // namespace report::detail
