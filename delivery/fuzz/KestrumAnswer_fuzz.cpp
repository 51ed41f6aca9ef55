// The answer body of an upload comes from whatever server the settings name: reading it never
// reads outside the text, and a version it keeps is short and printable.
#include <cstdlib>
#include <string>

#include "delivery/KestrumDeliver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const delivery::CollectorAnswer a = delivery::ParseCollectorAnswer(text);
  if (a.fixedIn.size() > 40) std::abort();
  for (const char c : a.fixedIn)
    if (c <= ' ' || c >= 0x7F) std::abort();
  delivery::CollectorAnswerLine(a, {"n", "k", "f %version%"});
  return 0;
}
