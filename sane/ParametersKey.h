// The device's parameters key as the still-image service hands it to Initialize: a key of the
// backend's own under the current user, with the "DeviceData" values that name the scanner's USB ids
// and the route to it. It is deleted when the device is closed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace wiastiio_sane {

class ParametersKey {
 public:
  ParametersKey() = default;
  ~ParametersKey();
  ParametersKey(const ParametersKey&) = delete;
  ParametersKey& operator=(const ParametersKey&) = delete;

  // "Vid", "Pid" and "DeviceMonitor" (1: through the device monitor; 0: the port directly).
  bool Create(uint16_t vid, uint16_t pid, bool deviceMonitor, std::string* error);
  HKEY Handle() const { return key_; }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

}  // namespace wiastiio_sane
