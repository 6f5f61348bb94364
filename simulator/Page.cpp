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

}  // namespace scansim
