#include "crash/KestrumImports.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "platform/Text.h"

namespace kestrum {
namespace {

std::optional<std::uint32_t> Read32(std::span<const std::uint8_t> image, std::uint64_t at) {
  if (at > image.size() || image.size() - at < 4) return std::nullopt;
  std::uint32_t v;
  std::memcpy(&v, image.data() + at, 4);
  return v;
}

std::optional<std::uint16_t> Read16(std::span<const std::uint8_t> image, std::uint64_t at) {
  if (at > image.size() || image.size() - at < 2) return std::nullopt;
  std::uint16_t v;
  std::memcpy(&v, image.data() + at, 2);
  return v;
}

// A zero-terminated name inside the image, at most 255 characters; empty when it starts outside.
std::string NameAt(std::span<const std::uint8_t> image, std::uint64_t at) {
  std::string s;
  for (std::uint64_t i = at; i < image.size() && s.size() < 255 && image[i] != 0; ++i) s.push_back(static_cast<char>(image[i]));
  return s;
}

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kOptionalMagic32 = 0x10B;
constexpr std::uint32_t kDescriptorSize = 20;

}  // namespace

std::optional<std::vector<ImportSlot>> ImportSlots(std::span<const std::uint8_t> image, std::size_t maxSlots) {
  const auto mz = Read16(image, 0);
  const auto lfanew = Read32(image, 0x3C);
  if (!mz || *mz != 0x5A4D || !lfanew) return std::nullopt;
  const std::uint64_t nt = *lfanew;
  const auto signature = Read32(image, nt);
  const auto magic = Read16(image, nt + 24);
  if (!signature || *signature != kPeSignature || !magic || *magic != kOptionalMagic32) return std::nullopt;
  const auto directoryCount = Read32(image, nt + 24 + 92);
  if (!directoryCount) return std::nullopt;
  std::vector<ImportSlot> slots;
  if (*directoryCount < 2) return slots;  // no import directory entry at all
  const auto importRva = Read32(image, nt + 24 + 104);
  const auto importSize = Read32(image, nt + 24 + 108);
  if (!importRva || !importSize) return std::nullopt;
  if (*importRva == 0) return slots;
  if (*importRva >= image.size()) return std::nullopt;

  for (std::uint64_t d = *importRva;; d += kDescriptorSize) {
    if (d > image.size() || image.size() - d < kDescriptorSize) break;
    const std::uint32_t nameRva = *Read32(image, d + 12);
    const std::uint32_t firstThunk = *Read32(image, d + 16);
    const std::uint32_t originalThunk = *Read32(image, d);
    if (nameRva == 0 && firstThunk == 0 && originalThunk == 0) break;  // the closing all-zero descriptor
    if (firstThunk == 0) continue;
    const std::string library = NameAt(image, nameRva);
    for (std::uint64_t s = firstThunk;; s += 4) {
      const auto value = Read32(image, s);
      if (!value || *value == 0) break;
      if (slots.size() >= maxSlots) return slots;
      slots.push_back({static_cast<std::uint32_t>(s), library});
    }
  }
  return slots;
}

bool IsSystemCoreLibrary(std::string_view fileName) {
  static constexpr std::array<std::string_view, 3> kCore = {"kernel32.dll", "kernelbase.dll", "ntdll.dll"};
  return std::any_of(kCore.begin(), kCore.end(), [&](std::string_view core) { return platform::EqualNoCase(core, fileName); });
}

}  // namespace kestrum
