// A USB still-image device object as the class driver presents it at "\\.\Usbscan"N: reads and writes
// go to a scanner port, IOCTL_GET_DEVICE_DESCRIPTOR answers with the device's ids, and IOCTL_SET_TIMEOUT
// bounds every transfer.
//
// A transfer waits while the scanner keeps quiet (Port::QuietBefore). Once the bound for its direction
// has passed (120 s until IOCTL_SET_TIMEOUT says otherwise; 0 s waits for ever; above 214 s every
// transfer times out at once, as the class driver documents) it fails with ERROR_SEM_TIMEOUT and moves
// nothing: the error a transfer the class driver gave up on reports. CancelIo ends a waiting transfer
// with ERROR_OPERATION_ABORTED. The tests derive their device from it (doubles/linux/UsbscanDevice.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/control.h"
#include "simulator/Port.h"
#include "simulator/Wire.h"

namespace scansim {

constexpr DWORD kDefaultTimeoutSeconds = 120;
constexpr DWORD kLongestTimeoutSeconds = 214;

class UsbscanDevice : public winplat::DeviceObject {
 public:
  // `port` (not owned) stands behind ReadFile/WriteFile; null makes them fail with ERROR_GEN_FAILURE.
  explicit UsbscanDevice(Port* port = nullptr, WORD vendorId = 0, WORD productId = 0);

  void SetPort(Port* port) { port_ = port; }
  void SetDescriptor(WORD vendorId, WORD productId, WORD bcdDevice = 0, WORD languageId = 0);
  // The bound in force, in seconds.
  DWORD TimeoutSeconds(bool read) const;

  BOOL Open() override;
  BOOL Write(const void* buffer, DWORD length, DWORD* written) override;
  BOOL Read(void* buffer, DWORD length, DWORD* read) override;
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) override;
  BOOL Cancel() override;

 protected:
  // How many milliseconds one second of a bound lasts.
  virtual uint32_t SecondLength() const { return 1000; }
  // A read or write: the scanner's silence waited out within the bound, then the port called.
  BOOL Transfer(bool read, void* buffer, DWORD length, DWORD* moved);
  // Waits out a scanner that stays quiet for `quiet` ms before it answers, within the transfer's bound:
  // 0 when it answers in time, else the error the transfer fails with (cancelled, or timed out).
  DWORD WaitOutQuiet(bool read, uint32_t quiet);
  // The error a failed transfer reports: the port's own, or ERROR_GEN_FAILURE with no port.
  DWORD PortError() const;

 private:
  Port* port_;
  BYTE descriptor_[8] = {};
  // The platform calls device objects without a lock of its own, so a cancel can come from another
  // thread while a transfer is under way.
  mutable std::mutex mutex_;
  std::condition_variable cancelled_;
  uint64_t cancels_ = 0;
  DWORD timeouts_[3] = {kDefaultTimeoutSeconds, kDefaultTimeoutSeconds, kDefaultTimeoutSeconds};
};

// Plugs `device` in as "\\.\Usbscan<n>", replacing whatever was there.
void PlugUsbscan(int n, std::shared_ptr<winplat::DeviceObject> device);

}  // namespace scansim
