// The harness over the Linux platform's models: the library comes from dlopen, the debugger strings
// from the platform's record, the contention modules from the module model.
#include <gtest/gtest.h>

#include "doubles/linux/InstallDoubles.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "support/Harness.h"

namespace harness {

namespace {

struct Doubles {
  doubles::ContentionDouble monitor;
  doubles::ContentionDouble arbitration;
  Doubles() {
    doubles::InstallDeviceMonitor(monitor);
    doubles::InstallPortArbitration(arbitration);
  }
};

Doubles& TheDoubles() {
  static Doubles doubles;
  return doubles;
}

}  // namespace

bool Library::Load() {
  std::string error;
  const bool loaded = client::Exports::Load(WIASTIIO_LIBRARY_PATH, &error);
  EXPECT_TRUE(loaded) << error;
  return loaded;
}

std::vector<std::string> DebugLines() {
  return winplat::DebugStrings();
}

void ClearDebugLines() {
  winplat::ClearDebugStrings();
}

doubles::ContentionDouble& DeviceMonitor() {
  return TheDoubles().monitor;
}

doubles::ContentionDouble& PortArbitration() {
  return TheDoubles().arbitration;
}

bool ApplyAbsentEntryPoints() {
  doubles::InstallDeviceMonitor(TheDoubles().monitor);
  doubles::InstallPortArbitration(TheDoubles().arbitration);
  return true;
}

bool ModuleReleasedByLibrary(const char* fileName) {
  return winplat::ModuleStatistics(fileName).references == 0;
}

void ResetDoubles() {
  TheDoubles().monitor.Reset();
  TheDoubles().arbitration.Reset();
  ApplyAbsentEntryPoints();
}

bool PlugScanner(scansim::Port* port, WORD vid, WORD pid) {
  doubles::PlugUsbscan(0, std::make_shared<doubles::UsbscanDevice>(port, vid, pid));
  return true;
}

void UnplugScanners() {
  winplat::UnplugAllDevices();
}

}  // namespace harness
