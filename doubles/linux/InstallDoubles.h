// Makes ContentionDouble objects loadable by file name through the Linux platform's module model, so
// that LoadLibraryA("prtmon64.dll") / LoadLibraryA("portarb.dll") and GetProcAddress reach them.
#pragma once

#include "doubles/ContentionDouble.h"

namespace doubles {

// Installs "prtmon64.dll" with PortAcquire, PortRelease, DeviceOpen, DeviceRead, DeviceWrite and
// DeviceClose forwarding to `monitor`, leaving out the entry points it marks absent. The module keeps
// forwarding to `monitor` until it is installed again; install again after changing what is absent.
void InstallDeviceMonitor(ContentionDouble& monitor);

// Installs "portarb.dll" with PortAcquire and PortRelease forwarding to `arbitration`, in the same way.
void InstallPortArbitration(ContentionDouble& arbitration);

}  // namespace doubles
