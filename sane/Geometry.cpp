#include "Geometry.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

uint32_t PixelsOfThousandths(long thousandths, uint32_t dpi) {
  if (thousandths <= 0) {
    return 0;
  }
  return static_cast<uint32_t>(std::floor(static_cast<double>(thousandths) * dpi / 1000.0 + 1e-6));
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

ScanGeometry Plan(const Window& window, uint32_t dpi, ScanMode mode, long areaWidth, long areaHeight) {
  ScanGeometry g;
  const uint32_t areaColumns = PixelsOfThousandths(areaWidth, dpi);
  const uint32_t areaRows = PixelsOfThousandths(areaHeight, dpi);
  g.scanWidth = std::min(PixelsOfMillimetres(window.brX, dpi), areaColumns);
  g.scanHeight = std::min(PixelsOfMillimetres(window.brY, dpi), areaRows);
  g.left = std::min(PixelsOfMillimetres(window.tlX, dpi), g.scanWidth);
  g.top = std::min(PixelsOfMillimetres(window.tlY, dpi), g.scanHeight);
  g.width = g.scanWidth - g.left;
  g.height = g.scanHeight - g.top;
  g.deliveredWidth = g.scanWidth;
  g.deliveredRowBytes = client::RowBytes(ClientMode(mode), g.deliveredWidth);
  g.rowBytes = client::RowBytes(ClientMode(mode), g.width);
  return g;
}

SANE_Parameters ParametersOf(const ScanGeometry& geometry, ScanMode mode) {
  SANE_Parameters p = {};
  p.format = mode == ScanMode::kColor ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  p.last_frame = SANE_TRUE;
  p.bytes_per_line = static_cast<SANE_Int>(geometry.rowBytes);
  p.pixels_per_line = static_cast<SANE_Int>(geometry.width);
  p.lines = static_cast<SANE_Int>(geometry.height);
  p.depth = mode == ScanMode::kLineart ? 1 : 8;
  return p;
}

void CropRow(const uint8_t* delivered, const ScanGeometry& geometry, ScanMode mode, uint8_t* out) {
  if (mode != ScanMode::kLineart) {
    const uint32_t pixelBytes = mode == ScanMode::kColor ? 3 : 1;
    std::memcpy(out, delivered + static_cast<size_t>(geometry.left) * pixelBytes, geometry.rowBytes);
    return;
  }
  // Both the scanner and SANE put the leftmost pixel in the high bit and mark black with 1.
  const uint32_t shift = geometry.left % 8;
  const uint8_t* in = delivered + geometry.left / 8;
  for (uint32_t i = 0; i < geometry.rowBytes; ++i) {
    uint32_t bits = static_cast<uint32_t>(in[i]) << shift;
    if (shift != 0 && (geometry.left / 8 + i + 1) < geometry.deliveredRowBytes) {
      bits |= in[i + 1] >> (8 - shift);
    }
    out[i] = static_cast<uint8_t>(bits);
  }
  const uint32_t spare = geometry.rowBytes * 8 - geometry.width;
  if (geometry.rowBytes != 0) {
    out[geometry.rowBytes - 1] &= static_cast<uint8_t>(0xFF << spare);
  }
}

}  // namespace wiastiio_sane
