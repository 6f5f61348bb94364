// The built-in simulated scanner: the simulator with the conditions of wiastiio.conf, reached by the
// library through the device-monitor module, which the platform's module model serves from here.
#pragma once

#include <memory>

#include "Config.h"
#include "doubles/ContentionDouble.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"

namespace wiastiio_sane {

class SimulatedScanner {
 public:
  explicit SimulatedScanner(const SimulatorConditions& conditions);
  ~SimulatedScanner();
  SimulatedScanner(const SimulatedScanner&) = delete;
  SimulatedScanner& operator=(const SimulatedScanner&) = delete;

  // Whether the scanner's unit is reserved and whether the port is held, for the debug output.
  bool UnitReserved() const { return simulator_.UnitReserved(); }
  bool PortHeld() const { return monitor_.Held(); }

 private:
  // Takes `pause` milliseconds over each image block the scanner sends, and `feedPause` over each
  // sheet it positions, so that a scan lasts long enough for a person (or a test) to stop it.
  class PacedPort : public scansim::Port {
   public:
    PacedPort(scansim::Port& inner, uint32_t pauseMs, uint32_t feedPauseMs)
        : inner_(inner), pauseMs_(pauseMs), feedPauseMs_(feedPauseMs) {}
    bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
    bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
    uint32_t LastError() const override { return inner_.LastError(); }

   private:
    scansim::Port& inner_;
    uint32_t pauseMs_;
    uint32_t feedPauseMs_;
    bool positioning_ = false;  // the last command positions a sheet
  };

  scansim::ScannerSimulator simulator_;
  scansim::FaultyPort faulty_;
  PacedPort paced_;
  doubles::ContentionDouble monitor_;
};

}  // namespace wiastiio_sane
