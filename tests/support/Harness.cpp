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

// Test programs may run at the same time against one registry (under Wine, one prefix): each keeps
// its keys under a parent of its own, which goes with its last key.
const std::string& KeyParent() {
  static const std::string parent = "Software\\WIASTIIO tests " + std::to_string(std::random_device{}());
  return parent;
}

}  // namespace

DeviceKey::DeviceKey() {
  static std::atomic<int> counter{0};
  std::string error;
  EXPECT_TRUE(Create(KeyParent() + "\\Device" + std::to_string(counter++), &error)) << error;
}

void DeviceKey::SetValue(const char* name, DWORD type, const std::vector<BYTE>& data) {
  EXPECT_EQ(
      host::DeviceKey::SetValue(name, type, data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size())),
      ERROR_SUCCESS)
      << "setting " << name;
}

void DeviceKey::SetDword(const char* name, DWORD value) {
  SetValue(name, REG_DWORD, std::vector<BYTE>(reinterpret_cast<BYTE*>(&value), reinterpret_cast<BYTE*>(&value + 1)));
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
