// The backend's debug output, on standard error as SANE backends write it: SANE_DEBUG_WIASTIIO sets
// the level. 1: errors; 3: each step of the backend; 5: the I/O handler's own debug lines as well.
#pragma once

namespace wiastiio_sane {

constexpr int kDebugErrors = 1;
constexpr int kDebugSteps = 3;
constexpr int kDebugLibrary = 5;

int DebugLevel();
void Debug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace wiastiio_sane
