#include "host/DeviceKey.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace host {

std::string ProcessKeyPath(const std::string& owner) {
#if defined(_WIN32)
  const unsigned long process = static_cast<unsigned long>(_getpid());
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  return owner + "\\Device" + std::to_string(process);
}

bool DeviceKey::Create(const std::string& path, std::string* error) {
  if (!path_.empty()) {
    *error = "the device's registry key is already created";
    return false;
  }
  path_ = path;
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  DWORD disposition = 0;
  const LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &parameters_, &disposition);
  if (status != ERROR_SUCCESS) {
    *error = "cannot create the registry key HKEY_CURRENT_USER\\" + path_ + " (error " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

bool DeviceKey::SetIds(WORD vid, WORD pid, bool deviceMonitor, std::string* error) {
  const DWORD values[3] = {vid, pid, deviceMonitor ? 1u : 0u};
  const char* const names[3] = {"Vid", "Pid", "DeviceMonitor"};
  LSTATUS status = ERROR_SUCCESS;
  for (int i = 0; i < 3 && status == ERROR_SUCCESS; ++i) {
    status = SetValue(names[i], REG_DWORD, &values[i], sizeof values[i]);
  }
  if (status != ERROR_SUCCESS) {
    *error = "cannot set the DeviceData values (error " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

LSTATUS DeviceKey::OpenDeviceData() {
  if (deviceData_ != nullptr) {
    return ERROR_SUCCESS;
  }
  if (parameters_ == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  DWORD disposition = 0;
  return RegCreateKeyExA(parameters_, "DeviceData", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         &deviceData_, &disposition);
}

LSTATUS DeviceKey::SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  const LSTATUS status = OpenDeviceData();
  return status != ERROR_SUCCESS ? status
                                 : RegSetValueExA(deviceData_, name, 0, type, static_cast<const BYTE*>(data), size);
}

void DeviceKey::DeleteValue(const char* name) {
  if (OpenDeviceData() == ERROR_SUCCESS) {
    RegDeleteValueA(deviceData_, name);
  }
}

DeviceKey::~DeviceKey() {
  if (deviceData_ != nullptr) {
    RegCloseKey(deviceData_);
  }
  if (parameters_ != nullptr) {
    RegCloseKey(parameters_);
  }
  if (path_.empty()) {
    return;
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
#if defined(_WIN32)
  // The owner's key too, once no other run still has its key there (a key with subkeys stays).
  const size_t parent = path_.find_last_of('\\');
  if (parent != std::string::npos) {
    RegDeleteKeyA(HKEY_CURRENT_USER, path_.substr(0, parent).c_str());
  }
#endif
}

}  // namespace host
