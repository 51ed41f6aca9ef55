#include "delivery/KestrumZip.h"

#include <zlib.h>

#include "platform/Bytes.h"

namespace delivery {
namespace {

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::uint16_t kVersion = 20;
constexpr std::uint16_t kUtf8Names = 0x0800;
constexpr std::uint16_t kDeflated = 8;

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const char32_t u = c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c;
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

bool DeflateRaw(std::string_view data, std::string& out) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  std::string buffer(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(buffer.data());
  z.avail_out = static_cast<uInt>(buffer.size());
  const int rc = deflate(&z, Z_FINISH);
  const std::size_t written = buffer.size() - z.avail_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) return false;
  buffer.resize(written);
  out = std::move(buffer);
  return true;
}

bool ZipBuilder::Add(const ZipEntry& e) {
  std::string packed;
  if (!DeflateRaw(e.data, packed)) return false;
  const std::string name = Cp1252ToUtf8(e.name);
  const std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
  const std::uint32_t offset = static_cast<std::uint32_t>(local_.size());
  auto common = [&](std::string& s) {
    platform::AppendLe16(s, kVersion);
    platform::AppendLe16(s, kUtf8Names);
    platform::AppendLe16(s, kDeflated);
    platform::AppendLe16(s, e.dosTime);
    platform::AppendLe16(s, e.dosDate);
    platform::AppendLe32(s, crc);
    platform::AppendLe32(s, static_cast<std::uint32_t>(packed.size()));
    platform::AppendLe32(s, static_cast<std::uint32_t>(e.data.size()));
    platform::AppendLe16(s, static_cast<std::uint32_t>(name.size()));
    platform::AppendLe16(s, 0);
  };
  platform::AppendLe32(local_, 0x04034B50);
  common(local_);
  local_ += name;
  local_ += packed;

  platform::AppendLe32(central_, 0x02014B50);
  platform::AppendLe16(central_, kVersion);
  common(central_);
  platform::AppendLe16(central_, 0);  // comment
  platform::AppendLe16(central_, 0);  // disk
  platform::AppendLe16(central_, 0);  // internal attributes
  platform::AppendLe32(central_, e.attributes);
  platform::AppendLe32(central_, offset);
  central_ += name;
  ++count_;
  return true;
}

std::string ZipBuilder::Finish() const {
  std::string out = local_ + central_;
  platform::AppendLe32(out, 0x06054B50);
  platform::AppendLe16(out, 0);
  platform::AppendLe16(out, 0);
  platform::AppendLe16(out, static_cast<std::uint32_t>(count_));
  platform::AppendLe16(out, static_cast<std::uint32_t>(count_));
  platform::AppendLe32(out, static_cast<std::uint32_t>(central_.size()));
  platform::AppendLe32(out, static_cast<std::uint32_t>(local_.size()));
  platform::AppendLe16(out, 0);
  return out;
}

}  // namespace delivery
