#include "delivery/KestrumPng.h"

#include <gtest/gtest.h>

#include <set>

#include "delivery/tests/Pictures.h"
#include "delivery/tests/PngChunks.h"

namespace delivery {
namespace {

using testing::Chunks;
using testing::Inflate;
using testing::Noise;
using testing::Paint;
using testing::PixelAt;

const Rgb kFour[] = {{255, 0, 0}, {0, 128, 0}, {20, 40, 200}, {250, 250, 250}};

Picture FourColours(int width, int height) {
  return Paint(width, height, [](int x, int y) { return kFour[(x / 2 + y) % 4]; });
}

Picture Busy(int width, int height, std::uint32_t seed) {
  Noise n{seed};
  return Paint(width, height, [&](int, int) { return Rgb{n.Next(), n.Next(), n.Next()}; });
}

struct Decoded {
  int width = 0, height = 0, bitDepth = 0, colourType = 0;
  std::string palette, rows;  // rows with their filter bytes
};

Decoded Decode(const std::string& png) {
  Decoded d;
  const auto chunks = Chunks(png);
  EXPECT_EQ(chunks.size(), 4u);
  if (chunks.size() != 4) return d;
  const char* order[] = {"IHDR", "PLTE", "IDAT", "IEND"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(chunks[i].type, order[i]);
    EXPECT_TRUE(chunks[i].crcOk) << order[i];
  }
  const std::string& ihdr = chunks[0].data;
  d.width = static_cast<int>(testing::Be32(ihdr, 0));
  d.height = static_cast<int>(testing::Be32(ihdr, 4));
  d.bitDepth = ihdr[8];
  d.colourType = ihdr[9];
  EXPECT_EQ(ihdr.substr(10), std::string(3, '\0'));
  d.palette = chunks[1].data;
  const std::string& idat = chunks[2].data;
  EXPECT_EQ(idat.substr(0, 2), "\x78\x01");
  const std::size_t rowBytes = (static_cast<std::size_t>(d.width) * d.bitDepth + 7) / 8;
  d.rows = Inflate(idat, (rowBytes + 1) * d.height);
  EXPECT_FALSE(d.rows.empty()) << "image data does not inflate to the expected size";
  return d;
}

TEST(WuPalette, FewColoursGiveOneExactEntryEach) {
  Picture p = FourColours(9, 7);
  const std::vector<Rgb> palette = WuPalette(p.View());
  ASSERT_EQ(palette.size(), 4u);
  for (const Rgb& c : kFour) EXPECT_NE(std::find(palette.begin(), palette.end(), c), palette.end());

  Picture one = Paint(3, 3, [](int, int) { return Rgb{7, 8, 9}; });
  EXPECT_EQ(WuPalette(one.View()), std::vector<Rgb>{Rgb({7, 8, 9})});
}

TEST(WuPalette, BusyPictureFillsThePaletteWithMeansOfItsColours) {
  Picture p = Busy(64, 64, 1);
  const std::vector<Rgb> palette = WuPalette(p.View());
  EXPECT_EQ(palette.size(), 256u);
  // Every pixel is near an entry: a box's mean lies inside the box.
  const std::vector<std::uint8_t> indices = MapToPalette(p.View(), palette);
  long worst = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      const Rgb c = PixelAt(p.View(), x, y), e = palette[indices[y * 64 + x]];
      worst = std::max<long>(worst, std::abs(c.r - e.r) + std::abs(c.g - e.g) + std::abs(c.b - e.b));
    }
  }
  EXPECT_LT(worst, 3 * 128);
}

TEST(MapToPalette, EqualKeysTakeEqualIndicesAndOnlyRealEntriesAttract) {
  // (0,0,0) and (7,7,7) share the top five bits: the first pixel's choice holds for both,
  // although (7,7,7) alone would pick the second entry.
  Picture p = Paint(3, 1, [](int x, int) { return x == 0 ? Rgb{0, 0, 0} : x == 1 ? Rgb{7, 7, 7} : Rgb{0, 0, 0}; });
  const std::vector<Rgb> palette = {{1, 1, 1}, {7, 7, 7}};
  EXPECT_EQ(MapToPalette(p.View(), palette), (std::vector<std::uint8_t>{0, 0, 0}));
  // Ties go to the first entry.
  Picture q = Paint(1, 1, [](int, int) { return Rgb{10, 10, 10}; });
  EXPECT_EQ(MapToPalette(q.View(), {{8, 10, 10}, {12, 10, 10}}), std::vector<std::uint8_t>{0});
}

TEST(ColourPng, LayoutAndIndicesOfASmallPicture) {
  Picture p = FourColours(5, 3);
  const std::string png = ColourPng(p.View());
  const Decoded d = Decode(png);
  EXPECT_EQ(d.width, 5);
  EXPECT_EQ(d.height, 3);
  EXPECT_EQ(d.bitDepth, 8);
  EXPECT_EQ(d.colourType, 3);
  ASSERT_EQ(d.palette.size(), 768u);
  ASSERT_EQ(d.rows.size(), 3u * 6);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(d.rows[y * 6], '\0') << "filter byte";
    for (int x = 0; x < 5; ++x) {
      const auto index = static_cast<std::uint8_t>(d.rows[y * 6 + 1 + x]);
      const Rgb want = kFour[(x / 2 + y) % 4];
      const Rgb got{static_cast<std::uint8_t>(d.palette[index * 3]), static_cast<std::uint8_t>(d.palette[index * 3 + 1]),
                    static_cast<std::uint8_t>(d.palette[index * 3 + 2])};
      EXPECT_EQ(got, want) << x << "," << y;
    }
  }
}

