// A USB still-image device object as the class driver presents it at "\\.\Usbscan"N: reads and writes
// go to a scanner port, IOCTL_GET_DEVICE_DESCRIPTOR answers with the device's ids, and IOCTL_SET_TIMEOUT
// bounds every transfer.
//
// A transfer waits while the scanner keeps quiet (Port::QuietBefore). Once the bound for its direction
// has passed (120 s until IOCTL_SET_TIMEOUT says otherwise; 0 s waits for ever; above 214 s every
// transfer times out at once, as the class driver documents) it fails with ERROR_SEM_TIMEOUT and moves
// nothing: the error a transfer the class driver gave up on reports. CancelIo ends a waiting transfer
// with ERROR_OPERATION_ABORTED.
//
// Test hook: the environment variable WIASTIIO_USBSCAN_MS_PER_SECOND (read when the object is made)
// sets how many milliseconds one second of IOCTL_SET_TIMEOUT lasts, so that a test waits out a 120 s
// bound in 120 ms. Unset, a second is 1000 ms.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/control.h"
#include "simulator/Port.h"

namespace doubles {

class ContentionDouble;

constexpr DWORD kDefaultTimeoutSeconds = 120;
constexpr DWORD kLongestTimeoutSeconds = 214;
constexpr DWORD kErrorSemTimeout = 121;

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
  // The module whose grant a transfer needs (the port arbitration module); not owned. Null: none.
  void SetGrant(const ContentionDouble* arbitration) { grant_ = arbitration; }
  // The bounds in force, in seconds, and the length of one of them in milliseconds.
  DWORD TimeoutSeconds(bool read) const;
  void SetMillisecondsPerSecond(uint32_t ms) { msPerSecond_ = ms; }

  // The latest calls (at most kCallLimit); CallCount counts every call since ClearCalls().
  static constexpr size_t kCallLimit = 4096;
  std::vector<Call> Calls() const;
  size_t CallCount(Operation operation) const;
  void ClearCalls();
  // Transfers made without the grant, as text; at most the first 16.
  std::vector<std::string> Violations() const;

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
  // A read or write: the grant checked, the scanner's silence waited out within the bound, the port called.
  BOOL Transfer(Operation operation, void* buffer, DWORD length, DWORD* moved);
  // The steps of Transfer: a transfer without the grant noted; the port's silence waited out, false
  // with the error when a cancel or a timeout ends the transfer first.
  void NoteUngranted(bool read, DWORD length);
  bool WaitOutQuiet(bool read, uint32_t quiet, DWORD* error);

  scansim::Port* port_;
  BYTE descriptor_[8] = {};
  bool failDescriptor_ = false;
  bool failOpen_ = false;
  DWORD openError_ = ERROR_ACCESS_DENIED;
  // The platform calls device objects without a lock of its own, so a cancel can come from another
  // thread while a transfer is under way.
  mutable std::mutex mutex_;
  std::condition_variable cancelled_;
  uint64_t cancels_ = 0;
  std::deque<Call> calls_;
  size_t counts_[5] = {};
  std::vector<std::string> violations_;
  const ContentionDouble* grant_ = nullptr;
  DWORD timeouts_[3] = {kDefaultTimeoutSeconds, kDefaultTimeoutSeconds, kDefaultTimeoutSeconds};
  uint32_t msPerSecond_;
};

// Plugs `device` in as "\\.\Usbscan<n>", replacing whatever was there.
void PlugUsbscan(int n, std::shared_ptr<UsbscanDevice> device);

}  // namespace doubles
