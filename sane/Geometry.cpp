#include "Geometry.h"

#include <cmath>

namespace wiastiio_sane {

namespace {

constexpr double kMillimetresPerInch = 25.4;

// An edge at the nearest pixel boundary: a pixel is in the window when its centre is. So a length
// becomes its nearest number of pixels, as stiscan's --size does (297 mm at 150 dpi, 1753.9 pixels, is
// 1754 rows), and windows that meet at an edge share no pixel and leave none out.
uint32_t PixelsOfMillimetres(SANE_Fixed length, uint32_t dpi) {
  const double millimetres = SANE_UNFIX(length);
  if (!(millimetres > 0)) {
    return 0;
  }
  return static_cast<uint32_t>(std::floor(millimetres * dpi / kMillimetresPerInch + 0.5));
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
