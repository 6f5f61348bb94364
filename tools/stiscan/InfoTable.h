// The device-information record as a table for --info.
#pragma once

#include <cstdio>

#include "client/ScanSession.h"

namespace stiscan {

using client::DeviceReport;

void PrintDeviceInfo(std::FILE* out, const DeviceReport& device);

}  // namespace stiscan
