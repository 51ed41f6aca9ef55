#pragma once
// The 64-bit block cipher with its standard tables and key schedule, and the key of the debug
// information container's payload. The stored mail passwords use the cipher too.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace report {

// A block is two 32-bit little-endian words: the one at offset 4 is the left half, the one at
// offset 0 the right half.
class Blowfish {
 public:
  explicit Blowfish(std::span<const std::uint8_t> key);
  void EncipherBlock(std::uint32_t& left, std::uint32_t& right) const;
  void DecipherBlock(std::uint32_t& left, std::uint32_t& right) const;
  // Every whole 8-byte block independently; a shorter tail stays as it is.
  void Encipher(std::span<std::uint8_t> data) const;
  void Decipher(std::span<std::uint8_t> data) const;

 private:
  std::uint32_t F(std::uint32_t x) const;
  void EachBlock(std::span<std::uint8_t> data, void (Blowfish::*step)(std::uint32_t&, std::uint32_t&) const) const;
  std::uint32_t p_[18];
  std::uint32_t s_[4][256];
};

// The word the payload key is made from, shared by the reader and the build step.
inline constexpr std::string_view kDebugInfoKeyWord = "Kestrl";

// The text the payload key is made from, and the key itself, for a payload of length bytes.
std::string DebugInfoKeyText(std::uint32_t payloadLength);
std::string MakeDebugInfoKey(std::uint32_t payloadLength);

}  // namespace report
