#include "report/KorbCodecs.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/Bytes.h"

// ---------------------------------------------------------------------------------------------
// TMiniStream

namespace {

constexpr std::int32_t kStreamStep = TMiniStream::kCapacityStep;

std::int64_t RoundedCapacity(std::int64_t size) { return (size + kStreamStep - 1) / kStreamStep * kStreamStep; }

}  // namespace

std::int32_t TMiniStream::Read(void* buffer, std::int32_t count) {
  if (FPosition < 0 || count < 0) return 0;
  const std::int32_t n = std::min(count, Remaining());
  if (n > 0) std::memcpy(buffer, FMemory + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int32_t TMiniStream::Write(const void* buffer, std::int32_t count) {
  if (FPosition < 0 || count <= 0) return 0;
  const std::int64_t end = static_cast<std::int64_t>(FPosition) + count;
  if (end > std::numeric_limits<std::int32_t>::max() - kStreamStep) return 0;
  if (end > FSize) {
    const std::int32_t oldSize = FSize;
    if (!SetSize(static_cast<std::int32_t>(end))) return 0;
    // A position beyond the old end leaves a gap that must not hold stale heap bytes.
    if (FPosition > oldSize) std::memset(FMemory + oldSize, 0, static_cast<std::size_t>(FPosition - oldSize));
  }
  std::memcpy(FMemory + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition += count;
  return count;
}

bool TMiniStream::SetSize(std::int32_t size) {
  if (size < 0) return false;
  if (size == 0) {
    Destroy();
    return true;
  }
  const std::int64_t capacity = RoundedCapacity(size);
  if (capacity != FCapacity) {
    void* memory = std::realloc(FMemory, static_cast<std::size_t>(capacity));
    if (!memory) return false;
    FMemory = static_cast<std::uint8_t*>(memory);
    FCapacity = static_cast<std::int32_t>(capacity);
  }
  FSize = size;
  if (FPosition > FSize) FPosition = FSize;
  return true;
}

void TMiniStream::Destroy() {
  std::free(FMemory);
  FMemory = nullptr;
  FSize = FPosition = FCapacity = 0;
}

// ---------------------------------------------------------------------------------------------
// Words and compact codecs

// A partial read keeps the bytes it did not find, as the stream's readers rely on.
void ReadLe32(TMiniStream& stream, std::uint32_t& value) {
  std::uint8_t bytes[4];
  platform::StoreLe32(bytes, value);
  stream.Read(bytes, 4);
  value = platform::LoadLe32(bytes);
}

void ReadLe32(TMiniStream& stream, std::int32_t& value) {
  std::uint32_t v = static_cast<std::uint32_t>(value);
  ReadLe32(stream, v);
  value = static_cast<std::int32_t>(v);
}

void WriteLe32(TMiniStream& stream, std::uint32_t value) {
  std::uint8_t bytes[4];
  platform::StoreLe32(bytes, value);
  stream.Write(bytes, 4);
}

void ReadCompactInt(TMiniStream& stream, std::int32_t& value) {
  std::int8_t first = static_cast<std::int8_t>(value);
  if (stream.Read(&first, 1) != 1) return;
  if (first == -128)
    ReadLe32(stream, value);
  else
    value = first;
}

void WriteCompactInt(TMiniStream& stream, std::int32_t value) {
  if (value >= -127 && value <= 127) {
    const std::int8_t b = static_cast<std::int8_t>(value);
    stream.Write(&b, 1);
  } else {
    const std::uint8_t marker = 0x80;
    stream.Write(&marker, 1);
    WriteLe32(stream, static_cast<std::uint32_t>(value));
  }
}

void ReadCompactString(TMiniStream& stream, std::string& value) {
  std::uint8_t length = 0;
  if (stream.Read(&length, 1) != 1) return;
  if (length > stream.Remaining()) {
    value.clear();
    return;
  }
  value.resize(length);
  stream.Read(value.data(), length);
}

void WriteCompactString(TMiniStream& stream, std::string_view value) {
  const std::uint8_t length = static_cast<std::uint8_t>(std::min<std::size_t>(value.size(), 255));
  stream.Write(&length, 1);
  stream.Write(value.data(), length);
}

// ---------------------------------------------------------------------------------------------
// The compressed block

namespace report {

std::uint32_t Crc32(std::string_view data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most uInt bytes a call.
  while (!data.empty()) {
    const uInt n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), n);
    data.remove_prefix(n);
  }
  return static_cast<std::uint32_t>(crc);
}

std::string CompressBlock(std::string_view data) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max() / 2) return {};
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string block(12 + deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  auto* out = reinterpret_cast<std::uint8_t*>(block.data());
  platform::StoreLe64(out, data.size());
  platform::StoreLe32(out + 8, Crc32(data));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out + 12;
  z.avail_out = static_cast<uInt>(block.size() - 12);
  const int result = deflate(&z, Z_FINISH);
  const std::size_t produced = z.total_out;
  deflateEnd(&z);
  if (result != Z_STREAM_END) return {};
  block.resize(12 + produced);
  return block;
}

std::string DecompressBlock(std::string_view block) {
  if (block.size() < 13 || block.size() > std::numeric_limits<uInt>::max()) return {};
  const auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
  const std::uint64_t stored = platform::LoadLe32(in);
  const std::uint32_t crc = platform::LoadLe32(in + 8);
  // Deflate cannot expand more than about 1032 times; a larger claim is damage, not a reason to
  // allocate what it says.
  const std::uint64_t most = static_cast<std::uint64_t>(block.size() - 12) * 1032;
  const std::size_t length = static_cast<std::size_t>(std::min(stored, most));
  if (length == 0) return {};
  std::string data(length, '\0');
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return {};
  z.next_in = const_cast<Bytef*>(in + 12);
  z.avail_in = static_cast<uInt>(block.size() - 12);
  z.next_out = reinterpret_cast<Bytef*>(data.data());
  z.avail_out = static_cast<uInt>(data.size());
  const int result = inflate(&z, Z_FINISH);
  const std::size_t produced = z.total_out;
  inflateEnd(&z);
  // A stream that is cut short or damaged gives nothing; one that fills the buffer is cut there.
  if (result != Z_STREAM_END && !(result == Z_BUF_ERROR && z.avail_out == 0)) return {};
  if (produced == 0) return {};
  data.resize(produced);
  if (Crc32(data) != crc) return {};
  return data;
}

}  // namespace report
