// The scanner's end of the USB port, as the contention doubles and the Linux device model see it.
#pragma once

#include <cstdint>

namespace scansim {

// A synchronous byte pipe to the scanner. Every call is one port transfer, as one WriteFile/ReadFile
// (or DeviceWrite/DeviceRead) of the handler.
class Port {
 public:
  virtual ~Port() = default;
  // Returns false for a failed call; *written (or *read) then says how much moved anyway, and
  // LastError() gives the operating-system error code the failing call reports.
  virtual bool Write(const uint8_t* data, uint32_t length, uint32_t* written) = 0;
  virtual bool Read(uint8_t* data, uint32_t length, uint32_t* read) = 0;
  virtual uint32_t LastError() const = 0;

  // A scanner that stops answering: how many milliseconds pass before it takes the next write (`read`
  // false) or answers the next read, kSilentForever when it never will. A device model waits that long,
  // or until its own timeout, before it makes the call.
  static constexpr uint32_t kSilentForever = 0xFFFFFFFFu;
  virtual uint32_t QuietBefore(bool /*read*/) { return 0; }
};

}  // namespace scansim
