// The harness over the Linux platform's models: the library comes from dlopen, the debugger strings
// from the platform's record, the contention modules from the module model.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "doubles/linux/InstallDoubles.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "support/Harness.h"

namespace harness {

namespace {

template <typename T>
bool Bind(void* module, const char* name, T* slot) {
  void* symbol = dlsym(module, name);
  EXPECT_NE(symbol, nullptr) << "export " << name;
  *slot = reinterpret_cast<T>(symbol);
  return symbol != nullptr;
}

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
  module_ = dlopen(WIASTIIO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(module_, nullptr) << dlerror();
  if (module_ == nullptr) {
    return false;
  }
  bool ok = true;
  ok &= Bind(module_, "InitializeDll", &InitializeDll);
  ok &= Bind(module_, "TerminateDll", &TerminateDll);
  ok &= Bind(module_, "DeleteMemory", &DeleteMemory);
  ok &= Bind(module_, "Initialize", &Initialize);
  ok &= Bind(module_, "GetCapabilities", &GetCapabilities);
  ok &= Bind(module_, "GetStatus", &GetStatus);
  ok &= Bind(module_, "DeviceReset", &DeviceReset);
  ok &= Bind(module_, "Diagnostic", &Diagnostic);
  ok &= Bind(module_, "STIEscape", &STIEscape);
  ok &= Bind(module_, "STIGetLastError", &STIGetLastError);
  ok &= Bind(module_, "LockDevice", &LockDevice);
  ok &= Bind(module_, "UnLockDevice", &UnLockDevice);
  ok &= Bind(module_, "RawReadData", &RawReadData);
  ok &= Bind(module_, "RawWriteData", &RawWriteData);
  ok &= Bind(module_, "RawReadCommand", &RawReadCommand);
  ok &= Bind(module_, "RawWriteCommand", &RawWriteCommand);
  ok &= Bind(module_, "SetNotificationHandle", &SetNotificationHandle);
  ok &= Bind(module_, "GetNotificationData", &GetNotificationData);
  ok &= Bind(module_, "GetLastErrorInfo", &GetLastErrorInfo);
  return ok;
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
  doubles::InstallDeviceMonitor(TheDoubles().monitor);
  doubles::InstallPortArbitration(TheDoubles().arbitration);
  return true;
}

bool PlugScanner(scansim::Port* port, WORD vid, WORD pid) {
  doubles::PlugUsbscan(0, std::make_shared<doubles::UsbscanDevice>(port, vid, pid));
  return true;
}

void UnplugScanners() {
  winplat::UnplugAllDevices();
}

}  // namespace harness
