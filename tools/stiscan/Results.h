// The tool's exit statuses: one for each outcome class of a scan.
#pragma once

#include "client/Outcome.h"

namespace stiscan {

// Documented in --help and the README.
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 2,
  kExitDevice = 3,
  kExitPaper = 4,
  kExitIo = 5,
  kExitLibrary = 6,
  kExitOutput = 7,
  kExitCancelled = 8,
};

ExitStatus ExitStatusOf(client::Status status);

}  // namespace stiscan
