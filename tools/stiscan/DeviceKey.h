// The device's parameters key as the still-image service hands it to Initialize: a key of the tool's
// own under the current user, with the "DeviceData" values that tell the library which port to look
// for and which contention module to use. It is deleted when the tool ends.
#pragma once

#include <string>

#include "Options.h"
#include "doubles/DeviceControl.h"
#include "platform/win32.h"

namespace stiscan {

class DeviceKey {
 public:
  DeviceKey() = default;
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  // Creates the key with "Vid", "Pid" and "DeviceMonitor" (1 for the device monitor, 0 for direct).
  bool Create(WORD vid, WORD pid, Route route, std::string* error);
  HKEY Parameters() const { return parameters_; }

 private:
  std::string path_;
  HKEY parameters_ = nullptr;
};

// The device-control interface the service hands to Initialize.
using DeviceControl = doubles::DeviceControl;

}  // namespace stiscan
