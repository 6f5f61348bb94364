// Everything that stands around the library in a test, a benchmark, a fuzz target or the tool, wired
// once: the scanner at the far end of the cable (the simulator behind a fault injector, or a scanner of
// the caller's own), the two contention modules as LoadLibraryA finds them, "\\.\Usbscan0" for the
// direct route, the device's registry key and the device-control interface the service hands over.
//
//   doubles::Rig rig(config);                      // simulator, doubles, device key
//   rig.SetDeviceData(doubles::Route::kDirect);    // "Vid", "Pid", "DeviceMonitor" under DeviceData
//   Initialize(rig.Control(), 0, rig.Parameters());
//   ...
//   TerminateDll();
//   EXPECT_EQ(rig.Violations(), std::vector<std::string>{});
//
// On Linux the rig owns both doubles and installs them into the module model, and plugs a device object
// at "\\.\Usbscan0". On Windows the doubles are the real prtmon64.dll and portarb.dll beside the
// program, held loaded for the rig's life; no device object can be plugged there.
//
// One rig at a time per process: the modules and the device name are process-wide.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/DeviceKey.h"
#include "doubles/ContentionDouble.h"
#include "doubles/DeviceControl.h"
#include "platform/win32.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"

namespace doubles {

class UsbscanDevice;

enum class Route { kDeviceMonitor, kDirect };

// The ids of the rig's scanner: its descriptor on the direct route and the registry's by default.
constexpr WORD kRigVendorId = 0x1234;
constexpr WORD kRigProductId = 0x5678;

class Rig {
 public:
  explicit Rig(const scansim::Config& config = scansim::Config());
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // ---- The far end of the cable ----
  scansim::ScannerSimulator& Simulator() { return *simulator_; }
  // A fresh simulator in place of the old one; the faults not yet applied are forgotten.
  void NewSimulator(const scansim::Config& config);
  // Between the routes and the scanner.
  scansim::FaultyPort& Faults() { return faults_; }
  // Another scanner (not owned) in place of the simulator; null connects the simulator again.
  void Connect(scansim::Port* scanner);

  // ---- The contention modules ----
  ContentionDouble& Monitor() { return *monitor_; }
  ContentionDouble& Arbitration() { return *arbitration_; }
  ContentionDouble& Contention(Route route) { return route == Route::kDirect ? *arbitration_ : *monitor_; }
  // Installs the modules again so that the entry points marked absent are left out; false where a
  // module cannot lose an export (Windows).
  bool Reinstall();
  // Both doubles back to their first state, still wired to the cable.
  void ResetDoubles();

  // ---- The direct route ----
  // "\\.\Usbscan0", reporting the rig's ids; null where no device object can be plugged (Windows).
  UsbscanDevice* Direct() { return direct_.get(); }

  // ---- The device key ----
  HKEY Parameters() const { return key_.Parameters(); }
  // "Vid", "Pid" (REG_DWORD) and "DeviceMonitor" (1 for the device monitor, 0 for the direct route).
  void SetDeviceData(Route route, WORD vid = kRigVendorId, WORD pid = kRigProductId);
  // A value under "DeviceData" of any type and size; RegSetValueExA's status.
  LONG SetValue(const char* name, DWORD type, const void* data, DWORD size) {
    return key_.SetValue(name, type, data, size);
  }
  LONG SetDword(const char* name, DWORD value) { return SetValue(name, REG_DWORD, &value, sizeof(value)); }
  void DeleteValue(const char* name) { key_.DeleteValue(name); }

  IStiDeviceControl* Control() { return &control_; }
  DeviceControl& ControlDouble() { return control_; }

  // ---- Invariants ----
  // What the doubles saw that must never happen, in the order found: a transfer without the port
  // granted, a call into a module that is not loaded. Empty in every correct run.
  std::vector<std::string> Violations() const;

 private:
  // Forwards to whichever scanner is connected.
  class Cable : public scansim::Port {
   public:
    scansim::Port* scanner = nullptr;
    bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
      return scanner->Write(data, length, written);
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t* read) override { return scanner->Read(data, length, read); }
    uint32_t LastError() const override { return scanner->LastError(); }
    uint32_t QuietBefore(bool read) override { return scanner->QuietBefore(read); }
  };

  void Wire();

  std::unique_ptr<scansim::ScannerSimulator> simulator_;
  Cable cable_;
  scansim::FaultyPort faults_{cable_};
#if defined(_WIN32)
  HMODULE modules_[2] = {};
#else
  std::unique_ptr<ContentionDouble> ownMonitor_;
  std::unique_ptr<ContentionDouble> ownArbitration_;
#endif
  ContentionDouble* monitor_ = nullptr;
  ContentionDouble* arbitration_ = nullptr;
  std::shared_ptr<UsbscanDevice> direct_;
  client::DeviceKey key_;
  DeviceControl control_;
};

}  // namespace doubles
