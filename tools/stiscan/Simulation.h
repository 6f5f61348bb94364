// The built-in scanner: the simulator with the conditions asked for on the command line, behind a
// cable that can cut one answer short and pace the answers at a chosen wire rate.
#pragma once

#include <chrono>
#include <cstdint>

#include "Options.h"
#include "doubles/Conditions.h"
#include "simulator/Port.h"
#include "simulator/ScannerSimulator.h"

namespace stiscan {

// The USB ids the simulated scanner reports on the direct route.
using doubles::kSimulatedProductId;
using doubles::kSimulatedVendorId;

// Sheets in the simulated feeder when the command line does not say.
constexpr uint32_t kDefaultFeederSheets = 2;

class SimulatedScanner : public scansim::Port {
 public:
  explicit SimulatedScanner(const Options& options);
  SimulatedScanner(const SimulatedScanner&) = delete;
  SimulatedScanner& operator=(const SimulatedScanner&) = delete;

  // The end of the cable the library's port reaches.
  scansim::Port& Port() { return *this; }

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return simulator_.LastError(); }

  // Commands the library sent; whether the answer asked to be cut short was.
  uint32_t Commands() const { return commands_; }
  bool ShortAnswerSent() const { return cut_; }
  // Bytes both ways, and the time they would take on the paced wire.
  uint64_t WireBytes() const { return bytes_; }
  double WireSeconds() const { return rate_ > 0 ? static_cast<double>(bytes_) / rate_ : 0; }

 private:
  void Pace(uint32_t bytes);

  scansim::ScannerSimulator simulator_;
  uint32_t shortCommand_;
  double rate_;  // bytes per second, 0 unpaced
  uint32_t commands_ = 0;
  bool cut_ = false;
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace stiscan
