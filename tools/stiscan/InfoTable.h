// The device-information record as a table for --info.
#pragma once

#include <cstdio>

#include "ScanDriver.h"

namespace stiscan {

void PrintDeviceInfo(std::FILE* out, const DeviceReport& device);

}  // namespace stiscan
