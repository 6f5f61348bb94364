// The built-in scanner: the simulator with the conditions asked for on the command line, behind a
// fault injector for the cut-short answer.
#pragma once

#include <cstdint>

#include "Options.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"

namespace stiscan {

// The USB ids the simulated scanner reports on the direct route.
constexpr uint16_t kSimulatedVendorId = 0xF055;
constexpr uint16_t kSimulatedProductId = 0x5CA0;

// Sheets in the simulated feeder when the command line does not say.
constexpr uint32_t kDefaultFeederSheets = 2;

class SimulatedScanner {
 public:
  explicit SimulatedScanner(const Options& options);
  SimulatedScanner(const SimulatedScanner&) = delete;
  SimulatedScanner& operator=(const SimulatedScanner&) = delete;

  // The end of the cable the library's port reaches.
  scansim::Port& Port() { return faulty_; }

 private:
  scansim::ScannerSimulator simulator_;
  scansim::FaultyPort faulty_;
};

}  // namespace stiscan
