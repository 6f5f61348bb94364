// The shipped INF lines as Windows' setup installs them: the handler's section written into a scratch
// device key by setupapi, then Initialize on that key. The ids must reach the device monitor's
// DeviceOpen in the forms the INF writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Harness.h"

#include <setupapi.h>  // after <windows.h>, which the harness brings

namespace {

std::vector<BYTE> ValueOf(HKEY key, const char* name, DWORD* type) {
  std::vector<BYTE> data(16);
  DWORD size = static_cast<DWORD>(data.size());
  if (RegQueryValueExA(key, name, nullptr, type, data.data(), &size) != ERROR_SUCCESS) {
    return {};
  }
  data.resize(size);
  return data;
}

TEST(InfInstall, DeviceDataLinesReachThePort) {
  harness::DeviceKey key;
  const std::string path = std::string(WIASTIIO_SOURCE_DIR) + "/windows/WIASTIIO.inf";
  HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE) << path << ": error " << ::GetLastError();
  const BOOL installed = SetupInstallFromInfSectionA(nullptr, inf, "WIASTIIO.Install", SPINST_REGISTRY,
                                                     key.Parameters(), nullptr, 0, nullptr, nullptr, nullptr, nullptr);
  const DWORD installError = ::GetLastError();
  SetupCloseInfFile(inf);
  ASSERT_TRUE(installed) << "error " << installError;

  // The values as the INF wrote them: each form the handler reads.
  HKEY deviceData = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key.Parameters(), "DeviceData", 0, KEY_READ, &deviceData), ERROR_SUCCESS);
  struct {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
  } const expected[] = {{"Vid", REG_DWORD, {0x34, 0x12, 0x00, 0x00}},
                        {"Pid", REG_BINARY, {0x78, 0x56}},
                        {"DeviceMonitor", REG_DWORD, {0x01, 0x00, 0x00, 0x00}}};

  for (const auto& value : expected) {
    DWORD type = REG_NONE;
    EXPECT_EQ(ValueOf(deviceData, value.name, &type), value.data) << value.name;
    EXPECT_EQ(type, value.type) << value.name;
  }
  RegCloseKey(deviceData);

  const harness::Library& lib = harness::TheLibrary();
  harness::ResetDoubles();
  harness::ClearDebugLines();
  ASSERT_EQ(lib.InitializeDll(1), S_OK);
  harness::DeviceControl control;
  EXPECT_EQ(lib.Initialize(&control, 2, key.Parameters()), S_OK);
  EXPECT_EQ(lib.TerminateDll(), S_OK);

  const std::vector<std::string> lines = harness::DebugLines();
  for (const char* line :
       {"[STI]the value of Vid from Registry is 0x1234", "[STI]the value of Pid from Registry is 0x5678",
        "[STI]Device Monitor(prtmon.dll) is used for Port Contention"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n" << harness::Show(lines);
  }
  // DeviceOpen(access, share, vid, pid, reserved) of the device monitor.
  size_t opens = 0;
  for (const doubles::CallRecord& call : harness::DeviceMonitor().Calls()) {
    if (call.entry == doubles::EntryPoint::DeviceOpen) {
      ++opens;
      EXPECT_EQ(call.arguments[2], 0x1234u);
      EXPECT_EQ(call.arguments[3], 0x5678u);
    }
  }
  EXPECT_EQ(opens, 1u) << harness::Show(harness::DeviceMonitor().DescribeCalls());
  harness::ResetDoubles();
}

}  // namespace
