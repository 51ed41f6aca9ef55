// HTTP answers come from the network: the judgement and the body never read outside the text,
// and a redirect it would open is always a web address.
#include <cstdlib>
#include <string_view>

#include "delivery/KestrumHttp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const delivery::HttpAnswer a = delivery::JudgeHttpAnswer(text);
  if (a.status != delivery::HttpAnswer::Status::kRedirect && !a.location.empty()) std::abort();
  if (a.location.size() > size) std::abort();
  delivery::IsWebAddress(a.location);
  // The answer's body is a part of the text, never more.
  for (const bool closed : {false, true}) {
    const auto body = delivery::HttpAnswerBody(text, closed);
    if (body && body->size() > size) std::abort();
  }
  delivery::IsWebAddress(text);
  return 0;
}
