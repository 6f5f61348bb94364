#include "Simulation.h"

namespace stiscan {

namespace {

// A cut-short answer brings this many bytes: half a 32-byte answer, and less than any block.
constexpr uint32_t kShortAnswerBytes = 16;

scansim::Config ConfigFor(const Options& options) {
  const Conditions& c = options.conditions;
  scansim::Config config;
  config.feeder_sheets = c.feederSheetsGiven   ? c.feederSheets
                         : options.sheets != 0 ? options.sheets
                                               : kDefaultFeederSheets;
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

}  // namespace

SimulatedScanner::SimulatedScanner(const Options& options) : simulator_(ConfigFor(options)), faulty_(simulator_) {
  if (options.conditions.shortTransfer != 0) {
    faulty_.AtExchange(options.conditions.shortTransfer, scansim::Phase::kRead,
                       scansim::Fault::ShortCount(kShortAnswerBytes));
  }
}

}  // namespace stiscan
