// Pictures as the screenshot holds them - 32 bits a pixel (blue, green, red, unused), rows stored
// bottom-up as in a device-independent bitmap - and what is done with them without the window
// system: BMP files written and read, and the resampling for previews.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace delivery {

constexpr int kBytesPerPixel = 4;

// Pixels that someone else owns (a bitmap section, a vector).
struct PixelView {
  std::uint8_t* bits = nullptr;
  int width = 0;
  int height = 0;

  // Row y counted from the top of the picture.
  std::uint8_t* TopRow(int y) const { return bits + static_cast<std::size_t>(height - 1 - y) * RowBytes(); }
  std::size_t RowBytes() const { return static_cast<std::size_t>(width) * kBytesPerPixel; }
  std::size_t ImageBytes() const { return RowBytes() * static_cast<std::size_t>(height); }
};

// Pixels of its own, for loaded and resampled pictures.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bits;

  Picture() = default;
  Picture(int w, int h) : width(w), height(h), bits(static_cast<std::size_t>(w) * h * kBytesPerPixel) {}
  PixelView View() { return {bits.data(), width, height}; }
};

// A BMP file of the pixels exactly as held: 54 bytes of headers, then the rows bottom-up.
std::string BmpFileImage(const PixelView& pixels);

// The largest picture a file may describe: twice the virtual screen of eight 8K monitors. A
// header that asks for more is damaged, whatever the file's size.
constexpr std::uint64_t kMaxLoadPixels = 2ull * 8 * 7680 * 4320;

// A BMP file read back (core, information and version 4/5 headers; 1, 4, 8, 16, 24 and 32 bits
// per pixel, uncompressed or with bit fields). The file is untrusted: every size, offset and
// count in its headers is checked against the data before anything is read or allocated.
struct BmpLoad {
  bool ok = false;
  std::string error;  // why not, for the trace
  Picture picture;    // bottom-up 32 bits, fourth byte 0
};
BmpLoad LoadBmp(std::span<const std::uint8_t> file);

// The size that fits into boxWidth x boxHeight with the picture's proportions: the side that
// limits is kept, the other follows (16.16 fixed-point ratios), at least 1. 0 x 0 when a size is
// not positive.
struct Size {
  int width;
  int height;
  bool operator==(const Size&) const = default;
};
Size FitInto(int width, int height, int boxWidth, int boxHeight);

// The picture resampled to exactly width x height with the Mitchell-Netravali filter
// (B = C = 1/3), edges mirrored. Sizes below 1 give an empty picture.
Picture Resample(const PixelView& source, int width, int height);

}  // namespace delivery
