#include "report/KorbStackTrace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "report/tests/KorbStackTraceTestProcess.h"

namespace report {
namespace {

using test::CodeBuilder;
using test::Op;
using test::StackBuilder;
using test::SyntheticProcess;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Op Call(const std::string& callee) { return Op{Op::call, callee}; }
Op Indirect() { return Op{Op::callIndirect, {}}; }
Op Fault() { return Op{Op::fault, {}}; }
Op Nop() { return Op{Op::nop, {}}; }

// The program most cases trace: main calls X (whose return address stays behind as a stale value)
// and then A, A calls B, B calls C, C faults. R and S call each other; Rec calls itself.
CodeBuilder Program() {
  CodeBuilder exe(test::kExeCode);
  exe.Function("uTest.main", {Call("uTest.X"), Call("uTest.A"), Call("uTest.Rec"), Call("uTest.R"), Call("uTest.CallDll")});
  exe.Function("uTest.A", {Nop(), Call("uTest.B")});
  exe.Function("uTest.B", {Call("uTest.C"), Indirect()});
  exe.Function("uTest.C", {Nop(), Fault(), Call("uTest.ThrowError")});
  exe.Function("uTest.X", {Nop()});
  exe.Function("uTest.Rec", {Call("uTest.Rec"), Call("uTest.C")});
  exe.Function("uTest.R", {Call("uTest.S"), Call("uTest.C")});
  exe.Function("uTest.S", {Call("uTest.R")});
  exe.Function("uTest.ThrowError", {Nop()});
  exe.Function("uTest.CallDll", {Indirect()});
  exe.Build();
  return exe;
}

CodeBuilder Library() {
  CodeBuilder dll(test::kDllCode);
  dll.Function("SysOuter", {Call("SysInner")});
  dll.Function("SysInner", {Nop(), Fault()});
  dll.Build();
  return dll;
}

struct Scenario {
  CodeBuilder exe = Program();
  CodeBuilder dll = Library();
  StackBuilder stack;
  TraceInput in;
  bool framePointers = true;
  bool exeDebugInfo = true;
  bool oneLineFunctions = false;
  StackTables tables;

  Addr At(const std::string& f, std::size_t n) const { return exe.After("uTest." + f, n); }
  void Enter(const std::string& f, std::size_t n) { stack.Call(At(f, n), framePointers); }

