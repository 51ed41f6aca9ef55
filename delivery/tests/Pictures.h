// Small synthetic pictures for the screenshot tests.
#pragma once

#include "delivery/KestrumBitmap.h"
#include "delivery/KestrumPng.h"

#include <functional>

namespace delivery::testing {

// A picture whose pixel at (x, y), y counted from the top, is colour(x, y).
inline Picture Paint(int width, int height, const std::function<Rgb(int, int)>& colour) {
  Picture p(width, height);
  const PixelView v = p.View();
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = v.TopRow(y);
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      row[x * 4] = c.b, row[x * 4 + 1] = c.g, row[x * 4 + 2] = c.r, row[x * 4 + 3] = 0;
    }
  }
  return p;
}

inline Rgb PixelAt(const PixelView& v, int x, int y) {
  const std::uint8_t* p = v.TopRow(y) + x * 4;
  return {p[2], p[1], p[0]};
}

// A repeatable noise source, so that busy pictures are the same in every run.
struct Noise {
  std::uint32_t state;
  std::uint8_t Next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state >> 24);
  }
};

}  // namespace delivery::testing
