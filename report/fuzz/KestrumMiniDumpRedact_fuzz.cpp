// Personal values blanked out of a dump that may be broken anywhere: a header that passes more often
// than chance would let it, then directory, lists, strings and memory from the input. Checks that
// nothing outside the file is touched (the sanitizers), that a dump without its header is left as
// it is, and that every byte that changes becomes filler: a token's character, '*', or the zero
// of a UTF-16 unit.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "report/KestrumMiniDumpRedact.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const char* const kTokens[] = {"<profile>", "<computer>", "<user>"};
  std::vector<std::string> texts;
  std::vector<report::DumpRedaction> values;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 3);
  texts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    texts.push_back(in.ConsumeRandomLengthString(16));
    values.push_back({texts.back(), kTokens[i]});
  }
  const bool header = in.ConsumeBool();
  std::vector<std::uint8_t> dump = in.ConsumeRemainingBytes<std::uint8_t>();
  if (header && dump.size() >= 16) {
    platform::StoreLe32(dump.data(), 0x504D444D);
    platform::StoreLe32(dump.data() + 4, 0xA793);
    // Few streams, the directory close to the header.
    platform::StoreLe32(dump.data() + 8, dump[8] % 8);
    platform::StoreLe32(dump.data() + 12, dump[12] % 64);
  }
  const std::vector<std::uint8_t> before = dump;
  const report::DumpRedactResult r = report::RedactMiniDump(dump, values);
  Check(dump.size() == before.size());
  if (!r.readable) Check(dump == before);
  std::string filler = "*";
  filler.push_back('\0');
  for (const char* token : kTokens) filler += token;
  for (std::size_t i = 0; i < dump.size(); ++i)
    if (dump[i] != before[i]) Check(filler.find(static_cast<char>(dump[i])) != std::string::npos);
  return 0;
}
