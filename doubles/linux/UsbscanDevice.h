// The tests' "\\.\Usbscan"N: the simulated scanner's device object (simulator/linux/UsbscanDevice.h)
// with what only tests need: a record of every call, a descriptor request or an open that fails, the
// check that every transfer has the port arbitration module's grant, and seconds of a bound that last
// less than a second.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "simulator/linux/UsbscanDevice.h"

namespace doubles {

class ContentionDouble;
using scansim::PlugUsbscan;

class UsbscanDevice : public scansim::UsbscanDevice {
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

  using scansim::UsbscanDevice::UsbscanDevice;

  // The descriptor request fails with ERROR_GEN_FAILURE and leaves the output buffer as it was.
  void FailDescriptor(bool fail) { failDescriptor_ = fail; }
  // CreateFileA fails with `error` (a device held elsewhere answers ERROR_ACCESS_DENIED).
  void FailOpen(bool fail, DWORD error = ERROR_ACCESS_DENIED) {
    failOpen_ = fail;
    openError_ = error;
  }
  // The module whose grant a transfer needs (the port arbitration module); not owned. Null: none.
  void SetGrant(const ContentionDouble* arbitration) { grant_ = arbitration; }
  // How many milliseconds one second of a bound lasts (1000 unless a test says otherwise).
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

 protected:
  uint32_t SecondLength() const override { return msPerSecond_; }

 private:
  BOOL Note(Operation operation, DWORD code, DWORD length, DWORD transferred, BOOL result);
  BOOL Checked(bool read, void* buffer, DWORD length, DWORD* count);

  bool failDescriptor_ = false;
  bool failOpen_ = false;
  DWORD openError_ = ERROR_ACCESS_DENIED;
  const ContentionDouble* grant_ = nullptr;
  uint32_t msPerSecond_ = 1000;
  mutable std::mutex record_;
  std::deque<Call> calls_;
  size_t counts_[5] = {};
  std::vector<std::string> violations_;
};

}  // namespace doubles
