// The scan window as the scanner reads it from a set-window command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Wire.h"

namespace scansim {

// The fields of a set-window command, as sent and as pixels at the window's resolution.
struct Window {
  std::array<uint8_t, kWindowCommandSize> bytes{};  // the command as received
  uint32_t width_units = 0;                         // 1200-dpi units
  uint32_t height_units = 0;
  uint8_t resolution_code = 0;
  uint32_t dpi = 0;        // 0 for a code without a resolution
  uint32_t width = 0;      // pixels at dpi
  uint32_t height = 0;     // lines at dpi
  uint8_t image_type = 0;  // command byte 14, an ImageType when valid
  uint8_t bits_per_pixel = 0;
  uint8_t source = 0;

  ImageType Type() const { return static_cast<ImageType>(image_type); }
  bool FromFeeder() const { return source == kSourceFeederFront || source == kSourceFeederDuplex; }
};

// Reads the fields of a set-window command. False when the bytes are not one: not 25 bytes, or not
// starting 1B A8 24 13 30. Sizes turn into pixels by the resolution's factor (1200 / dpi; 2400 dpi
// takes two pixels per unit); a code without a resolution leaves dpi, width and height 0.
bool DecodeWindowCommand(const uint8_t* bytes, size_t length, Window* window);

// Why the scanner turns a decoded window down, in the order it checks.
enum class WindowRefusal {
  kNone,
  kResolutionCode,         // the code has no resolution
  kResolutionUnsupported,  // not in the scanner's resolution mask
  kEmptySize,              // width or height 0 (in units or in pixels)
  kImageType,              // not 0, 1 or 2, or the bits per pixel do not match
  kImageTypeUnsupported,   // not in the scanner's image composition
  kSource,                 // not 0x10, 0x20 or 0x40
  kNoFeeder,               // a feeder source on a flatbed-only scanner
  kTooWide,                // wider than the bed (with room for the host's 32-pixel alignment)
  kTooLong,                // longer than the source's longest document
};

const char* WindowRefusalName(WindowRefusal refusal);

}  // namespace scansim
