// What the built-in simulated scanner runs into, as stiscan's options and wiastiio.conf name them, and
// the simulator's configuration that sets them up.
#pragma once

#include <cstdint>

#include "simulator/ScannerModel.h"

namespace scansim {

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
  // The line between the library and the scanner.
  uint32_t shortAnswer = 0;   // short-answer: the answer to this command (from 1) arrives with half its bytes
  double wireRate = 0;        // wire-rate: MB/s both ways are paced at (0: as fast as the simulator goes)
  uint32_t blockPauseMs = 0;  // block-pause: milliseconds the scanner takes over each image block
  uint32_t feedPauseMs = 0;   // feed-pause: milliseconds the scanner takes to position a sheet
  bool portHeld = false;      // port-held: the contention modules refuse the port
  bool paper = false;         // paper: paper-like pages (noise, fibres, a photograph, words) for the chart
};

inline Config SimulatorConfig(const ScannerConditions& c) {
  Config config;
  config.feeder_sheets = c.feederSheets;
  config.block_bytes = c.blockBytes;
  config.script.busy_reserves = c.busyReserves;
  config.script.warming_up_reserves = c.warmingUpReserves;
  config.script.jam_sheet = c.jamSheet;
  config.paper_pages = c.paper;
  if (c.jamBlock != 0) {
    config.script.jam_mode = JamMode::kMidPage;
    config.script.jam_after_blocks = c.jamBlock - 1;
  }
  return config;
}

}  // namespace scansim
