// The platform-neutral half of the harness: the registry key, the device-control interface.
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

namespace harness {

Library& TheLibrary() {
  static Library library;
  static bool loaded = library.Load();
  (void)loaded;
  return library;
}

namespace {

std::atomic<int>& LiveKeys() {
  static std::atomic<int> live{0};
  return live;
}

// Test programs may run at the same time against one registry (under Wine, one prefix): each keeps
// its keys under a parent of its own.
const std::string& KeyParent() {
  static const std::string parent = "Software\\WIASTIIO tests " + std::to_string(std::random_device{}());
  return parent;
}

}  // namespace

DeviceKey::DeviceKey() {
  static std::atomic<int> counter{0};
  ++LiveKeys();
  path_ = KeyParent() + "\\Device" + std::to_string(counter++);
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                nullptr, &parameters_, &disposition);
  EXPECT_EQ(status, ERROR_SUCCESS) << "creating HKCU\\" << path_;
}

DeviceKey::~DeviceKey() {
  if (deviceData_ != nullptr) {
    RegCloseKey(deviceData_);
  }
  if (parameters_ != nullptr) {
    RegCloseKey(parameters_);
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  // The common parent goes with the last key: another test's key may still be in use under it.
  if (--LiveKeys() == 0) {
    RegDeleteTreeA(HKEY_CURRENT_USER, KeyParent().c_str());
  }
}

HKEY DeviceKey::DeviceData() {
  if (deviceData_ == nullptr) {
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(parameters_, "DeviceData", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &deviceData_, &disposition);
    EXPECT_EQ(status, ERROR_SUCCESS);
  }
  return deviceData_;
}

void DeviceKey::SetValue(const char* name, DWORD type, const std::vector<BYTE>& data) {
  LONG status = RegSetValueExA(DeviceData(), name, 0, type, data.empty() ? nullptr : data.data(),
                               static_cast<DWORD>(data.size()));
  EXPECT_EQ(status, ERROR_SUCCESS) << "setting " << name;
}

void DeviceKey::DeleteValue(const char* name) {
  const LONG status = RegDeleteValueA(DeviceData(), name);
  EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << "deleting " << name;
}

void DeviceKey::SetDword(const char* name, DWORD value) {
  std::vector<BYTE> data(sizeof(value));
  memcpy(data.data(), &value, sizeof(value));
  SetValue(name, REG_DWORD, data);
}

void DeviceKey::SetBinary(const char* name, const std::vector<BYTE>& data) {
  SetValue(name, REG_BINARY, data);
}

void DeviceKey::SetIds(WORD vid, WORD pid, bool deviceMonitor) {
  SetDword("Vid", vid);
  SetDword("Pid", pid);
  SetDword("DeviceMonitor", deviceMonitor ? 1 : 0);
}

std::string DescribeDeviceControl(DWORD code, DWORD outLength, DWORD returned, BOOL result) {
  char text[96];
  std::snprintf(text, sizeof(text), "DeviceIoControl(0x%08X,%u)->%u = %d", static_cast<unsigned>(code),
                static_cast<unsigned>(outLength), static_cast<unsigned>(returned), result);
  return text;
}

std::string Show(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    for (char c : line) {
      if (c == '\t') {
        text += "\\t";
      } else {
        text += c;
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace harness
