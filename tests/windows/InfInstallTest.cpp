// The shipped INFs as Windows' setup installs them: a section written into a scratch device key by
// setupapi, then Initialize on that key. The ids must reach the device monitor's DeviceOpen in the
// forms the INF writes them. The example package is installed whole (its files into the driver store,
// DIRID 13, wherever Wine puts it, and nothing into the system folder; its registry values); its class
// installer entries, which setupapi leaves to the still-image class installer, are read back from the
// INF. It has no uninstall section: removing a package is Windows' own work.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/Harness.h"

#include <setupapi.h>  // after <windows.h>, which the harness brings

namespace {

std::vector<BYTE> ValueOf(HKEY key, const char* sub, const char* name, DWORD* type) {
  std::vector<BYTE> data(512);
  DWORD size = static_cast<DWORD>(data.size());
  if (RegGetValueA(key, sub, name, RRF_RT_ANY | RRF_NOEXPAND, type, data.data(), &size) != ERROR_SUCCESS) {
    return {};
  }
  data.resize(size);
  return data;
}

std::vector<BYTE> Text(const std::string& text) {
  return std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1);
}

std::string SystemFolder() {
  char path[MAX_PATH];
  return std::string(path, GetSystemDirectoryA(path, MAX_PATH));
}

// Installs `section` of `inf` with setupapi (`flags` SPINST_*), files from `source`.
void Install(const std::string& inf, const char* section, UINT flags, HKEY key, const std::string& source) {
  HINF handle = SetupOpenInfFileA(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << inf << ": error " << ::GetLastError();
  PVOID context = SetupInitDefaultQueueCallback(nullptr);
  const BOOL installed =
      SetupInstallFromInfSectionA(nullptr, handle, section, flags, key, source.c_str(), SP_COPY_NOSKIP,
                                  SetupDefaultQueueCallbackA, context, nullptr, nullptr);
  const DWORD error = ::GetLastError();
  SetupTermDefaultQueueCallback(context);
  SetupCloseInfFile(handle);
  ASSERT_TRUE(installed) << section << ": error " << error;
}

// Initialize on `key`: the ids and the route the INF wrote reach the device monitor.
void InitializeOn(HKEY key) {
  const harness::Library& lib = harness::TheLibrary();
  harness::ResetDoubles();
  harness::ClearDebugLines();
  ASSERT_EQ(lib.InitializeDll(1), S_OK);
  harness::DeviceControl control;
  EXPECT_EQ(lib.Initialize(&control, 2, key), S_OK);
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

struct Value {
  HKEY root;  // nullptr: the device key
  std::string sub;
  const char* name;
  DWORD type;
  std::vector<BYTE> data;
};

void ExpectValues(HKEY device, const std::vector<Value>& values) {
  for (const Value& value : values) {
    DWORD type = REG_NONE;
    EXPECT_EQ(ValueOf(value.root != nullptr ? value.root : device, value.sub.c_str(), value.name, &type), value.data)
        << value.sub << "\\" << (value.name != nullptr ? value.name : "(default)");
    EXPECT_EQ(type, value.type) << value.sub << "\\" << (value.name != nullptr ? value.name : "(default)");
  }
}

// The handler's three values, as both INFs write them: each form the handler reads.
const std::vector<Value> kDeviceData = {{nullptr, "DeviceData", "Vid", REG_DWORD, {0x34, 0x12, 0x00, 0x00}},
                                        {nullptr, "DeviceData", "Pid", REG_BINARY, {0x78, 0x56}},
                                        {nullptr, "DeviceData", "DeviceMonitor", REG_DWORD, {0x01, 0x00, 0x00, 0x00}}};

TEST(InfInstall, FragmentLinesReachThePort) {
  harness::DeviceKey key;
  Install(std::string(WIASTIIO_SOURCE_DIR) + "/windows/WIASTIIO.inf", "WIASTIIO.Install", SPINST_REGISTRY,
          key.Parameters(), "");
  ExpectValues(key.Parameters(), kDeviceData);
  InitializeOn(key.Parameters());
}

TEST(InfInstall, ExamplePackageInstallsIntoTheDriverStore) {
  const std::string inf = std::string(WIASTIIO_SOURCE_DIR) + "/windows/ExampleScanner.inf";
  HINF handle = SetupOpenInfFileA(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
  // The still-image class installer's entries of the install section ("INF files for still image
  // devices" and "INF files for WIA devices"), which it alone reads.
  const char* const entries[][2] = {
      {"Include", "sti.inf"},  // the system INF whose USB section binds the still-image class driver
      {"Needs", "STI.USBSection"},
      {"SubClass", "StillImage"},            // required: the device is a still-image one
      {"DeviceType", "1"},                   // required: 1, a scanner
      {"DeviceSubType", "0x1"},              // optional, the maker's own value
      {"Capabilities", "0x33"},              // the page's value for push-button events, with bit 4, WIA
      {"Events", "Scanner.Events"},          // the events the minidriver reports
      {"DeviceData", "Scanner.DeviceData"},  // the minidriver's DeviceData strings
      {"PortSelect", "no"},                  // a USB device: no port page, CreateFileName AUTO
  };
  for (const auto& [entry, expected] : entries) {
    INFCONTEXT line = {};
    char value[128] = "";
    EXPECT_TRUE(SetupFindFirstLineA(handle, "Scanner.Install", entry, &line) &&
                SetupGetStringFieldA(&line, 1, value, sizeof value, nullptr));
    EXPECT_STREQ(value, expected) << entry;
  }
  for (const char* section : {"Scanner.Events", "Scanner.DeviceData", "Scanner.Install.Services"}) {
    EXPECT_GT(SetupGetLineCountA(handle, section), 0) << section;
  }
  INFCONTEXT model = {};
  char hardwareId[64] = "";
  EXPECT_TRUE(SetupFindFirstLineA(handle, "Models.NTamd64", nullptr, &model) &&
              SetupGetStringFieldA(&model, 2, hardwareId, sizeof hardwareId, nullptr));
  EXPECT_STREQ(hardwareId, "USB\\VID_XXXX&PID_XXXX");
  // No section of the package deletes a file or a registry value.
  INFCONTEXT found = {};
  for (const char* directive : {"DelFiles", "DelReg", "UninstallSection"}) {
    EXPECT_FALSE(SetupFindFirstLineA(handle, "Scanner.Install", directive, &found)) << directive;
  }
  // The files' folder: DIRID 13, the driver store.
  char store[MAX_PATH] = "";
  ASSERT_TRUE(SetupGetTargetPathA(handle, nullptr, "Scanner.CopyFiles", store, MAX_PATH, nullptr));
  SetupCloseInfFile(handle);
  std::printf("DIRID 13 under Wine: %s\n", store);
  EXPECT_NE(lstrcmpiA(store, SystemFolder().c_str()), 0) << store;

  // The package's files: the handler from the build, the minidriver a stand-in.
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string source = std::string(temp) + "wiastiio-inf-" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(source.c_str(), nullptr);
  char program[MAX_PATH];
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  const std::string build = std::string(program).substr(0, std::string(program).find_last_of('\\') + 1);
  ASSERT_TRUE(CopyFileA((build + "WIASTIIO.dll").c_str(), (source + "WIASTIIO.dll").c_str(), FALSE));
  HANDLE minidriver =
      CreateFileA((source + "ExampleWia.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(minidriver, INVALID_HANDLE_VALUE);
  CloseHandle(minidriver);

  const std::string clsid = "CLSID\\{00000000-0000-0000-0000-00000000e8a1}";
  const std::string installed = std::string(store) + "\\WIASTIIO.dll";
  const std::string system = SystemFolder() + "\\WIASTIIO.dll";
  const bool inSystemBefore = GetFileAttributesA(system.c_str()) != INVALID_FILE_ATTRIBUTES;
  harness::DeviceKey key;
  Install(inf, "Scanner.Install", SPINST_FILES | SPINST_REGISTRY, key.Parameters(), source);
  std::vector<Value> values = kDeviceData;
  values.push_back({nullptr, "", "HardwareConfig", REG_DWORD, {0x04, 0x00, 0x00, 0x00}});
  values.push_back({nullptr, "", "USDClass", REG_SZ, Text("{00000000-0000-0000-0000-00000000e8a1}")});
  values.push_back({HKEY_CLASSES_ROOT, clsid, nullptr, REG_SZ, Text("Example USB document scanner")});
  values.push_back(
      {HKEY_CLASSES_ROOT, clsid + "\\InProcServer32", nullptr, REG_SZ, Text(std::string(store) + "\\ExampleWia.dll")});
  values.push_back({HKEY_CLASSES_ROOT, clsid + "\\InProcServer32", "ThreadingModel", REG_SZ, Text("Both")});
  ExpectValues(key.Parameters(), values);
  // The copied handler is the build's, byte for byte.
  WIN32_FILE_ATTRIBUTE_DATA copied = {};
  WIN32_FILE_ATTRIBUTE_DATA built = {};
  EXPECT_TRUE(GetFileAttributesExA(installed.c_str(), GetFileExInfoStandard, &copied) &&
              GetFileAttributesExA((build + "WIASTIIO.dll").c_str(), GetFileExInfoStandard, &built) &&
              copied.nFileSizeLow == built.nFileSizeLow && copied.nFileSizeLow > 0);
  EXPECT_EQ(GetFileAttributesA(system.c_str()) != INVALID_FILE_ATTRIBUTES, inSystemBefore) << system;
  InitializeOn(key.Parameters());

  // What Windows does when the package goes, done by hand.
  RegDeleteTreeA(HKEY_CLASSES_ROOT, clsid.c_str());
  DeleteFileA(installed.c_str());
  DeleteFileA((std::string(store) + "\\ExampleWia.dll").c_str());
  DeleteFileA((source + "WIASTIIO.dll").c_str());
  DeleteFileA((source + "ExampleWia.dll").c_str());
  RemoveDirectoryA(source.c_str());
}

}  // namespace
