#include "Page.h"

namespace scansim {

uint32_t BytesPerRow(ImageType type, uint32_t width) {
  switch (type) {
    case ImageType::kColour:
      return width * 3;
    case ImageType::kGrey:
      return width;
    case ImageType::kBlackWhite:
    default:
      return (width + 7) / 8;
  }
}

void PackBlackWhite(const uint8_t* grey, uint32_t width, uint8_t* out) {
  std::fill_n(out, BytesPerRow(ImageType::kBlackWhite, width), uint8_t{0});
  for (uint32_t x = 0; x < width; ++x) {
    if (grey[x] < 128) {
      out[x / 8] = static_cast<uint8_t>(out[x / 8] | (0x80 >> (x % 8)));
    }
  }
}

}  // namespace scansim
