// DNS answers come from the network: whatever arrives, the parser stays inside the packet and
// hands back only names it could read there.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "delivery/KestrumDns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  for (const char* name : {"example.org", "a"}) {
    for (const std::string& host : delivery::ParseMxAnswer({copy.get(), size}, id, name)) {
      if (host.empty() || host.size() > 255) std::abort();
    }
    if (const auto ns = delivery::ParseNsAnswer({copy.get(), size}, id, name)) {
      for (const auto* names : {&ns->servers, &ns->referral}) {
        for (const std::string& server : *names) {
          if (server.empty() || server.size() > 255) std::abort();
        }
      }
    }
  }
  return 0;
}
