// The Linux USB route: scanners on the USB bus, reached over libusb-1.0, stand behind the direct
// route's "\\.\Usbscan"N names next to the device objects plugged into the platform's model, and
// "portarb.dll" can be the arbitration module that grants the port by claiming the scanner's interface.
//
// Like control.h this is the platform's own control surface: the handler never includes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace winplat {

// Whether this build of the platform has the USB route (libusb was found when it was built). Without
// it every function below is accepted and finds no device.
bool UsbRouteBuilt();

// The USB ids of the scanners the route offers, as the class driver's installation lists them on
// Windows. Devices with other ids get no name. WIASTIIO_USB_IDS in the environment ("04x:04x" pairs
// in hexadecimal, separated by commas or blanks) adds ids when the route is first used.
void AddUsbScannerIds(uint16_t vendorId, uint16_t productId);
void ClearUsbScannerIds();

// The transfer timeout of handles opened from now on, in milliseconds; 0 waits without end. The
// class driver's IOCTL_SET_TIMEOUT changes it for one handle. Default: kDefaultUsbTimeout, or
// WIASTIIO_USB_TIMEOUT in the environment (milliseconds, decimal), read when the route is first used.
constexpr DWORD kDefaultUsbTimeout = 60000;
void SetUsbTimeout(DWORD milliseconds);

// A stop asked by the program, safe to call from a signal handler and from any thread; it takes no
// lock and never enters the library. The transfers in flight end at once with ERROR_OPERATION_ABORTED.
// Those started after it (the library's abort and release of the scanner) have kStopGraceMs from the
// stop to finish; after that every transfer fails at once without reaching the scanner, until
// ResumeUsbTransfers. So a stop ends within the grace even when the scanner has gone silent, and a
// scanner that still answers is told to abort and is released, ready for the next session.
constexpr DWORD kStopGraceMs = 500;
void StopUsbTransfers();
void ResumeUsbTransfers();

// One scanner present on the bus, with the name CreateFileA opens it by at this moment.
struct UsbScanner {
  std::string name;  // "\\.\Usbscan"N
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  int bus = 0;
  int address = 0;
};
std::vector<UsbScanner> UsbScanners();

// Installs "portarb.dll" into the module model with PortAcquire and PortRelease over the USB route.
// PortAcquire claims the interface of every scanner present that it can; it refuses the port only
// when scanners are present and another program holds every one of them. What it claimed stays
// claimed until PortRelease, so no other program takes the scanner in between.
void InstallUsbPortArbitration();

// Captures the route's transfers to `path` (docs/CAPTURE.md) from the next session on; an empty path
// stops, and ends the session being captured. The file is opened when the session first moves bytes,
// and the session is appended after its own header. `images` false leaves out the image bytes of
// read-image transfers. Without a call, WIASTIIO_CAPTURE names the file and WIASTIIO_CAPTURE_IMAGES=0
// leaves the images out. Whether the file could be written is told through the capture's notice.
bool CaptureUsbTransfers(const std::string& path, bool images);

// Where the capture's notices go, one line each: "capturing to FILE (images kept)" or "(images left
// out)" when it starts, "capture: ..." when the file is refused or a write fails (the scan goes on).
// Without a notice (or with an empty one) they go to standard error.
void SetCaptureNotice(std::function<void(const char*)> notice);

}  // namespace winplat
