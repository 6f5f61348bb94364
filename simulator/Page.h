// A page the simulated scanner is asked for, and what every way of drawing one shares.
#pragma once

#include <algorithm>
#include <cstdint>

#include "Wire.h"

namespace scansim {

// One page as the scanner renders it.
struct PageRequest {
  uint32_t page = 0;    // 0 the document on the flatbed, 1, 2, ... the sheets drawn from the feeder
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // lines
  uint32_t dpi = 300;
  ImageType type = ImageType::kColour;
  bool paper = false;  // a paper-like page (Paper.cpp) instead of the test chart

  bool operator==(const PageRequest& o) const {
    return page == o.page && width == o.width && height == o.height && dpi == o.dpi && type == o.type &&
           paper == o.paper;
  }
  bool operator!=(const PageRequest& o) const { return !(*this == o); }
};

// A 32-bit integer hash, well mixed and the same on every platform: the pages' pseudo-random picture
// (the chart's cells, the paper's noise and fibres) is made of it. Inline, for the rows' inner loops.
inline uint32_t Mix(uint32_t a) {
  a ^= a >> 16;
  a *= 0x7feb352dU;
  a ^= a >> 15;
  a *= 0x846ca68bU;
  a ^= a >> 16;
  return a;
}

// Bytes in one row: width x 3 (colour), width (grey), width / 8 rounded up (black-and-white).
uint32_t BytesPerRow(ImageType type, uint32_t width);

// Pages are drawn in 1/1200 inch, the finest unit of the scanner; a pixel takes the colour of the point
// at its top-left corner, so a page at 150 dpi is the 300-dpi page with every other pixel.
constexpr uint32_t kUnitsPerInch = 1200;

// The units from the edge to pixel `pixels` at `dpi`.
inline uint32_t ToUnits(uint32_t pixels, uint32_t dpi) {
  return static_cast<uint32_t>(uint64_t{pixels} * kUnitsPerInch / dpi);
}

// The first pixel at or past `units` from the edge, at most `width`.
inline uint32_t FirstPixel(uint64_t units, uint32_t dpi, uint32_t width) {
  return static_cast<uint32_t>(std::min<uint64_t>((units * dpi + kUnitsPerInch - 1) / kUnitsPerInch, width));
}

struct Rgb {
  uint8_t r, g, b;
};
static_assert(sizeof(Rgb) == 3, "a row of Rgb is a colour row's bytes");

inline uint8_t Luminance(Rgb c) {
  return static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 8);
}

// A grey row as black-and-white bits, the first pixel in the top bit: a pixel under 128 is black (1).
void PackBlackWhite(const uint8_t* grey, uint32_t width, uint8_t* out);

}  // namespace scansim
