// The settings stream comes from a module's resources: any bytes must parse without reading
// outside them, and what is kept must write back into a stream that parses to the same list.
#include "crash/settings/KestrumResource.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

void CheckOne(const std::uint8_t* data, std::size_t size) {
  const kestrum::ParsedResource r = kestrum::ParseSettingsResource(data, size);
  if (!r.prefixOk || r.props.empty()) return;
  std::vector<kestrum::ParsedProperty> storable;
  for (const auto& p : r.props) {
    if (!p.name.empty()) storable.push_back(p);
  }
  const std::vector<std::uint8_t> again = kestrum::WriteSettingsResource(storable);
  if (kestrum::ParseSettingsResource(again.data(), again.size()).props != storable) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckOne(data, size);
  // Random bytes rarely spell the stream's head; put it in front so the properties get explored.
  static const std::vector<std::uint8_t> head = kestrum::WriteSettingsResource({});
  std::vector<std::uint8_t> withHead(head.begin(), head.end() - 1);
  withHead.insert(withHead.end(), data, data + size);
  // Exactly sized copy: a read past the input is a read past the heap block.
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[withHead.size()]);
  std::copy(withHead.begin(), withHead.end(), block.get());
  CheckOne(block.get(), withHead.size());
  return 0;
}
