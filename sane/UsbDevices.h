// Which of the USB ids named in wiastiio.conf stand for a scanner plugged in now.
#pragma once

#include <vector>

#include "Config.h"

namespace wiastiio_sane {

// The ids in `wanted` that some connected USB device has, in the order given. Built without libusb,
// every id is taken as present and the library looks for it when the device is opened.
std::vector<UsbId> PresentUsbIds(const std::vector<UsbId>& wanted);

}  // namespace wiastiio_sane
