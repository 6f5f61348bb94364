#include "DeviceKey.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace stiscan {

namespace {

const char kToolKey[] = "Software\\stiscan";

unsigned long ProcessId() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

}  // namespace

bool DeviceKey::Create(WORD vid, WORD pid, Route route, std::string* error) {
  // One key per process, so that two runs side by side do not share settings.
  path_ = std::string(kToolKey) + "\\Device" + std::to_string(ProcessId());
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  HKEY deviceData = nullptr;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &parameters_, &disposition);
  if (status == ERROR_SUCCESS) {
    status = RegCreateKeyExA(parameters_, "DeviceData", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &deviceData, &disposition);
  }
  if (status != ERROR_SUCCESS) {
    *error = "cannot create the registry key HKEY_CURRENT_USER\\" + path_ + " (error " + std::to_string(status) + ")";
    return false;
  }
  const DWORD values[3] = {vid, pid, route == Route::kDeviceMonitor ? 1u : 0u};
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

DeviceKey::~DeviceKey() {
  if (parameters_ != nullptr) {
    RegCloseKey(parameters_);
  }
  if (!path_.empty()) {
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
#if defined(_WIN32)
    // Only when no other run still has its key there.
    RegDeleteKeyA(HKEY_CURRENT_USER, kToolKey);
#endif
  }
}

}  // namespace stiscan
