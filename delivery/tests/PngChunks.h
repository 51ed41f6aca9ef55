// Reads back the chunks of a PNG file and inflates its image data, to look at what the encoder
// wrote byte by byte.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace delivery::testing {

struct PngChunk {
  std::string type;
  std::string data;
  bool crcOk;
};

inline std::uint32_t Be32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at])) << 24 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 1])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 2])) << 8 | static_cast<std::uint8_t>(s[at + 3]);
}

// Empty when the signature is wrong or a chunk runs past the end.
inline std::vector<PngChunk> Chunks(const std::string& png) {
  std::vector<PngChunk> out;
  if (png.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) return {};
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    const std::uint32_t length = Be32(png, at);
    if (length > png.size() - at - 12) return {};
    PngChunk c{png.substr(at + 4, 4), png.substr(at + 8, length), false};
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4);
    c.crcOk = crc == Be32(png, at + 8 + length);
    out.push_back(std::move(c));
    at += 12 + length;
  }
  return at == png.size() ? out : std::vector<PngChunk>{};
}

// The IDAT contents inflated (zlib stream, Adler-32 checked); empty when they do not inflate.
inline std::string Inflate(const std::string& zlibStream, std::size_t expected) {
  std::string out(expected, '\0');
  uLongf size = static_cast<uLongf>(expected);
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(zlibStream.data()),
                 static_cast<uLong>(zlibStream.size())) != Z_OK ||
      size != expected) {
    return {};
  }
  return out;
}

}  // namespace delivery::testing
