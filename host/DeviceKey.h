// The device's parameters key as the still-image service hands it to Initialize: a key of the
// caller's own under the current user, with the "DeviceData" values that tell the library which
// scanner to look for and which way to reach it. The key and all below it go with the object.
#pragma once

#include <string>

#include "platform/win32.h"

namespace host {

class DeviceKey {
 public:
  DeviceKey() = default;
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  // HKEY_CURRENT_USER\<path> afresh (what an earlier run left there is deleted); false with a message
  // when the registry refuses. Once per object. Its "DeviceData" subkey comes with the first value.
  bool Create(const std::string& path, std::string* error);
  // "Vid", "Pid" (REG_DWORD) and "DeviceMonitor" (1 for the device monitor, 0 for the port directly).
  bool SetIds(WORD vid, WORD pid, bool deviceMonitor, std::string* error);
  // Any value under "DeviceData"; RegSetValueExA's status.
  LSTATUS SetValue(const char* name, DWORD type, const void* data, DWORD size);
  void DeleteValue(const char* name);

  HKEY Parameters() const { return parameters_; }

 private:
  LSTATUS OpenDeviceData();

  std::string path_;
  HKEY parameters_ = nullptr;
  HKEY deviceData_ = nullptr;
};

// "<owner>\Device<process id>": one key per process, so that two runs side by side do not share
// settings.
std::string ProcessKeyPath(const std::string& owner);

}  // namespace host
