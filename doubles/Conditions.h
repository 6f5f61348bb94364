// What the built-in simulated scanner runs into, as stiscan's options and wiastiio.conf name them, and
// the simulator's configuration that sets them up. The tool and the SANE backend each add the
// conditions only they offer (their ways of cutting an answer short and of pacing the wire).
#pragma once

#include <cstdint>

#include "simulator/ScannerSimulator.h"

namespace doubles {

// The USB ids the simulated scanner reports.
constexpr uint16_t kSimulatedVendorId = 0x1234;
constexpr uint16_t kSimulatedProductId = 0x5678;

struct ScannerConditions {
  uint32_t feederSheets = 0;       // feeder-sheets: sheets in the feeder
  uint32_t busyReserves = 0;       // busy: the next N reserves find the scanner busy
  uint32_t warmingUpReserves = 0;  // warming-up: then the next N find the lamp warming up
  uint32_t jamSheet = 0;           // jam: this sheet (from 1) jams as it is fed (0: none)
  uint32_t jamBlock = 0;           // jam-block: ... or in the read of this block of it (0: as it is fed)
  uint32_t blockBytes = 65536;     // block-bytes: image bytes per block
};

inline scansim::Config SimulatorConfig(const ScannerConditions& c) {
  scansim::Config config;
  config.feeder_sheets = c.feederSheets;
  config.block_bytes = c.blockBytes;
  config.script.busy_reserves = c.busyReserves;
  config.script.warming_up_reserves = c.warmingUpReserves;
  config.script.jam_sheet = c.jamSheet;
  if (c.jamBlock != 0) {
    config.script.jam_mode = scansim::JamMode::kMidPage;
    config.script.jam_after_blocks = c.jamBlock - 1;
  }
  return config;
}

}  // namespace doubles
