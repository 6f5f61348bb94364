// From the option values to the scan: the window of pixels the scan session is asked for, and SANE's
// parameters of the frame it delivers.
//
// The scanner's window always starts at the top-left corner of the area, so a window that starts further
// in is scanned from the corner to its bottom-right edge; the session drops the rows and columns before
// its top-left edge (and those the scanner adds to make a row a multiple of 32 pixels wide).
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

// Millimetres of a length in thousandths of an inch (the unit of the device information).
SANE_Fixed MillimetresOf(long thousandths);

// The pixels of `window` at `dpi`, each edge on the nearest pixel boundary, into the request; the session
// clips them to the area and refuses a window that holds no whole pixel.
void SetWindow(const Window& window, uint32_t dpi, client::ScanRequest* request);

// SANE's description of the frame of `page` (a page of no pixels when `page` has none).
SANE_Parameters ParametersOf(const client::PageLayout& page);

}  // namespace wiastiio_sane
