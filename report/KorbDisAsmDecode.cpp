#include <cstring>

#include "platform/Text.h"
#include "report/KorbDisAsmDecode.h"

namespace report::detail {

using namespace optable;

namespace {

constexpr int kMaxLength = 15;

struct X87Form {
  const char* mn;
  Op a, b;
};

// x87 memory forms by opcode (D8..DF) and reg field.
constexpr X87Form kX87Mem[8][8] = {
    {{"fadd", Md, ONone},
     {"fmul", Md, ONone},
     {"fcom", Md, ONone},
     {"fcomp", Md, ONone},
     {"fsub", Md, ONone},
     {"fsubr", Md, ONone},
     {"fdiv", Md, ONone},
     {"fdivr", Md, ONone}},
    {{"fld", Md, ONone},
     {nullptr, ONone, ONone},
     {"fst", Md, ONone},
     {"fstp", Md, ONone},
     {"fldenv", M, ONone},
     {"fldcw", Mw, ONone},
     {"fnstenv", M, ONone},
     {"fnstcw", Mw, ONone}},
    {{"fiadd", Md, ONone},
     {"fimul", Md, ONone},
     {"ficom", Md, ONone},
     {"ficomp", Md, ONone},
     {"fisub", Md, ONone},
     {"fisubr", Md, ONone},
     {"fidiv", Md, ONone},
     {"fidivr", Md, ONone}},
    {{"fild", Md, ONone},
     {"fisttp", Md, ONone},
     {"fist", Md, ONone},
     {"fistp", Md, ONone},
     {nullptr, ONone, ONone},
     {"fld", Mt, ONone},
     {nullptr, ONone, ONone},
     {"fstp", Mt, ONone}},
    {{"fadd", Mq, ONone},
     {"fmul", Mq, ONone},
     {"fcom", Mq, ONone},
     {"fcomp", Mq, ONone},
     {"fsub", Mq, ONone},
     {"fsubr", Mq, ONone},
     {"fdiv", Mq, ONone},
     {"fdivr", Mq, ONone}},
    {{"fld", Mq, ONone},
     {"fisttp", Mq, ONone},
     {"fst", Mq, ONone},
     {"fstp", Mq, ONone},
     {"frstor", M, ONone},
     {nullptr, ONone, ONone},
     {"fnsave", M, ONone},
     {"fnstsw", Mw, ONone}},
    {{"fiadd", Mw, ONone},
     {"fimul", Mw, ONone},
     {"ficom", Mw, ONone},
     {"ficomp", Mw, ONone},
     {"fisub", Mw, ONone},
     {"fisubr", Mw, ONone},
     {"fidiv", Mw, ONone},
     {"fidivr", Mw, ONone}},
    {{"fild", Mw, ONone},
     {"fisttp", Mw, ONone},
     {"fist", Mw, ONone},
     {"fistp", Mw, ONone},
     {"fbld", Mt, ONone},
     {"fild", Mq, ONone},
     {"fbstp", Mt, ONone},
     {"fistp", Mq, ONone}},
};

X87Form X87Register(int opcode, int reg, int rm) {
  static constexpr const char* kArith[8] = {"fadd", "fmul", "fcom", "fcomp", "fsub", "fsubr", "fdiv", "fdivr"};
  static constexpr const char* kD9E0[16] = {"fchs", "fabs",   nullptr,  nullptr, "ftst",   "fxam",   nullptr, nullptr,
                                            "fld1", "fldl2t", "fldl2e", "fldpi", "fldlg2", "fldln2", "fldz",  nullptr};
  static constexpr const char* kD9F0[16] = {"f2xm1", "fyl2x",   "fptan", "fpatan",  "fxtract", "fprem1", "fdecstp", "fincstp",
                                            "fprem", "fyl2xp1", "fsqrt", "fsincos", "frndint", "fscale", "fsin",    "fcos"};
  static constexpr const char* kDCArith[8] = {"fadd", "fmul", nullptr, nullptr, "fsubr", "fsub", "fdivr", "fdiv"};
  static constexpr const char* kDEArith[8] = {"faddp", "fmulp", nullptr, nullptr, "fsubrp", "fsubp", "fdivrp", "fdivp"};
  static constexpr const char* kFcmov[8] = {"fcmovb", "fcmove", "fcmovbe", "fcmovu", "fcmovnb", "fcmovne", "fcmovnbe", "fcmovnu"};
  switch (opcode) {
    case 0xD8: return {kArith[reg], ST0, STi};
    case 0xD9:
      if (reg == 0) return {"fld", STi, ONone};
      if (reg == 1) return {"fxch", STi, ONone};
      if (reg == 2) return {rm == 0 ? "fnop" : nullptr, ONone, ONone};
      if (reg == 4 || reg == 5) return {kD9E0[(reg - 4) * 8 + rm], ONone, ONone};
      if (reg >= 6) return {kD9F0[(reg - 6) * 8 + rm], ONone, ONone};
      return {nullptr, ONone, ONone};
    case 0xDA:
      if (reg < 4) return {kFcmov[reg], ST0, STi};
      return {reg == 5 && rm == 1 ? "fucompp" : nullptr, ONone, ONone};
    case 0xDB:
      if (reg < 4) return {kFcmov[reg + 4], ST0, STi};
      if (reg == 4) {
        // The 8087 and 80287 mode switches are no-ops on later processors but still decode.
        static constexpr const char* kDBE0[8] = {"fneni", "fndisi", "fnclex", "fninit", "fnsetpm", nullptr, nullptr, nullptr};
        return {kDBE0[rm], ONone, ONone};
      }
      if (reg == 5) return {"fucomi", ST0, STi};
      if (reg == 6) return {"fcomi", ST0, STi};
      return {nullptr, ONone, ONone};
    case 0xDC: return {kDCArith[reg], STi, ST0};
    case 0xDD: {
      static constexpr const char* kDD[8] = {"ffree", nullptr, "fst", "fstp", "fucom", "fucomp", nullptr, nullptr};
      return {kDD[reg], STi, ONone};
    }
    case 0xDE:
      if (reg == 3) return {rm == 1 ? "fcompp" : nullptr, ONone, ONone};
      return {kDEArith[reg], STi, ST0};
    default:  // 0xDF
      if (reg == 0) return {"ffreep", STi, ONone};
      if (reg == 4 && rm == 0) return {"fnstsw", static_cast<Op>(RV + 0), ONone};
      if (reg == 5) return {"fucomip", ST0, STi};
      if (reg == 6) return {"fcomip", ST0, STi};
      return {nullptr, ONone, ONone};
  }
}

// Register forms of group 7 (0F 01 with mod 11): single instructions named by the whole byte.
const char* RegisterForm7(std::uint8_t modrm) {
  switch (modrm) {
    case 0xC1: return "vmcall";
    case 0xC2: return "vmlaunch";
    case 0xC3: return "vmresume";
    case 0xC4: return "vmxoff";
    case 0xC8: return "monitor";
    case 0xC9: return "mwait";
    case 0xCA: return "clac";
    case 0xCB: return "stac";
    case 0xD0: return "xgetbv";
    case 0xD1: return "xsetbv";
    case 0xD4: return "vmfunc";
    case 0xD5: return "xend";
    case 0xD6: return "xtest";
    case 0xF9: return "rdtscp";
    default: return nullptr;
  }
}

bool IsMemoryOnly(Op o) { return o == Ep || o == M || o == Mb || o == Mw || o == Md || o == Mq || o == Mt || o == Mx || o == Ma; }
bool IsRegisterOnly(Op o) { return o == Nq || o == Ux; }

class Cursor {
 public:
  Cursor(const std::uint8_t* bytes, int available) : bytes_(bytes), available_(available) {}
  bool Has(int n) const { return pos_ + n <= available_ && pos_ + n <= kMaxLength; }
  std::uint8_t Byte() { return bytes_[pos_++]; }
  std::uint32_t Unsigned(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(bytes_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  int Pos() const { return pos_; }

 private:
  const std::uint8_t* bytes_;
  int available_;
  int pos_ = 0;
};

std::int32_t SignExtend(std::uint32_t v, int bytes) {
  if (bytes == 1) return static_cast<std::int8_t>(v);
  if (bytes == 2) return static_cast<std::int16_t>(v);
  return static_cast<std::int32_t>(v);
}

int ImmediateSize(Op o, const Decoded& x) {
  switch (o) {
    case Ib:
    case Ibs:
    case Jb: return 1;
    case Iw: return 2;
    case Iz:
    case Iv:
    case Jz: return x.opsize16 ? 2 : 4;
    case Ob:
    case Ov: return x.addr16 ? 2 : 4;
    case Ap: return x.opsize16 ? 4 : 6;
    default: return 0;
  }
}

bool ReadModRm(Cursor& c, Decoded& x, bool forceRegister) {
  if (!c.Has(1)) return false;
  const std::uint8_t m = c.Byte();
  x.hasModRm = true;
  x.d.ModRmByte = m;
  x.mod = m >> 6;
  x.reg = (m >> 3) & 7;
  x.rm = m & 7;
  if (forceRegister) x.mod = 3;
  if (x.mod == 3) return true;
  int dispSize = 0;
  if (x.addr16) {
    if (x.mod == 0 && x.rm == 6) {
      dispSize = 2;
      x.noBase = true;
    } else if (x.mod == 1) {
      dispSize = 1;
    } else if (x.mod == 2) {
      dispSize = 2;
    }
  } else {
    if (x.rm == 4) {
      if (!c.Has(1)) return false;
      const std::uint8_t sib = c.Byte();
      x.hasSib = true;
      x.scale = sib >> 6;
      x.index = (sib >> 3) & 7;
      x.base = sib & 7;
      if (x.base == 5 && x.mod == 0) {
        dispSize = 4;
        x.noBase = true;
      }
    } else if (x.rm == 5 && x.mod == 0) {
      dispSize = 4;
      x.noBase = true;
    }
    if (x.mod == 1) dispSize = 1;
    if (x.mod == 2) dispSize = 4;
  }
  if (dispSize) {
    if (!c.Has(dispSize)) return false;
    x.disp = SignExtend(c.Unsigned(dispSize), dispSize);
    x.dispSize = static_cast<std::uint8_t>(dispSize);
  }
  return true;
}

void Use(Decoded& x, const Entry& e) {
  x.mn = e.mn;
  for (int i = 0; i < 3; ++i) x.op[i] = e.op[i];
  x.flags = e.flags;
  x.implicit = e.implicit;
}

// Decodes from the bytes; false for an undefined opcode or bytes that end too early.
bool DecodeBytes(const std::uint8_t* bytes, int available, Decoded& x) {
  Cursor c(bytes, available);
  bool sawF2 = false, sawF3 = false;
  int lastRep = 0;
  for (bool prefix = true; prefix;) {
    if (!c.Has(1)) return false;
    const std::uint8_t b = bytes[c.Pos()];
    switch (b) {
      case 0x26: x.seg = 1; break;
      case 0x2E: x.seg = 2; break;
      case 0x36: x.seg = 3; break;
      case 0x3E: x.seg = 4; break;
      case 0x64: x.seg = 5; break;
      case 0x65: x.seg = 6; break;
      case 0x66: x.opsize16 = true; break;
      case 0x67: x.addr16 = true; break;
      case 0xF0: x.lock = true; break;
      case 0xF2:
        sawF2 = true;
        lastRep = 0xF2;
        break;
      case 0xF3:
        sawF3 = true;
        lastRep = 0xF3;
        break;
      default: prefix = false; continue;
    }
    c.Byte();
  }
  const std::uint8_t first = c.Byte();
  const Entry* e = &kOneByte[first];
  x.opcode = first;
  bool twoByte = false;
  if (first == 0x0F) {
    if (!c.Has(1)) return false;
    const std::uint8_t second = c.Byte();
    twoByte = true;
    x.opcode = static_cast<std::uint16_t>(0x0F00 + second);
    e = &kTwoByte[second];
    if (e->flags & (kEscape38 | kEscape3A)) {
      if (!c.Has(1)) return false;
      const std::uint8_t third = c.Byte();
      const bool is38 = e->flags & kEscape38;
      if (is38 && lastRep == 0xF2 && (third == 0xF0 || third == 0xF1)) {
        static constexpr Entry kCrc32b = {"crc32", {Gd, Eb, ONone}, kModRm, 0, 0};
        static constexpr Entry kCrc32v = {"crc32", {Gd, Ev, ONone}, kModRm, 0, 0};
        e = third == 0xF0 ? &kCrc32b : &kCrc32v;
        sawF2 = false;
      } else if (lastRep) {
        return false;
      } else if (is38) {
        e = x.opsize16 ? &kThree38x66[third] : &kThree38[third];
      } else if (x.opsize16) {
        e = &kThree3Ax66[third];
      } else {
        static constexpr Entry kPalignr = {"palignr", {Pq, Qq, Ib}, kModRm, 0, 0};
        if (third != 0x0F) return false;
        e = &kPalignr;
      }
      if (x.opsize16 && !(e->op[0] == Gv || e->op[1] == Gv)) x.opsize16 = false;
    } else if (e->flags & kSse) {
      // A mandatory prefix selects the instruction and is not a prefix of its own any more.
      if (lastRep == 0xF3) {
        e = &kTwoByteF3[second];
        sawF3 = false;
      } else if (lastRep == 0xF2) {
        e = &kTwoByteF2[second];
        sawF2 = false;
      } else if (x.opsize16) {
        e = &kTwoByte66[second];
        if (second != 0xBC && second != 0xBD) x.opsize16 = false;
      }
    }
  }
  x.d.Instruction = x.opcode;
  if (!e->mn && !(e->flags & (kGroup | kX87))) return false;
  Use(x, *e);

  if (x.flags & kModRm) {
    const bool forceRegister = twoByte && (x.opcode >= 0x0F20 && x.opcode <= 0x0F23);
    if (!ReadModRm(c, x, forceRegister)) return false;
  }

  if (x.flags & kX87) {
    if (x.mod != 3) {
      const X87Form& f = kX87Mem[first - 0xD8][x.reg];
      if (!f.mn) return false;
      x.mn = f.mn;
      x.op[0] = f.a;
      x.op[1] = ONone;
      x.flags = kModRm | kX87;
      if (first == 0xDF && x.reg == 7) x.flags |= kNoWrite;
    } else {
      const X87Form f = X87Register(first, x.reg, x.rm);
      if (!f.mn) return false;
      x.mn = f.mn;
      x.op[0] = f.a;
      x.op[1] = f.b;
      x.flags = kModRm | kX87 | kNoWrite;
      if (first == 0xDF && x.reg == 4) x.flags = kModRm | kX87, x.implicit = kEax;
    }
  } else if (x.flags & kGroup) {
    const std::uint8_t group = e->group;
    const Entry* g = &kGroups[group][x.reg];
    if (group == kGroup7 && x.mod == 3) {
      if (x.reg == 4 || x.reg == 6) {
        Use(x, *g);
      } else {
        const char* mn = RegisterForm7(x.d.ModRmByte);
        if (!mn) return false;
        x.mn = mn;
        x.op[0] = ONone;
        x.flags = kModRm | kNoWrite;
        x.implicit = (x.d.ModRmByte == 0xD0 || x.d.ModRmByte == 0xF9) ? kEax | kEdx | (x.d.ModRmByte == 0xF9 ? kEcx : 0) : 0;
      }
    } else if (group == kGroup9) {
      if (x.mod == 3) {
        if (x.reg != 6 && x.reg != 7) return false;
        static constexpr Entry kRdrand = {"rdrand", {Ev, ONone, ONone}, kModRm, 0, 0};
        static constexpr Entry kRdseed = {"rdseed", {Ev, ONone, ONone}, kModRm, 0, 0};
        Use(x, x.reg == 6 ? kRdrand : kRdseed);
      } else if (x.reg == 6 && (x.opsize16 || lastRep == 0xF3)) {
        static constexpr Entry kVmclear = {"vmclear", {Mq, ONone, ONone}, kModRm | kNoWrite, 0, 0};
        static constexpr Entry kVmxon = {"vmxon", {Mq, ONone, ONone}, kModRm | kNoWrite, 0, 0};
        Use(x, lastRep == 0xF3 ? kVmxon : kVmclear);
        if (lastRep == 0xF3) sawF3 = false;
        x.opsize16 = false;
      } else {
        if (!g->mn) return false;
        Use(x, *g);
      }
    } else if (group == kGroup15 && x.mod == 3) {
      if (lastRep) return false;
      static constexpr const char* kFences[8] = {nullptr, nullptr, nullptr, nullptr, nullptr, "lfence", "mfence", "sfence"};
      if (!kFences[x.reg] || x.rm != 0) return false;
      x.mn = kFences[x.reg];
      x.op[0] = ONone;
      x.flags = kModRm | kNoWrite;
    } else if (group == kGroup12 || group == kGroup13 || group == kGroup14) {
      if (x.opsize16 && group == kGroup14 && (x.reg == 3 || x.reg == 7)) {
        static constexpr Entry kPsrldq = {"psrldq", {Ux, Ib, ONone}, kModRm, 0, 0};
        static constexpr Entry kPslldq = {"pslldq", {Ux, Ib, ONone}, kModRm, 0, 0};
        Use(x, x.reg == 3 ? kPsrldq : kPslldq);
      } else {
        if (!g->mn || lastRep) return false;
        Use(x, *g);
        if (x.opsize16) x.op[0] = Ux;
      }
      x.opsize16 = false;
    } else if ((group == kGroup11b || group == kGroup11v) && x.reg == 7 && x.mod == 3 && x.rm == 0) {
      static constexpr Entry kXabort = {"xabort", {Ib, ONone, ONone}, kModRm | kNoWrite, kEax, 0};
      static constexpr Entry kXbegin = {"xbegin", {Jz, ONone, ONone}, kModRm | kNoWrite, kEax, 0};
      Use(x, group == kGroup11b ? kXabort : kXbegin);
    } else {
      if (!g->mn) return false;
      const Entry main = *e;
      Use(x, *g);
      if (g->op[0] == ONone) {
        for (int i = 0; i < 3; ++i) x.op[i] = main.op[i];
      }
    }
  } else if (twoByte && x.mod == 3 && x.hasModRm && !lastRep && !x.opsize16 && (x.opcode == 0x0F12 || x.opcode == 0x0F16) &&
             x.op[0] == Vx) {
    x.mn = x.opcode == 0x0F12 ? "movhlps" : "movlhps";
    x.op[1] = Ux;
  }
  if (!x.mn) return false;

  for (Op o : x.op) {
    if (o == ONone) break;
    if (IsMemoryOnly(o) && x.mod == 3) return false;
    if (IsRegisterOnly(o) && x.mod != 3) return false;
    if (o == Sw && x.reg > 5) return false;
  }

  // Immediates, in operand order.
  for (Op o : x.op) {
    const int n = ImmediateSize(o, x);
    if (!n) continue;
    if (!c.Has(n)) return false;
    if (o == Ap) {
      x.imm = c.Unsigned(x.opsize16 ? 2 : 4);
      x.farSeg = static_cast<std::uint16_t>(c.Unsigned(2));
      x.immSize = static_cast<std::uint8_t>(x.opsize16 ? 2 : 4);
    } else if (x.immSize == 0) {
      x.imm = c.Unsigned(n);
      x.immSize = static_cast<std::uint8_t>(n);
    } else {
      x.imm2 = c.Unsigned(n);
    }
  }
  x.rep = sawF3 && lastRep == 0xF3;
  x.repne = sawF2 && lastRep == 0xF2;
  x.d.Following = x.d.Start + static_cast<Addr>(c.Pos());
  x.d.Valid = true;
  return true;
}

// Position of the first immediate byte: the instruction end minus the immediates' sizes.
Addr ImmediateAddress(const Decoded& x) {
  int total = 0;
  for (Op o : x.op) total += ImmediateSize(o, x);
  return x.d.Following - static_cast<Addr>(total);
}

}  // namespace

std::uint32_t ReadDword(const CodeMemory& memory, Addr address, bool& ok) {
  std::uint8_t b[4];
  ok = memory.Read(address, b, 4) == 4;
  return ok ? static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<std::uint32_t>(b[3]) << 24 : 0;
}

void Decode(const CodeMemory& memory, Addr address, Decoded& x) {
  x = Decoded{};
  x.d.Start = address;
  std::uint8_t bytes[kMaxLength + 1];
  const int available = static_cast<int>(memory.Read(address, bytes, kMaxLength));
  if (!DecodeBytes(bytes, available, x)) {
    const Decoded keep = x;
    x = Decoded{};
    x.d.Start = address;
    x.d.Instruction = keep.d.Instruction;
    x.d.ModRmByte = keep.d.ModRmByte;
    x.d.Following = address + 1;
    return;
  }
  TDecodedInstruction& d = x.d;
  d.Call = x.flags & kCall;
  d.Jump = x.flags & kJump;
  if (!d.Call && !d.Jump) return;
  const Op target = x.op[0];
  if (target == Jb || target == Jz) {
    const int n = ImmediateSize(target, x);
    d.RelTarget = true;
    d.PTarget = ImmediateAddress(x);
    d.TargetBytes = static_cast<std::uint32_t>(n);
    d.Target = d.Following + static_cast<Addr>(SignExtend(x.imm, n));
    if (x.opsize16) d.Target &= 0xFFFF;
    x.shownTarget = d.Target;
    d.Widenable = (x.opcode == 0xEB || (x.opcode >= 0x70 && x.opcode <= 0x7F));
  } else if (target == Ap) {
    d.PTarget = ImmediateAddress(x);
    d.TargetBytes = x.immSize;
    d.Target = x.imm;
  } else if (x.mod != 3 && x.noBase && !x.hasSib && !x.addr16 && (x.seg == 0 || x.seg <= 4)) {
    d.PPTarget = static_cast<Addr>(x.disp);
    d.TargetBytes = 4;
    d.Target = ReadDword(memory, d.PPTarget);
    if (x.opsize16 && !(x.flags & kFar)) d.Target &= 0xFFFF;
  }
}

void FinishTargets(Decoded& x, const TRegisters* registers) {
  TDecodedInstruction& d = x.d;
  if (!d.Valid || !(d.Call || d.Jump)) return;
  if (registers && x.mod == 3 && (x.op[0] == Ev) && !x.opsize16) d.Target = (*registers)[x.rm];
  if (d.Target == d.Following && (d.PTarget || d.PPTarget || d.Target)) {
    d.Call = d.Jump = false;
    d.Target = d.PTarget = d.PPTarget = 0;
    d.TargetBytes = 0;
    d.Widenable = false;
  }
}

bool TrackRegisters(const Decoded& x, TRegisters& r) {
  const TRegisters before = r;
  if (!x.d.Valid) return false;
  std::uint8_t written = x.implicit;
  const auto reg32 = [&](Op o) -> int {
    // Register number that operand o names when it is a general register, else -1.
    if (IsFixed8(o)) return (o - R8) & 3;
    if (IsFixedV(o)) return o - RV;
    if (o == Gb) return x.reg & 3;
    if (o == Gw || o == Gd || o == Gv) return x.reg;
    if (o == Rd) return x.rm;
    if ((o == Eb) && x.mod == 3) return x.rm & 3;
    if ((o == Ew || o == Ed || o == Ev) && x.mod == 3) return x.rm;
    return -1;
  };
  if (!(x.flags & kNoWrite)) {
    const int dest = reg32(x.op[0]);
    if (dest >= 0) written |= static_cast<std::uint8_t>(1u << dest);
  }
  if (x.flags & kBothWrite) {
    const int other = reg32(x.op[1]);
    if (other >= 0) written |= static_cast<std::uint8_t>(1u << other);
  }
  if ((x.flags & kStr) && (x.rep || x.repne)) written |= kEcx;
  if (x.flags & kCall) written |= kEax | kEcx | kEdx;  // the callee may change them
  const std::uint16_t op = x.opcode;
  const bool full = !x.opsize16;
  if (op >= 0xB8 && op <= 0xBF && full) {
    for (int i = 0; i < 8; ++i)
      if (written & (1u << i)) r[i] = 0;
    r[op - 0xB8] = x.imm;
  } else if (op == 0xC7 && x.mod == 3 && x.reg == 0 && full) {
    r[x.rm] = x.imm;
  } else if (op == 0x8B && x.mod == 3 && full) {
    r[x.reg] = r[x.rm];
  } else {
    for (int i = 0; i < 8; ++i)
      if (written & (1u << i)) r[i] = 0;
  }
  return r != before;
}

std::string Number(std::uint32_t value) {
  if (value <= 9) return std::string(1, static_cast<char>('0' + value));
  int digits = 2;
  while (digits < 8 && (value >> (4 * digits)) != 0) digits += 2;
  return "$" + platform::HexDigits(value, static_cast<std::size_t>(digits));
}

namespace {

constexpr const char* kReg32[8] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"};
constexpr const char* kReg16[8] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"};
constexpr const char* kReg8[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
constexpr const char* kSeg[6] = {"es", "cs", "ss", "ds", "fs", "gs"};
constexpr const char* kBase16[8] = {"bx+si", "bx+di", "bp+si", "bp+di", "si", "di", "bp", "bx"};

std::string Signed(std::int32_t v) {
  if (v < 0) return "-" + Number(0u - static_cast<std::uint32_t>(v));
  return "+" + Number(static_cast<std::uint32_t>(v));
}

const char* SizeName(Op o, const Decoded& x) {
  switch (o) {
    case Eb:
    case Mb: return "byte";
    case Ew:
    case Mw: return "word";
    case Ed:
    case Md:
    case Qd:
    case Wd: return "dword";
    case Ev: return x.opsize16 ? "word" : "dword";
    case Ep: return x.opsize16 ? "dword" : "fword";
    case Mq:
    case Qq:
    case Wq:
    case Ma: return "qword";
    case Mt: return "tbyte";
    case Mx:
    case Wx: return "xmmword";
    default: return nullptr;
  }
}

std::string MemoryText(Op o, const Decoded& x) {
  std::string s;
  if (const char* size = SizeName(o, x)) {
    s += size;
    s += " ptr ";
  }
  if (x.seg) {
    s += kSeg[x.seg - 1];
    s += ':';
  }
  s += '[';
  std::string inner;
  if (x.addr16) {
    if (!x.noBase) inner = kBase16[x.rm];
  } else {
    if (x.hasSib) {
      if (!x.noBase) inner = kReg32[x.base];
      if (x.index != 4) {
        if (!inner.empty()) inner += '+';
        inner += kReg32[x.index];
        if (x.scale) inner += "*" + std::to_string(1 << x.scale);
      }
    } else if (!x.noBase) {
      inner = kReg32[x.rm];
    }
  }
  if (inner.empty()) {
    inner = Number(x.addr16 ? static_cast<std::uint16_t>(x.disp) : static_cast<std::uint32_t>(x.disp));
  } else if (x.dispSize && x.disp != 0) {
    inner += Signed(x.disp);
  }
  s += inner;
  s += ']';
  return s;
}

std::string OneOperand(Op o, const Decoded& x) {
  const bool reg = x.mod == 3;
  switch (o) {
    case Eb: return reg ? kReg8[x.rm] : MemoryText(o, x);
    case Ew: return reg ? kReg16[x.rm] : MemoryText(o, x);
    case Ed: return reg ? kReg32[x.rm] : MemoryText(o, x);
    case Ev: return reg ? (x.opsize16 ? kReg16[x.rm] : kReg32[x.rm]) : MemoryText(o, x);
    case Ep:
    case M:
    case Mb:
    case Mw:
    case Md:
    case Mq:
    case Mt:
    case Mx:
    case Ma: return MemoryText(o, x);
    case Gb: return kReg8[x.reg];
    case Gw: return kReg16[x.reg];
    case Gd: return kReg32[x.reg];
    case Gv: return x.opsize16 ? kReg16[x.reg] : kReg32[x.reg];
    case Sw: return kSeg[x.reg];
    case Cd: return "cr" + std::to_string(x.reg);
    case Dd: return "dr" + std::to_string(x.reg);
    case Rd: return kReg32[x.rm];
    case Ib: return Number(x.imm & 0xFF);
    case Ibs: {
      const std::uint32_t v = static_cast<std::uint32_t>(static_cast<std::int8_t>(x.imm));
      return Number(x.opsize16 ? (v & 0xFFFF) : v);
    }
    case Iw: return Number(x.imm & 0xFFFF);
    case Iz:
    case Iv: return Number(x.imm);
    case Jb:
    case Jz: {
      const std::int32_t distance = static_cast<std::int32_t>(x.shownTarget - x.d.Start);
      return Signed(distance) + " ($" + platform::Hex8(x.shownTarget) + ")";
    }
    case Ap: return Number(x.farSeg) + ":" + Number(x.imm);
    case Ob:
    case Ov: {
      std::string s = o == Ob ? "byte ptr " : (x.opsize16 ? "word ptr " : "dword ptr ");
      if (x.seg) s += std::string(kSeg[x.seg - 1]) + ":";
      return s + "[" + Number(x.imm) + "]";
    }
    case One: return "1";
    case RCL: return "cl";
    case RDX: return "dx";
    case Pq: return "mm" + std::to_string(x.reg);
    case Nq: return "mm" + std::to_string(x.rm);
    case Qq:
    case Qd: return reg ? "mm" + std::to_string(x.rm) : MemoryText(o, x);
    case Vx: return "xmm" + std::to_string(x.reg);
    case Ux: return "xmm" + std::to_string(x.rm);
    case Wx:
    case Wq:
    case Wd: return reg ? "xmm" + std::to_string(x.rm) : MemoryText(o, x);
    case ST0: return "st";
    case STi: return "st(" + std::to_string(x.rm) + ")";
    default:
      if (IsFixed8(o)) return kReg8[o - R8];
      if (IsFixedV(o)) return x.opsize16 ? kReg16[o - RV] : kReg32[o - RV];
      if (IsFixedSeg(o)) return kSeg[o - SEG];
      return "?";
  }
}

}  // namespace

std::string MnemonicText(const Decoded& x) {
  std::string s = x.lock ? "lock " : "";
  // A repeat prefix that did not select a two-byte instruction is shown where it stands on a
  // one-byte one, be it a string instruction or "rep ret".
  if (x.opcode < 0x100 && x.repne) s += "repne ";
  if (x.opcode < 0x100 && x.rep) s += "rep ";
  const char* bar = std::strchr(x.mn, '|');
  if (!bar) return s + x.mn;
  return x.opsize16 ? s + (bar + 1) : s + std::string(x.mn, bar);
}

std::string OperandText(const Decoded& x) {
  std::string s;
  bool firstImm = true;
  for (int i = 0; i < 3 && x.op[i] != ONone; ++i) {
    if (i) s += ", ";
    const Op o = x.op[i];
    if (o == Ib || o == Iw) {
      // The first immediate in operand order is imm, a second one imm2 (enter, extrq-like forms).
      s += firstImm ? (o == Ib ? Number(x.imm & 0xFF) : Number(x.imm & 0xFFFF)) : Number(x.imm2);
      firstImm = false;
      continue;
    }
    if (o == Ibs || o == Iz || o == Iv) firstImm = false;
    s += OneOperand(o, x);
  }
  return s;
}

}  // namespace report::detail
