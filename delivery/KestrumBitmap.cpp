#include "delivery/KestrumBitmap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/Bytes.h"

namespace delivery {

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;

BmpLoad Fail(std::string why) {
  BmpLoad r;
  r.error = std::move(why);
  return r;
}

// One colour channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t max = 0;  // the channel's largest value; 0: the channel is absent

  static bool Make(std::uint32_t mask, Channel& out) {
    out = Channel{};
    if (mask == 0) return true;
    out.mask = mask;
    out.shift = std::countr_zero(mask);
    const std::uint32_t bits = mask >> out.shift;
    if ((bits & (bits + 1)) != 0) return false;  // not one run of ones
    out.max = bits;
    return true;
  }
  std::uint8_t Of(std::uint32_t v) const {
    if (max == 0) return 0;
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>((v & mask) >> shift) * 255 / max);
  }
};

}  // namespace

std::string BmpFileImage(const PixelView& pixels) {
  const auto imageBytes = static_cast<std::uint32_t>(pixels.ImageBytes());
  std::string out;
  out.reserve(kFileHeaderBytes + kInfoHeaderBytes + imageBytes);
  out += "BM";
  platform::AppendLe32(out, imageBytes + kFileHeaderBytes + kInfoHeaderBytes);
  platform::AppendLe32(out, 0);
  platform::AppendLe32(out, kFileHeaderBytes + kInfoHeaderBytes);
  platform::AppendLe32(out, kInfoHeaderBytes);
  platform::AppendLe32(out, static_cast<std::uint32_t>(pixels.width));
  platform::AppendLe32(out, static_cast<std::uint32_t>(pixels.height));
  platform::AppendLe16(out, 1);
  platform::AppendLe16(out, 32);
  platform::AppendLe32(out, 0);  // uncompressed
  platform::AppendLe32(out, imageBytes);
  for (int i = 0; i < 4; ++i) platform::AppendLe32(out, 0);  // resolution and colour counts
  if (imageBytes) out.append(reinterpret_cast<const char*>(pixels.bits), imageBytes);
  return out;
}

