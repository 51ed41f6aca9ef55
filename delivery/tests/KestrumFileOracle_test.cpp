// The files the screenshot writes, read by programs that know the formats: pngcheck and Pillow.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "delivery/KestrumBitmap.h"
#include "delivery/KestrumPng.h"
#include "delivery/tests/Pictures.h"

namespace delivery {
namespace {

namespace fs = std::filesystem;
using testing::Noise;
using testing::Paint;
using testing::PixelAt;

struct Outcome {
  int status;
  std::string output;
};

Outcome Shell(const std::string& command) {
  Outcome r{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  r.status = pclose(pipe);
  return r;
}

class FileOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrum-oracle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* python = std::getenv("KELVANE_PYTHON");
    python_ = python ? python : "/usr/bin/python3";
    const char* source = std::getenv("KELVANE_SOURCE_DIR");
    script_ = std::string(source ? source : ".") + "/delivery/tests/png_oracle.py";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  // pngcheck's verdict; its verbose listing goes into the failure message.
  void ExpectPngcheckPasses(const std::string& path, const std::string& mustSay) {
    const Outcome r = Shell("pngcheck -v '" + path + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("No errors detected"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(mustSay), std::string::npos) << r.output;
  }

  struct Read {
    std::string format, mode;
    int width = 0, height = 0;
    std::string paletteHex;
    std::vector<std::vector<std::string>> rows;
  };
  Read Pillow(const std::string& path) {
    const Outcome r = Shell("'" + python_ + "' '" + script_ + "' '" + path + "'");
    Read out;
    EXPECT_EQ(r.status, 0) << r.output;
    std::istringstream in(r.output);
    std::string line;
    std::getline(in, out.format);
    std::getline(in, out.mode);
    std::getline(in, line);
    std::istringstream(line) >> out.width >> out.height;
    std::getline(in, out.paletteHex);
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::vector<std::string> row;
      for (std::string w; words >> w;) row.push_back(w);
      out.rows.push_back(row);
    }
    EXPECT_EQ(static_cast<int>(out.rows.size()), out.height);
    return out;
  }

  static Rgb PaletteEntry(const std::string& hex, int index) {
    auto byte = [&](int i) {
      return static_cast<std::uint8_t>(std::stoi(hex.substr(static_cast<std::size_t>(index * 6 + i * 2), 2), nullptr, 16));
    };
    return {byte(0), byte(1), byte(2)};
  }

  fs::path dir_;
  std::string python_, script_;
};

std::string Hex(Rgb c) {
  char s[8];
  std::snprintf(s, sizeof s, "%02x%02x%02x", c.r, c.g, c.b);
  return s;
}

TEST_F(FileOracle, ColourPngOfFewColoursDecodesToTheSameIndicesAndColours) {
  const Rgb four[] = {{255, 0, 0}, {0, 128, 0}, {20, 40, 200}, {250, 250, 250}};
  Picture p = Paint(9, 7, [&](int x, int y) { return four[(x / 2 + y) % 4]; });
  const std::string path = Write("four.png", PngInFormat(p.View(), pf256Colors));
  ExpectPngcheckPasses(path, "8-bit palette");
  const Read r = Pillow(path);
  EXPECT_EQ(r.format, "PNG");
  EXPECT_EQ(r.mode, "P");
  EXPECT_EQ(r.width, 9);
  EXPECT_EQ(r.height, 7);
  EXPECT_EQ(r.paletteHex.size(), 256u * 6);
  std::set<std::string> used;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      const int index = std::stoi(r.rows[y][x]);
      used.insert(r.rows[y][x]);
      EXPECT_EQ(PaletteEntry(r.paletteHex, index), four[(x / 2 + y) % 4]) << x << "," << y;
    }
  }
  EXPECT_EQ(used.size(), 4u);
}

TEST_F(FileOracle, ColourPngOfManyColoursMatchesTheMappingAndKeepsEqualColoursTogether) {
  std::vector<Rgb> colours;
  Noise n{11};
  for (int i = 0; i < 700; ++i) colours.push_back({n.Next(), n.Next(), n.Next()});
  Picture p = Paint(61, 33, [&](int x, int y) { return colours[(x * 7 + y * 13) % 700]; });
  const std::vector<std::uint8_t> mine = MapToPalette(p.View(), WuPalette(p.View()));
  const std::string path = Write("many.png", PngInFormat(p.View(), pf256Colors));
  ExpectPngcheckPasses(path, "8-bit palette");
  const Read r = Pillow(path);
  ASSERT_EQ(r.width, 61);
  std::map<std::string, std::string> indexOfColour;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      EXPECT_EQ(std::stoi(r.rows[y][x]), mine[y * 61 + x]);
      const auto [it, fresh] = indexOfColour.emplace(Hex(PixelAt(p.View(), x, y)), r.rows[y][x]);
      if (!fresh) { EXPECT_EQ(it->second, r.rows[y][x]) << "equal colours, different indices at " << x << "," << y; }
    }
  }
}

