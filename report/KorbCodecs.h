#pragma once
// The encodings of the debug information container's payload: the memory stream it is read from
// and written to, the compact integers and strings in it, and the compressed block that holds it.
// Every read is of untrusted bytes: it never goes past the data nor allocates more than its size
// can justify.

#include <cstdint>
#include <string>
#include <string_view>

// The memory stream of the container's payload. Capacity in steps of kCapacityStep bytes,
// reallocated only when the rounded size changes; size 0 frees the memory.
class TMiniStream {
 public:
  static constexpr std::int32_t kCapacityStep = 8192;

  TMiniStream() = default;
  ~TMiniStream() { Destroy(); }
  TMiniStream(const TMiniStream&) = delete;
  TMiniStream& operator=(const TMiniStream&) = delete;

  // Copies up to count bytes from the position and advances; the number copied.
  std::int32_t Read(void* buffer, std::int32_t count);
  // Writes at the position, growing the size when needed; the number written (0 when the memory
  // cannot grow).
  std::int32_t Write(const void* buffer, std::int32_t count);
  // False when the memory cannot be had; the stream is then unchanged.
  bool SetSize(std::int32_t size);
  std::int32_t Size() const { return FSize; }
  std::int32_t Position() const { return FPosition; }
  void SetPosition(std::int32_t position) { FPosition = position; }
  std::int32_t Remaining() const { return FPosition >= 0 && FPosition < FSize ? FSize - FPosition : 0; }
  const std::uint8_t* Memory() const { return FMemory; }
  void Destroy();

 private:
  std::uint8_t* FMemory = nullptr;
  std::int32_t FSize = 0;
  std::int32_t FPosition = 0;
  std::int32_t FCapacity = 0;
};

// A 32-bit little-endian word. A read that finds fewer bytes leaves the bytes it did not find as
// they were in value.
void ReadLe32(TMiniStream& stream, std::uint32_t& value);
void ReadLe32(TMiniStream& stream, std::int32_t& value);
void WriteLe32(TMiniStream& stream, std::uint32_t value);
// Compact integer: one signed byte for -127..127, else 0x80 and the 32-bit value. A read that
// finds fewer bytes leaves the bytes it did not find as they were in value.
void ReadCompactInt(TMiniStream& stream, std::int32_t& value);
void WriteCompactInt(TMiniStream& stream, std::int32_t value);
// Compact string: a length byte and the characters. A length beyond the bytes left reads nothing;
// writing keeps the first 255 characters.
void ReadCompactString(TMiniStream& stream, std::string& value);
void WriteCompactString(TMiniStream& stream, std::string_view value);

namespace report {

// CRC-32 of the ZIP polynomial.
std::uint32_t Crc32(std::string_view data);
// The compressed block: 64-bit uncompressed length, CRC-32, raw deflate. Empty on failure.
std::string CompressBlock(std::string_view data);
// The data of a compressed block; empty when it is too short, does not inflate, or its CRC
// differs. A stored length that the compressed size cannot give is cut to what it can give.
std::string DecompressBlock(std::string_view block);

}  // namespace report
