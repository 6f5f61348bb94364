// USB scanners without hardware: a umockdev test bed in which each plugged scanner is a USB device
// (sysfs attributes, descriptors and a /dev/bus/usb node) whose usbdevfs ioctls are answered live by
// a scansim::Port, the scanner simulator for instance. libusb in a process that runs with
// libumockdev-preload.so.0 in LD_PRELOAD (umockdev-wrapper sets it) and UMOCKDEV_DIR pointing at the
// bed then finds, opens and claims the scanner and moves its bulk transfers through the port.
//
// Each device has one vendor-specific interface with bulk endpoints 0x81 (IN) and 0x02 (OUT). Every
// IN transfer is one Port::Read of the length asked, however many URBs libusb cuts it into; every OUT
// URB is one Port::Write (an OUT transfer above 16 KB would come as several; commands are far
// shorter). The ioctls are answered on umockdev's own thread; the port is called only there, one
// transfer at a time. A port call that fails is answered by its LastError(): 31 stalls the endpoint,
// 1167 takes the device off the bus (every later ioctl fails with ENODEV), any other code but 121 is
// an I/O error; 121 is no answer at all, so that the host times out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/Port.h"

namespace scansim {
namespace usb {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

class TestBed {
 public:
  // Makes the bed (its folder under $TMPDIR) and sets UMOCKDEV_DIR for this process and its children.
  TestBed();
  ~TestBed();
  TestBed(const TestBed&) = delete;
  TestBed& operator=(const TestBed&) = delete;

  // Whether the bed is what libusb in this process sees: false when the process runs without the
  // umockdev preload library.
  bool Emulating() const;
  // The bed's root folder (UMOCKDEV_DIR).
  std::string RootDir() const;

  // Plugs in a scanner whose transfers go to `port` (not owned; it must outlive the device). Returns
  // the device's number for the calls below; each device sits on a bus of its own, bus = number.
  // Without `bulkPair` its OUT endpoint is an interrupt endpoint: a device that is not a scanner.
  int Plug(Port* port, uint16_t vendorId, uint16_t productId, bool bulkPair = true);
  // Takes the device off the bus: libusb sees it removed, and its open handles fail with ENODEV.
  void Unplug(int device);

  // Another program has claimed the interface: claims fail with EBUSY while `held`.
  void HoldElsewhere(int device, bool held);
  // IN transfers are not answered (until cancelled), as from a scanner that has stopped responding.
  void StallReads(int device, bool stall);
  // After `reads` more IN transfers the device is gone from the bus: every ioctl fails with ENODEV,
  // as the kernel answers once a device has been pulled out. Its sysfs entry stays until Unplug.
  void DisconnectAfterReads(int device, uint32_t reads);

  // Whether a program has the interface claimed now (another program's hold not counted).
  bool Claimed(int device) const;

  // The bulk transfers the device saw, one line each, oldest first: "OUT <asked> <moved>: <bytes>"
  // (the bytes in upper-case hex) or "IN <asked> <moved>"; "IN <asked> stalled" for one not answered.
  std::vector<std::string> Transfers(int device) const;
  void ClearTransfers(int device);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace usb
}  // namespace scansim
