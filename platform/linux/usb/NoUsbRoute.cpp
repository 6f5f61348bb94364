// The platform built without libusb: no scanner is ever on the bus, and the arbitration module has
// nothing to arbitrate, so it always grants the port.
#include "UsbRoute.h"
#include "platform/usb.h"

namespace winplat {
namespace detail {
namespace {

BOOL WINAPI PortAcquire(DWORD /*mode*/) {
  return TRUE;
}

BOOL WINAPI PortRelease(DWORD /*mode*/) {
  return TRUE;
}

}  // namespace

std::shared_ptr<DeviceObject> FindUsbscan(const std::string& /*name*/) {
  return nullptr;
}

}  // namespace detail

bool UsbRouteBuilt() {
  return false;
}

void AddUsbScannerIds(uint16_t /*vendorId*/, uint16_t /*productId*/) {}

void ClearUsbScannerIds() {}

void SetUsbTimeout(DWORD /*milliseconds*/) {}

void StopUsbTransfers() {}

void ResumeUsbTransfers() {}

std::vector<UsbScanner> UsbScanners() {
  return {};
}

bool CaptureUsbTransfers(const std::string& path, bool /*images*/) {
  return path.empty();
}

void SetCaptureNotice(std::function<void(const char*)> /*notice*/) {}

void InstallUsbPortArbitration() {
  ModuleDefinition definition;
  definition.entries["PortAcquire"] = Entry(&detail::PortAcquire);
  definition.entries["PortRelease"] = Entry(&detail::PortRelease);
  InstallModule("portarb.dll", std::move(definition));
}

}  // namespace winplat
