// Screenshots as small PNG files: a 256-colour palette found by Wu's colour quantization, or 16
// grey levels when a size target is missed.
#pragma once

#include "delivery/KestrumBitmap.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The formats a screenshot can be written in; the size formats aim at 50, 100, 200 and 300 KB.
enum TPngFormat { pf256Colors = 0, pf16Grays = 1, pf50kb = 2, pf100kb = 3, pf200kb = 4, pf300kb = 5 };

namespace delivery {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

// The PNG size a size format aims at; 0 for the other formats.
std::size_t SizeLimit(TPngFormat format);

// Wu's quantization of the picture's colours into at most maxColors boxes; one palette entry per
// box, its mean colour. A picture of few colours gives few entries.
std::vector<Rgb> WuPalette(const PixelView& pixels, int maxColors = 256);

// Palette indices of every pixel, rows top to bottom. Pixels whose top five bits of red, green
// and blue agree take the same entry: the first of them looks up the nearest one (sum of absolute
// differences, first minimum) for all.
std::vector<std::uint8_t> MapToPalette(const PixelView& pixels, const std::vector<Rgb>& palette);

// The 16 grey levels of the grey image.
extern const std::array<std::uint8_t, 16> kGreyLevels;
// Turns the pixels grey for good: (77 red + 151 green + 28 blue) / 256 in all three channels.
void MakeGrey(const PixelView& pixels);

// PNG of an indexed image: rows top to bottom, one byte a pixel (8 bits) or two (4 bits, the
// first in the high half, rows padded to whole bytes). Empty when the data cannot be compressed.
std::string EncodeIndexedPng(int width, int height, int bitDepth, const std::vector<Rgb>& palette, const std::vector<std::uint8_t>& rows);

// The colour PNG (palette of 256 entries, bit depth 8); empty when nothing could be encoded.
std::string ColourPng(const PixelView& pixels);
// The grey PNG (16 levels, bit depth 4). Makes the pixels grey first.
std::string GreyPng(const PixelView& pixels);

// The screenshot's PNG in a format. Grey is tried for pf16Grays, when no colour PNG could be made
// and when a size format's colour PNG is over its limit; the smaller of the two is kept. Trying
// grey leaves the pixels grey, also when the colour PNG is kept: a picture that went out grey once
// stays grey for the steps after it.
std::string PngInFormat(const PixelView& pixels, TPngFormat format);

}  // namespace delivery
