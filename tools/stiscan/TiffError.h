// libtiff's error handler for the writers that use it (Linux): the first error of a file is kept, to be
// reported with the file's name, and nothing is printed.
#pragma once

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace stiscan {

// A TIFFErrorHandlerExtR: `first` is the std::string that keeps the first error.
inline int KeepFirstTiffError(TIFF* /*tiff*/, void* first, const char* module, const char* format, va_list args) {
  auto* kept = static_cast<std::string*>(first);
  if (kept->empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *kept = std::string(module != nullptr ? module : "") + (module != nullptr ? ": " : "") + text;
  }
  return 1;  // handled: nothing printed
}

}  // namespace stiscan
