#include "delivery/KestrumPng.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

namespace delivery {

const std::array<std::uint8_t, 16> kGreyLevels = {0, 28, 52, 73, 92, 109, 125, 140, 155, 170, 185, 199, 213, 227, 241, 255};

std::size_t SizeLimit(TPngFormat format) {
  switch (format) {
    case pf50kb: return 51200;
    case pf100kb: return 102400;
    case pf200kb: return 204800;
    case pf300kb: return 307200;
    default: return 0;
  }
}

namespace {

// Wu's quantizer (Graphics Gems II): colour moments over a 33 x 33 x 33 histogram of the colours
// at five bits a channel, cell 0 of each axis left empty so that the cumulative sums need no
// special case at the low edge.
constexpr int kSide = 33;
constexpr int kCells = kSide * kSide * kSide;

constexpr int Cell(int r, int g, int b) { return (r * kSide + g) * kSide + b; }

enum Axis { kRed, kGreen, kBlue };

struct Box {
  int r0, r1, g0, g1, b0, b1;  // lower bounds exclusive
  int volume;
};

struct Moments {
  std::vector<std::int64_t> wt, mr, mg, mb;
  std::vector<double> m2;
  Moments() : wt(kCells), mr(kCells), mg(kCells), mb(kCells), m2(kCells) {}
};

template <class T>
T Volume(const Box& c, const std::vector<T>& m) {
  return m[Cell(c.r1, c.g1, c.b1)] - m[Cell(c.r1, c.g1, c.b0)] - m[Cell(c.r1, c.g0, c.b1)] + m[Cell(c.r1, c.g0, c.b0)] -
         m[Cell(c.r0, c.g1, c.b1)] + m[Cell(c.r0, c.g1, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
}

// The part of Volume that does not depend on where the box is cut along axis.
std::int64_t Bottom(const Box& c, Axis axis, const std::vector<std::int64_t>& m) {
  switch (axis) {
    case kRed: return -m[Cell(c.r0, c.g1, c.b1)] + m[Cell(c.r0, c.g1, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
    case kGreen: return -m[Cell(c.r1, c.g0, c.b1)] + m[Cell(c.r1, c.g0, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
    default: return -m[Cell(c.r1, c.g1, c.b0)] + m[Cell(c.r1, c.g0, c.b0)] + m[Cell(c.r0, c.g1, c.b0)] - m[Cell(c.r0, c.g0, c.b0)];
  }
}

// The rest of Volume with the box's upper bound along axis at pos.
std::int64_t Top(const Box& c, Axis axis, int pos, const std::vector<std::int64_t>& m) {
  switch (axis) {
    case kRed: return m[Cell(pos, c.g1, c.b1)] - m[Cell(pos, c.g1, c.b0)] - m[Cell(pos, c.g0, c.b1)] + m[Cell(pos, c.g0, c.b0)];
    case kGreen: return m[Cell(c.r1, pos, c.b1)] - m[Cell(c.r1, pos, c.b0)] - m[Cell(c.r0, pos, c.b1)] + m[Cell(c.r0, pos, c.b0)];
    default: return m[Cell(c.r1, c.g1, pos)] - m[Cell(c.r1, c.g0, pos)] - m[Cell(c.r0, c.g1, pos)] + m[Cell(c.r0, c.g0, pos)];
  }
}

double Variance(const Box& c, const Moments& m) {
  const double dr = static_cast<double>(Volume(c, m.mr)), dg = static_cast<double>(Volume(c, m.mg)),
               db = static_cast<double>(Volume(c, m.mb));
  const auto w = Volume(c, m.wt);
  if (w == 0) return 0;
  return Volume(c, m.m2) - (dr * dr + dg * dg + db * db) / static_cast<double>(w);
}

struct Whole {
  std::int64_t r, g, b, w;
};

// The best cut of the box along axis: the position that leaves the two halves with the smallest
// summed variance, i.e. the largest sum of squared means weighted. cut -1: no cut has weight on
// both sides.
double Maximize(const Box& c, Axis axis, int first, int last, int& cut, const Whole& whole, const Moments& m) {
  const std::int64_t baseR = Bottom(c, axis, m.mr), baseG = Bottom(c, axis, m.mg), baseB = Bottom(c, axis, m.mb),
                     baseW = Bottom(c, axis, m.wt);
  double best = 0;
  cut = -1;
  for (int i = first; i < last; ++i) {
    double r = static_cast<double>(baseR + Top(c, axis, i, m.mr)), g = static_cast<double>(baseG + Top(c, axis, i, m.mg)),
           b = static_cast<double>(baseB + Top(c, axis, i, m.mb));
    std::int64_t w = baseW + Top(c, axis, i, m.wt);
    if (w == 0) continue;
    double score = (r * r + g * g + b * b) / static_cast<double>(w);
    r = static_cast<double>(whole.r) - r, g = static_cast<double>(whole.g) - g, b = static_cast<double>(whole.b) - b;
    w = whole.w - w;
    if (w == 0) continue;
    score += (r * r + g * g + b * b) / static_cast<double>(w);
    if (score > best) best = score, cut = i;
  }
  return best;
}

int BoxVolume(const Box& c) { return (c.r1 - c.r0) * (c.g1 - c.g0) * (c.b1 - c.b0); }

bool Cut(Box& a, Box& b, const Moments& m) {
  const Whole whole{Volume(a, m.mr), Volume(a, m.mg), Volume(a, m.mb), Volume(a, m.wt)};
  int cutR, cutG, cutB;
  const double maxR = Maximize(a, kRed, a.r0 + 1, a.r1, cutR, whole, m);
  const double maxG = Maximize(a, kGreen, a.g0 + 1, a.g1, cutG, whole, m);
  const double maxB = Maximize(a, kBlue, a.b0 + 1, a.b1, cutB, whole, m);
  b.r1 = a.r1, b.g1 = a.g1, b.b1 = a.b1;
  if (maxR >= maxG && maxR >= maxB) {
    if (cutR < 0) return false;  // not splittable along any axis
    b.r0 = a.r1 = cutR, b.g0 = a.g0, b.b0 = a.b0;
  } else if (maxG >= maxR && maxG >= maxB) {
    b.g0 = a.g1 = cutG, b.r0 = a.r0, b.b0 = a.b0;
  } else {
    b.b0 = a.b1 = cutB, b.r0 = a.r0, b.g0 = a.g0;
  }
  a.volume = BoxVolume(a);
  b.volume = BoxVolume(b);
  return true;
}

void BuildMoments(const PixelView& pixels, Moments& m) {
  const std::size_t count = static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = pixels.bits + i * kBytesPerPixel;
    const int b = p[0], g = p[1], r = p[2];
    const int cell = Cell((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
    ++m.wt[cell];
    m.mr[cell] += r;
    m.mg[cell] += g;
    m.mb[cell] += b;
    m.m2[cell] += r * r + g * g + b * b;
  }
  // Cumulative moments: each cell holds the sums over the box from the origin to it.
  for (int r = 1; r < kSide; ++r) {
    std::int64_t area[kSide] = {}, areaR[kSide] = {}, areaG[kSide] = {}, areaB[kSide] = {};
    double area2[kSide] = {};
    for (int g = 1; g < kSide; ++g) {
      std::int64_t line = 0, lineR = 0, lineG = 0, lineB = 0;
      double line2 = 0;
      for (int b = 1; b < kSide; ++b) {
        const int here = Cell(r, g, b), below = Cell(r - 1, g, b);
        line += m.wt[here], lineR += m.mr[here], lineG += m.mg[here], lineB += m.mb[here], line2 += m.m2[here];
        area[b] += line, areaR[b] += lineR, areaG[b] += lineG, areaB[b] += lineB, area2[b] += line2;
        m.wt[here] = m.wt[below] + area[b];
        m.mr[here] = m.mr[below] + areaR[b];
        m.mg[here] = m.mg[below] + areaG[b];
        m.mb[here] = m.mb[below] + areaB[b];
        m.m2[here] = m.m2[below] + area2[b];
      }
    }
  }
}

int Nearest(int r, int g, int b, const std::vector<Rgb>& palette) {
  int best = 0, bestDistance = INT_MAX;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const int d = std::abs(r - palette[i].r) + std::abs(g - palette[i].g) + std::abs(b - palette[i].b);
    if (d < bestDistance) bestDistance = d, best = static_cast<int>(i);
  }
  return best;
}

void PutBe32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
}

void PutChunk(std::string& out, const char type[4], const std::string& data) {
  PutBe32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t typeAt = out.size();
  out.append(type, 4);
  out += data;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out.data() + typeAt), static_cast<uInt>(4 + data.size()));
  PutBe32(out, static_cast<std::uint32_t>(crc));
}

// The zlib stream of the image data, with the header written as the format asks (0x78 0x01)
// whatever level deflate works at. Empty when the data does not compress into the buffer.
std::string ZlibStream(const std::vector<std::uint8_t>& raw) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(2 + raw.size() * 11 / 10 + 12 + 4, '\0');
  out[0] = 0x78, out[1] = 0x01;
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data() + 2);
  z.avail_out = static_cast<uInt>(out.size() - 2 - 4);
  const int status = deflate(&z, Z_FINISH);
  const std::size_t produced = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) return {};
  out.resize(2 + produced);
  const uLong adler = adler32(adler32(0, nullptr, 0), raw.data(), static_cast<uInt>(raw.size()));
  PutBe32(out, static_cast<std::uint32_t>(adler));
  return out;
}

}  // namespace

std::vector<Rgb> WuPalette(const PixelView& pixels, int maxColors) {
  maxColors = std::clamp(maxColors, 1, 256);
  auto m = std::make_unique<Moments>();
  BuildMoments(pixels, *m);
  std::vector<Box> boxes(static_cast<std::size_t>(maxColors));
  std::vector<double> variance(static_cast<std::size_t>(maxColors));
  boxes[0] = {0, kSide - 1, 0, kSide - 1, 0, kSide - 1, 0};
  int count = maxColors;
  int next = 0;
  for (int i = 1; i < count; ++i) {
    if (Cut(boxes[static_cast<std::size_t>(next)], boxes[static_cast<std::size_t>(i)], *m)) {
      for (int k : {next, i}) {
        const Box& box = boxes[static_cast<std::size_t>(k)];
        variance[static_cast<std::size_t>(k)] = box.volume > 1 ? Variance(box, *m) : 0;
      }
    } else {
      variance[static_cast<std::size_t>(next)] = 0;  // cannot be split: never try it again
      --i;
    }
    next = 0;
    double most = variance[0];
    for (int k = 1; k <= i; ++k) {
      if (variance[static_cast<std::size_t>(k)] > most) most = variance[static_cast<std::size_t>(k)], next = k;
    }
    if (most <= 0) {
      count = i + 1;
      break;
    }
  }
  std::vector<Rgb> palette;
  palette.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) {
    const Box& box = boxes[static_cast<std::size_t>(k)];
    const std::int64_t w = Volume(box, m->wt);
    if (w == 0) {
      palette.push_back({0, 0, 0});
      continue;
    }
    palette.push_back({static_cast<std::uint8_t>(Volume(box, m->mr) / w), static_cast<std::uint8_t>(Volume(box, m->mg) / w),
                       static_cast<std::uint8_t>(Volume(box, m->mb) / w)});
  }
  return palette;
}

