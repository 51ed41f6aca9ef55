// SMTP replies come from the network: any bytes in any split end in a bounded verdict.
#include <cstdlib>
#include <string_view>

#include "delivery/KestrumSmtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks where the text is split into two receives.
  const std::size_t split = size > 1 ? data[0] % size : 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  delivery::SmtpReplyParser parser("250");
  const auto first = parser.Feed(text.substr(0, split));
  const auto second = parser.Feed(text.substr(std::min(split, text.size())));
  if (first != delivery::SmtpReplyParser::Status::kMore && second != first) std::abort();
  return 0;
}
