// Traces arbitrary stack bytes against a fixed small program: the first bytes choose the options,
// the frame pointer, the current address and an optional prepared candidate list; the rest is the
// stack.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "report/KorbStackTrace.h"
#include "report/tests/KorbStackTraceTestProcess.h"

namespace {

using report::test::CodeBuilder;
using report::test::Op;

const CodeBuilder& Program() {
  static const CodeBuilder exe = [] {
    CodeBuilder b(report::test::kExeCode);
    b.Function("main", {Op{Op::call, "A"}, Op{Op::call, "R"}, Op{Op::callIndirect, {}}});
    b.Function("A", {Op{Op::call, "B"}, Op{Op::nop, {}}});
    b.Function("B", {Op{Op::call, "C"}, Op{Op::callIndirect, {}}});
    b.Function("C", {Op{Op::nop, {}}, Op{Op::fault, {}}, Op{Op::call, "Error"}});
    b.Function("R", {Op{Op::call, "S"}, Op{Op::call, "C"}});
    b.Function("S", {Op{Op::call, "R"}, Op{Op::call, "A"}});
    b.Function("Error", {Op{Op::nop, {}}});
    b.Build();
    return b;
  }();
  return exe;
}

const CodeBuilder& Library() {
  static const CodeBuilder dll = [] {
    CodeBuilder b(report::test::kDllCode);
    b.Function("Outer", {Op{Op::call, "Inner"}});
    b.Function("Inner", {Op{Op::nop, {}}, Op{Op::fault, {}}});
    b.Build();
    return b;
  }();
  return dll;
}

// Stack words are often taken from a table of the program's own return addresses, so that the
// fuzzer reaches linking, rating and recursion removal instead of rejecting every value.
std::uint32_t Word(const std::uint8_t* p) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, 4);
  if ((v & 0xFF000000u) == 0xAA000000u) {
    const auto& fns = Program().Functions();
    const auto& f = fns[(v >> 8) % fns.size()];
    if (!f.returns.empty()) return f.returns[v % f.returns.size()];
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  const std::uint8_t flags = data[0];
  std::uint32_t ebpOffset = 0, current = 0;
  std::memcpy(&ebpOffset, data + 1, 2);
  current = Word(data + 4);
  data += 8;
  size -= 8;
  const std::size_t words = std::min<std::size_t>(size / 4, 0x4000);
  report::test::StackBuilder stack(static_cast<std::uint32_t>((words + 16) * 4));
  for (std::size_t i = 0; i < words; ++i) stack.Push(Word(data + i * 4));
  report::test::SyntheticProcess process(Program(), &Library(), stack.Bytes());
  process.exeDebugInfo = !(flags & 0x40);

  report::TraceInput in;
  in.isException = flags & 1;
  in.extException = flags & 2;
  in.dontAddTopItem = flags & 4;
  in.hideUglyItems = flags & 8;
  in.bcbTermination = flags & 0x10;
  in.currentAddr = current;
  in.creatorAddr = (flags & 0x20) ? Program().Functions()[0].returns[0] : 0;
  in.stackTop = stack.Top();
  in.stackBottom = stack.Sp();
  in.ebp = (flags & 0x80) ? stack.Sp() + (ebpOffset & ~3u) : 0;
  std::vector<report::TPreStackItem> prepared;
  if (flags & 0x04 && words > 0) {
    std::vector<std::uint8_t> packed(4 + words * 5 / 4);
    const std::uint32_t count = static_cast<std::uint32_t>(words / 4);
    std::memcpy(packed.data(), &count, 4);
    std::memcpy(packed.data() + 4, data, std::min(packed.size() - 4, size));
    if (report::UnpackPreparedStack(packed.data(), packed.size(), prepared)) in.prepared = &prepared;
  }
  report::StackTables tables;
  report::TraceOutput out;
  report::TraceStack(process, tables, in, out);
  // The shown items are the valid ones, innermost first: never more than there were candidates.
  if (out.items.size() > words + 2) __builtin_trap();
  return 0;
}
