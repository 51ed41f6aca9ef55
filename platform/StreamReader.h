// Bounds-checked reading of the binary form streams that resources carry (the settings resource,
// the assistant forms): every take reports whether the bytes were there, and a length is compared
// with what is left before anything is allocated, so a stored length of 4 GB costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class StreamReader {
 public:
  StreamReader(const std::uint8_t* data, std::size_t size) : p_(data), left_(data ? size : 0) {}

  bool Byte(std::uint8_t& out) {
    if (left_ < 1) return false;
    out = *p_;
    Skip(1);
    return true;
  }
  bool Le(std::size_t bytes, std::uint32_t& out) {
    if (left_ < bytes) return false;
    out = 0;
    for (std::size_t i = 0; i < bytes; ++i) out |= static_cast<std::uint32_t>(p_[i]) << (8 * i);
    Skip(bytes);
    return true;
  }
  bool Chars(std::size_t count, std::string& out) {
    if (left_ < count) return false;
    out.assign(reinterpret_cast<const char*>(p_), count);
    Skip(count);
    return true;
  }
  bool Units(std::uint32_t count, std::u16string& out) {
    if (count > left_ / 2) return false;  // no multiplication: 2 * count may wrap on 32-bit
    out.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) out[i] = static_cast<char16_t>(p_[2 * i] | (p_[2 * i + 1] << 8));
    Skip(2 * static_cast<std::size_t>(count));
    return true;
  }
  // A length byte and that many characters.
  bool ShortString(std::string& out) {
    std::uint8_t len;
    return Byte(len) && Chars(len, out);
  }

 private:
  void Skip(std::size_t n) {
    p_ += n;
    left_ -= n;
  }
  const std::uint8_t* p_;
  std::size_t left_;
};

}  // namespace platform
