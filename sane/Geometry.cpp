#include "Geometry.h"

#include <cmath>

namespace wiastiio_sane {

namespace {

constexpr double kMillimetresPerInch = 25.4;

// A SANE_Fixed value is within 1/65536 mm of the length meant: a little under a thousandth of a pixel
// at 2400 dpi. Lengths that meant a whole pixel stay one.
constexpr double kPixelTolerance = 1e-3;

uint32_t PixelsOfMillimetres(SANE_Fixed length, uint32_t dpi) {
  const double millimetres = SANE_UNFIX(length);
  if (!(millimetres > 0)) {
    return 0;
  }
  return static_cast<uint32_t>(std::floor(millimetres * dpi / kMillimetresPerInch + kPixelTolerance));
}

}  // namespace

client::Mode ClientMode(ScanMode mode) {
  switch (mode) {
    case ScanMode::kGray:
      return client::Mode::kGrey;
    case ScanMode::kLineart:
      return client::Mode::kBlackWhite;
    case ScanMode::kColor:
      break;
  }
  return client::Mode::kColour;
}

SANE_Fixed MillimetresOf(long thousandths) {
  return SANE_FIX(static_cast<double>(thousandths) * kMillimetresPerInch / 1000.0);
}

void SetWindow(const Window& window, uint32_t dpi, client::ScanRequest* request) {
  request->pixelWindow = true;
  request->left = PixelsOfMillimetres(window.tlX, dpi);
  request->top = PixelsOfMillimetres(window.tlY, dpi);
  request->right = PixelsOfMillimetres(window.brX, dpi);
  request->bottom = PixelsOfMillimetres(window.brY, dpi);
}

SANE_Parameters ParametersOf(const client::PageLayout& page) {
  SANE_Parameters p = {};
  p.format = page.mode == client::Mode::kColour ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  p.last_frame = SANE_TRUE;
  p.bytes_per_line = static_cast<SANE_Int>(page.bytesPerLine);
  p.pixels_per_line = static_cast<SANE_Int>(page.width);
  p.lines = static_cast<SANE_Int>(page.height);
  p.depth = page.mode == client::Mode::kBlackWhite ? 1 : 8;
  return p;
}

}  // namespace wiastiio_sane
