// A USB still-image device object as the class driver presents it at "\\.\Usbscan"N: reads and writes
// go to a scanner port, and IOCTL_GET_DEVICE_DESCRIPTOR answers with the device's ids.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/control.h"
#include "simulator/Port.h"

namespace doubles {

class UsbscanDevice : public winplat::DeviceObject {
 public:
  enum class Operation { Open, Read, Write, IoControl, Cancel };

  // One call the platform made on the device.
  struct Call {
    Operation operation;
    DWORD code;         // IoControl: the control code
    DWORD length;       // Read/Write: the requested length; IoControl: the output buffer's length
    DWORD transferred;  // Read/Write: the bytes moved; IoControl: the bytes returned
    BOOL result;
  };

  // `port` (not owned) stands behind ReadFile/WriteFile; null makes them fail with ERROR_GEN_FAILURE.
  explicit UsbscanDevice(scansim::Port* port = nullptr, WORD vendorId = 0, WORD productId = 0);

  void SetPort(scansim::Port* port) { port_ = port; }
  void SetDescriptor(WORD vendorId, WORD productId, WORD bcdDevice = 0, WORD languageId = 0);
  // The descriptor request fails with ERROR_GEN_FAILURE and leaves the output buffer as it was.
  void FailDescriptor(bool fail) { failDescriptor_ = fail; }
  // CreateFileA fails with `error` (a device held elsewhere answers ERROR_ACCESS_DENIED).
  void FailOpen(bool fail, DWORD error = ERROR_ACCESS_DENIED);

  std::vector<Call> Calls() const;
  size_t CallCount(Operation operation) const;
  void ClearCalls();

  BOOL Open() override;
  BOOL Write(const void* buffer, DWORD length, DWORD* written) override;
  BOOL Read(void* buffer, DWORD length, DWORD* read) override;
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) override;
  BOOL Cancel() override;

 private:
  // Records the call and sets the last-error code of a failed one.
  BOOL Finish(Operation operation, DWORD code, DWORD length, DWORD transferred, bool ok, DWORD error);
  // The error a failed transfer reports: the port's own, or ERROR_GEN_FAILURE with no port.
  DWORD PortError() const;

  scansim::Port* port_;
  BYTE descriptor_[8] = {};
  bool failDescriptor_ = false;
  bool failOpen_ = false;
  DWORD openError_ = ERROR_ACCESS_DENIED;
  // The platform calls device objects without a lock of its own, so a cancel can come from another
  // thread while a transfer is under way.
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// Plugs `device` in as "\\.\Usbscan<n>", replacing whatever was there.
void PlugUsbscan(int n, std::shared_ptr<UsbscanDevice> device);

}  // namespace doubles
