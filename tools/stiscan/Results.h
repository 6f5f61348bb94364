// The tool's exit statuses: one for each outcome class of a scan.
#pragma once

#include <cstdint>

#include "client/Outcome.h"
#include "client/ScanSession.h"

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
client::Status StatusOf(ExitStatus exitStatus);

// Where the tool knows more than a result says: an inquiry that failed where no scanner has the ids
// asked for (`noScannerWithIds`) found no scanner, a device outcome; a resolution the device does not
// list is refused with the list, whatever the library would make of it.
void Narrow(uint32_t dpi, const client::DeviceReport& device, bool noScannerWithIds, client::Outcome* outcome);

}  // namespace stiscan
