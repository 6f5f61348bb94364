// The harness over the Linux platform's models: the library comes from dlopen, the debugger strings
// from the platform's record, the contention modules from the module model.
#include <gtest/gtest.h>

#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "simulator/linux/InstallModules.h"
#include "support/Harness.h"

namespace harness {

namespace {

struct Doubles {
  doubles::ContentionDouble monitor;
  doubles::ContentionDouble arbitration;
  Doubles() {
    monitor.WatchModule("prtmon64.dll");
    arbitration.WatchModule("portarb.dll");
    Install();
  }
  void Install() {
    scansim::InstallDeviceMonitor(monitor, [this](const char* entry) { return monitor.Exports(entry); });
    scansim::InstallPortArbitration(arbitration, [this](const char* entry) { return arbitration.Exports(entry); });
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

void ObserveDebugLines(DebugLineObserver observer) {
  winplat::SetDebugStringSink(observer != nullptr ? std::function<void(const char*)>(observer) : nullptr);
}

doubles::ContentionDouble& DeviceMonitor() {
  return TheDoubles().monitor;
}

doubles::ContentionDouble& PortArbitration() {
  return TheDoubles().arbitration;
}

bool ModuleReleasedByLibrary(const char* fileName) {
  return winplat::ModuleStatistics(fileName).references == 0;
}

void ResetDoubles() {
  TheDoubles().monitor.Reset();
  TheDoubles().arbitration.Reset();
  ApplyAbsentEntryPoints();
}

bool ApplyAbsentEntryPoints() {
  TheDoubles().Install();
  return true;
}

// The scanners plugged in since the last UnplugScanners, in order.
std::vector<std::shared_ptr<doubles::UsbscanDevice>>& Plugged() {
  static std::vector<std::shared_ptr<doubles::UsbscanDevice>> devices;
  return devices;
}

bool PlugScanner(scansim::Port* port, WORD vid, WORD pid) {
  Plugged().push_back(std::make_shared<doubles::UsbscanDevice>(port, vid, pid));
  doubles::PlugUsbscan(0, Plugged().back());
  return true;
}

void UnplugScanners() {
  winplat::UnplugAllDevices();
  Plugged().clear();
}

std::vector<std::string> DeviceControls() {
  std::vector<std::string> lines;
  for (const auto& device : Plugged()) {
    for (const doubles::UsbscanDevice::Call& call : device->Calls()) {
      if (call.operation == doubles::UsbscanDevice::Operation::IoControl) {
        lines.push_back(DescribeDeviceControl(call.code, call.length, call.transferred, call.result));
      }
    }
  }
  return lines;
}

}  // namespace harness