  TraceOutput Trace() {
    in.stackTop = stack.Top();
    in.stackBottom = stack.Sp();
    in.ebp = framePointers ? stack.Ebp() : 0;
    SyntheticProcess process(exe, &dll, stack.Bytes());
    process.exeDebugInfo = exeDebugInfo;
    process.oneLineFunctions = oneLineFunctions;
    TraceOutput out;
    TraceStack(process, tables, in, out);
    return out;
  }
};

std::vector<std::string> Names(const TraceOutput& out) {
  std::vector<std::string> names;
  for (const TStackItem& item : out.items) names.push_back(item.FunctionName);
  return names;
}

// main → A → B → C with noise on the stack: a stale return address of main, non-code values.
void Nested(Scenario& s) {
  s.stack.Push(0xDEADBEEF);
  s.Enter("main", 1);
  s.stack.Push(42);
  s.stack.Push(s.At("main", 0));
  s.Enter("A", 1);
  s.stack.Push(0x12345678);
  s.Enter("B", 0);
  s.stack.Push(7);
  s.in.isException = true;
  s.in.currentAddr = s.At("C", 1);
}

struct Case {
  const char* name;
  std::function<void(Scenario&)> build;
  std::vector<std::string> expected;
};

class TraceCases : public ::testing::TestWithParam<Case> {};

TEST_P(TraceCases, ShowsTheCallsInnermostFirst) {
  Scenario s;
  GetParam().build(s);
  const TraceOutput out = s.Trace();
  EXPECT_EQ(out.failedPhase, "");
  EXPECT_THAT(Names(out), ElementsAreArray(GetParam().expected)) << out.text;
}

const Case kCases[] = {
    {"frame_pointers", Nested, {"uTest.C", "uTest.B", "uTest.A", "uTest.main"}},
    {"no_frame_pointers",
     [](Scenario& s) {
       s.framePointers = false;
       Nested(s);
     },
     {"uTest.C", "uTest.B", "uTest.A", "uTest.main"}},
    {"direct_recursion_shown_once",
     [](Scenario& s) {
       s.framePointers = false;
       s.Enter("main", 2);
       for (int i = 0; i < 50; ++i) s.Enter("Rec", 0);
       s.Enter("Rec", 1);
       s.in.isException = true;
       s.in.currentAddr = s.At("C", 1);
     },
     {"uTest.C", "uTest.Rec", "uTest.Rec", "uTest.main"}},
    {"mutual_recursion_block_shown_once",
     [](Scenario& s) {
       s.framePointers = false;
       s.Enter("main", 3);
       for (int i = 0; i < 6; ++i) {
         s.Enter("R", 0);
         s.Enter("S", 0);
       }
       s.Enter("R", 1);
       s.in.isException = true;
       s.in.currentAddr = s.At("C", 1);
     },
     {"uTest.C", "uTest.R", "uTest.S", "uTest.R", "uTest.main"}},
    {"recursion_longer_than_the_stack_below_stays",
     [](Scenario& s) {
       s.framePointers = false;
       s.Enter("S", 0);
       s.Enter("R", 0);
       s.Enter("S", 0);
       s.Enter("R", 1);
       s.in.isException = true;
       s.in.currentAddr = s.At("C", 1);
     },
     {"uTest.C", "uTest.R", "uTest.S", "uTest.R", "uTest.S"}},
    {"raise_routine_call_is_the_innermost_line",
     [](Scenario& s) {
       s.Enter("main", 1);
       s.Enter("A", 1);
       s.Enter("B", 0);
       s.in.isException = true;
       s.in.currentAddr = s.At("C", 2);
     },
     {"uTest.C", "uTest.B", "uTest.A", "uTest.main"}},
    {"only_non_code_values_keep_the_top_item",
     [](Scenario& s) {
       for (std::uint32_t v : {0u, 1u, 7u, 0x41414141u, 0x00401000u, 0x00100010u}) s.stack.Push(v);
       s.framePointers = false;
       s.in.isException = true;
       s.in.currentAddr = s.At("C", 1);
     },
     {"uTest.C"}},
    {"only_non_code_values_without_top_item_give_nothing",
     [](Scenario& s) {
       for (std::uint32_t v : {0u, 1u, 0x41414141u}) s.stack.Push(v);
       s.framePointers = false;
       s.in.dontAddTopItem = true;
     },
     {}},
    {"try_finally_return_value_never_gives_a_line",
     [](Scenario& s) {
       s.framePointers = false;
       Nested(s);
       s.tables.tryFinallyReturn = s.At("main", 1);
     },
     {"uTest.C", "uTest.B", "uTest.A"}},
    {"termination_hides_the_throwing_routine_inwards",
     [](Scenario& s) {
       s.exe = CodeBuilder(test::kExeCode);
       s.exe.Function("uTest.main", {Call("_ThrowExceptionLDTC")});
       s.exe.Function("_ThrowExceptionLDTC", {Call("uTest.C")});
       s.exe.Function("uTest.C", {Nop(), Fault()});
       s.exe.Build();
       s.framePointers = false;
       s.stack.Call(s.exe.After("uTest.main", 0), false);
       s.stack.Call(s.exe.After("_ThrowExceptionLDTC", 0), false);
       s.in.isException = true;
       s.in.bcbTermination = true;
       s.in.currentAddr = s.exe.After("uTest.C", 1);
     },
     {"uTest.main"}},
    {"system_library_without_debug_information_uses_its_exports",
     [](Scenario& s) {
       s.framePointers = false;
       s.in.hideUglyItems = false;  // the library's lines have no line numbers
       s.Enter("main", 4);
       s.Enter("CallDll", 0);
       s.stack.Call(s.dll.After("SysOuter", 0), false);
       s.in.isException = true;
       s.in.extException = true;
       s.in.currentAddr = s.dll.After("SysInner", 1);
     },
     {"SysInner", "SysOuter", "uTest.CallDll", "uTest.main"}},
};

INSTANTIATE_TEST_SUITE_P(StackTrace, TraceCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(StackTrace, LinesAddressesAndFunctionStartsOfEachItem) {
  Scenario s;
  Nested(s);
  const TraceOutput out = s.Trace();
  ASSERT_EQ(out.items.size(), 4u) << out.text;
  // The fault itself, then the call instruction in front of each return address.
  EXPECT_EQ(out.items[0].Addr_, s.At("C", 1));
  EXPECT_EQ(out.items[1].Addr_, s.At("B", 0) - 5);
  EXPECT_EQ(out.items[2].Addr_, s.At("A", 1) - 5);
  EXPECT_EQ(out.items[3].Addr_, s.At("main", 1) - 5);
  EXPECT_EQ(out.items[1].relAddr, s.At("B", 0) - 5 - s.exe.Entry("uTest.B"));
  // uTest.B is function 2: lines start at 30, one per byte.
  EXPECT_EQ(out.items[1].Line, static_cast<int>(30 + s.At("B", 0) - 5 - s.exe.Entry("uTest.B")));
  EXPECT_EQ(out.items[1].relLine, static_cast<int>(s.At("B", 0) - 5 - s.exe.Entry("uTest.B")));
  EXPECT_EQ(out.items[1].ModuleName, "prog.exe");
  EXPECT_EQ(out.items[1].UnitName, "uTest");
  EXPECT_TRUE(out.hasLines);
  EXPECT_EQ(out.exceptAddr, s.At("C", 1));
  EXPECT_EQ(out.functionStart, s.exe.Entry("uTest.C"));
  EXPECT_EQ(out.functionAddr, s.At("C", 1));
  EXPECT_NE(out.text.find("uTest.B"), std::string::npos);
}

// A call on the first line of its function has relative line 0: it is still a line with a number.
TEST(StackTrace, CallsOnTheFunctionsFirstLineAreShown) {
  Scenario s;
  s.oneLineFunctions = true;
  Nested(s);
  const TraceOutput out = s.Trace();
  EXPECT_THAT(Names(out), ElementsAre("uTest.C", "uTest.B", "uTest.A", "uTest.main")) << out.text;
  ASSERT_EQ(out.items.size(), 4u);
  EXPECT_EQ(out.items[1].Line, 30);
  EXPECT_EQ(out.items[1].relLine, 0);
}

TEST(StackTrace, RaiseRoutineLineIsTheCallOfThatRoutine) {
  Scenario s;
  s.Enter("main", 1);
  s.Enter("A", 1);
  s.Enter("B", 0);
  s.in.isException = true;
  s.in.currentAddr = s.At("C", 2);
  const TraceOutput out = s.Trace();
  ASSERT_FALSE(out.items.empty());
  EXPECT_EQ(out.items[0].Addr_, s.At("C", 2) - 5);
}

TEST(StackTrace, UnreadableTopAddressOfSystemExceptionStillGivesALine) {
  Scenario s;
  s.Enter("main", 1);
  s.Enter("A", 1);
  s.in.isException = true;
  s.in.extException = true;
  s.in.currentAddr = 0x00003000;  // nothing mapped there
  const TraceOutput out = s.Trace();
  ASSERT_FALSE(out.items.empty()) << out.text;
  EXPECT_EQ(out.items[0].Addr_, 0x00003000u);
  EXPECT_EQ(out.items[0].ModuleName, "???");
  EXPECT_THAT(Names(out), ElementsAre("", "uTest.A", "uTest.main"));
}

TEST(StackTrace, ExecutableWithoutDebugInformationAssumesNoFunction) {
  Scenario s;
  s.exeDebugInfo = false;
  s.framePointers = false;
  Nested(s);
  s.in.hideUglyItems = false;
  const TraceOutput out = s.Trace();
  // Only the top item survives: without debug information no candidate of the executable is found.
  ASSERT_EQ(out.items.size(), 1u) << out.text;
  EXPECT_EQ(out.items[0].FunctionName, "");
  EXPECT_FALSE(out.hasLines);
}

TEST(StackTrace, CreatorCallSiteEndsTheTrace) {
  Scenario s;
  s.framePointers = false;
  s.Enter("A", 1);
  s.Enter("B", 0);
  s.in.creatorAddr = s.At("main", 1);
  s.in.isException = true;
  s.in.currentAddr = s.At("C", 1);
  const TraceOutput out = s.Trace();
  EXPECT_THAT(Names(out), ElementsAre("uTest.C", "uTest.B", "uTest.A", "uTest.main")) << out.text;
  EXPECT_EQ(out.items.back().Addr_, s.At("main", 1) - 5);
}

TEST(StackTrace, PreparedCandidatesReplaceTheLiveStack) {
  Scenario s;
  Nested(s);
  s.in.stackTop = s.stack.Top();
  s.in.stackBottom = s.stack.Sp();
  SyntheticProcess process(s.exe, &s.dll, s.stack.Bytes());
  const std::vector<TPreStackItem> prepared = PreScanStack(process, s.stack.Ebp(), s.stack.Top(), s.stack.Sp(), true, s.in.currentAddr);
  // main's stale value, then one return slot per frame (the frame pointers are skipped).
  ASSERT_EQ(prepared.size(), 4u);
  EXPECT_TRUE(prepared[0].dontKill);
  EXPECT_FALSE(prepared[1].dontKill);
  EXPECT_EQ(prepared[1].afterInstr, s.At("main", 0));

  const std::vector<std::uint8_t> packed = PackPreparedStack(prepared);
  ASSERT_EQ(packed.size(), 4u + 5u * 4u);
  std::vector<TPreStackItem> unpacked;
  ASSERT_TRUE(UnpackPreparedStack(packed.data(), packed.size(), unpacked));
  EXPECT_EQ(unpacked[3].afterInstr, prepared[3].afterInstr);
  std::vector<TPreStackItem> cut;
  EXPECT_FALSE(UnpackPreparedStack(packed.data(), packed.size() - 1, cut)) << "a count running past the data";

  // The live stack is wiped: the trace must come from the prepared list alone.
  StackBuilder empty;
  for (int i = 0; i < 8; ++i) empty.Push(0);
  s.stack = empty;
  s.framePointers = false;
  s.in.prepared = &unpacked;
  const TraceOutput out = s.Trace();
  EXPECT_THAT(Names(out), ElementsAre("uTest.C", "uTest.B", "uTest.A", "uTest.main")) << out.text;
}

TEST(StackTrace, CallPatternsInFrontOfAnAddress) {
  struct PatternCase {
    std::vector<std::uint8_t> bytes;  // the 8 bytes in front of the address
    bool call;
  };
  const PatternCase cases[] = {
      {{0, 0, 0, 0xE8, 1, 2, 3, 4}, true},           // call rel32
      {{0, 0, 0, 0, 0, 0, 0xFF, 0xD0}, true},        // call eax
      {{0, 0, 0, 0, 0, 0xFF, 0x55, 0x08}, true},     // call [ebp+8]
      {{0, 0, 0, 0, 0xFF, 0x14, 0x24, 0}, true},     // call [esp+ecx]... 4 bytes
      {{0, 0, 0xFF, 0x15, 1, 2, 3, 4}, true},        // call [abs32]
      {{0, 0xFF, 0x94, 0x24, 1, 2, 3, 4}, true},     // call [esp+disp32]
      {{0, 0x9A, 1, 2, 3, 4, 5, 6}, true},           // far call
      {{0, 0, 0, 0, 0, 0, 0xFF, 0xE0}, false},       // jmp eax
      {{0, 0, 0, 0xE9, 1, 2, 3, 4}, false},          // jmp rel32
      {{0, 0, 0, 0, 0, 0, 0, 0}, false},
  };
  for (const PatternCase& c : cases) {
    CodeBuilder none(test::kExeCode);
    none.Build();
    StackBuilder stack;
    std::vector<std::uint8_t> bytes = stack.Bytes();
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + 0x100);
    SyntheticProcess process(none, nullptr, bytes);
    EXPECT_EQ(CallEndsAt(process, test::kStackBase + 0x108), c.call) << ::testing::PrintToString(c.bytes);
  }
  CodeBuilder none(test::kExeCode);
  none.Build();
  SyntheticProcess process(none, nullptr, StackBuilder().Bytes());
  EXPECT_FALSE(CallEndsAt(process, test::kStackBase + 4)) << "the 8 bytes in front must be readable";
}

TEST(StackTrace, RatingSaturatesBelowTheReachedFlags) {
  const std::int64_t flags = std::int64_t{0x70000000} << 32;
  const std::int64_t score = (std::int64_t{1} << 60) - 1;
  std::int64_t q = flags;
  for (int i = 0; i < 5000; ++i) q = AddRating(q, 51);
  EXPECT_EQ(q & ~score, flags) << "a long chain must not carry into the flags";
  EXPECT_EQ(q & score, score);
  EXPECT_GT(q, AddRating(flags, 51));
  // However long, a chain that never reached its end stays below one that did.
  std::int64_t unreached = std::int64_t{0x10000000} << 32;
  for (int i = 0; i < 5000; ++i) unreached = AddRating(unreached, 51);
  EXPECT_GT(AddRating(flags, 0), unreached);
}

// A nesting thousands of calls deep without frame pointers or anchors: the rating must neither
// overflow nor recurse as deep as the stack.
TEST(StackTrace, DeepChainWithoutAnchorsKeepsEveryCall) {
  constexpr int kDepth = 3000;
  Scenario s;
  s.exe = CodeBuilder(test::kExeCode);
  for (int i = 0; i < kDepth; ++i) s.exe.Function("uTest.F" + std::to_string(i), {Call("uTest.F" + std::to_string(i + 1))});
  s.exe.Function("uTest.F" + std::to_string(kDepth), {Nop(), Fault()});
  s.exe.Build();
  s.stack = StackBuilder(0x10000);
  s.framePointers = false;
  for (int i = 0; i < kDepth; ++i) s.stack.Call(s.exe.After("uTest.F" + std::to_string(i), 0), false);
  s.in.isException = true;
  s.in.currentAddr = s.exe.After("uTest.F" + std::to_string(kDepth), 1);
  const TraceOutput out = s.Trace();
  ASSERT_EQ(out.items.size(), static_cast<std::size_t>(kDepth + 1));
  for (int i = 0; i <= kDepth; ++i) EXPECT_EQ(out.items[static_cast<std::size_t>(i)].FunctionName, "uTest.F" + std::to_string(kDepth - i));
}

// A large stack filled with return addresses that are not one chain: linking is bounded, and the
// real frames with their frame pointers still come out.
TEST(StackTrace, StackFullOfCodeLikeValuesStillGivesTheRealChain) {
  Scenario s;
  s.stack = StackBuilder(0x40000);
  s.Enter("main", 1);
  const Addr noise[] = {s.At("main", 0), s.At("B", 1), s.At("Rec", 0), s.At("R", 0), s.At("S", 0), s.At("main", 2)};
  for (int i = 0; i < 0x8000; ++i) s.stack.Push(noise[i % 6]);
  s.Enter("A", 1);
  s.Enter("B", 0);
  s.in.isException = true;
  s.in.currentAddr = s.At("C", 1);
  const TraceOutput out = s.Trace();
  EXPECT_THAT(Names(out), ElementsAre("uTest.C", "uTest.B", "uTest.A", "uTest.main")) << out.text.substr(0, 2000);
}

// 1 MB of return addresses in no order and without frame pointers: no anchor bounds the linking,
// only the link span does. The trace must finish and still end in the faulting function.
TEST(StackTrace, MegabyteOfUnorderedReturnAddressesFinishes) {
  constexpr int kFunctions = 400;
  Scenario s;
  s.exe = CodeBuilder(test::kExeCode);
  for (int i = 0; i < kFunctions; ++i)
    s.exe.Function("uTest.F" + std::to_string(i), {Call("uTest.F" + std::to_string((i * 7 + 1) % kFunctions)), Indirect()});
  s.exe.Function("uTest.Faulting", {Nop(), Fault()});
  s.exe.Build();
  s.stack = StackBuilder(0x100000 + 0x100);
  s.framePointers = false;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 0x100000 / 4; ++i) {
    seed = seed * 1103515245u + 12345u;
    const int f = static_cast<int>((seed >> 8) % kFunctions);
    s.stack.Push(s.exe.After("uTest.F" + std::to_string(f), (seed >> 24) & 1));
  }
  s.in.isException = true;
  s.in.currentAddr = s.exe.After("uTest.Faulting", 1);
  const TraceOutput out = s.Trace();
  EXPECT_EQ(out.failedPhase, "");
  ASSERT_FALSE(out.items.empty());
  EXPECT_EQ(out.items[0].FunctionName, "uTest.Faulting");
}

TEST(StackTrace, AbortGivesAnEmptyText) {
  Scenario s;
  Nested(s);
  std::atomic<bool> abort{true};
  s.in.abort = &abort;
  const TraceOutput out = s.Trace();
  EXPECT_EQ(out.text, "");
  EXPECT_TRUE(out.items.empty());
}

TEST(StackTrace, ProgressRunsFromZeroToTheEnd) {
  struct Recorder : TraceProgress {
    std::vector<int> positions;
    void Position(int perMille) override { positions.push_back(perMille); }
  } recorder;
  Scenario s;
  Nested(s);
  s.in.progress = &recorder;
  s.Trace();
  ASSERT_FALSE(recorder.positions.empty());
  EXPECT_TRUE(std::is_sorted(recorder.positions.begin(), recorder.positions.end()));
  EXPECT_LE(recorder.positions.back(), 1000);
}

}  // namespace
}  // namespace report
