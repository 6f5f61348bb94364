#include "Debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace wiastiio_sane {

int DebugLevel() {
  static const int level = [] {
    const char* text = std::getenv("SANE_DEBUG_WIASTIIO");
    return text != nullptr ? std::atoi(text) : 0;
  }();
  return level;
}

void Debug(int level, const char* format, ...) {
  if (DebugLevel() < level) {
    return;
  }
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "[wiastiio] %s\n", line);
}

}  // namespace wiastiio_sane