BmpLoad LoadBmp(std::span<const std::uint8_t> file) {
  const std::size_t size = file.size();
  const std::uint8_t* d = file.data();
  if (size < kFileHeaderBytes + 12) return Fail("too short for the BMP headers");
  if (d[0] != 'B' || d[1] != 'M') return Fail("no BMP signature");
  const std::uint32_t pixelOffset = platform::LoadLe32(d + 10);
  const std::uint32_t headerBytes = platform::LoadLe32(d + 14);
  const bool core = headerBytes == 12;
  if (!core && headerBytes != 40 && headerBytes != 52 && headerBytes != 56 && headerBytes != 108 && headerBytes != 124) {
    return Fail("unknown information header size " + std::to_string(headerBytes));
  }
  if (headerBytes > size - kFileHeaderBytes) return Fail("information header runs past the end of the file");
  const std::uint8_t* h = d + kFileHeaderBytes;

  std::int64_t width, height;
  std::uint32_t planes, bitCount, compression = 0, colorsUsed = 0;
  if (core) {
    width = platform::LoadLe16(h + 4);
    height = platform::LoadLe16(h + 6);
    planes = platform::LoadLe16(h + 8);
    bitCount = platform::LoadLe16(h + 10);
  } else {
    width = static_cast<std::int32_t>(platform::LoadLe32(h + 4));
    height = static_cast<std::int32_t>(platform::LoadLe32(h + 8));
    planes = platform::LoadLe16(h + 12);
    bitCount = platform::LoadLe16(h + 14);
    compression = platform::LoadLe32(h + 16);
    colorsUsed = platform::LoadLe32(h + 32);
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width <= 0 || height <= 0) return Fail("width or height not positive");
  if (planes != 1) return Fail("plane count not 1");
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxLoadPixels) return Fail("picture too large");
  switch (bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return Fail("unsupported bit count " + std::to_string(bitCount));
  }
  const bool bitFields = compression == 3;
  if (compression != 0 && !(bitFields && (bitCount == 16 || bitCount == 32))) {
    return Fail("unsupported compression " + std::to_string(compression));
  }

  // Bit-field masks: inside the longer headers, or right behind the 40-byte one.
  std::size_t tablePos = kFileHeaderBytes + headerBytes;
  std::uint32_t masks[3];
  if (bitFields) {
    const std::uint8_t* m = h + 40;
    if (headerBytes == 40) {
      if (size - tablePos < 12) return Fail("bit-field masks run past the end of the file");
      m = d + tablePos;
      tablePos += 12;
    }
    for (int i = 0; i < 3; ++i) masks[i] = platform::LoadLe32(m + 4 * i);
  } else if (bitCount == 16) {
    masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  } else {
    masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  }
  Channel red, green, blue;
  if (bitCount >= 16 && (!Channel::Make(masks[0], red) || !Channel::Make(masks[1], green) || !Channel::Make(masks[2], blue))) {
    return Fail("bit-field mask not contiguous");
  }
  if (bitCount == 16 && ((masks[0] | masks[1] | masks[2]) >> 16) != 0) return Fail("bit-field mask wider than the pixel");

  // Colour table for up to 8 bits; indices beyond it show black, as the system draws them.
  std::array<std::uint8_t, 256 * 3> palette{};  // blue, green, red
  if (bitCount <= 8) {
    const std::uint32_t full = 1u << bitCount;
    const std::uint32_t entries = colorsUsed == 0 ? full : colorsUsed;
    if (entries > full) return Fail("colour table larger than the bit count allows");
    const std::size_t entryBytes = core ? 3 : 4;
    if (tablePos > size || (size - tablePos) / entryBytes < entries) return Fail("colour table runs past the end of the file");
    for (std::uint32_t i = 0; i < entries; ++i) std::memcpy(&palette[i * 3], d + tablePos + i * entryBytes, 3);
    tablePos += entries * entryBytes;
  }

  const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
  if (pixelOffset < kFileHeaderBytes + headerBytes) return Fail("pixel data overlaps the headers");
  if (pixelOffset > size || (size - pixelOffset) / stride < static_cast<std::uint64_t>(height)) {
    return Fail("pixel data runs past the end of the file");
  }

  BmpLoad r;
  r.picture = Picture(static_cast<int>(width), static_cast<int>(height));
  const int w = r.picture.width, ht = r.picture.height;
  for (int row = 0; row < ht; ++row) {
    // Stored rows run bottom-up unless the height was negative; ours always do.
    const std::uint8_t* src = d + pixelOffset + stride * static_cast<std::uint64_t>(topDown ? ht - 1 - row : row);
    std::uint8_t* dst = r.picture.bits.data() + static_cast<std::size_t>(row) * w * kBytesPerPixel;
    for (int x = 0; x < w; ++x, dst += kBytesPerPixel) {
      switch (bitCount) {
        case 1:
        case 4:
        case 8: {
          const int bitPos = x * static_cast<int>(bitCount);
          const int index = src[bitPos / 8] >> (8 - static_cast<int>(bitCount) - bitPos % 8) & ((1 << bitCount) - 1);
          std::memcpy(dst, &palette[static_cast<std::size_t>(index) * 3], 3);
          break;
        }
        case 24: std::memcpy(dst, src + 3 * static_cast<std::size_t>(x), 3); break;
        default: {
          const std::uint32_t v = bitCount == 16 ? platform::LoadLe16(src + 2 * static_cast<std::size_t>(x))
                                                 : platform::LoadLe32(src + 4 * static_cast<std::size_t>(x));
          dst[0] = blue.Of(v);
          dst[1] = green.Of(v);
          dst[2] = red.Of(v);
        }
      }
      dst[3] = 0;
    }
  }
  r.ok = true;
  return r;
}

Size FitInto(int width, int height, int boxWidth, int boxHeight) {
  if (width <= 0 || height <= 0 || boxWidth <= 0 || boxHeight <= 0) return {0, 0};
  const std::int64_t ratioX = (static_cast<std::int64_t>(boxWidth) << 16) / width;
  const std::int64_t ratioY = (static_cast<std::int64_t>(boxHeight) << 16) / height;
  Size s{boxWidth, boxHeight};
  if (ratioX < ratioY) {
    s.height = static_cast<int>(std::min<std::int64_t>(boxHeight, (height * ratioX) >> 16));
  } else if (ratioY < ratioX) {
    s.width = static_cast<int>(std::min<std::int64_t>(boxWidth, (width * ratioY) >> 16));
  }
  s.width = std::max(s.width, 1);
  s.height = std::max(s.height, 1);
  return s;
}