std::vector<std::uint8_t> MapToPalette(const PixelView& pixels, const std::vector<Rgb>& palette) {
  std::vector<std::int16_t> cache(32768, -1);
  std::vector<std::uint8_t> indices(static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height));
  std::uint8_t* out = indices.data();
  for (int y = 0; y < pixels.height; ++y) {
    const std::uint8_t* p = pixels.TopRow(y);
    for (int x = 0; x < pixels.width; ++x, p += kBytesPerPixel) {
      const int key = (p[2] >> 3) << 10 | (p[1] >> 3) << 5 | p[0] >> 3;
      if (cache[key] < 0) cache[key] = static_cast<std::int16_t>(Nearest(p[2], p[1], p[0], palette));
      *out++ = static_cast<std::uint8_t>(cache[key]);
    }
  }
  return indices;
}

void MakeGrey(const PixelView& pixels) {
  const std::size_t count = static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = pixels.bits + i * kBytesPerPixel;
    const auto grey = static_cast<std::uint8_t>((77 * p[2] + 151 * p[1] + 28 * p[0]) >> 8);
    p[0] = p[1] = p[2] = grey;
  }
}

std::string EncodeIndexedPng(int width, int height, int bitDepth, const std::vector<Rgb>& palette, const std::vector<std::uint8_t>& rows) {
  const std::size_t rowBytes = (static_cast<std::size_t>(width) * static_cast<std::size_t>(bitDepth) + 7) / 8;
  if (width < 1 || height < 1 || rows.size() != rowBytes * static_cast<std::size_t>(height)) return {};
  std::vector<std::uint8_t> raw;
  raw.reserve((rowBytes + 1) * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    const auto* row = rows.data() + rowBytes * static_cast<std::size_t>(y);
    raw.insert(raw.end(), row, row + rowBytes);
  }
  const std::string idat = ZlibStream(raw);
  if (idat.empty()) return {};

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  PutBe32(ihdr, static_cast<std::uint32_t>(width));
  PutBe32(ihdr, static_cast<std::uint32_t>(height));
  ihdr += static_cast<char>(bitDepth);
  ihdr += '\x03';        // indexed colour
  ihdr.append(3, '\0');  // deflate, adaptive filters, no interlace
  PutChunk(png, "IHDR", ihdr);
  std::string plte;
  for (const Rgb& c : palette) plte += {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
  PutChunk(png, "PLTE", plte);
  PutChunk(png, "IDAT", idat);
  PutChunk(png, "IEND", {});
  return png;
}

std::string ColourPng(const PixelView& pixels) {
  if (pixels.width < 1 || pixels.height < 1) return {};
  std::vector<Rgb> palette = WuPalette(pixels, 256);
  // Mapping looks at the quantizer's entries only; the file's palette is always full, the
  // entries nobody uses black.
  std::vector<std::uint8_t> indices = MapToPalette(pixels, palette);
  palette.resize(256, Rgb{0, 0, 0});
  return EncodeIndexedPng(pixels.width, pixels.height, 8, palette, indices);
}

std::string GreyPng(const PixelView& pixels) {
  if (pixels.width < 1 || pixels.height < 1) return {};
  MakeGrey(pixels);
  std::array<std::uint8_t, 256> level{};
  for (int v = 0; v < 256; ++v) {
    int best = 0;
    for (int i = 1; i < 16; ++i) {
      if (std::abs(v - kGreyLevels[static_cast<std::size_t>(i)]) < std::abs(v - kGreyLevels[static_cast<std::size_t>(best)])) best = i;
    }
    level[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(best);
  }
  const std::size_t rowBytes = (static_cast<std::size_t>(pixels.width) + 1) / 2;
  std::vector<std::uint8_t> rows(rowBytes * static_cast<std::size_t>(pixels.height), 0);
  for (int y = 0; y < pixels.height; ++y) {
    const std::uint8_t* p = pixels.TopRow(y);
    std::uint8_t* out = rows.data() + rowBytes * static_cast<std::size_t>(y);
    for (int x = 0; x < pixels.width; ++x, p += kBytesPerPixel) {
      out[x / 2] |= static_cast<std::uint8_t>(level[p[0]] << (x % 2 == 0 ? 4 : 0));
    }
  }
  std::vector<Rgb> palette;
  for (std::uint8_t g : kGreyLevels) palette.push_back({g, g, g});
  return EncodeIndexedPng(pixels.width, pixels.height, 4, palette, rows);
}

std::string PngInFormat(const PixelView& pixels, TPngFormat format) {
  std::string colour;
  if (format != pf16Grays) colour = ColourPng(pixels);
  const std::size_t limit = SizeLimit(format);
  if (format != pf16Grays && !colour.empty() && (limit == 0 || colour.size() <= limit)) return colour;
  std::string grey = GreyPng(pixels);
  if (colour.empty() || (!grey.empty() && grey.size() < colour.size())) return grey;
  return colour;
}

}  // namespace delivery
