// What the device model and the arbitration module share with the USB route.
#pragma once

#include <memory>
#include <string>

#include "../Surface.h"

namespace winplat {
namespace detail {

// A new device object for `name` when it is "\\.\Usbscan"N and the USB route has a scanner under
// that number; null otherwise. Numbers go to the scanners in bus order, skipping the numbers of
// device objects plugged into the model.
std::shared_ptr<DeviceObject> FindUsbscan(const std::string& name);

// Whether a device object is plugged in under `name` (defined by the device model).
bool DevicePlugged(const std::string& name);

}  // namespace detail
}  // namespace winplat
