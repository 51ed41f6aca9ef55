#include "crash/KestrumTempFolder.h"

#include "platform/Text.h"

namespace kestrum {

namespace {

// Exactly `digits` lowercase hexadecimal digits, so that one owner has one spelling.
std::optional<std::uint64_t> ReadHex(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value << 4 | static_cast<std::uint64_t>(v);
  }
  return value;
}

}  // namespace

std::string ComponentFolderName(std::string_view programPath) {
  const std::size_t slash = programPath.find_last_of("\\/:");
  std::string_view name = slash == std::string_view::npos ? programPath : programPath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name) + ".Kestrum";
}

std::string ProcessFolderName(const FolderOwner& owner) {
  std::string name = "p";
  name += platform::HexDigits(owner.processId, 8);
  name.push_back('-');
  name += platform::HexDigits(owner.creationTime, 16);
  return name;
}

std::optional<FolderOwner> ParseProcessFolderName(std::string_view name) {
  if (name.size() != 26 || name[0] != 'p' || name[9] != '-') return std::nullopt;
  const std::optional<std::uint64_t> id = ReadHex(name.substr(1, 8), 8);
  const std::optional<std::uint64_t> created = ReadHex(name.substr(10), 16);
  if (!id || !created) return std::nullopt;
  return FolderOwner{static_cast<std::uint32_t>(*id), *created};
}

std::string DeliveryFolderName(std::uint32_t delivery) {
  std::string name = "d";
  name += platform::HexDigits(delivery, 8);
  return name;
}

std::optional<std::uint32_t> ParseDeliveryFolderName(std::string_view name) {
  if (name.empty() || name[0] != 'd') return std::nullopt;
  const std::optional<std::uint64_t> n = ReadHex(name.substr(1), 8);
  if (!n) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

bool MayRemoveProcessFolder(std::string_view name, const FolderOwner& self, const ProcessOracle& oracle) {
  const std::optional<FolderOwner> owner = ParseProcessFolderName(name);
  if (!owner || *owner == self) return false;
  return oracle(*owner) == ProcessState::ended;
}

bool MayRemoveDeliveryFolder(std::string_view name, const std::function<bool(std::uint32_t delivery)>& deliveryRunning) {
  const std::optional<std::uint32_t> delivery = ParseDeliveryFolderName(name);
  return delivery && !deliveryRunning(*delivery);
}

}  // namespace kestrum
