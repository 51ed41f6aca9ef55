// Folder names in the shared temporary folder come from anyone: a name is ours only in the one
// spelling we write, and reading it never goes outside it.
#include "crash/KestrumTempFolder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

kestrum::ProcessState Ended(const kestrum::FolderOwner&) { return kestrum::ProcessState::ended; }

void CheckOne(std::string_view bytes) {
  // Exactly sized copy: a read past the name is a read past the heap block.
  std::unique_ptr<char[]> block(new char[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  const std::string_view name(block.get(), bytes.size());
  if (const auto owner = kestrum::ParseProcessFolderName(name)) {
    if (kestrum::ProcessFolderName(*owner) != name) std::abort();
    const kestrum::FolderOwner other{owner->processId + 1, owner->creationTime};
    if (!kestrum::MayRemoveProcessFolder(name, other, Ended)) std::abort();
    if (kestrum::MayRemoveProcessFolder(name, *owner, Ended)) std::abort();
  }
  if (const auto delivery = kestrum::ParseDeliveryFolderName(name)) {
    if (kestrum::DeliveryFolderName(*delivery) != name) std::abort();
  }
  kestrum::ComponentFolderName(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckOne(bytes);
  // Random bytes rarely spell one of our names: change one character of a real name instead.
  if (size >= 2) {
    std::string name = kestrum::ProcessFolderName({static_cast<std::uint32_t>(size * 2654435761u), size});
    if (data[0] & 1) name = kestrum::DeliveryFolderName(static_cast<std::uint32_t>(size));
    name[data[1] % name.size()] = static_cast<char>(data[size - 1]);
    CheckOne(name);
    CheckOne(name.substr(0, data[0] % (name.size() + 1)));
  }
  return 0;
}
