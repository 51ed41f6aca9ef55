// The start-up check that the program file on disk still has the checksum its headers carry.
// The file may change while the program runs (truncated, replaced, patched), so where the
// checksum sits and what it should be come from the loaded image, and the file's bytes are only
// summed, never trusted for an offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrum {

struct ChecksumField {
  std::size_t offset = 0;  // from the start of the headers (the same in the file as in the image)
  std::uint32_t stored = 0;
  bool operator==(const ChecksumField&) const = default;
};

// Reads a PE image's DOS and NT headers (PE32 or PE32+): nothing unless every field lies inside
// [headers, headers + size) and the signatures and optional-header size fit.
std::optional<ChecksumField> FindChecksumField(const std::uint8_t* headers, std::size_t size);

// The system's image checksum: the 16-bit little-endian words summed with the carries folded back
// in (a trailing odd byte is a word of its own), the 4 bytes at checksumOffset counted as 0,
// then the file size added.
std::uint32_t ImageChecksum(const std::uint8_t* data, std::size_t size, std::size_t checksumOffset);

// The same checksum over a file read piece by piece, so that a large program file is summed
// through a small buffer. Pieces may have any size.
class ImageChecksummer {
 public:
  explicit ImageChecksummer(std::size_t checksumOffset) : checksumOffset_(checksumOffset) {}
  void Add(const std::uint8_t* data, std::size_t size);
  std::size_t Size() const { return position_; }
  std::uint32_t Finish() const;

 private:
  std::size_t checksumOffset_;
  std::size_t position_ = 0;
  std::uint64_t sum_ = 0;
};

enum class FileCheck { noChecksum, matches, tooShort, differs };

// A stored checksum of 0 means the image carries none and passes; a file that ends before the
// checksum field fails.
FileCheck CheckModuleFile(const std::uint8_t* file, std::size_t size, const ChecksumField& fromImage);

inline bool FileCheckPassed(FileCheck result) { return result == FileCheck::noChecksum || result == FileCheck::matches; }

}  // namespace kestrum
