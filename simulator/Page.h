// A page the simulated scanner is asked for, and what every way of drawing one shares.
#pragma once

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

}  // namespace scansim
