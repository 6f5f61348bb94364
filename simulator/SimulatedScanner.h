// The built-in simulated scanner, wired in one place for every program that needs one: stiscan, the
// SANE backend, and (extended with their checks, doubles/Rig.h) the tests, benchmarks and fuzz targets.
//
//   library port --> contention module / "\\.\Usbscan0" --> [a test's fault injector] --> Line --> scanner
//
// The scanner is the simulator (or a port of the caller's own, Connect). The Line in front of it cuts
// one answer short and paces the wire as the conditions say. The device monitor "prtmon64.dll" reaches
// it always; with Routes::kBoth the port arbitration module "portarb.dll" and "\\.\Usbscan0" (reporting
// the simulated ids) do too. On Linux the modules are installed into the platform's module model and
// the device is plugged into its device model; on Windows the modules are the prtmon64.dll and
// portarb.dll beside the program (built with the tests, not shipped), held loaded for the object's life.
// The device's parameters key goes with it.
//
// One at a time per process: the modules and the device name are process-wide.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/DeviceKey.h"
#include "simulator/Conditions.h"
#include "simulator/ContentionModule.h"
#include "simulator/Port.h"
#include "simulator/ScannerModel.h"

namespace scansim {

class UsbscanDevice;

// Between the library's port and the scanner: the answer to one command cut to half its bytes, the
// wire paced at a rate, pauses over image blocks and sheet feeds.
class Line : public Port {
 public:
  explicit Line(const ScannerConditions& conditions);

  void Connect(Port* scanner) { scanner_ = scanner; }
  Port* Connected() const { return scanner_; }
  // Called with the operation code of every command written.
  void OnCommand(std::function<void(uint8_t opcode)> observer) { onCommand_ = std::move(observer); }

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return scanner_->LastError(); }
  uint32_t QuietBefore(bool read) override { return scanner_->QuietBefore(read); }

  // Commands written; whether the answer asked to be cut short was.
  uint32_t Commands() const { return commands_; }
  bool ShortAnswerSent() const { return cut_; }
  // The time the bytes moved both ways would take on the paced wire.
  double WireSeconds() const { return rate_ > 0 ? static_cast<double>(bytes_) / rate_ : 0; }

 private:
  void Pace(uint32_t bytes);

  Port* scanner_ = nullptr;
  std::function<void(uint8_t)> onCommand_;
  uint32_t shortAnswer_;
  double rate_;  // bytes per second, 0 unpaced
  uint32_t blockPauseMs_;
  uint32_t feedPauseMs_;
  uint32_t commands_ = 0;
  bool cut_ = false;
  bool positioning_ = false;  // the last command positions a sheet
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point start_;
};

class SimulatedScanner {
 public:
  enum class Routes { kDeviceMonitor, kBoth };
  // The modules and the device a caller brings (Linux; the tests' doubles), null for the product's own.
  struct Parts {
    std::unique_ptr<ContentionModule> monitor;
    std::unique_ptr<ContentionModule> arbitration;
    std::shared_ptr<UsbscanDevice> direct;
  };

  SimulatedScanner(const ScannerConditions& conditions, Routes routes);
  virtual ~SimulatedScanner();
  SimulatedScanner(const SimulatedScanner&) = delete;
  SimulatedScanner& operator=(const SimulatedScanner&) = delete;

  // False with the reason when a module could not be found (Windows: the DLLs beside the program).
  bool Ready(std::string* error) const;

  // ---- The far end of the cable ----
  ScannerModel& Simulator() { return *simulator_; }
  // A fresh simulator in place of the old one.
  void NewSimulator(const Config& config);
  // Another scanner (not owned) in place of the simulator; null connects the simulator again.
  void Connect(Port* scanner);
  Line& Wire() { return line_; }
  const Line& Wire() const { return line_; }

  // ---- The contention modules ----
  ContentionModule& Monitor() { return *monitor_; }
  ContentionModule& Arbitration() { return *arbitration_; }

  // ---- The device key ----
  host::DeviceKey& Key() { return key_; }
  HKEY Parameters() const { return key_.Parameters(); }

 protected:
  SimulatedScanner(const Config& config, const ScannerConditions& line, Routes routes, Parts parts);
  // The port the modules and the device reach: the line, or what a test puts in front of it.
  void SetFront(Port* front);
  // Installs the modules (again), each with the entry points `exports` lets through (Linux).
  using Exported = std::function<bool(const ContentionModule& module, const char* entry)>;
  bool Install(const Exported& exports = nullptr);
  UsbscanDevice* DirectDevice() { return direct_.get(); }

 private:
  void Wire(Routes routes, bool portHeld);

  std::unique_ptr<ScannerModel> simulator_;
  Line line_;
  Port* front_ = &line_;
  Routes routes_;
  std::unique_ptr<ContentionModule> ownMonitor_;
  std::unique_ptr<ContentionModule> ownArbitration_;
  ContentionModule* monitor_ = nullptr;
  ContentionModule* arbitration_ = nullptr;
  std::shared_ptr<UsbscanDevice> direct_;
#if defined(_WIN32)
  void* modules_[2] = {};
  std::string missing_;
#endif
  host::DeviceKey key_;
};

}  // namespace scansim
