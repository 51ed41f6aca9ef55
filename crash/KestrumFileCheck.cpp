#include "crash/KestrumFileCheck.h"

#include <algorithm>

#include "crash/settings/KestrumBytes.h"

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
  const std::uint64_t nt = LoadLe32(headers + kNtHeadersOffsetField);
  const std::uint64_t checksumAt = nt + kOptionalHeader + kChecksumInOptionalHeader;
  if (checksumAt + 4 > size) return std::nullopt;
  const std::uint8_t* p = headers + nt;
  if (p[0] != 'P' || p[1] != 'E' || p[2] != 0 || p[3] != 0) return std::nullopt;
  if (LoadLe16(p + kOptionalHeaderSizeField) < kChecksumInOptionalHeader + 4) return std::nullopt;
  const std::uint16_t magic = LoadLe16(p + kOptionalHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  return ChecksumField{static_cast<std::size_t>(checksumAt), LoadLe32(headers + checksumAt)};
}

std::uint32_t ImageChecksum(const std::uint8_t* data, std::size_t size, std::size_t checksumOffset) {
  // The sum with folded carries equals the plain sum folded at the end, so the loop only adds and
  // the checksum field's bytes are taken out again afterwards.
  // Whole program files are summed at every start: four bytes (two words) a step, and blocks
  // short enough for a 32-bit sum (2^15 steps of at most 2 * 0xFFFF).
  std::uint64_t sum = 0;
  std::size_t i = 0;
  while (size - i >= 4) {
    const std::size_t end = i + std::min<std::size_t>((size - i) / 4, std::size_t{1} << 15) * 4;
    std::uint32_t block = 0;
    for (; i < end; i += 4) {
      const std::uint32_t w = LoadLe32(data + i);
      block += (w & 0xFFFF) + (w >> 16);
    }
    sum += block;
  }
  if (size - i >= 2) sum += LoadLe16(data + i), i += 2;
  if (i < size) sum += data[i];
  for (std::size_t j = checksumOffset; j < size && j - checksumOffset < 4; ++j) {
    sum -= static_cast<std::uint64_t>(data[j]) << (8 * (j % 2));
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum) + static_cast<std::uint32_t>(size);
}

FileCheck CheckModuleFile(const std::uint8_t* file, std::size_t size, const ChecksumField& fromImage) {
  if (fromImage.stored == 0) return FileCheck::noChecksum;
  if (fromImage.offset > size || size - fromImage.offset < 4) return FileCheck::tooShort;
  return ImageChecksum(file, size, fromImage.offset) == fromImage.stored ? FileCheck::matches : FileCheck::differs;
}

}  // namespace kestrum
