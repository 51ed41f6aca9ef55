// The minidump encoder over records made from the input: addresses and sizes chosen to collide
// (ranges overlapping each other and the stacks, wrapping at the top of the address space, empty),
// names with every byte. Checks what readers rely on: the measured size is the written size, every
// directory entry and memory descriptor lies inside the file, and no two memory ranges overlap.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "report/KestrumMiniDump.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t Address(FuzzedDataProvider& in) {
  // Few distinct values, so that ranges meet; sometimes one near the top.
  const std::uint64_t a = in.ConsumeIntegralInRange<std::uint64_t>(0, 64) * 16;
  return in.ConsumeBool() ? a : ~std::uint64_t{0} - a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t threadCount = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  const std::size_t moduleCount = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  const std::size_t memoryCount = in.ConsumeIntegralInRange<std::size_t>(0, 8);
  std::vector<std::vector<std::uint8_t>> bytes;
  std::vector<std::string> texts;
  bytes.reserve(2 * threadCount + moduleCount + memoryCount + 1);
  texts.reserve(threadCount + moduleCount + 1);
  auto blob = [&](std::size_t max) -> report::Bytes {
    bytes.push_back(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, max)));
    return bytes.back();
  };
  auto text = [&]() -> std::string_view {
    texts.push_back(in.ConsumeRandomLengthString(40));
    return texts.back();
  };
  const bool wrongContext = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  auto context = [&]() -> report::Bytes {
    bytes.emplace_back(wrongContext ? report::kX86ContextSize - 4 : report::kX86ContextSize, std::uint8_t{0x11});
    return bytes.back();
  };

  std::vector<report::MiniDumpThread> threads(threadCount);
  for (auto& t : threads) {
    t.id = in.ConsumeIntegral<std::uint32_t>();
    t.context = context();
    t.stackStart = Address(in);
    t.stack = blob(96);
    t.name = text();
  }
  std::vector<report::MiniDumpModule> modules(moduleCount);
  for (auto& m : modules) {
    m.base = in.ConsumeIntegral<std::uint64_t>();
    m.size = in.ConsumeIntegral<std::uint32_t>();
    m.path = text();
    m.hasVersion = in.ConsumeBool();
    m.codeView = blob(64);
  }
  std::vector<report::MiniDumpMemory> memory(memoryCount);
  for (auto& r : memory) {
    r.start = Address(in);
    r.bytes = blob(96);
  }
  report::MiniDumpException exception;
  report::MiniDumpInput input;
  if (in.ConsumeBool()) {
    exception.parameterCount = in.ConsumeIntegralInRange<std::uint32_t>(0, 16);
    exception.context = context();
    input.exception = &exception;
  }
  input.threads = threads;
  input.modules = modules;
  input.memory = memory;
  input.system.servicePack = text();

  const std::size_t needed = report::EncodeMiniDump(input, {});
  if (needed == 0) return 0;
  std::vector<std::uint8_t> out(needed);
  Check(report::EncodeMiniDump(input, out) == needed);

  const std::uint32_t streams = platform::LoadLe32(out.data() + 8), directory = platform::LoadLe32(out.data() + 12);
  Check(std::size_t{directory} + 12 * streams <= needed);
  for (std::uint32_t i = 0; i < streams; ++i) {
    const std::uint8_t* e = out.data() + directory + 12 * i;
    const std::uint32_t streamSize = platform::LoadLe32(e + 4), rva = platform::LoadLe32(e + 8);
    Check(std::size_t{rva} + streamSize <= needed);
    if (platform::LoadLe32(e) != 5) continue;
    const std::uint32_t n = platform::LoadLe32(out.data() + rva);
    Check(streamSize == 4 + 16 * std::size_t{n});
    for (std::uint32_t a = 0; a < n; ++a) {
      const std::uint8_t* d = out.data() + rva + 4 + 16 * a;
      const std::uint64_t start = platform::LoadLe64(d), length = platform::LoadLe32(d + 8);
      Check(length > 0 && start + length > start);
      Check(std::size_t{platform::LoadLe32(d + 12)} + length <= needed);
      for (std::uint32_t b = 0; b < a; ++b) {
        const std::uint8_t* o = out.data() + rva + 4 + 16 * b;
        const std::uint64_t otherStart = platform::LoadLe64(o), otherEnd = otherStart + platform::LoadLe32(o + 8);
        Check(start + length <= otherStart || otherEnd <= start);
      }
    }
  }
  return 0;
}