namespace {

constexpr double kB = 1.0 / 3, kC = 1.0 / 3;
constexpr double kSupport = 2.0;
constexpr int kOne = 1 << 16;

double Mitchell(double x) {
  x = std::fabs(x);
  if (x < 1) return ((12 - 9 * kB - 6 * kC) * x * x * x + (-18 + 12 * kB + 6 * kC) * x * x + (6 - 2 * kB)) / 6;
  if (x < 2) return ((-kB - 6 * kC) * x * x * x + (6 * kB + 30 * kC) * x * x + (-12 * kB - 48 * kC) * x + (8 * kB + 24 * kC)) / 6;
  return 0;
}

int Mirror(int n, int size) {
  if (n < 0) n = -n;
  if (n >= size) n = 2 * size - 1 - n;
  return std::clamp(n, 0, size - 1);  // a picture narrower than the filter
}

struct Tap {
  int source;
  int weight;  // 16.16
};

// Per output coordinate, the source coordinates and fixed-point weights; each set sums to 1.0
// exactly, so that an even area keeps its value.
std::vector<std::vector<Tap>> Contributions(int sourceSize, int targetSize) {
  const double scale = static_cast<double>(targetSize) / sourceSize;
  const double widen = scale < 1 ? 1 / scale : 1;  // shrinking: wider filter, lower weights
  const double reach = kSupport * widen;
  std::vector<std::vector<Tap>> all(static_cast<std::size_t>(targetSize));
  std::vector<double> raw;
  for (int i = 0; i < targetSize; ++i) {
    const double center = (i + 0.5) / scale - 0.5;
    const int first = static_cast<int>(std::ceil(center - reach));
    const int last = static_cast<int>(std::floor(center + reach));
    raw.clear();
    double total = 0;
    for (int j = first; j <= last; ++j) {
      const double w = Mitchell((center - j) / widen) / widen;
      raw.push_back(w);
      total += w;
    }
    std::vector<Tap>& taps = all[static_cast<std::size_t>(i)];
    int sum = 0, biggest = 0;
    for (int j = first; j <= last; ++j) {
      const int w = static_cast<int>(std::lround(raw[static_cast<std::size_t>(j - first)] / total * kOne));
      if (w == 0) continue;
      taps.push_back({Mirror(j, sourceSize), w});
      sum += w;
      if (taps.back().weight > taps[static_cast<std::size_t>(biggest)].weight) biggest = static_cast<int>(taps.size()) - 1;
    }
    taps[static_cast<std::size_t>(biggest)].weight += kOne - sum;
  }
  return all;
}

}  // namespace

Picture Resample(const PixelView& source, int width, int height) {
  if (width < 1 || height < 1 || source.width < 1 || source.height < 1) return {};
  Picture out(width, height);
  const auto across = Contributions(source.width, width);
  const auto down = Contributions(source.height, height);
  std::vector<int> column(static_cast<std::size_t>(source.height) * 3);
  for (int x = 0; x < width; ++x) {
    const auto& hx = across[static_cast<std::size_t>(x)];
    for (int y = 0; y < source.height; ++y) {
      const std::uint8_t* row = source.bits + static_cast<std::size_t>(y) * source.RowBytes();
      std::int64_t sum[3] = {0, 0, 0};
      for (const Tap& t : hx) {
        const std::uint8_t* p = row + static_cast<std::size_t>(t.source) * kBytesPerPixel;
        for (int c = 0; c < 3; ++c) sum[c] += static_cast<std::int64_t>(t.weight) * p[c];
      }
      for (int c = 0; c < 3; ++c) column[static_cast<std::size_t>(y) * 3 + c] = static_cast<int>(sum[c] / kOne);
    }
    for (int y = 0; y < height; ++y) {
      std::int64_t sum[3] = {0, 0, 0};
      for (const Tap& t : down[static_cast<std::size_t>(y)]) {
        for (int c = 0; c < 3; ++c) sum[c] += static_cast<std::int64_t>(t.weight) * column[static_cast<std::size_t>(t.source) * 3 + c];
      }
      std::uint8_t* p = out.bits.data() + (static_cast<std::size_t>(y) * width + x) * kBytesPerPixel;
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(sum[c] / kOne, 0, 255));
      p[3] = 0;
    }
  }
  return out;
}

}  // namespace delivery
