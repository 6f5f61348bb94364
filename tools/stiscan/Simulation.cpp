#include "Simulation.h"

#include <thread>

namespace stiscan {

namespace {

scansim::Config ConfigFor(const Options& options) {
  doubles::ScannerConditions c = options.conditions;
  c.feederSheets = options.conditions.feederSheetsGiven ? c.feederSheets
                   : options.sheets != 0                ? options.sheets
                                                        : kDefaultFeederSheets;
  return doubles::SimulatorConfig(c);
}

}  // namespace

SimulatedScanner::SimulatedScanner(const Options& options)
    : simulator_(ConfigFor(options)),
      shortCommand_(options.conditions.shortTransfer),
      rate_(options.conditions.wireRate * 1e6) {}

void SimulatedScanner::Pace(uint32_t bytes) {
  if (bytes_ == 0) {
    start_ = std::chrono::steady_clock::now();
  }
  bytes_ += bytes;
  if (rate_ > 0) {
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(bytes_) / rate_));
    std::this_thread::sleep_until(due);
  }
}

bool SimulatedScanner::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  ++commands_;
  const bool ok = simulator_.Write(data, length, written);
  Pace(*written);
  return ok;
}

bool SimulatedScanner::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  const bool ok = simulator_.Read(data, length, read);
  // The answer to the chosen command arrives with only half its bytes.
  if (ok && commands_ == shortCommand_ && !cut_ && *read > 1) {
    *read /= 2;
    cut_ = true;
  }
  Pace(*read);
  return ok;
}

}  // namespace stiscan
