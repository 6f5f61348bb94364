#include "Window.h"

#include <algorithm>
#include <cstring>

namespace scansim {

namespace {

// Units are 1/1200 inch; at 2400 dpi one unit holds two pixels.
uint32_t UnitsToPixels(uint32_t units, uint32_t dpi) {
  if (dpi == 0) {
    return 0;
  }
  if (dpi > 1200) {
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{units} * (dpi / 1200), UINT32_MAX));
  }
  return units / (1200 / dpi);
}

}  // namespace

bool DecodeWindowCommand(const uint8_t* bytes, size_t length, Window* window) {
  if (bytes == nullptr || window == nullptr || length != kWindowCommandSize ||
      std::memcmp(bytes, kWindowHeader, sizeof kWindowHeader) != 0) {
    return false;
  }
  Window w;
  std::copy(bytes, bytes + kWindowCommandSize, w.bytes.begin());
  w.width_units = GetBe32(bytes + kWinWidth);
  w.height_units = GetBe32(bytes + kWinHeight);
  w.resolution_code = bytes[kWinResolution];
  w.dpi = ResolutionOfCode(w.resolution_code);
  w.width = UnitsToPixels(w.width_units, w.dpi);
  w.height = UnitsToPixels(w.height_units, w.dpi);
  w.image_type = bytes[kWinImageType];
  w.bits_per_pixel = bytes[kWinBitsPerPixel];
  w.source = bytes[kWinSource];
  *window = w;
  return true;
}

const char* WindowRefusalName(WindowRefusal refusal) {
  switch (refusal) {
    case WindowRefusal::kNone:
      return "none";
    case WindowRefusal::kResolutionCode:
      return "resolution code";
    case WindowRefusal::kResolutionUnsupported:
      return "resolution not supported";
    case WindowRefusal::kEmptySize:
      return "empty size";
    case WindowRefusal::kImageType:
      return "image type";
    case WindowRefusal::kImageTypeUnsupported:
      return "image type not supported";
    case WindowRefusal::kSource:
      return "source";
    case WindowRefusal::kNoFeeder:
      return "no feeder";
    case WindowRefusal::kTooWide:
      return "too wide";
    case WindowRefusal::kTooLong:
      return "too long";
  }
  return "?";
}

}  // namespace scansim
