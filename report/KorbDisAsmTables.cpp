#include "report/KorbDisAsmTables.h"

namespace report::optable {
namespace {

constexpr bool UsesModRm(const Entry& e) {
  if (e.flags & (kGroup | kX87)) return true;
  for (Op o : e.op) {
    switch (o) {
      case Eb: case Ew: case Ed: case Ev: case Ep: case M: case Mb: case Mw: case Md: case Mq: case Mt: case Mx: case Ma:
      case Gb: case Gw: case Gd: case Gv: case Sw: case Cd: case Dd: case Rd:
      case Pq: case Qq: case Qd: case Nq: case Vx: case Wx: case Wq: case Wd: case Ux:
        return true;
      default:
        break;
    }
  }
  return false;
}

struct Builder {
  Table t{};
  constexpr void Set(int code, const char* mn, Op a = ONone, Op b = ONone, Op c = ONone, std::uint16_t flags = 0,
                     std::uint8_t implicit = 0) {
    Entry& e = t[code];
    e.mn = mn;
    e.op[0] = a;
    e.op[1] = b;
    e.op[2] = c;
    e.flags = flags;
    e.implicit = implicit;
    if (UsesModRm(e)) e.flags |= kModRm;
  }
  constexpr void Group(int code, int group, Op a = ONone, Op b = ONone) {
    Set(code, "", a, b, ONone, kGroup);
    t[code].group = static_cast<std::uint8_t>(group);
  }
  // The classic arithmetic block: op Eb,Gb / Ev,Gv / Gb,Eb / Gv,Ev / AL,Ib / eAX,Iz.
  constexpr void Arith(int base, const char* mn, std::uint16_t flags = 0) {
    Set(base + 0, mn, Eb, Gb, ONone, flags);
    Set(base + 1, mn, Ev, Gv, ONone, flags);
    Set(base + 2, mn, Gb, Eb, ONone, flags);
    Set(base + 3, mn, Gv, Ev, ONone, flags);
    Set(base + 4, mn, static_cast<Op>(R8 + 0), Ib, ONone, flags);
    Set(base + 5, mn, static_cast<Op>(RV + 0), Iz, ONone, flags);
  }
};

inline constexpr const char* kJcc[16] = {"jo", "jno", "jb", "jae", "je", "jne", "jbe", "ja",
                                         "js", "jns", "jp", "jnp", "jl", "jge", "jle", "jg"};
inline constexpr const char* kSetcc[16] = {"seto",  "setno", "setb", "setae", "sete", "setne", "setbe", "seta",
                                           "sets",  "setns", "setp", "setnp", "setl", "setge", "setle", "setg"};
inline constexpr const char* kCmovcc[16] = {"cmovo", "cmovno", "cmovb", "cmovae", "cmove", "cmovne", "cmovbe", "cmova",
                                            "cmovs", "cmovns", "cmovp", "cmovnp", "cmovl", "cmovge", "cmovle", "cmovg"};

constexpr Table BuildOneByte() {
  Builder b;
  b.Arith(0x00, "add");
  b.Arith(0x08, "or");
  b.Arith(0x10, "adc");
  b.Arith(0x18, "sbb");
  b.Arith(0x20, "and");
  b.Arith(0x28, "sub");
  b.Arith(0x30, "xor");
  b.Arith(0x38, "cmp", kNoWrite);
  b.Set(0x06, "push", static_cast<Op>(SEG + 0), ONone, ONone, kNoWrite);
  b.Set(0x07, "pop", static_cast<Op>(SEG + 0));
  b.Set(0x0E, "push", static_cast<Op>(SEG + 1), ONone, ONone, kNoWrite);
  b.Set(0x16, "push", static_cast<Op>(SEG + 2), ONone, ONone, kNoWrite);
  b.Set(0x17, "pop", static_cast<Op>(SEG + 2));
  b.Set(0x1E, "push", static_cast<Op>(SEG + 3), ONone, ONone, kNoWrite);
  b.Set(0x1F, "pop", static_cast<Op>(SEG + 3));
  for (int p : {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}) b.Set(p, "", ONone, ONone, ONone, kPrefix);
  b.Set(0x27, "daa", ONone, ONone, ONone, 0, kEax);
  b.Set(0x2F, "das", ONone, ONone, ONone, 0, kEax);
  b.Set(0x37, "aaa", ONone, ONone, ONone, 0, kEax);
  b.Set(0x3F, "aas", ONone, ONone, ONone, 0, kEax);
  for (int r = 0; r < 8; ++r) {
    b.Set(0x40 + r, "inc", static_cast<Op>(RV + r));
    b.Set(0x48 + r, "dec", static_cast<Op>(RV + r));
    b.Set(0x50 + r, "push", static_cast<Op>(RV + r), ONone, ONone, kNoWrite);
    b.Set(0x58 + r, "pop", static_cast<Op>(RV + r));
    b.Set(0xB0 + r, "mov", static_cast<Op>(R8 + r), Ib);
    b.Set(0xB8 + r, "mov", static_cast<Op>(RV + r), Iv);
  }
  b.Set(0x90, "nop");
  for (int r = 1; r < 8; ++r) b.Set(0x90 + r, "xchg", static_cast<Op>(RV + r), static_cast<Op>(RV + 0), ONone, kBothWrite);
  b.Set(0x60, "pushad|pushaw");
  b.Set(0x61, "popad|popaw", ONone, ONone, ONone, 0, 0xFF);
  b.Set(0x62, "bound", Gv, Ma, ONone, kNoWrite);
  b.Set(0x63, "arpl", Ew, Gw);
  b.Set(0x68, "push", Iz, ONone, ONone, kNoWrite);
  b.Set(0x69, "imul", Gv, Ev, Iz);
  b.Set(0x6A, "push", Ibs, ONone, ONone, kNoWrite);
  b.Set(0x6B, "imul", Gv, Ev, Ibs);
  b.Set(0x6C, "insb", ONone, ONone, ONone, kStr, kEdi);
  b.Set(0x6D, "insd|insw", ONone, ONone, ONone, kStr, kEdi);
  b.Set(0x6E, "outsb", ONone, ONone, ONone, kStr, kEsi);
  b.Set(0x6F, "outsd|outsw", ONone, ONone, ONone, kStr, kEsi);
  for (int c = 0; c < 16; ++c) b.Set(0x70 + c, kJcc[c], Jb, ONone, ONone, kJump | kNoWrite);
  b.Group(0x80, kGroup1, Eb, Ib);
  b.Group(0x81, kGroup1, Ev, Iz);
  b.Group(0x82, kGroup1, Eb, Ib);
  b.Group(0x83, kGroup1, Ev, Ibs);
  b.Set(0x84, "test", Eb, Gb, ONone, kNoWrite);
  b.Set(0x85, "test", Ev, Gv, ONone, kNoWrite);
  b.Set(0x86, "xchg", Eb, Gb, ONone, kBothWrite);
  b.Set(0x87, "xchg", Ev, Gv, ONone, kBothWrite);
  b.Set(0x88, "mov", Eb, Gb);
  b.Set(0x89, "mov", Ev, Gv);
  b.Set(0x8A, "mov", Gb, Eb);
  b.Set(0x8B, "mov", Gv, Ev);
  b.Set(0x8C, "mov", Ev, Sw);
  b.Set(0x8D, "lea", Gv, M);
  b.Set(0x8E, "mov", Sw, Ew);
  b.Group(0x8F, kGroup1a, Ev);
  b.Set(0x98, "cwde|cbw", ONone, ONone, ONone, 0, kEax);
  b.Set(0x99, "cdq|cwd", ONone, ONone, ONone, 0, kEdx);
  b.Set(0x9A, "call", Ap, ONone, ONone, kCall | kNoWrite);
  b.Set(0x9B, "wait");
  b.Set(0x9C, "pushfd|pushfw");
  b.Set(0x9D, "popfd|popfw");
  b.Set(0x9E, "sahf");
  b.Set(0x9F, "lahf", ONone, ONone, ONone, 0, kEax);
  b.Set(0xA0, "mov", static_cast<Op>(R8 + 0), Ob);
  b.Set(0xA1, "mov", static_cast<Op>(RV + 0), Ov);
  b.Set(0xA2, "mov", Ob, static_cast<Op>(R8 + 0));
  b.Set(0xA3, "mov", Ov, static_cast<Op>(RV + 0));
  b.Set(0xA4, "movsb", ONone, ONone, ONone, kStr, kEsi | kEdi);
  b.Set(0xA5, "movsd|movsw", ONone, ONone, ONone, kStr, kEsi | kEdi);
  b.Set(0xA6, "cmpsb", ONone, ONone, ONone, kStr, kEsi | kEdi);
  b.Set(0xA7, "cmpsd|cmpsw", ONone, ONone, ONone, kStr, kEsi | kEdi);
  b.Set(0xA8, "test", static_cast<Op>(R8 + 0), Ib, ONone, kNoWrite);
  b.Set(0xA9, "test", static_cast<Op>(RV + 0), Iz, ONone, kNoWrite);
  b.Set(0xAA, "stosb", ONone, ONone, ONone, kStr, kEdi);
  b.Set(0xAB, "stosd|stosw", ONone, ONone, ONone, kStr, kEdi);
  b.Set(0xAC, "lodsb", ONone, ONone, ONone, kStr, kEsi | kEax);
  b.Set(0xAD, "lodsd|lodsw", ONone, ONone, ONone, kStr, kEsi | kEax);
  b.Set(0xAE, "scasb", ONone, ONone, ONone, kStr, kEdi);
  b.Set(0xAF, "scasd|scasw", ONone, ONone, ONone, kStr, kEdi);
  b.Group(0xC0, kGroup2, Eb, Ib);
  b.Group(0xC1, kGroup2, Ev, Ib);
  b.Set(0xC2, "ret", Iw, ONone, ONone, kRet | kNoWrite);
  b.Set(0xC3, "ret", ONone, ONone, ONone, kRet);
  b.Set(0xC4, "les", Gv, Ep);
  b.Set(0xC5, "lds", Gv, Ep);
  b.Group(0xC6, kGroup11b, Eb, Ib);
  b.Group(0xC7, kGroup11v, Ev, Iz);
  b.Set(0xC8, "enter", Iw, Ib, ONone, kNoWrite, kEbp);
  b.Set(0xC9, "leave", ONone, ONone, ONone, 0, kEbp);
  b.Set(0xCA, "retf", Iw, ONone, ONone, kRet | kNoWrite);
  b.Set(0xCB, "retf", ONone, ONone, ONone, kRet);
  b.Set(0xCC, "int3");
  b.Set(0xCD, "int", Ib, ONone, ONone, kNoWrite);
  b.Set(0xCE, "into");
  b.Set(0xCF, "iretd|iretw", ONone, ONone, ONone, kRet);
  b.Group(0xD0, kGroup2, Eb, One);
  b.Group(0xD1, kGroup2, Ev, One);
  b.Group(0xD2, kGroup2, Eb, RCL);
  b.Group(0xD3, kGroup2, Ev, RCL);
  b.Set(0xD4, "aam", Ib, ONone, ONone, kNoWrite, kEax);
  b.Set(0xD5, "aad", Ib, ONone, ONone, kNoWrite, kEax);
  b.Set(0xD7, "xlatb", ONone, ONone, ONone, 0, kEax);
  for (int c = 0xD8; c <= 0xDF; ++c) b.Set(c, "", ONone, ONone, ONone, kX87);
  b.Set(0xE0, "loopne", Jb, ONone, ONone, kJump | kNoWrite, kEcx);
  b.Set(0xE1, "loope", Jb, ONone, ONone, kJump | kNoWrite, kEcx);
  b.Set(0xE2, "loop", Jb, ONone, ONone, kJump | kNoWrite, kEcx);
  b.Set(0xE3, "jecxz|jcxz", Jb, ONone, ONone, kJump | kNoWrite);
  b.Set(0xE4, "in", static_cast<Op>(R8 + 0), Ib);
  b.Set(0xE5, "in", static_cast<Op>(RV + 0), Ib);
  b.Set(0xE6, "out", Ib, static_cast<Op>(R8 + 0), ONone, kNoWrite);
  b.Set(0xE7, "out", Ib, static_cast<Op>(RV + 0), ONone, kNoWrite);
  b.Set(0xE8, "call", Jz, ONone, ONone, kCall | kNoWrite);
  b.Set(0xE9, "jmp", Jz, ONone, ONone, kJump | kUncond | kNoWrite);
  b.Set(0xEA, "jmp", Ap, ONone, ONone, kJump | kUncond | kNoWrite);
  b.Set(0xEB, "jmp", Jb, ONone, ONone, kJump | kUncond | kNoWrite);
  b.Set(0xEC, "in", static_cast<Op>(R8 + 0), RDX);
  b.Set(0xED, "in", static_cast<Op>(RV + 0), RDX);
  b.Set(0xEE, "out", RDX, static_cast<Op>(R8 + 0), ONone, kNoWrite);
  b.Set(0xEF, "out", RDX, static_cast<Op>(RV + 0), ONone, kNoWrite);
  b.Set(0xF1, "int1");
  b.Set(0xF4, "hlt");
  b.Set(0xF5, "cmc");
  b.Group(0xF6, kGroup3b, Eb);
  b.Group(0xF7, kGroup3v, Ev);
  b.Set(0xF8, "clc");
  b.Set(0xF9, "stc");
  b.Set(0xFA, "cli");
  b.Set(0xFB, "sti");
  b.Set(0xFC, "cld");
  b.Set(0xFD, "std");
  b.Group(0xFE, kGroup4, Eb);
  b.Group(0xFF, kGroup5, Ev);
  b.Set(0x0F, "", ONone, ONone, ONone, kPrefix);
  return b.t;
}

// Two-byte opcodes (0F xx) without a mandatory prefix; kSse entries look in the prefix tables too.
constexpr Table BuildTwoByte() {
  Builder b;
  b.Group(0x00, kGroup6, Ew);
  b.Group(0x01, kGroup7);
  b.Set(0x02, "lar", Gv, Ew);
  b.Set(0x03, "lsl", Gv, Ew);
  b.Set(0x05, "syscall");
  b.Set(0x06, "clts");
  b.Set(0x07, "sysret");
  b.Set(0x08, "invd");
  b.Set(0x09, "wbinvd");
  b.Set(0x0B, "ud2");
  b.Group(0x0D, kGroupPrefetch3dn, Mb);
  b.Set(0x0E, "femms");
  b.Set(0x10, "movups", Vx, Wx, ONone, kSse);
  b.Set(0x11, "movups", Wx, Vx, ONone, kSse);
  b.Set(0x12, "movlps", Vx, Mq, ONone, kSse);
  b.Set(0x13, "movlps", Mq, Vx, ONone, kSse);
  b.Set(0x14, "unpcklps", Vx, Wx, ONone, kSse);
  b.Set(0x15, "unpckhps", Vx, Wx, ONone, kSse);
  b.Set(0x16, "movhps", Vx, Mq, ONone, kSse);
  b.Set(0x17, "movhps", Mq, Vx, ONone, kSse);
  b.Group(0x18, kGroup16, Mb);
  for (int c = 0x19; c <= 0x1F; ++c) b.Set(c, "nop", Ev, ONone, ONone, kNoWrite);
  b.Set(0x20, "mov", Rd, Cd);
  b.Set(0x21, "mov", Rd, Dd);
  b.Set(0x22, "mov", Cd, Rd, ONone, kNoWrite);
  b.Set(0x23, "mov", Dd, Rd, ONone, kNoWrite);
  b.Set(0x28, "movaps", Vx, Wx, ONone, kSse);
  b.Set(0x29, "movaps", Wx, Vx, ONone, kSse);
  b.Set(0x2A, "cvtpi2ps", Vx, Qq, ONone, kSse);
  b.Set(0x2B, "movntps", Mx, Vx, ONone, kSse);
  b.Set(0x2C, "cvttps2pi", Pq, Wq, ONone, kSse);
  b.Set(0x2D, "cvtps2pi", Pq, Wq, ONone, kSse);
  b.Set(0x2E, "ucomiss", Vx, Wd, ONone, kSse | kNoWrite);
  b.Set(0x2F, "comiss", Vx, Wd, ONone, kSse | kNoWrite);
  b.Set(0x30, "wrmsr");
  b.Set(0x31, "rdtsc", ONone, ONone, ONone, 0, kEax | kEdx);
  b.Set(0x32, "rdmsr", ONone, ONone, ONone, 0, kEax | kEdx);
  b.Set(0x33, "rdpmc", ONone, ONone, ONone, 0, kEax | kEdx);
  b.Set(0x34, "sysenter");
  b.Set(0x35, "sysexit");
  b.Set(0x37, "getsec", ONone, ONone, ONone, 0, kEax | kEbx | kEcx);
  b.Set(0x38, "", ONone, ONone, ONone, kEscape38);
  b.Set(0x3A, "", ONone, ONone, ONone, kEscape3A);
  for (int c = 0; c < 16; ++c) {
    b.Set(0x40 + c, kCmovcc[c], Gv, Ev);
    b.Set(0x80 + c, kJcc[c], Jz, ONone, ONone, kJump | kNoWrite);
    b.Set(0x90 + c, kSetcc[c], Eb);
  }
  b.Set(0x50, "movmskps", Gd, Ux, ONone, kSse);
  const char* ps[16] = {nullptr, "sqrtps", "rsqrtps", "rcpps", "andps", "andnps", "orps", "xorps",
                        "addps", "mulps", "cvtps2pd", "cvtdq2ps", "subps", "minps", "divps", "maxps"};
  for (int c = 1; c < 16; ++c) b.Set(0x50 + c, ps[c], Vx, Wx, ONone, kSse);
  const char* mmx60[12] = {"punpcklbw", "punpcklwd", "punpckldq", "packsswb", "pcmpgtb", "pcmpgtw",
                           "pcmpgtd",   "packuswb",  "punpckhbw", "punpckhwd", "punpckhdq", "packssdw"};
  for (int c = 0; c < 12; ++c) b.Set(0x60 + c, mmx60[c], Pq, c < 3 ? Qd : Qq, ONone, kSse);
  b.Set(0x6C, nullptr, ONone, ONone, ONone, kSse);
  b.Set(0x6D, nullptr, ONone, ONone, ONone, kSse);
  b.Set(0x6E, "movd", Pq, Ed, ONone, kSse);
  b.Set(0x6F, "movq", Pq, Qq, ONone, kSse);
  b.Set(0x70, "pshufw", Pq, Qq, Ib, kSse);
  b.Group(0x71, kGroup12);
  b.Group(0x72, kGroup13);
  b.Group(0x73, kGroup14);
  b.Set(0x74, "pcmpeqb", Pq, Qq, ONone, kSse);
  b.Set(0x75, "pcmpeqw", Pq, Qq, ONone, kSse);
  b.Set(0x76, "pcmpeqd", Pq, Qq, ONone, kSse);
  b.Set(0x77, "emms", ONone, ONone, ONone, kSse);
  b.Set(0x78, "vmread", Ed, Gd, ONone, kSse);
  b.Set(0x79, "vmwrite", Gd, Ed, ONone, kSse | kNoWrite);
  b.Set(0x7C, nullptr, ONone, ONone, ONone, kSse);
  b.Set(0x7D, nullptr, ONone, ONone, ONone, kSse);
  b.Set(0x7E, "movd", Ed, Pq, ONone, kSse);
  b.Set(0x7F, "movq", Qq, Pq, ONone, kSse);
  b.Set(0xA0, "push", static_cast<Op>(SEG + 4), ONone, ONone, kNoWrite);
  b.Set(0xA1, "pop", static_cast<Op>(SEG + 4));
  b.Set(0xA2, "cpuid", ONone, ONone, ONone, 0, kEax | kEbx | kEcx | kEdx);
  b.Set(0xA3, "bt", Ev, Gv, ONone, kNoWrite);
  b.Set(0xA4, "shld", Ev, Gv, Ib);
  b.Set(0xA5, "shld", Ev, Gv, RCL);
  b.Set(0xA8, "push", static_cast<Op>(SEG + 5), ONone, ONone, kNoWrite);
  b.Set(0xA9, "pop", static_cast<Op>(SEG + 5));
  b.Set(0xAA, "rsm");
  b.Set(0xAB, "bts", Ev, Gv);
  b.Set(0xAC, "shrd", Ev, Gv, Ib);
  b.Set(0xAD, "shrd", Ev, Gv, RCL);
  b.Group(0xAE, kGroup15);
  b.Set(0xAF, "imul", Gv, Ev);
  b.Set(0xB0, "cmpxchg", Eb, Gb, ONone, 0, kEax);
  b.Set(0xB1, "cmpxchg", Ev, Gv, ONone, 0, kEax);
  b.Set(0xB2, "lss", Gv, Ep);
  b.Set(0xB3, "btr", Ev, Gv);
  b.Set(0xB4, "lfs", Gv, Ep);
  b.Set(0xB5, "lgs", Gv, Ep);
  b.Set(0xB6, "movzx", Gv, Eb);
  b.Set(0xB7, "movzx", Gv, Ew);
  b.Set(0xB8, nullptr, ONone, ONone, ONone, kSse);
  b.Group(0xB9, kGroup10, Gv, Ev);
  b.Group(0xBA, kGroup8, Ev, Ib);
  b.Set(0xBB, "btc", Ev, Gv);
  b.Set(0xBC, "bsf", Gv, Ev, ONone, kSse);
  b.Set(0xBD, "bsr", Gv, Ev, ONone, kSse);
  b.Set(0xBE, "movsx", Gv, Eb);
  b.Set(0xBF, "movsx", Gv, Ew);
  b.Set(0xC0, "xadd", Eb, Gb, ONone, kBothWrite);
  b.Set(0xC1, "xadd", Ev, Gv, ONone, kBothWrite);
  b.Set(0xC2, "cmpps", Vx, Wx, Ib, kSse);
  b.Set(0xC3, "movnti", Md, Gd, ONone, kSse);
  b.Set(0xC4, "pinsrw", Pq, Ed, Ib, kSse);
  b.Set(0xC5, "pextrw", Gd, Nq, Ib, kSse);
  b.Set(0xC6, "shufps", Vx, Wx, Ib, kSse);
  b.Group(0xC7, kGroup9);
  for (int r = 0; r < 8; ++r) b.Set(0xC8 + r, "bswap", static_cast<Op>(RV + r));
  const char* mmxD0[16] = {nullptr, "psrlw", "psrld",  "psrlq",  "paddq",   "pmullw",  nullptr, "pmovmskb",
                           "psubusb", "psubusw", "pminub", "pand", "paddusb", "paddusw", "pmaxub", "pandn"};
  const char* mmxE0[16] = {"pavgb",  "psraw",  "psrad",  "pavgw", "pmulhuw", "pmulhw", nullptr, "movntq",
                           "psubsb", "psubsw", "pminsw", "por",   "paddsb",  "paddsw", "pmaxsw", "pxor"};
  const char* mmxF0[16] = {nullptr, "psllw", "pslld", "psllq", "pmuludq", "pmaddwd", "psadbw", "maskmovq",
                           "psubb", "psubw", "psubd", "psubq", "paddb",   "paddw",   "paddd",  nullptr};
  for (int c = 0; c < 16; ++c) {
    b.Set(0xD0 + c, mmxD0[c], Pq, Qq, ONone, kSse);
    b.Set(0xE0 + c, mmxE0[c], Pq, Qq, ONone, kSse);
    b.Set(0xF0 + c, mmxF0[c], Pq, Qq, ONone, kSse);
  }
  b.Set(0xD7, "pmovmskb", Gd, Nq, ONone, kSse);
  b.Set(0xE7, "movntq", Mq, Pq, ONone, kSse);
  b.Set(0xF7, "maskmovq", Pq, Nq, ONone, kSse | kNoWrite);
  b.Set(0xFF, "ud0", Gv, Ev, ONone, kNoWrite);
  return b.t;
}

// Two-byte opcodes with the mandatory prefix 66.
constexpr Table BuildTwoByte66() {
  Builder b;
  b.Set(0x10, "movupd", Vx, Wx);
  b.Set(0x11, "movupd", Wx, Vx);
  b.Set(0x12, "movlpd", Vx, Mq);
  b.Set(0x13, "movlpd", Mq, Vx);
  b.Set(0x14, "unpcklpd", Vx, Wx);
  b.Set(0x15, "unpckhpd", Vx, Wx);
  b.Set(0x16, "movhpd", Vx, Mq);
  b.Set(0x17, "movhpd", Mq, Vx);
  b.Set(0x28, "movapd", Vx, Wx);
  b.Set(0x29, "movapd", Wx, Vx);
  b.Set(0x2A, "cvtpi2pd", Vx, Qq);
  b.Set(0x2B, "movntpd", Mx, Vx);
  b.Set(0x2C, "cvttpd2pi", Pq, Wx);
  b.Set(0x2D, "cvtpd2pi", Pq, Wx);
  b.Set(0x2E, "ucomisd", Vx, Wq, ONone, kNoWrite);
  b.Set(0x2F, "comisd", Vx, Wq, ONone, kNoWrite);
  b.Set(0x50, "movmskpd", Gd, Ux);
  const char* pd[16] = {nullptr, "sqrtpd", nullptr, nullptr, "andpd", "andnpd", "orpd", "xorpd",
                        "addpd", "mulpd", "cvtpd2ps", "cvtps2dq", "subpd", "minpd", "divpd", "maxpd"};
  for (int c = 1; c < 16; ++c) b.Set(0x50 + c, pd[c], Vx, Wx);
  const char* x60[16] = {"punpcklbw", "punpcklwd", "punpckldq", "packsswb",   "pcmpgtb",    "pcmpgtw", "pcmpgtd", "packuswb",
                         "punpckhbw", "punpckhwd", "punpckhdq", "packssdw", "punpcklqdq", "punpckhqdq", nullptr,  "movdqa"};
  for (int c = 0; c < 16; ++c) b.Set(0x60 + c, x60[c], Vx, Wx);
  b.Set(0x6E, "movd", Vx, Ed);
  b.Set(0x70, "pshufd", Vx, Wx, Ib);
  b.Set(0x74, "pcmpeqb", Vx, Wx);
  b.Set(0x75, "pcmpeqw", Vx, Wx);
  b.Set(0x76, "pcmpeqd", Vx, Wx);
  b.Set(0x7C, "haddpd", Vx, Wx);
  b.Set(0x7D, "hsubpd", Vx, Wx);
  b.Set(0x7E, "movd", Ed, Vx);
  b.Set(0x7F, "movdqa", Wx, Vx);
  b.Set(0xBC, "bsf", Gv, Ev);
  b.Set(0xBD, "bsr", Gv, Ev);
  b.Set(0xC2, "cmppd", Vx, Wx, Ib);
  b.Set(0xC4, "pinsrw", Vx, Ed, Ib);
  b.Set(0xC5, "pextrw", Gd, Ux, Ib);
  b.Set(0xC6, "shufpd", Vx, Wx, Ib);
  const char* xD0[16] = {"addsubpd", "psrlw", "psrld",  "psrlq",  "paddq",   "pmullw",  "movq",   "pmovmskb",
                         "psubusb",  "psubusw", "pminub", "pand", "paddusb", "paddusw", "pmaxub", "pandn"};
  const char* xE0[16] = {"pavgb",  "psraw",  "psrad",  "pavgw", "pmulhuw", "pmulhw", "cvttpd2dq", "movntdq",
                         "psubsb", "psubsw", "pminsw", "por",   "paddsb",  "paddsw", "pmaxsw",    "pxor"};
  const char* xF0[16] = {nullptr, "psllw", "pslld", "psllq", "pmuludq", "pmaddwd", "psadbw", "maskmovdqu",
                         "psubb", "psubw", "psubd", "psubq", "paddb",   "paddw",   "paddd",  nullptr};
  for (int c = 0; c < 16; ++c) {
    b.Set(0xD0 + c, xD0[c], Vx, Wx);
    b.Set(0xE0 + c, xE0[c], Vx, Wx);
    b.Set(0xF0 + c, xF0[c], Vx, Wx);
  }
  b.Set(0xD6, "movq", Wq, Vx);
  b.Set(0xD7, "pmovmskb", Gd, Ux);
  b.Set(0xE7, "movntdq", Mx, Vx);
  b.Set(0xF7, "maskmovdqu", Vx, Ux, ONone, kNoWrite);
  return b.t;
}

constexpr Table BuildTwoByteF3() {
  Builder b;
  b.Set(0x10, "movss", Vx, Wd);
  b.Set(0x11, "movss", Wd, Vx);
  b.Set(0x12, "movsldup", Vx, Wx);
  b.Set(0x16, "movshdup", Vx, Wx);
  b.Set(0x2A, "cvtsi2ss", Vx, Ed);
  b.Set(0x2C, "cvttss2si", Gd, Wd);
  b.Set(0x2D, "cvtss2si", Gd, Wd);
  b.Set(0x51, "sqrtss", Vx, Wd);
  b.Set(0x52, "rsqrtss", Vx, Wd);
  b.Set(0x53, "rcpss", Vx, Wd);
  b.Set(0x58, "addss", Vx, Wd);
  b.Set(0x59, "mulss", Vx, Wd);
  b.Set(0x5A, "cvtss2sd", Vx, Wd);
  b.Set(0x5B, "cvttps2dq", Vx, Wx);
  b.Set(0x5C, "subss", Vx, Wd);
  b.Set(0x5D, "minss", Vx, Wd);
  b.Set(0x5E, "divss", Vx, Wd);
  b.Set(0x5F, "maxss", Vx, Wd);
  b.Set(0x6F, "movdqu", Vx, Wx);
  b.Set(0x70, "pshufhw", Vx, Wx, Ib);
  b.Set(0x7E, "movq", Vx, Wq);
  b.Set(0x7F, "movdqu", Wx, Vx);
  b.Set(0xB8, "popcnt", Gv, Ev);
  b.Set(0xBC, "tzcnt", Gv, Ev);
  b.Set(0xBD, "lzcnt", Gv, Ev);
  b.Set(0xC2, "cmpss", Vx, Wd, Ib);
  b.Set(0xD6, "movq2dq", Vx, Nq);
  b.Set(0xE6, "cvtdq2pd", Vx, Wq);
  return b.t;
}

constexpr Table BuildTwoByteF2() {
  Builder b;
  b.Set(0x10, "movsd", Vx, Wq);
  b.Set(0x11, "movsd", Wq, Vx);
  b.Set(0x12, "movddup", Vx, Wq);
  b.Set(0x2A, "cvtsi2sd", Vx, Ed);
  b.Set(0x2C, "cvttsd2si", Gd, Wq);
  b.Set(0x2D, "cvtsd2si", Gd, Wq);
  b.Set(0x51, "sqrtsd", Vx, Wq);
  b.Set(0x58, "addsd", Vx, Wq);
  b.Set(0x59, "mulsd", Vx, Wq);
  b.Set(0x5A, "cvtsd2ss", Vx, Wq);
  b.Set(0x5C, "subsd", Vx, Wq);
  b.Set(0x5D, "minsd", Vx, Wq);
  b.Set(0x5E, "divsd", Vx, Wq);
  b.Set(0x5F, "maxsd", Vx, Wq);
  b.Set(0x70, "pshuflw", Vx, Wx, Ib);
  b.Set(0x7C, "haddps", Vx, Wx);
  b.Set(0x7D, "hsubps", Vx, Wx);
  b.Set(0xBC, "bsf", Gv, Ev);
  b.Set(0xBD, "bsr", Gv, Ev);
  b.Set(0xC2, "cmpsd", Vx, Wq, Ib);
  b.Set(0xD0, "addsubps", Vx, Wx);
  b.Set(0xD6, "movdq2q", Pq, Ux);
  b.Set(0xE6, "cvtpd2dq", Vx, Wx);
  b.Set(0xF0, "lddqu", Vx, Mx);
  return b.t;
}

// Three-byte opcodes 0F 38 xx (no prefix and 66) and 0F 3A xx (66; all take an 8-bit immediate).
constexpr Table BuildThree38(bool with66) {
  Builder b;
  const char* ssse3[16] = {"pshufb", "phaddw", "phaddd", "phaddsw", "pmaddubsw", "phsubw", "phsubd", "phsubsw",
                           "psignb", "psignw", "psignd", "pmulhrsw", nullptr, nullptr, nullptr, nullptr};
  for (int c = 0; c < 12; ++c) b.Set(c, ssse3[c], with66 ? Vx : Pq, with66 ? Wx : Qq);
  b.Set(0x1C, "pabsb", with66 ? Vx : Pq, with66 ? Wx : Qq);
  b.Set(0x1D, "pabsw", with66 ? Vx : Pq, with66 ? Wx : Qq);
  b.Set(0x1E, "pabsd", with66 ? Vx : Pq, with66 ? Wx : Qq);
  if (!with66) {
    b.Set(0xF0, "movbe", Gv, M);
    b.Set(0xF1, "movbe", M, Gv);
    return b.t;
  }
  struct Item {
    int code;
    const char* mn;
  };
  const Item sse4[] = {{0x10, "pblendvb"}, {0x14, "blendvps"}, {0x15, "blendvpd"}, {0x17, "ptest"},     {0x20, "pmovsxbw"},
                       {0x21, "pmovsxbd"}, {0x22, "pmovsxbq"}, {0x23, "pmovsxwd"}, {0x24, "pmovsxwq"},  {0x25, "pmovsxdq"},
                       {0x28, "pmuldq"},   {0x29, "pcmpeqq"},  {0x2A, "movntdqa"}, {0x2B, "packusdw"},  {0x30, "pmovzxbw"},
                       {0x31, "pmovzxbd"}, {0x32, "pmovzxbq"}, {0x33, "pmovzxwd"}, {0x34, "pmovzxwq"},  {0x35, "pmovzxdq"},
                       {0x37, "pcmpgtq"},  {0x38, "pminsb"},   {0x39, "pminsd"},   {0x3A, "pminuw"},    {0x3B, "pminud"},
                       {0x3C, "pmaxsb"},   {0x3D, "pmaxsd"},   {0x3E, "pmaxuw"},   {0x3F, "pmaxud"},    {0x40, "pmulld"},
                       {0x41, "phminposuw"}, {0xDB, "aesimc"}, {0xDC, "aesenc"},   {0xDD, "aesenclast"}, {0xDE, "aesdec"},
                       {0xDF, "aesdeclast"}};
  for (const Item& i : sse4) b.Set(i.code, i.mn, Vx, Wx);
  b.Set(0x80, "invept", Gd, Mx, ONone, kNoWrite);
  b.Set(0x81, "invvpid", Gd, Mx, ONone, kNoWrite);
  return b.t;
}

constexpr Table BuildThree3A() {
  Builder b;
  struct Item {
    int code;
    const char* mn;
  };
  const Item items[] = {{0x08, "roundps"}, {0x09, "roundpd"},   {0x0A, "roundss"},   {0x0B, "roundsd"},   {0x0C, "blendps"},
                        {0x0D, "blendpd"}, {0x0E, "pblendw"},   {0x0F, "palignr"},   {0x21, "insertps"},  {0x40, "dpps"},
                        {0x41, "dppd"},    {0x42, "mpsadbw"},   {0x44, "pclmulqdq"}, {0x60, "pcmpestrm"}, {0x61, "pcmpestri"},
                        {0x62, "pcmpistrm"}, {0x63, "pcmpistri"}, {0xDF, "aeskeygenassist"}};
  for (const Item& i : items) b.Set(i.code, i.mn, Vx, Wx, Ib);
  b.t[0x61].implicit = b.t[0x63].implicit = kEcx;
  b.Set(0x14, "pextrb", Ed, Vx, Ib);
  b.Set(0x15, "pextrw", Ed, Vx, Ib);
  b.Set(0x16, "pextrd", Ed, Vx, Ib);
  b.Set(0x17, "extractps", Ed, Vx, Ib);
  b.Set(0x20, "pinsrb", Vx, Ed, Ib);
  b.Set(0x22, "pinsrd", Vx, Ed, Ib);
  return b.t;
}

constexpr GroupTable BuildGroups() {
  GroupTable g{};
  auto set = [&g](int group, int reg, const char* mn, Op a = ONone, Op b = ONone, Op c = ONone, std::uint16_t flags = 0,
                  std::uint8_t implicit = 0) {
    Entry& e = g[group][reg];
    e.mn = mn;
    e.op[0] = a;
    e.op[1] = b;
    e.op[2] = c;
    e.flags = static_cast<std::uint16_t>(flags | kModRm);
    e.implicit = implicit;
  };
  const char* arith[8] = {"add", "or", "adc", "sbb", "and", "sub", "xor", "cmp"};
  for (int r = 0; r < 8; ++r) set(kGroup1, r, arith[r], ONone, ONone, ONone, r == 7 ? kNoWrite : 0);
  set(kGroup1a, 0, "pop");
  const char* shifts[8] = {"rol", "ror", "rcl", "rcr", "shl", "shr", "sal", "sar"};
  for (int r = 0; r < 8; ++r) set(kGroup2, r, shifts[r]);
  set(kGroup3b, 0, "test", Eb, Ib, ONone, kNoWrite);
  set(kGroup3b, 1, "test", Eb, Ib, ONone, kNoWrite);
  set(kGroup3b, 2, "not", Eb);
  set(kGroup3b, 3, "neg", Eb);
  set(kGroup3b, 4, "mul", Eb, ONone, ONone, kNoWrite, kEax);
  set(kGroup3b, 5, "imul", Eb, ONone, ONone, kNoWrite, kEax);
  set(kGroup3b, 6, "div", Eb, ONone, ONone, kNoWrite, kEax);
  set(kGroup3b, 7, "idiv", Eb, ONone, ONone, kNoWrite, kEax);
  set(kGroup3v, 0, "test", Ev, Iz, ONone, kNoWrite);
  set(kGroup3v, 1, "test", Ev, Iz, ONone, kNoWrite);
  set(kGroup3v, 2, "not", Ev);
  set(kGroup3v, 3, "neg", Ev);
  set(kGroup3v, 4, "mul", Ev, ONone, ONone, kNoWrite, kEax | kEdx);
  set(kGroup3v, 5, "imul", Ev, ONone, ONone, kNoWrite, kEax | kEdx);
  set(kGroup3v, 6, "div", Ev, ONone, ONone, kNoWrite, kEax | kEdx);
  set(kGroup3v, 7, "idiv", Ev, ONone, ONone, kNoWrite, kEax | kEdx);
  set(kGroup4, 0, "inc", Eb);
  set(kGroup4, 1, "dec", Eb);
  set(kGroup5, 0, "inc", Ev);
  set(kGroup5, 1, "dec", Ev);
  set(kGroup5, 2, "call", Ev, ONone, ONone, kCall | kNoWrite);
  set(kGroup5, 3, "call", Ep, ONone, ONone, kCall | kNoWrite | kFar);
  set(kGroup5, 4, "jmp", Ev, ONone, ONone, kJump | kUncond | kNoWrite);
  set(kGroup5, 5, "jmp", Ep, ONone, ONone, kJump | kUncond | kNoWrite | kFar);
  set(kGroup5, 6, "push", Ev, ONone, ONone, kNoWrite);
  set(kGroup6, 0, "sldt", Ew);
  set(kGroup6, 1, "str", Ew);
  set(kGroup6, 2, "lldt", Ew, ONone, ONone, kNoWrite);
  set(kGroup6, 3, "ltr", Ew, ONone, ONone, kNoWrite);
  set(kGroup6, 4, "verr", Ew, ONone, ONone, kNoWrite);
  set(kGroup6, 5, "verw", Ew, ONone, ONone, kNoWrite);
  // Memory forms of group 7; its register forms are single instructions (RegisterForm7).
  set(kGroup7, 0, "sgdt", M);
  set(kGroup7, 1, "sidt", M);
  set(kGroup7, 2, "lgdt", M, ONone, ONone, kNoWrite);
  set(kGroup7, 3, "lidt", M, ONone, ONone, kNoWrite);
  set(kGroup7, 4, "smsw", Ew);
  set(kGroup7, 6, "lmsw", Ew, ONone, ONone, kNoWrite);
  set(kGroup7, 7, "invlpg", Mb, ONone, ONone, kNoWrite);
  set(kGroup8, 4, "bt", Ev, Ib, ONone, kNoWrite);
  set(kGroup8, 5, "bts", Ev, Ib);
  set(kGroup8, 6, "btr", Ev, Ib);
  set(kGroup8, 7, "btc", Ev, Ib);
  set(kGroup9, 1, "cmpxchg8b", Mq, ONone, ONone, 0, kEax | kEdx);
  set(kGroup9, 3, "xrstors", M, ONone, ONone, kNoWrite, kEax | kEdx);
  set(kGroup9, 4, "xsavec", M, ONone, ONone, kNoWrite);
  set(kGroup9, 5, "xsaves", M, ONone, ONone, kNoWrite);
  set(kGroup9, 6, "vmptrld", Mq, ONone, ONone, kNoWrite);
  set(kGroup9, 7, "vmptrst", Mq);
  for (int r = 0; r < 8; ++r) set(kGroup10, r, "ud1", Gv, Ev, ONone, kNoWrite);
  set(kGroup11b, 0, "mov", Eb, Ib);
  set(kGroup11v, 0, "mov", Ev, Iz);
  set(kGroup12, 2, "psrlw", Nq, Ib);
  set(kGroup12, 4, "psraw", Nq, Ib);
  set(kGroup12, 6, "psllw", Nq, Ib);
  set(kGroup13, 2, "psrld", Nq, Ib);
  set(kGroup13, 4, "psrad", Nq, Ib);
  set(kGroup13, 6, "pslld", Nq, Ib);
  set(kGroup14, 2, "psrlq", Nq, Ib);
  set(kGroup14, 6, "psllq", Nq, Ib);
  set(kGroup15, 0, "fxsave", M);
  set(kGroup15, 1, "fxrstor", M, ONone, ONone, kNoWrite);
  set(kGroup15, 2, "ldmxcsr", Md, ONone, ONone, kNoWrite);
  set(kGroup15, 3, "stmxcsr", Md);
  set(kGroup15, 4, "xsave", M, ONone, ONone, 0, 0);
  set(kGroup15, 5, "xrstor", M, ONone, ONone, kNoWrite);
  set(kGroup15, 6, "xsaveopt", M);
  set(kGroup15, 7, "clflush", Mb, ONone, ONone, kNoWrite);
  set(kGroup16, 0, "prefetchnta", Mb, ONone, ONone, kNoWrite);
  set(kGroup16, 1, "prefetcht0", Mb, ONone, ONone, kNoWrite);
  set(kGroup16, 2, "prefetcht1", Mb, ONone, ONone, kNoWrite);
  set(kGroup16, 3, "prefetcht2", Mb, ONone, ONone, kNoWrite);
  for (int r = 4; r < 8; ++r) set(kGroup16, r, "nop", Ev, ONone, ONone, kNoWrite);
  set(kGroupPrefetch3dn, 0, "prefetch", Mb, ONone, ONone, kNoWrite);
  set(kGroupPrefetch3dn, 1, "prefetchw", Mb, ONone, ONone, kNoWrite);
  return g;
}

}  // namespace

constexpr Table kOneByte = BuildOneByte();
constexpr Table kTwoByte = BuildTwoByte();
constexpr Table kTwoByte66 = BuildTwoByte66();
constexpr Table kTwoByteF3 = BuildTwoByteF3();
constexpr Table kTwoByteF2 = BuildTwoByteF2();
constexpr Table kThree38 = BuildThree38(false);
constexpr Table kThree38x66 = BuildThree38(true);
constexpr Table kThree3Ax66 = BuildThree3A();
constexpr GroupTable kGroups = BuildGroups();

}  // namespace report::optable
