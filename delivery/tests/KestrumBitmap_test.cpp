#include "delivery/KestrumBitmap.h"

#include <gtest/gtest.h>

#include <cstring>

#include "delivery/tests/Pictures.h"

namespace delivery {
namespace {

using testing::Paint;
using testing::PixelAt;

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

void Le(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A BMP file as other programs write them: the headers from the fields given, then the table
// and the rows as given.
struct BmpLayout {
  std::uint32_t headerBytes = 40;
  std::int32_t width = 0, height = 0;
  std::uint16_t bitCount = 24;
  std::uint32_t compression = 0;
  std::uint32_t colorsUsed = 0;
  std::vector<std::uint32_t> masks = {};  // after the 40-byte header, or inside the longer ones
  std::vector<std::uint8_t> table = {};
  std::vector<std::uint8_t> pixels = {};
  std::int64_t pixelOffset = -1;  // -1: right behind the table

  std::vector<std::uint8_t> File() const {
    std::vector<std::uint8_t> h;
    Le(h, headerBytes, 4);
    if (headerBytes == 12) {
      Le(h, static_cast<std::uint32_t>(width), 2), Le(h, static_cast<std::uint32_t>(height), 2), Le(h, 1, 2), Le(h, bitCount, 2);
    } else {
      Le(h, static_cast<std::uint32_t>(width), 4), Le(h, static_cast<std::uint32_t>(height), 4), Le(h, 1, 2), Le(h, bitCount, 2);
      Le(h, compression, 4), Le(h, 0, 4), Le(h, 0, 4), Le(h, 0, 4), Le(h, colorsUsed, 4), Le(h, 0, 4);
      if (headerBytes > 40) {
        for (std::uint32_t m : masks) Le(h, m, 4);
        h.resize(headerBytes, 0);
      } else {
        for (std::uint32_t m : masks) Le(h, m, 4);
      }
    }
    h.insert(h.end(), table.begin(), table.end());
    std::vector<std::uint8_t> f = {'B', 'M'};
    const std::uint32_t offset = pixelOffset >= 0 ? static_cast<std::uint32_t>(pixelOffset) : static_cast<std::uint32_t>(14 + h.size());
    Le(f, static_cast<std::uint32_t>(14 + h.size() + pixels.size()), 4);
    Le(f, 0, 4);
    Le(f, offset, 4);
    f.insert(f.end(), h.begin(), h.end());
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
  }
};

// Each supported layout reads to the same 3 x 2 picture: top row red, green, blue; bottom row
// white, black, grey.
const Rgb kTop[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
const Rgb kBottom[] = {{255, 255, 255}, {0, 0, 0}, {128, 128, 128}};
const std::vector<std::uint8_t> kBgrTable = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0, 0, 0, 128, 128, 128, 0};

TEST(LoadBmp, ReadsTheLayoutsOtherProgramsWrite) {
  struct Case {
    const char* name;
    BmpLayout layout;
    bool exactGrey;  // 16-bit pixels cannot hold 128 exactly
  } cases[] = {
      {"24 bits, padded rows",
       {.width = 3, .height = 2, .bitCount = 24, .pixels = {255, 255, 255, 0, 0,   0, 128, 128, 128, 0, 0, 0,
                                                            0,   0,   255, 0, 255, 0, 255, 0,   0,   0, 0, 0}},
       true},
      {"24 bits top-down",
       {.width = 3, .height = -2, .bitCount = 24, .pixels = {0,   0,   255, 0, 255, 0, 255, 0,   0,   0, 0, 0,
                                                             255, 255, 255, 0, 0,   0, 128, 128, 128, 0, 0, 0}},
       true},
      {"32 bits",
       {.width = 3, .height = 2, .bitCount = 32, .pixels = {255, 255, 255, 9, 0, 0,   0, 9, 128, 128, 128, 9,
                                                            0,   0,   255, 9, 0, 255, 0, 9, 255, 0,   0,   9}},
       true},
      {"32 bits, bit fields in a version 5 header",
       {.headerBytes = 124,
        .width = 3,
        .height = 2,
        .bitCount = 32,
        .compression = 3,
        .masks = {0xFF, 0xFF00, 0xFF0000},  // red in the lowest byte
        .pixels = {255, 255, 255, 0, 0, 0, 0, 0, 128, 128, 128, 0, 255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0}},
       true},
      {"8 bits with a table",
       {.width = 3, .height = 2, .bitCount = 8, .colorsUsed = 6, .table = kBgrTable, .pixels = {3, 4, 5, 0, 0, 1, 2, 0}},
       true},
      {"4 bits",
       {.width = 3, .height = 2, .bitCount = 4, .colorsUsed = 6, .table = kBgrTable, .pixels = {0x34, 0x50, 0, 0, 0x01, 0x20, 0, 0}},
       true},
      {"core header, 8 bits",
       {.headerBytes = 12,
        .width = 3,
        .height = 2,
        .bitCount = 8,
        .table =
            [] {
              std::vector<std::uint8_t> t;
              for (int i = 0; i < 256; ++i) {
                const std::uint8_t* e = i < 6 ? &kBgrTable[i * 4] : kBgrTable.data();
                t.insert(t.end(), e, e + 3);
              }
              return t;
            }(),
        .pixels = {3, 4, 5, 0, 0, 1, 2, 0}},
       true},
      {"16 bits 5-5-5",
       {.width = 3, .height = 2, .bitCount = 16, .pixels = {0xFF, 0x7F, 0, 0, 0x10, 0x42, 0, 0, 0x00, 0x7C, 0xE0, 0x03, 0x1F, 0, 0, 0}},
       false},
      {"16 bits 5-6-5 bit fields",
       {.width = 3,
        .height = 2,
        .bitCount = 16,
        .compression = 3,
        .masks = {0xF800, 0x07E0, 0x001F},
        .pixels = {0xFF, 0xFF, 0, 0, 0x10, 0x84, 0, 0, 0x00, 0xF8, 0xE0, 0x07, 0x1F, 0, 0, 0}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BmpLoad r = LoadBmp(c.layout.File());
    ASSERT_TRUE(r.ok) << r.error;
    Picture p = r.picture;
    ASSERT_EQ(p.width, 3);
    ASSERT_EQ(p.height, 2);
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(PixelAt(p.View(), x, 0), kTop[x]) << x;
      const Rgb b = PixelAt(p.View(), x, 1);
      if (c.exactGrey || x != 2) {
        EXPECT_EQ(b, kBottom[x]) << x;
      } else {
        EXPECT_NEAR(b.r, 128, 8);
        EXPECT_NEAR(b.g, 128, 8);
      }
    }
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.bits[i * 4 + 3], 0) << "fourth byte";
  }
}

TEST(LoadBmp, OneBitAndIndicesBeyondTheTable) {
  BmpLayout one{.width = 10,
                .height = 1,
                .bitCount = 1,
                .colorsUsed = 2,
                .table = {0, 0, 0, 0, 255, 255, 255, 0},
                .pixels = {0b10110000, 0b01000000, 0, 0}};
  const BmpLoad r = LoadBmp(one.File());
  ASSERT_TRUE(r.ok) << r.error;
  Picture p = r.picture;
  const int want[] = {1, 0, 1, 1, 0, 0, 0, 0, 0, 1};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(PixelAt(p.View(), x, 0).g, want[x] ? 255 : 0) << x;

  BmpLayout shortTable{.width = 2, .height = 1, .bitCount = 8, .colorsUsed = 1, .table = {10, 20, 30, 0}, .pixels = {0, 200, 0, 0}};
  const BmpLoad s = LoadBmp(shortTable.File());
  ASSERT_TRUE(s.ok) << s.error;
  Picture q = s.picture;
  EXPECT_EQ(PixelAt(q.View(), 0, 0), (Rgb{30, 20, 10}));
  EXPECT_EQ(PixelAt(q.View(), 1, 0), (Rgb{0, 0, 0}));
}

TEST(LoadBmp, HeadersThatDoNotFitTheFileFailClearly) {
  const BmpLayout good{.width = 3, .height = 2, .bitCount = 24, .pixels = std::vector<std::uint8_t>(24, 1)};
  ASSERT_TRUE(LoadBmp(good.File()).ok);
  auto with = [&](auto change) {
    BmpLayout s = good;
    change(s);
    return s.File();
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    const char* error;
  } cases[] = {
      {"empty", {}, "too short"},
      {"no signature",
       [&] {
         auto f = good.File();
         f[0] = 'P';
         return f;
       }(),
       "signature"},
      {"header size unknown", with([](BmpLayout& s) { s.headerBytes = 64; }), "header size"},
      {"header past the end",
       [&] {
         auto f = good.File();
         f.resize(30);
         return f;
       }(),
       "information header runs past"},
      {"zero width", with([](BmpLayout& s) { s.width = 0; }), "not positive"},
      {"negative width", with([](BmpLayout& s) { s.width = -3; }), "not positive"},
      {"height of -2^31", with([](BmpLayout& s) { s.height = INT32_MIN; }), "too large"},
      {"huge picture, small file", with([](BmpLayout& s) { s.width = 100000, s.height = 100000; }), "too large"},
      {"rows beyond the data", with([](BmpLayout& s) { s.height = 3; }), "pixel data runs past"},
      {"wide rows beyond the data", with([](BmpLayout& s) { s.width = 65535, s.height = 8000, s.bitCount = 1; }), "pixel data runs past"},
      {"pixel offset past the end", with([](BmpLayout& s) { s.pixelOffset = 0xFFFFFFF0; }), "pixel data runs past"},
      {"pixel offset inside the headers", with([](BmpLayout& s) { s.pixelOffset = 20; }), "overlaps"},
      {"bit count 7", with([](BmpLayout& s) { s.bitCount = 7; }), "bit count"},
      {"bit count 0", with([](BmpLayout& s) { s.bitCount = 0; }), "bit count"},
      {"run-length compression", with([](BmpLayout& s) {
         s.compression = 1;
         s.bitCount = 8;
       }),
       "compression"},
      {"bit fields on 24 bits", with([](BmpLayout& s) { s.compression = 3; }), "compression"},
      {"table beyond the bit count", with([](BmpLayout& s) { s.bitCount = 4, s.colorsUsed = 17; }), "colour table larger"},
      {"table past the end", with([](BmpLayout& s) { s.bitCount = 8, s.colorsUsed = 200, s.pixels.clear(); }), "colour table runs past"},
      {"table count near 2^32", with([](BmpLayout& s) { s.bitCount = 8, s.colorsUsed = 0xFFFFFFFF; }), "colour table larger"},
      {"masks missing",
       [&] {
         BmpLayout s{.width = 1, .height = 1, .bitCount = 32, .compression = 3};
         auto f = s.File();
         f.resize(f.size() + 4);
         return f;
       }(),
       "masks run past"},
      {"mask with a gap", with([](BmpLayout& s) {
         s.bitCount = 32, s.compression = 3, s.masks = {0xF0F0, 0xFF0000, 0xFF};
       }),
       "not contiguous"},
      {"16-bit mask wider than the pixel", with([](BmpLayout& s) {
         s.bitCount = 16, s.compression = 3, s.masks = {0xFF0000, 0xFF00, 0xFF};
       }),
       "wider than the pixel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BmpLoad r = LoadBmp(c.file);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    EXPECT_EQ(r.picture.bits.size(), 0u);
  }
}

TEST(BmpFileImage, HeadersAndRowsAsHeldReadBackTheSame) {
  Picture p = Paint(5, 3, [](int x, int y) { return Rgb{static_cast<std::uint8_t>(x * 50), static_cast<std::uint8_t>(y * 100), 7}; });
  const std::string bmp = BmpFileImage(p.View());
  ASSERT_EQ(bmp.size(), 54u + 5 * 3 * 4);
  const std::uint8_t header[] = {'B', 'M', 114, 0, 0, 0, 0, 0, 0, 0,  54, 0, 0, 0, 40, 0,  0, 0, 5,
                                 0,   0,   0,   3, 0, 0, 0, 1, 0, 32, 0,  0, 0, 0, 0,  60, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bmp.data(), header, sizeof header), 0);
  EXPECT_EQ(bmp.substr(38, 16), std::string(16, '\0'));
  EXPECT_EQ(bmp.substr(54), std::string(p.bits.begin(), p.bits.end()));
  const BmpLoad back = LoadBmp(Bytes(bmp));
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_EQ(back.picture.bits, p.bits);
}

TEST(FitInto, KeepsTheProportionsOfThePicture) {
  struct Case {
    int w, h, boxW, boxH;
    Size want;
  } cases[] = {
      {1600, 1200, 400, 400, {400, 300}},  {1200, 1600, 400, 400, {300, 400}},
      {1024, 768, 1024, 768, {1024, 768}}, {100, 50, 400, 400, {400, 200}},  // enlarging
      {10000, 1, 100, 100, {100, 1}},                                        // never below one pixel
      {0, 10, 100, 100, {0, 0}},           {10, 10, 0, 100, {0, 0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FitInto(c.w, c.h, c.boxW, c.boxH), c.want) << c.w << "x" << c.h << " into " << c.boxW << "x" << c.boxH;
}

TEST(Resample, EvenAreasKeepTheirColourAndDetailAverages) {
  Picture even = Paint(37, 23, [](int, int) { return Rgb{200, 100, 3}; });
  for (Size s : {Size{10, 6}, Size{37, 23}, Size{80, 50}, Size{1, 1}}) {
    Picture z = Resample(even.View(), s.width, s.height);
    ASSERT_EQ(z.width, s.width);
    ASSERT_EQ(z.height, s.height);
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) ASSERT_EQ(PixelAt(z.View(), x, y), (Rgb{200, 100, 3})) << s.width << ": " << x << "," << y;
    }
  }
  // A one-pixel checkerboard shrunk to a quarter is an even mid grey.
  Picture board = Paint(64, 64, [](int x, int y) { return (x + y) % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
  Picture small = Resample(board.View(), 16, 16);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) EXPECT_NEAR(PixelAt(small.View(), x, y).g, 127, 3) << x << "," << y;
  }
  // A 1 x 1 picture grows into an even one, and the fourth byte stays 0.
  Picture dot = Paint(1, 1, [](int, int) { return Rgb{9, 8, 7}; });
  Picture grown = Resample(dot.View(), 3, 2);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(PixelAt(grown.View(), i % 3, i / 3), (Rgb{9, 8, 7}));
    EXPECT_EQ(grown.bits[i * 4 + 3], 0);
  }
  EXPECT_EQ(Resample(dot.View(), 0, 5).bits.size(), 0u);
}

TEST(Resample, ARampStaysARampAndSharpEdgesStayInRange) {
  Picture ramp = Paint(200, 4, [](int x, int) { return Rgb{static_cast<std::uint8_t>(x), 0, 0}; });
  Picture z = Resample(ramp.View(), 50, 1);
  for (int x = 1; x < 50; ++x) EXPECT_GT(PixelAt(z.View(), x, 0).r, PixelAt(z.View(), x - 1, 0).r) << x;
  EXPECT_NEAR(PixelAt(z.View(), 25, 0).r, 101.5, 2);
  // Overshoot of the filter's negative lobes is clamped, not wrapped.
  Picture edge = Paint(8, 1, [](int x, int) { return x < 4 ? Rgb{0, 0, 0} : Rgb{255, 255, 255}; });
  Picture wide = Resample(edge.View(), 32, 1);
  EXPECT_EQ(PixelAt(wide.View(), 0, 0).r, 0);
  EXPECT_EQ(PixelAt(wide.View(), 31, 0).r, 255);
  for (int x = 1; x < 32; ++x) EXPECT_GE(PixelAt(wide.View(), x, 0).r + 2, PixelAt(wide.View(), x - 1, 0).r) << x;
}

}  // namespace
}  // namespace delivery
