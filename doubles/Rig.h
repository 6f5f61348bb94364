// The simulated scanner's one setup (simulator/SimulatedScanner.h) as the tests, benchmarks and fuzz
// targets use it: the contention modules and "\\.\Usbscan0" are the tests' doubles, with their records
// and checks; a fault injector stands between the routes and the line; the device key and the
// device-control interface the service hands over are at hand.
//
//   doubles::Rig rig(config);                      // simulator, doubles, device key
//   rig.SetDeviceData(doubles::Route::kDirect);    // "Vid", "Pid", "DeviceMonitor" under DeviceData
//   Initialize(rig.Control(), 0, rig.Parameters());
//   ...
//   TerminateDll();
//   EXPECT_EQ(rig.Violations(), std::vector<std::string>{});
//
// On Windows the doubles are the test DLLs prtmon64.dll and portarb.dll beside the program; no device
// object can be plugged there (Direct() is null).
#pragma once

#include <string>
#include <vector>

#include "client/DeviceControl.h"
#include "doubles/ContentionDouble.h"
#include "doubles/FaultyPort.h"
#include "platform/win32.h"
#include "simulator/SimulatedScanner.h"

namespace doubles {

class UsbscanDevice;

enum class Route { kDeviceMonitor, kDirect };

// The ids of the rig's scanner: its descriptor on the direct route and the registry's by default.
constexpr WORD kRigVendorId = scansim::kSimulatedVendorId;
constexpr WORD kRigProductId = scansim::kSimulatedProductId;

class Rig : public scansim::SimulatedScanner {
 public:
  explicit Rig(const scansim::Config& config = scansim::Config());
  ~Rig() override;

  // A fresh simulator in place of the old one; the faults not yet applied are forgotten.
  void NewSimulator(const scansim::Config& config);
  // Between the routes and the line.
  scansim::FaultyPort& Faults() { return faults_; }

  // ---- The contention modules ----
  ContentionDouble& Monitor() { return *AsDouble(&SimulatedScanner::Monitor()); }
  ContentionDouble& Arbitration() { return *AsDouble(&SimulatedScanner::Arbitration()); }
  ContentionDouble& Contention(Route route) { return route == Route::kDirect ? Arbitration() : Monitor(); }
  // Installs the modules again so that the entry points marked absent are left out; false where a
  // module cannot lose an export (Windows).
  bool Reinstall();
  // Both doubles back to their first state, still wired to the cable.
  void ResetDoubles();

  // ---- The direct route ----
  // "\\.\Usbscan0", reporting the rig's ids; null where no device object can be plugged (Windows).
  UsbscanDevice* Direct();

  // ---- The device key ----
  // "Vid", "Pid" (REG_DWORD) and "DeviceMonitor" (1 for the device monitor, 0 for the direct route).
  void SetDeviceData(Route route, WORD vid = kRigVendorId, WORD pid = kRigProductId);
  // A value under "DeviceData" of any type and size; RegSetValueExA's status.
  LONG SetValue(const char* name, DWORD type, const void* data, DWORD size) {
    return Key().SetValue(name, type, data, size);
  }
  LONG SetDword(const char* name, DWORD value) { return SetValue(name, REG_DWORD, &value, sizeof(value)); }
  void DeleteValue(const char* name) { Key().DeleteValue(name); }

  IStiDeviceControl* Control() { return &control_; }

  // ---- Invariants ----
  // What the doubles saw that must never happen, in the order found: a transfer without the port
  // granted, a call into a module that is not loaded. Empty in every correct run.
  std::vector<std::string> Violations();

 private:
  scansim::FaultyPort faults_;
  [[maybe_unused]] size_t badClosesAtStart_ = 0;  // the platform's count of bad closes when the rig was made (Linux)
  client::DeviceControl control_;
};

}  // namespace doubles
