// The harness over the Linux platform's models: the library comes from dlopen, the debugger strings
// from the platform's record, the contention modules from the rig (the simulated scanner's one setup
// with the tests' doubles), held for the whole process; each test connects its own scanner.
#include <gtest/gtest.h>

#include "doubles/Rig.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "support/Harness.h"

namespace harness {

namespace {

// Never destroyed: the platform's models may go before it. Its own "\\.\Usbscan0" is taken away; a
// test plugs the scanner it wants (PlugScanner).
doubles::Rig& TheRig() {
  static doubles::Rig& rig = []() -> doubles::Rig& {
    auto* made = new doubles::Rig;
    winplat::UnplugDevice("\\\\.\\Usbscan0");
    made->Monitor().SetPort(nullptr);
    made->Arbitration().SetPort(nullptr);
    return *made;
  }();
  return rig;
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
  return TheRig().Monitor();
}

doubles::ContentionDouble& PortArbitration() {
  return TheRig().Arbitration();
}

bool ModuleReleasedByLibrary(const char* fileName) {
  return winplat::ModuleStatistics(fileName).references == 0;
}

void ResetDoubles() {
  DeviceMonitor().Reset();
  PortArbitration().Reset();
  ApplyAbsentEntryPoints();
}

bool ApplyAbsentEntryPoints() {
  return TheRig().Reinstall();
}

bool ModulesCanBeRemoved() {
  return true;
}

void RemoveContentionModule(const char* fileName) {
  winplat::RemoveModule(fileName);
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
