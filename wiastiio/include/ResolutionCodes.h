// The resolution codes of STIEscape.h as a table, for the library and the client (C++ only, not shipped).
#pragma once

#include "STIEscape.h"

inline constexpr RESOLUTION_CODE kResolutionCodes[] = RESOLUTION_CODES;

// Window units per pixel at the code's resolution; 0 for a code the library refuses.
inline constexpr DWORD WindowUnitsPerPixel(BYTE byCode) {
  for (const RESOLUTION_CODE& entry : kResolutionCodes) {
    if (entry.byCode == byCode) {
      return WINDOW_UNIT_DPI % entry.dwDpi == 0 ? WINDOW_UNIT_DPI / entry.dwDpi : 0;
    }
  }
  return 0;
}
