// From the option values to the scan: the window sent to the scanner, the part of what it delivers
// that the frontend gets, and SANE's parameters of the frame.
//
// The scanner's window always starts at the top-left corner of the area, so a window that starts further
// in is scanned from the corner to its bottom-right edge and the rows and columns before its top-left
// edge are dropped here. (The scan session already drops the columns the scanner adds to make a row a
// multiple of 32 pixels wide.)
#pragma once

#include <cstdint>

#include <sane/sane.h>

#include "client/ScanSession.h"

namespace wiastiio_sane {

enum class ScanMode { kColor, kGray, kLineart };

// The scan session's name for the same mode.
client::Mode ClientMode(ScanMode mode);

// Lengths in millimetres, as SANE_Fixed.
struct Window {
  SANE_Fixed tlX = 0;
  SANE_Fixed tlY = 0;
  SANE_Fixed brX = 0;
  SANE_Fixed brY = 0;
};

struct ScanGeometry {
  uint32_t scanWidth = 0;          // pixels the scanner is asked for: from the left edge of the area to brX
  uint32_t scanHeight = 0;         // rows the scanner is asked for: from the top of the area to brY
  uint32_t left = 0;               // columns dropped before the frame
  uint32_t top = 0;                // rows dropped before the frame
  uint32_t width = 0;              // pixels of a frame row
  uint32_t height = 0;             // rows of the frame
  uint32_t deliveredWidth = 0;     // pixels of a row as the session hands it over: scanWidth
  uint32_t deliveredRowBytes = 0;  // bytes of such a row
  uint32_t rowBytes = 0;           // bytes of a frame row
};

// Millimetres of a length in thousandths of an inch (the unit of the device information).
SANE_Fixed MillimetresOf(long thousandths);

// The scan of `window` at `dpi` over an area of `areaWidth` x `areaHeight` thousandths of an inch. The
// window is clipped to the area; a window that holds no whole pixel gives a width or height of 0.
ScanGeometry Plan(const Window& window, uint32_t dpi, ScanMode mode, long areaWidth, long areaHeight);

// SANE's description of the frame.
SANE_Parameters ParametersOf(const ScanGeometry& geometry, ScanMode mode);

// Copies one delivered row's part inside the frame to `out` (rowBytes bytes). For lineart the bits are
// shifted when the frame does not start on a byte; the bits past the last pixel are cleared.
void CropRow(const uint8_t* delivered, const ScanGeometry& geometry, ScanMode mode, uint8_t* out);

}  // namespace wiastiio_sane
