// Makes a ContentionModule loadable by file name through the Linux platform's module model, so that
// LoadLibraryA("prtmon64.dll") / LoadLibraryA("portarb.dll") and GetProcAddress reach it.
#pragma once

#include <functional>

#include "simulator/ContentionModule.h"

namespace scansim {

// Which entry points (by name) the module exports: all of them unless a caller says otherwise.
using ExportsEntry = std::function<bool(const char* entry)>;

// Installs "prtmon64.dll" with PortAcquire, PortRelease, DeviceOpen, DeviceRead, DeviceWrite and
// DeviceClose forwarding to `monitor`. The module keeps forwarding to `monitor` until it is installed
// again or removed (winplat::RemoveModule); remove it before `monitor` goes.
void InstallDeviceMonitor(ContentionModule& monitor, const ExportsEntry& exports = nullptr);

// Installs "portarb.dll" with PortAcquire and PortRelease forwarding to `arbitration`, in the same way.
void InstallPortArbitration(ContentionModule& arbitration, const ExportsEntry& exports = nullptr);

}  // namespace scansim
