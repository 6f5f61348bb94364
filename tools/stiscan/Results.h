// What the library's results mean to a person, and the tool's exit statuses.
#pragma once

#include <string>

#include "platform/win32.h"

namespace stiscan {

// Documented in --help; each failure class has its own.
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 2,
  kExitDevice = 3,
  kExitPaper = 4,
  kExitIo = 5,
  kExitLibrary = 6,
  kExitOutput = 7,
};

// "WIA_ERROR_PAPER_JAM", or "0x80001234" for a result without a name.
std::string ResultName(HRESULT result);
// "paper jam": what the result says, in words.
std::string ResultMeaning(HRESULT result);
// "WIA_ERROR_PAPER_JAM (0x80210002, paper jam)"; `meaning` replaces the general one where the step
// gives the result a narrower sense.
std::string DescribeResult(HRESULT result, const char* meaning = nullptr);

// The exit status for a result that stops a scan. The device-level results (port not granted, busy,
// warming up) are device problems; jams and an empty feeder are paper problems; a failed or short
// transfer is an I/O problem; the rest are the library's.
ExitStatus ExitStatusFor(HRESULT result);

}  // namespace stiscan
