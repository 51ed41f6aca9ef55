#include "report/KorbDisAsm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "report/tests/KorbDisAsmTestImage.h"

namespace report {
namespace {

using test::FakeNames;
using test::TwoModules;

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

constexpr Addr kBase = 0x00500000;

// ---------------------------------------------------------------------------------------------
// Decoding

struct DecodeCase {
  const char* bytes;  // "cell|code": the cell's bytes lie in front of the decoded instruction
  int length;         // 0 = invalid
  bool call, jump;
  Addr target;  // absolute
  std::uint32_t targetBytes;
  bool widenable;
  Addr pTarget, ppTarget;
};

TEST(KorbDecode, LengthKindAndTargetOfEachForm) {
  const DecodeCase cases[] = {
      {"55", 1, false, false, 0, 0, false, 0, 0},
      {"e8 00 00 00 00", 5, false, false, 0, 0, false, 0, 0},  // call $+5 is no call
      {"e8 10 00 00 00", 5, true, false, kBase + 0x15, 4, false, kBase + 1, 0},
      {"eb fe", 2, false, true, kBase, 1, true, kBase + 1, 0},
      {"75 02", 2, false, true, kBase + 4, 1, true, kBase + 1, 0},
      {"0f 84 00 01 00 00", 6, false, true, kBase + 0x106, 4, false, kBase + 2, 0},
      {"e2 fe", 2, false, true, kBase, 1, false, kBase + 1, 0},                           // loop has no 32-bit form
      {"01 02 03 04|ff 15 00 00 50 00", 6, true, false, 0x04030201, 4, false, 0, kBase},  // the cell holds the target
      {"ff 25 00 00 00 70", 6, false, true, 0, 4, false, 0, 0x70000000},                  // unreadable cell
      {"ff d0", 2, true, false, 0, 0, false, 0, 0},                                       // register, value unknown
      {"9a 00 10 40 00 23 00", 7, true, false, 0x00401000, 4, false, kBase + 1, 0},
      {"66 e8 10 00", 4, true, false, (kBase + 0x14) & 0xFFFF, 2, false, kBase + 2, 0},
      {"67 8b 46 02", 4, false, false, 0, 0, false, 0, 0},  // 16-bit addressing
      {"8b 84 24 00 01 00 00", 7, false, false, 0, 0, false, 0, 0},
      {"0f 1f 44 00 00", 5, false, false, 0, 0, false, 0, 0},
      {"f3 0f b8 c1", 4, false, false, 0, 0, false, 0, 0},
      {"66 0f 6f 05 00 00 00 00", 8, false, false, 0, 0, false, 0, 0},
      {"dd 05 00 00 00 00", 6, false, false, 0, 0, false, 0, 0},
      {"f6 c1 01", 3, false, false, 0, 0, false, 0, 0},  // test takes an immediate, not/neg do not
      {"f6 d1", 2, false, false, 0, 0, false, 0, 0},
      {"c8 10 00 01", 4, false, false, 0, 0, false, 0, 0},
      {"0f 3a 0f c1 08", 5, false, false, 0, 0, false, 0, 0},
      {"d6", 0, false, false, 0, 0, false, 0, 0},
      {"c4 c1 78 10 c0", 0, false, false, 0, 0, false, 0, 0},  // VEX
      {"0f 0b", 2, false, false, 0, 0, false, 0, 0},
      {"0f ae f1", 0, false, false, 0, 0, false, 0, 0},
      {"8c f8", 0, false, false, 0, 0, false, 0, 0},                                            // no segment register 7
      {"e8 00", 0, false, false, 0, 0, false, 0, 0},                                            // the image ends inside the instruction
      {"66 66 66 66 66 66 66 66 66 66 66 66 66 66 66 90", 0, false, false, 0, 0, false, 0, 0},  // longer than 15
  };
  for (const DecodeCase& c : cases) {
    const std::string text = c.bytes;
    const std::size_t bar = text.find('|');
    std::vector<std::uint8_t> bytes = Hex(bar == std::string::npos ? text : text.substr(0, bar) + " " + text.substr(bar + 1));
    const Addr at = kBase + static_cast<Addr>(bar == std::string::npos ? 0 : Hex(text.substr(0, bar)).size());
    const MemoryImage image(kBase, bytes);
    const TDecodedInstruction d = DecodeInstruction(image, at);
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(d.Valid, c.length != 0);
    if (c.length) { EXPECT_EQ(d.Following - d.Start, static_cast<Addr>(c.length)); }
    EXPECT_EQ(d.Call, c.call);
    EXPECT_EQ(d.Jump, c.jump);
    const Addr shift = at - kBase;  // the cell case is decoded 4 bytes in
    EXPECT_EQ(d.Target, c.target);
    EXPECT_EQ(d.TargetBytes, c.targetBytes);
    EXPECT_EQ(d.Widenable, c.widenable);
    EXPECT_EQ(d.PTarget, c.pTarget ? c.pTarget + shift : 0);
    EXPECT_EQ(d.PPTarget, c.ppTarget);
  }
}

TEST(KorbDecode, RegisterTrackingFollowsMovesAndForgetsWrites) {
  struct Case {
    const char* bytes;
    TRegisters after;
  };
  // EAX, EDX and ESI known before each case.
  const TRegisters start = {0x11, 0, 0x22, 0, 0, 0, 0x66, 0};
  const Case cases[] = {
      {"b8 78 56 34 12", {0x12345678, 0, 0x22, 0, 0, 0, 0x66, 0}},
      {"c7 c1 10 00 00 00", {0x11, 0x10, 0x22, 0, 0, 0, 0x66, 0}},
      {"8b c6", {0x66, 0, 0x22, 0, 0, 0, 0x66, 0}},  // mov eax, esi copies the value
      {"89 f0", {0, 0, 0x22, 0, 0, 0, 0x66, 0}},     // the same move encoded with 89: only forgets
      {"31 f6", {0x11, 0, 0x22, 0, 0, 0, 0, 0}},
      {"f3 a5", {0x11, 0, 0x22, 0, 0, 0, 0, 0}},  // rep movsd: ECX, ESI, EDI
      {"61", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"66 b8 01 00", {0, 0, 0x22, 0, 0, 0, 0x66, 0}},  // a 16-bit constant is not the register's value
      {"86 e6", {0, 0, 0, 0, 0, 0, 0x66, 0}},           // xchg ah, dh: partial writes of EAX and EDX
      {"f7 e1", {0, 0, 0, 0, 0, 0, 0x66, 0}},           // mul ecx: EDX:EAX
      {"e8 00 10 00 00", {0, 0, 0, 0, 0, 0, 0x66, 0}},  // the callee may change EAX, ECX, EDX
      {"89 30", {0x11, 0, 0x22, 0, 0, 0, 0x66, 0}},     // a store changes no register
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const MemoryImage image(kBase, Hex(c.bytes));
    TRegisters regs = start;
    DecodeInstruction(image, kBase, &regs, true);
    EXPECT_EQ(regs, c.after);
  }

  // A jump through a register takes the register's known value.
  const MemoryImage jump(kBase, Hex("ff e3"));
  TRegisters regs{};
  regs[3] = 0x00401234;
  EXPECT_EQ(DecodeInstruction(jump, kBase, &regs, true).Target, 0x00401234u);
}

TEST(KorbDecode, InstructionText) {
  const std::pair<const char*, const char*> cases[] = {
      {"8b 45 08", "mov eax, dword ptr [ebp+8]"},
      {"8b 45 f4", "mov eax, dword ptr [ebp-$0c]"},
      {"8d 44 88 10", "lea eax, [eax+ecx*4+$10]"},
      {"d1 e0", "shl eax, 1"},
      {"d3 f8", "sar eax, cl"},
      {"dd 00", "fld qword ptr [eax]"},
      {"de c1", "faddp st(1), st"},
      {"0f 28 00", "movaps xmm0, xmmword ptr [eax]"},
      {"0f ef c1", "pxor mm0, mm1"},
      {"f3 a5", "rep movsd"},
      {"66 f3 a5", "rep movsw"},
      {"f3 c3", "rep ret"},
      {"f3 0f b8 c1", "popcnt eax, ecx"},  // the F3 selects the instruction
      {"f0 0f b1 11", "lock cmpxchg dword ptr [ecx], edx"},
      {"64 a1 00 00 00 00", "mov eax, dword ptr fs:[0]"},
      {"68 78 56 34 12", "push $12345678"},
      {"83 e4 f0", "and esp, $fffffff0"},
      {"66 89 08", "mov word ptr [eax], cx"},
      {"c2 08 00", "ret 8"},
      {"0f 20 c0", "mov eax, cr0"},
      {"8c d8", "mov eax, ds"},
  };
  for (const auto& [bytes, text] : cases) {
    const MemoryImage image(kBase, Hex(bytes));
    EXPECT_EQ(InstructionText(image, kBase), text) << bytes;
  }
}

// ---------------------------------------------------------------------------------------------
// Analysis

class KorbAnalyse : public ::testing::Test {
 protected:
  TwoModules memory_;
  Addr F(test::Fn f) const { return memory_.Function(f); }
  const TCodeArea* AreaAt(const TFunctionInfo& fi, Addr a) const {
    for (const TCodeArea& area : fi.CodeAreas)
      if (area.AreaBegin == a) return &area;
    return nullptr;
  }
};

TEST_F(KorbAnalyse, InterceptableOnlyWithStraightCodeAtTheEntry) {
  const TFunctionInfo straight = AnalyseFunction(memory_, F(test::kStraight));
  ASSERT_TRUE(straight.IsValid);
  EXPECT_TRUE(straight.Interceptable);
  EXPECT_EQ(straight.CodeBegin, F(test::kStraight));
  EXPECT_EQ(straight.CodeLen, 14u);
  EXPECT_EQ(straight.Copy.BufferLen, 14u + 4);

  const TFunctionInfo shortJump = AnalyseFunction(memory_, F(test::kShortJump));
  ASSERT_TRUE(shortJump.IsValid);
  EXPECT_FALSE(shortJump.Interceptable);
  const TCodeArea* far = AreaAt(shortJump, F(test::kShortJump) + 2 + 40);
  ASSERT_NE(far, nullptr);
  EXPECT_EQ(far->CalledFrom, F(test::kShortJump));
}

TEST_F(KorbAnalyse, CallToTheNextInstructionStaysInsideTheFunction) {
  const TFunctionInfo fi = AnalyseFunction(memory_, F(test::kCallNext));
  ASSERT_TRUE(fi.IsValid);
  EXPECT_TRUE(fi.FarCalls.empty());
  EXPECT_TRUE(fi.UnknownTargets.empty());
  EXPECT_EQ(fi.CodeLen, 5u + 1 + 1);
}

TEST_F(KorbAnalyse, JumpTableEntriesByGuard) {
  struct Case {
    test::Fn fn;
    std::uint32_t entries;
  };
  for (const Case c : {Case{test::kTableJa, 8}, Case{test::kTableJae, 7}}) {
    const TFunctionInfo fi = AnalyseFunction(memory_, F(c.fn));
    ASSERT_TRUE(fi.IsValid) << fi.LastErrorStr;
    const auto table = std::find_if(fi.CodeAreas.begin(), fi.CodeAreas.end(), [](const TCodeArea& a) { return a.CaseBlock; });
    ASSERT_NE(table, fi.CodeAreas.end());
    EXPECT_EQ(table->AreaEnd - table->AreaBegin + 1, 4 * c.entries);
    const Addr jump = table->AreaBegin - 7;  // jmp [table + reg*4] right in front of the table
    for (std::uint32_t i = 0; i < c.entries; ++i) {
      std::uint8_t cell[4];
      ASSERT_EQ(memory_.Read(table->AreaBegin + 4 * i, cell, 4), 4u);
      const Addr entry = static_cast<Addr>(cell[0] | cell[1] << 8 | cell[2] << 16) | static_cast<Addr>(cell[3]) << 24;
      const TCodeArea* area = AreaAt(fi, entry);
      ASSERT_NE(area, nullptr) << i;
      EXPECT_EQ(area->CalledFrom, jump) << i;
    }
    EXPECT_TRUE(fi.FarCalls.empty());
  }
}

TEST_F(KorbAnalyse, LoopsFarJumpsTailJumpsAndImportStubs) {
  const TFunctionInfo loop = AnalyseFunction(memory_, F(test::kLoop));
  ASSERT_TRUE(loop.IsValid);
  const Addr again = F(test::kLoop) + 2 + 4;
  ASSERT_NE(AreaAt(loop, again), nullptr);
  EXPECT_EQ(AreaAt(loop, again)->CalledFrom, again + 3);  // the jnz after add and dec

  const TFunctionInfo far = AnalyseFunction(memory_, F(test::kFarJump));
  ASSERT_TRUE(far.IsValid);
  ASSERT_EQ(far.FarCalls.size(), 1u);
  EXPECT_FALSE(far.FarCalls[0].Call);
  EXPECT_EQ(far.FarCalls[0].Target, 0x00900000u);
  // A jump to other code of the module counts as code of this function.
  EXPECT_NE(AreaAt(far, F(test::kTailTarget)), nullptr);

  const TFunctionInfo stub = AnalyseFunction(memory_, F(test::kStubCall));
  ASSERT_TRUE(stub.IsValid);
  ASSERT_EQ(stub.FarCalls.size(), 1u);
  EXPECT_TRUE(stub.FarCalls[0].Call);
  EXPECT_EQ(stub.FarCalls[0].Target, test::kSleep);
  EXPECT_EQ(stub.FarCalls[0].CodeAddr1, F(test::kStubCall) + 2);
  EXPECT_EQ(stub.FarCalls[0].CodeAddr2, F(test::kStubCall) + 7);

  // An exported stub keeps its own address.
  TwoModules withExport;
  withExport.Program().AddExport(F(test::kStubSleep), "SleepStub");
  EXPECT_EQ(AnalyseFunction(withExport, F(test::kStubCall)).FarCalls.at(0).Target, F(test::kStubSleep));
}

TEST_F(KorbAnalyse, RuntimeRoutinesShapeTheFunction) {
  RuntimeRoutines routines;
  routines.HandleAnyException = F(test::kRtAny);
  routines.HandleOnException = F(test::kRtOn);

  const TFunctionInfo any = AnalyseFunction(memory_, F(test::kAnyExcept), routines);
  ASSERT_TRUE(any.IsValid);
  const TCodeArea* exceptBlock = AreaAt(any, F(test::kAnyExcept) + 5);
  ASSERT_NE(exceptBlock, nullptr);
  EXPECT_EQ(exceptBlock->CalledFrom, F(test::kAnyExcept));

  const TFunctionInfo on = AnalyseFunction(memory_, F(test::kOnExcept), routines);
  ASSERT_TRUE(on.IsValid);
  const TCodeArea* table = AreaAt(on, F(test::kOnExcept) + 5);
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(table->OnExceptBlock);
  EXPECT_EQ(table->AreaEnd - table->AreaBegin + 1, 4u + 2 * 8);
  EXPECT_NE(AreaAt(on, F(test::kOnExcept) + 25), nullptr);  // handler 1
  EXPECT_NE(AreaAt(on, F(test::kOnExcept) + 31), nullptr);  // handler 2
  ASSERT_EQ(on.FarCalls.size(), 1u);
}

TEST_F(KorbAnalyse, ExceptionFrameHandlerAndGapFill) {
  const TFunctionInfo frame = AnalyseFunction(memory_, F(test::kFrame));
  ASSERT_TRUE(frame.IsValid);
  std::uint8_t push[5];
  memory_.Read(F(test::kFrame), push, 5);
  const Addr handler = static_cast<Addr>(push[1] | push[2] << 8 | push[3] << 16) | static_cast<Addr>(push[4]) << 24;
  EXPECT_NE(AreaAt(frame, handler), nullptr);

  const TFunctionInfo gap = AnalyseFunction(memory_, F(test::kGapFill));
  ASSERT_TRUE(gap.IsValid);
  ASSERT_EQ(gap.UnknownTargets.size(), 1u);
  EXPECT_FALSE(gap.UnknownTargets[0].Call);
  const Addr reached = F(test::kGapFill) + 4 + 2 + 2 + 2;
  EXPECT_NE(AreaAt(gap, reached), nullptr);
}

TEST_F(KorbAnalyse, CodeShapesOfFunctionsThatNeverReturnAndOfThunks) {
  // A call followed by a frame set-up: the call never returns, the next function begins.
  const TFunctionInfo noReturn = AnalyseFunction(memory_, F(test::kNoReturn));
  ASSERT_TRUE(noReturn.IsValid);
  EXPECT_EQ(noReturn.CodeLen, 4u + 2);
  ASSERT_EQ(noReturn.UnknownTargets.size(), 1u);

  // A thunk jumps back into a function in front of it: that function is not part of the thunk.
  const TFunctionInfo thunk = AnalyseFunction(memory_, F(test::kThunk));
  ASSERT_TRUE(thunk.IsValid);
  EXPECT_EQ(thunk.CodeBegin, F(test::kThunk));
  EXPECT_EQ(thunk.CodeLen, 5u + 5);
  ASSERT_EQ(thunk.FarCalls.size(), 1u);
  EXPECT_EQ(thunk.FarCalls[0].Target, F(test::kStraight));

  // A call of a routine named as never returning ends the function, and so does a thunk behind
  // a call; without either the analysis runs on into what follows.
  RuntimeRoutines routines;
  routines.NoReturn = {F(test::kTailTarget)};
  EXPECT_EQ(AnalyseFunction(memory_, F(test::kThrowing), routines).CodeLen, 2u + 5);
  EXPECT_EQ(AnalyseFunction(memory_, F(test::kThrowing)).CodeLen, 2u + 5);  // the thunk follows
  routines.NoReturn.clear();
  routines.Halt0 = F(test::kRtAny);
  const TFunctionInfo halt = AnalyseFunction(memory_, F(test::kAnyExcept), routines);
  ASSERT_TRUE(halt.IsValid);
  EXPECT_EQ(halt.CodeLen, 5u);
  EXPECT_TRUE(IsInstructionPosition(memory_, halt, F(test::kAnyExcept) + 5));  // AreaEnd + 1
}

TEST_F(KorbAnalyse, InstructionPositions) {
  const TFunctionInfo stub = AnalyseFunction(memory_, F(test::kStubCall));
  const Addr f = F(test::kStubCall);
  struct Case {
    Addr at;
    bool is;
  };
  // push 100 (2 bytes), call stub (5 bytes), ret.
  for (const Case c : {Case{f, true}, Case{f + 1, false}, Case{f + 2, true}, Case{f + 4, false}, Case{f + 7, true}, Case{f + 8, true},
                       Case{f + 9, false}, Case{f - 1, false}}) {
    EXPECT_EQ(IsInstructionPosition(memory_, stub, c.at), c.is) << std::hex << c.at - f;
  }
}

TEST_F(KorbAnalyse, FailuresSayWhereAndWhy) {
  const TFunctionInfo unmapped = AnalyseFunction(memory_, 0x00100000);
  EXPECT_FALSE(unmapped.IsValid);
  EXPECT_EQ(unmapped.LastErrorNo, kInvalidParameterError);
  EXPECT_EQ(unmapped.LastErrorAddr, 0x00100000u);
  EXPECT_FALSE(unmapped.LastErrorStr.empty());

  // Code that runs off the readable bytes.
  const MemoryImage offTheEnd(kBase, Hex("90 90 31 c0 05"));
  const TFunctionInfo off = AnalyseFunction(offTheEnd, kBase);
  EXPECT_FALSE(off.IsValid);
  EXPECT_EQ(off.LastErrorNo, kInvalidCodeError);
  EXPECT_EQ(off.LastErrorStr, "Invalid code!");
  EXPECT_EQ(off.LastErrorAddr, kBase + 4);
  EXPECT_TRUE(off.CodeAreas.empty());

  // An undefined opcode on a path.
  const MemoryImage undefinedOp(kBase, Hex("74 01 c3 d6 c3"));
  EXPECT_EQ(AnalyseFunction(undefinedOp, kBase).LastErrorAddr, kBase + 3);
}

TEST(KorbAnalyseHostile, EndsOnLoopsWildTablesAndPadding) {
  // A loop of jumps.
  const MemoryImage loop(kBase, Hex("eb 00 eb fc"));
  EXPECT_TRUE(AnalyseFunction(loop, kBase).IsValid);

  // A jump table whose entries point anywhere: the analysis ends, invalid.
  std::vector<std::uint8_t> wild = Hex("83 f8 7f 77 20 ff 24 85 0c 00 50 00");
  for (int i = 0; i < 128; ++i)
    for (int k = 0; k < 4; ++k) wild.push_back(static_cast<std::uint8_t>(0x9e3779b9u * (i + 1) >> (8 * k)));
  wild.push_back(0xC3);
  EXPECT_FALSE(AnalyseFunction(MemoryImage(kBase, wild), kBase).IsValid);

  // Four megabytes of padding before the return.
  std::vector<std::uint8_t> padding(4 << 20, 0x90);
  padding.push_back(0xC3);
  const TFunctionInfo padded = AnalyseFunction(MemoryImage(kBase, padding), kBase);
  ASSERT_TRUE(padded.IsValid);
  EXPECT_EQ(padded.CodeLen, padding.size());

  // Calls through registers and to code, a hundred thousand each, and their text.
  std::vector<std::uint8_t> calls;
  for (int i = 0; i < 100000; ++i) calls.insert(calls.end(), {0xFF, 0xD0, 0xE8, 0x01, 0x00, 0x00, 0x00, 0x90});
  calls.push_back(0xC3);
  const MemoryImage callImage(kBase, calls);
  TFunctionInfo manyCalls;
  const std::string text = GetCleartextDisAsm(callImage, nullptr, kBase, kBase, true, 0, manyCalls);
  ASSERT_TRUE(manyCalls.IsValid);
  EXPECT_EQ(manyCalls.UnknownTargets.size(), 100000u);
  EXPECT_EQ(manyCalls.FarCalls.size(), 100000u);
  EXPECT_GT(text.size(), 300000u * 20);

  // A conditional jump over one byte, again and again: two areas per jump, each parsed once.
  std::vector<std::uint8_t> jumps;
  for (int i = 0; i < 50000; ++i) jumps.insert(jumps.end(), {0x74, 0x01, 0x90});
  jumps.push_back(0xC3);
  const MemoryImage jumpImage(kBase, jumps);
  TFunctionInfo chain;
  const std::string chainText = GetCleartextDisAsm(jumpImage, nullptr, kBase, kBase, true, 0, chain);
  ASSERT_TRUE(chain.IsValid);
  EXPECT_EQ(chain.CodeLen, jumps.size());
  EXPECT_GE(chain.CodeAreas.size(), 50000u);
  EXPECT_NE(chainText.find("je      loc_500003"), std::string::npos);
}

}  // namespace
}  // namespace report

