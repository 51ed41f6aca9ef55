#pragma once
// The IA-32 opcode tables of the decoder (KorbDisAsm.cpp): their entry types here, their contents
// in KorbDisAsmTables.cpp, built at compile time so that the crash path finds them ready without any start-up work.

#include <array>
#include <cstdint>

namespace report::optable {

// Operand kinds, named after the conventional opcode-map notation: E = ModR/M r/m (register or
// memory), G = ModR/M reg, M = memory only, I = immediate, J = relative target, O = absolute
// offset, P/Q/N = MMX, V/W/U = SSE, b/w/d/q/v/z = byte, word, dword, qword, operand size, operand
// size but at most 32 bits.
enum Op : std::uint8_t {
  ONone,
  Eb, Ew, Ed, Ev, Ep, M, Mb, Mw, Md, Mq, Mt, Mx, Ma,
  Gb, Gw, Gd, Gv,
  Sw, Cd, Dd, Rd,
  Ib, Ibs, Iw, Iz, Iv,
  Jb, Jz, Ap, Ob, Ov,
  One, RCL, RDX,
  Pq, Qq, Qd, Nq, Vx, Wx, Wq, Wd, Ux,
  ST0, STi,
  R8 = 0x80,   // + register number: fixed 8-bit register
  RV = 0x90,   // + register number: fixed register of operand size
  SEG = 0xA0,  // + segment number
};

inline constexpr bool IsFixed8(Op o) { return o >= R8 && o < R8 + 8; }
inline constexpr bool IsFixedV(Op o) { return o >= RV && o < RV + 8; }
inline constexpr bool IsFixedSeg(Op o) { return o >= SEG && o < SEG + 6; }

enum Flag : std::uint16_t {
  kNoWrite = 1 << 0,    // the first operand is only read
  kCall = 1 << 1,
  kJump = 1 << 2,
  kUncond = 1 << 3,     // unconditional jump: the path does not go on
  kRet = 1 << 4,
  kGroup = 1 << 5,      // meaning from the ModR/M reg field
  kSse = 1 << 6,        // meaning from the mandatory prefix (none, 66, F3, F2)
  kBothWrite = 1 << 7,  // both operands are written (xchg, xadd)
  kModRm = 1 << 8,
  kStr = 1 << 9,        // string instruction: rep/repne shown, ESI/EDI (and ECX with rep) change
  kX87 = 1 << 10,
  kEscape38 = 1 << 11,
  kEscape3A = 1 << 12,
  kPrefix = 1 << 13,
  kFar = 1 << 14,       // far call/jump through memory (m16:32)
};

struct Entry {
  const char* mn = nullptr;  // null = undefined; "a|b": a with 32-bit, b with 16-bit operand size
  Op op[3] = {ONone, ONone, ONone};
  std::uint16_t flags = 0;
  std::uint8_t implicit = 0;  // registers written besides the operands, one bit per register
  std::uint8_t group = 0;
};

enum Reg : std::uint8_t { kEax = 1, kEcx = 2, kEdx = 4, kEbx = 8, kEsp = 16, kEbp = 32, kEsi = 64, kEdi = 128 };

using Table = std::array<Entry, 256>;

// Group numbers.
enum GroupNo : std::uint8_t {
  kGroup1 = 1, kGroup1a, kGroup2, kGroup3b, kGroup3v, kGroup4, kGroup5, kGroup6, kGroup7, kGroup8, kGroup9, kGroup10,
  kGroup11b, kGroup11v, kGroup12, kGroup13, kGroup14, kGroup15, kGroup16, kGroupPrefetch3dn, kGroupCount
};

// Group members by reg field; an entry without operands takes the opcode's own.
using GroupTable = std::array<std::array<Entry, 8>, kGroupCount>;

// The tables, filled at compile time in KorbDisAsmTables.cpp.
extern const Table kOneByte, kTwoByte, kTwoByte66, kTwoByteF3, kTwoByteF2, kThree38, kThree38x66, kThree3Ax66;
extern const GroupTable kGroups;

}  // namespace report::optable
