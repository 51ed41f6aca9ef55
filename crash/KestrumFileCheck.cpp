#include "crash/KestrumFileCheck.h"

#include <algorithm>

#include "platform/Bytes.h"

namespace kestrum {

namespace {

constexpr std::uint64_t kNtHeadersOffsetField = 0x3C;
constexpr std::uint64_t kFileHeaderSize = 20;
constexpr std::uint64_t kOptionalHeaderSizeField = 4 + 16;  // from the NT headers
constexpr std::uint64_t kOptionalHeader = 4 + kFileHeaderSize;
constexpr std::uint64_t kChecksumInOptionalHeader = 64;
constexpr std::uint16_t kPe32Magic = 0x10B, kPe32PlusMagic = 0x20B;

}  // namespace

std::optional<ChecksumField> FindChecksumField(const std::uint8_t* headers, std::size_t size) {
  if (headers == nullptr || size < kNtHeadersOffsetField + 4) return std::nullopt;
  if (headers[0] != 'M' || headers[1] != 'Z') return std::nullopt;
  // 64-bit arithmetic: the NT headers' offset is any 32-bit value and must not wrap on a 32-bit host.
  const std::uint64_t nt = platform::LoadLe32(headers + kNtHeadersOffsetField);
  const std::uint64_t checksumAt = nt + kOptionalHeader + kChecksumInOptionalHeader;
  if (checksumAt + 4 > size) return std::nullopt;
  const std::uint8_t* p = headers + nt;
  if (p[0] != 'P' || p[1] != 'E' || p[2] != 0 || p[3] != 0) return std::nullopt;
  if (platform::LoadLe16(p + kOptionalHeaderSizeField) < kChecksumInOptionalHeader + 4) return std::nullopt;
  const std::uint16_t magic = platform::LoadLe16(p + kOptionalHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  return ChecksumField{static_cast<std::size_t>(checksumAt), platform::LoadLe32(headers + checksumAt)};
}

void ImageChecksummer::Add(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  // A piece that starts at an odd offset begins with the high byte of a word.
  if (size > 0 && position_ % 2 == 1) sum_ += static_cast<std::uint64_t>(data[i++]) << 8;
  // The sum with folded carries equals the plain sum folded at the end, so the loop only adds and
  // the checksum field's bytes are taken out again afterwards. Whole program files are summed at
  // every start: four bytes (two words) a step, and blocks short enough for a 32-bit sum (2^15
  // steps of at most 2 * 0xFFFF).
  while (size - i >= 4) {
    const std::size_t end = i + std::min<std::size_t>((size - i) / 4, std::size_t{1} << 15) * 4;
    std::uint32_t block = 0;
    for (; i < end; i += 4) {
      const std::uint32_t w = platform::LoadLe32(data + i);
      block += (w & 0xFFFF) + (w >> 16);
    }
    sum_ += block;
  }
  // At most three bytes are left; the position is even again here when they exist.
  for (std::size_t k = 0; i + k < size; ++k) sum_ += static_cast<std::uint64_t>(data[i + k]) << (8 * (k % 2));
  // The checksum field counts as 0: take out those of its bytes that lie in this piece.
  const std::size_t begin = position_, stop = position_ + size;
  for (std::size_t j = std::max(begin, checksumOffset_); j < stop && j < checksumOffset_ + 4; ++j) {
    sum_ -= static_cast<std::uint64_t>(data[j - begin]) << (8 * (j % 2));
  }
  position_ = stop;
}

std::uint32_t ImageChecksummer::Finish() const {
  std::uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(position_);
}

std::uint32_t ImageChecksum(const std::uint8_t* data, std::size_t size, std::size_t checksumOffset) {
  ImageChecksummer sum(checksumOffset);
  sum.Add(data, size);
  return sum.Finish();
}

FileCheck CheckModuleFile(const std::uint8_t* file, std::size_t size, const ChecksumField& fromImage) {
  if (fromImage.stored == 0) return FileCheck::noChecksum;
  if (fromImage.offset > size || size - fromImage.offset < 4) return FileCheck::tooShort;
  return ImageChecksum(file, size, fromImage.offset) == fromImage.stored ? FileCheck::matches : FileCheck::differs;
}

}  // namespace kestrum
