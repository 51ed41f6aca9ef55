// Little-endian fields of the layouts the program reads from files, resources and other processes
// and writes for them. Byte by byte, so that neither alignment nor the host's byte order matters.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

inline std::uint16_t LoadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t LoadLe64(const std::uint8_t* p) { return LoadLe32(p) | static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32; }

inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void StoreLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// For files written front to back (BMP, ZIP): the low 16 or 32 bits of v go to the end of out.
inline void AppendLe16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8 & 0xFF));
}

inline void AppendLe32(std::string& out, std::uint32_t v) {
  AppendLe16(out, v & 0xFFFF);
  AppendLe16(out, v >> 16);
}

}  // namespace platform
