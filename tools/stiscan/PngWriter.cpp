#include "PngWriter.h"

namespace stiscan {

uint32_t PngRowBytes(const PngHeader& header) {
  switch (header.kind) {
    case PngKind::kRgb8:
      return header.width * 3;
    case PngKind::kGrey8:
      return header.width;
    case PngKind::kGrey1:
      break;
  }
  return (header.width + 7) / 8;
}

uint32_t PixelsPerMetre(uint32_t dpi) {
  // 1 inch = 0.0254 m exactly, so dpi / 0.0254 = dpi * 5000 / 127.
  return static_cast<uint32_t>((static_cast<uint64_t>(dpi) * 10000 + 127) / 254);
}

std::unique_ptr<PngWriter> MakePngWriter() {
#if defined(_WIN32)
  return MakeStoredPngWriter();
#else
  return MakeLibpngWriter();
#endif
}

}  // namespace stiscan
