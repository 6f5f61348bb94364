#include "ParametersKey.h"

#include <unistd.h>

namespace wiastiio_sane {

bool ParametersKey::Create(uint16_t vid, uint16_t pid, bool deviceMonitor, std::string* error) {
  // One key per process: two frontends side by side do not share settings.
  path_ = "Software\\sane-wiastiio\\Device" + std::to_string(getpid());
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  HKEY deviceData = nullptr;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key_, &disposition);
  if (status == ERROR_SUCCESS) {
    status = RegCreateKeyExA(key_, "DeviceData", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &deviceData, &disposition);
  }
  if (status != ERROR_SUCCESS) {
    *error = "cannot create the device's registry key (error " + std::to_string(status) + ")";
    return false;
  }
  const DWORD values[3] = {vid, pid, deviceMonitor ? 1u : 0u};
  const char* const names[3] = {"Vid", "Pid", "DeviceMonitor"};
  for (int i = 0; i < 3 && status == ERROR_SUCCESS; ++i) {
    status =
        RegSetValueExA(deviceData, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]), sizeof values[i]);
  }
  RegCloseKey(deviceData);
  if (status != ERROR_SUCCESS) {
    *error = "cannot set the DeviceData values (error " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

ParametersKey::~ParametersKey() {
  if (key_ != nullptr) {
    RegCloseKey(key_);
  }
  if (!path_.empty()) {
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  }
}

}  // namespace wiastiio_sane
