#include "report/KestrumBlowfish.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/Bytes.h"
#include "report/KestrumBlowfishTables.h"

namespace report {

Blowfish::Blowfish(std::span<const std::uint8_t> key) {
  std::memcpy(p_, kBlowfishInitialP, sizeof p_);
  std::memcpy(s_, kBlowfishInitialS, sizeof s_);
  if (!key.empty()) {
    std::size_t k = 0;
    for (std::uint32_t& p : p_) {
      std::uint32_t word = 0;
      for (int i = 0; i < 4; ++i) {
        word = word << 8 | key[k];
        k = (k + 1) % key.size();
      }
      p ^= word;
    }
  }
  std::uint32_t left = 0, right = 0;
  for (int i = 0; i < 18; i += 2) {
    EncipherBlock(left, right);
    p_[i] = left;
    p_[i + 1] = right;
  }
  for (auto& box : s_) {
    for (int i = 0; i < 256; i += 2) {
      EncipherBlock(left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
}

std::uint32_t Blowfish::F(std::uint32_t x) const {
  return ((s_[0][x >> 24] + s_[1][x >> 16 & 0xFF]) ^ s_[2][x >> 8 & 0xFF]) + s_[3][x & 0xFF];
}

void Blowfish::EncipherBlock(std::uint32_t& left, std::uint32_t& right) const {
  std::uint32_t l = left, r = right;
  for (int i = 0; i < 16; ++i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[16];
  l ^= p_[17];
  left = l;
  right = r;
}

void Blowfish::DecipherBlock(std::uint32_t& left, std::uint32_t& right) const {
  std::uint32_t l = left, r = right;
  for (int i = 17; i > 1; --i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[1];
  l ^= p_[0];
  left = l;
  right = r;
}

void Blowfish::EachBlock(std::span<std::uint8_t> data, void (Blowfish::*step)(std::uint32_t&, std::uint32_t&) const) const {
  for (std::size_t at = 0; at + 8 <= data.size(); at += 8) {
    std::uint32_t right = platform::LoadLe32(&data[at]), left = platform::LoadLe32(&data[at + 4]);
    (this->*step)(left, right);
    platform::StoreLe32(&data[at], right);
    platform::StoreLe32(&data[at + 4], left);
  }
}

void Blowfish::Encipher(std::span<std::uint8_t> data) const { EachBlock(data, &Blowfish::EncipherBlock); }

void Blowfish::Decipher(std::span<std::uint8_t> data) const { EachBlock(data, &Blowfish::DecipherBlock); }

std::string DebugInfoKeyText(std::uint32_t payloadLength) {
  char numbers[40];
  std::snprintf(numbers, sizeof numbers, "$%07X", payloadLength);
  std::string text = std::string(kDebugInfoKeyWord) + numbers;
  std::snprintf(numbers, sizeof numbers, "%08u", payloadLength);
  text += std::string(kDebugInfoKeyWord) + numbers;
  return text + text;
}

std::string MakeDebugInfoKey(std::uint32_t payloadLength) {
  std::string text = DebugInfoKeyText(payloadLength);
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  const Blowfish cipher(bytes);
  cipher.Encipher(bytes);
  return text;
}

}  // namespace report