TEST_F(FileOracle, GreyPngOfOddWidthDecodesToTheNearestLevels) {
  Noise n{5};
  Picture p = Paint(7, 5, [&](int, int) { return Rgb{n.Next(), n.Next(), n.Next()}; });
  Picture before = p;
  const std::string path = Write("grey.png", PngInFormat(p.View(), pf16Grays));
  ExpectPngcheckPasses(path, "4-bit palette");
  const Read r = Pillow(path);
  EXPECT_EQ(r.mode, "P");
  ASSERT_EQ(r.width, 7);
  ASSERT_GE(r.paletteHex.size(), 16u * 6);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(PaletteEntry(r.paletteHex, i), (Rgb{kGreyLevels[i], kGreyLevels[i], kGreyLevels[i]}));
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) {
      const Rgb c = PixelAt(before.View(), x, y);
      const int grey = (77 * c.r + 151 * c.g + 28 * c.b) / 256;
      const int got = std::stoi(r.rows[y][x]);
      for (int level : kGreyLevels) EXPECT_LE(std::abs(grey - kGreyLevels[got]), std::abs(grey - level)) << x << "," << y;
    }
  }
}

TEST_F(FileOracle, SizeFormatsWriteValidFilesWithinOrAboveTheirTargets) {
  // Half noise, half ramp: about 53 KB in colour, over the smallest target only.
  int greyFiles = 0;
  for (TPngFormat format : {pf50kb, pf100kb, pf200kb, pf300kb}) {
    SCOPED_TRACE(format);
    Noise n{9};
    Picture p = Paint(320, 320, [&](int x, int y) {
      return x < 160 ? Rgb{n.Next(), n.Next(), n.Next()} : Rgb{static_cast<std::uint8_t>(y), 40, 90};
    });
    Picture copy = p;
    const bool grey = ColourPng(copy.View()).size() > SizeLimit(format);
    greyFiles += grey;
    const std::string png = PngInFormat(p.View(), format);
    ExpectPngcheckPasses(Write("sized.png", png), grey ? "4-bit palette" : "8-bit palette");
    if (!grey) { EXPECT_LE(png.size(), SizeLimit(format)); }
  }
  EXPECT_EQ(greyFiles, 1);
}

TEST_F(FileOracle, BmpFileImageReadsBackInPillow) {
  Picture p = Paint(5, 3, [](int x, int y) { return Rgb{static_cast<std::uint8_t>(x * 60), static_cast<std::uint8_t>(y * 120), 33}; });
  const Read r = Pillow(Write("shot.bmp", BmpFileImage(p.View())));
  EXPECT_EQ(r.format, "BMP");
  ASSERT_EQ(r.width, 5);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) EXPECT_EQ(r.rows[y][x], Hex(PixelAt(p.View(), x, y))) << x << "," << y;
  }
}

TEST_F(FileOracle, BmpFilesWrittenByPillowLoad) {
  // 1, 8 and 24 bits as an image editor saves them; odd sizes so that rows are padded.
  for (const char* mode : {"1", "L", "P", "RGB"}) {
    SCOPED_TRACE(mode);
    const std::string path = (dir_ / (std::string("edited-") + mode + ".bmp")).string();
    const Outcome made = Shell("'" + python_ +
                               "' -c \"from PIL import Image; im = Image.new('RGB', (13, 7));"
                               "im.putdata([((x * 19) % 256, (y * 37) % 256, (x * y * 5) % 256) for y in range(7) for x in range(13)]);"
                               "im.convert('" +
                               mode + "').save('" + path + "')\"");
    ASSERT_EQ(made.status, 0) << made.output;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const BmpLoad loaded = LoadBmp(bytes);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    Picture p = loaded.picture;
    const Read r = Pillow(path);
    ASSERT_EQ(p.width, r.width);
    ASSERT_EQ(p.height, r.height);
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) EXPECT_EQ(Hex(PixelAt(p.View(), x, y)), r.rows[y][x]) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace delivery