namespace report {
namespace {

// A PE32 header with two sections, as ModuleRangeFromHeaders reads it.
std::vector<std::uint8_t> Headers(std::uint32_t firstFlags, std::uint32_t secondFlags, std::uint32_t baseOfData) {
  std::vector<std::uint8_t> h(0x400, 0);
  auto put32 = [&h](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto put16 = [&h](std::size_t at, std::uint16_t v) {
    h[at] = static_cast<std::uint8_t>(v);
    h[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  put16(0, 0x5A4D);
  put32(0x3C, 0x80);
  put32(0x80, 0x4550);
  put16(0x80 + 6, 2);
  put16(0x80 + 20, 0xE0);
  const std::size_t opt = 0x80 + 24;
  put16(opt, 0x10B);
  put32(opt + 4, 0x3000);   // SizeOfCode
  put32(opt + 8, 0x800);    // SizeOfInitializedData
  put32(opt + 12, 0x200);   // SizeOfUninitializedData
  put32(opt + 20, 0x5000);  // BaseOfCode
  put32(opt + 24, baseOfData);
  put32(opt + 56, 0x10000);  // SizeOfImage
  const std::size_t sections = opt + 0xE0;
  put32(sections + 8, 0x1000);
  put32(sections + 12, 0x1000);
  put32(sections + 36, firstFlags);
  put32(sections + 40 + 8, 0x2000);
  put32(sections + 40 + 12, 0x2000);
  put32(sections + 40 + 36, secondFlags);
  return h;
}

TEST(KorbModuleRange, FromTheImageHeaders) {
  constexpr std::uint32_t kCode = 0x60000020, kData = 0xC0000040;
  struct Case {
    std::uint32_t first, second, baseOfData;
    Addr begin, end;
  };
  const Case cases[] = {
      {kCode, kData, 0, 0x1000, 0x2000},       // the first section
      {kCode, kCode, 0, 0x1000, 0x4000},       // up to the end of the second
      {kData, kCode, 0, 0x5000, 0x8000},       // the optional header's code range
      {kCode, kData, 0x9000, 0x1000, 0x9A00},  // widened by the data
  };
  for (const Case& c : cases) {
    const MemoryImage image(0x10000000, Headers(c.first, c.second, c.baseOfData));
    ModuleInfo m;
    ASSERT_TRUE(ModuleRangeFromHeaders(image, 0x10000000, m));
    EXPECT_EQ(m.rangeBegin, 0x10000000 + c.begin);
    EXPECT_EQ(m.rangeEnd, 0x10000000 + c.end);
    EXPECT_EQ(m.imageEnd, 0x10010000u);
  }
  ModuleInfo m;
  std::vector<std::uint8_t> broken = Headers(kCode, kData, 0);
  broken[0x80] = 'X';  // no PE signature
  EXPECT_FALSE(ModuleRangeFromHeaders(MemoryImage(0x10000000, broken), 0x10000000, m));
  broken = Headers(kCode, kData, 0);
  broken.resize(0x90);  // headers cut short
  EXPECT_FALSE(ModuleRangeFromHeaders(MemoryImage(0x10000000, broken), 0x10000000, m));
}

}  // namespace
}  // namespace report