TEST(GreyPng, MakesThePixelsGreyAndPacksTwoAPixelsAByte) {
  // Greys that hit every level, then one between levels 0 and 28 that rounds up.
  Picture p = Paint(5, 4, [](int x, int y) {
    const int i = y * 5 + x;
    const std::uint8_t g = i < 16 ? kGreyLevels[i] : 15;
    return Rgb{g, g, g};
  });
  const Decoded d = Decode(GreyPng(p.View()));
  EXPECT_EQ(d.bitDepth, 4);
  ASSERT_EQ(d.palette.size(), 48u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<std::uint8_t>(d.palette[i * 3 + 1]), kGreyLevels[i]);
  ASSERT_EQ(d.rows.size(), 4u * 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const int i = y * 5 + x;
      const auto byte = static_cast<std::uint8_t>(d.rows[y * 4 + 1 + x / 2]);
      const int level = x % 2 == 0 ? byte >> 4 : byte & 15;
      EXPECT_EQ(level, i < 16 ? i : 1) << x << "," << y;
    }
    // Odd width: the last byte holds one pixel, in its high half.
    EXPECT_EQ(static_cast<std::uint8_t>(d.rows[y * 4 + 3]) & 15, 0);
  }
}

TEST(MakeGrey, WeighsTheChannels) {
  Picture p = Paint(3, 1, [](int x, int) { return x == 0 ? Rgb{255, 0, 0} : x == 1 ? Rgb{0, 255, 0} : Rgb{0, 0, 255}; });
  MakeGrey(p.View());
  const std::uint8_t want[] = {77 * 255 / 256, 151 * 255 / 256, 28 * 255 / 256};
  for (int x = 0; x < 3; ++x) EXPECT_EQ(PixelAt(p.View(), x, 0), (Rgb{want[x], want[x], want[x]}));
}

bool IsGrey(const PixelView& v) {
  for (int y = 0; y < v.height; ++y) {
    for (int x = 0; x < v.width; ++x) {
      const Rgb c = PixelAt(v, x, y);
      if (c.r != c.g || c.g != c.b) return false;
    }
  }
  return true;
}

int BitDepth(const std::string& png) { return Decode(png).bitDepth; }

TEST(PngInFormat, ColourWithinTheTargetGreyOtherwiseTheSmallerOne) {
  // 256 colours of noise compress badly: about one byte a pixel.
  struct Case {
    const char* name;
    TPngFormat format;
    int width, height;
    bool greyTried;
  } cases[] = {
      {"colours", pf256Colors, 300, 300, false}, {"greys", pf16Grays, 300, 300, true},      {"50kb met", pf50kb, 100, 100, false},
      {"50kb missed", pf50kb, 300, 300, true},   {"100kb missed", pf100kb, 400, 400, true}, {"200kb met", pf200kb, 400, 400, false},
      {"300kb missed", pf300kb, 700, 600, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Picture p = Busy(c.width, c.height, 7);
    Picture forColour = p, forGrey = p;
    const std::string colour = ColourPng(forColour.View());
    const std::string grey = GreyPng(forGrey.View());
    const std::string png = PngInFormat(p.View(), c.format);
    if (!c.greyTried) {
      EXPECT_EQ(png, colour);
      if (SizeLimit(c.format)) { EXPECT_LE(png.size(), SizeLimit(c.format)); }
      EXPECT_EQ(p.bits, forColour.bits) << "pixels untouched";
    } else {
      if (c.format != pf16Grays) { EXPECT_GT(colour.size(), SizeLimit(c.format)); }
      const std::string& smaller = c.format == pf16Grays || grey.size() < colour.size() ? grey : colour;
      EXPECT_EQ(png, smaller);
      EXPECT_EQ(BitDepth(png), c.format == pf16Grays || grey.size() < colour.size() ? 4 : 8);
      // Grey for good, whichever file is kept.
      EXPECT_TRUE(IsGrey(p.View()));
      EXPECT_EQ(p.bits, forGrey.bits);
    }
  }
}

TEST(PngInFormat, MissedTargetWithTwoColoursOfOneBrightnessGivesATinyGreyFile) {
  // Noise of two colours with the same grey level: the grey picture is even and compresses to
  // almost nothing.
  Noise n{3};
  Picture p = Paint(1000, 600, [&](int, int) { return n.Next() & 1 ? Rgb{200, 0, 0} : Rgb{0, 100, 24}; });
  Picture forColour = p;
  const std::string colour = ColourPng(forColour.View());
  ASSERT_GT(colour.size(), SizeLimit(pf50kb));
  const std::string png = PngInFormat(p.View(), pf50kb);
  EXPECT_EQ(BitDepth(png), 4);
  EXPECT_LT(png.size(), 2000u);
}

TEST(EncodeIndexedPng, RefusesDataThatDoesNotMatchTheSize) {
  EXPECT_EQ(EncodeIndexedPng(3, 2, 8, {{0, 0, 0}}, std::vector<std::uint8_t>(5)), "");
  EXPECT_EQ(EncodeIndexedPng(0, 2, 8, {{0, 0, 0}}, {}), "");
  EXPECT_NE(EncodeIndexedPng(3, 2, 4, {{0, 0, 0}}, std::vector<std::uint8_t>(4)), "");
}

}  // namespace
}  // namespace delivery
