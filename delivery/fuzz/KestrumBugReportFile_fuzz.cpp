// The bug report file is plain text that users open, edit and cut: whatever it holds, storing a
// report must keep to the file's bounds, end with the new report, and keep the whole new report.
#include "delivery/KestrumBugReportFile.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Bytes 1 to 5 stand for the pieces that make stored reports fold and split, so that the fuzzer
// reaches those paths without having to guess a 31-character checksum.
std::string Expand(std::string_view text) {
  static const char* const kPieces[] = {
      "\r\n\r\ndate/time : t",
      "\r\ncallstack crc : $00000000, $00000000, $00000000",
      "\r\ncount : 7",
      "\r\nexception class : E",
      "\r\nversion : 1",
  };
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 1 && u <= 5) {
      out += kPieces[u - 1];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 1 << 16) return 0;
  // First byte: rules; the rest: the stored file, then after the first NUL a report.
  const std::uint8_t flags = data[0];
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view reportBytes;
  if (const std::size_t nul = input.find('\0'); nul != std::string_view::npos) {
    reportBytes = input.substr(nul + 1);
    input = input.substr(0, nul);
  }
  const std::string stored = Expand(input);
  const std::string report = Expand(reportBytes);

  delivery::StoreRules rules;
  rules.append = flags & 1;
  rules.sizeLimit = (flags & 2) ? static_cast<std::uint32_t>(stored.size() / 2) : 0;
  rules.noDupExcepts = flags & 4;
  rules.noDupFreezes = flags & 8;
  rules.dupExceptDef = static_cast<kestrum::TZQDupDef>((flags >> 4) % 4);
  rules.dupFreezeDef = static_cast<kestrum::TZQDupDef>((flags >> 6) % 4);

  const delivery::StorePlan plan = delivery::PlanStore(stored, report, rules);
  if (!plan.content.ends_with(delivery::kReportEnd)) std::abort();
  // The new report is kept whole; a count line is the only thing added to it.
  std::string expected(report);
  if (plan.count) {
    if (!delivery::InsertHeaderLine(expected, "count", "callstack crc", std::to_string(plan.count))) std::abort();
  }
  const std::string tail = expected + std::string(delivery::kReportEnd);
  if (!plan.content.ends_with(tail)) std::abort();
  if (plan.content.size() > stored.size() + tail.size() + 4) std::abort();
  for (const delivery::StoredReport& r : delivery::SplitStoredReports(stored)) {
    if (r.begin > r.end || r.end > stored.size()) std::abort();
  }
  (void)delivery::ExtractHeaderValue(stored, "callstack crc");
  return 0;
}
