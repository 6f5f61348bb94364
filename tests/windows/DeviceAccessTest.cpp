// Initialize and the port cycle on Windows itself: the settings come from the real registry (a key of
// the test's own under the current user), the contention modules are the double DLLs beside the test
// program found by the real loader, and no USB still-image device object exists, so the direct route's
// search runs through all of its names without finding one.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/Protocol.h"
#include "support/Harness.h"

namespace {

using Lines = std::vector<std::string>;
using doubles::EntryPoint;

// The ids the probe cycles look for, as the registry lines print them and DeviceOpen receives them.
constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

enum class Route { kDeviceMonitor, kPortArbitration };

const char* ModuleFile(Route route) {
  return route == Route::kDeviceMonitor ? "prtmon64.dll" : "portarb.dll";
}

doubles::ContentionDouble& Module(Route route) {
  return route == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
}

doubles::ContentionDouble& OtherModule(Route route) {
  return route == Route::kDeviceMonitor ? harness::PortArbitration() : harness::DeviceMonitor();
}

std::string Mode(Route route) {
  return route == Route::kDeviceMonitor ? "33" : "2";
}

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The registry lines of ids found and the route setting.
Lines RegistryLines(const std::string& vid, const std::string& pid, bool deviceMonitor) {
  Lines lines = {"[STI]Registry Open Success",
                 "[STI]RegQueryValueEx success",
                 "[STI]the value of Vid from Registry is 0x" + vid,
                 "[STI]RegQueryValueEx success",
                 "[STI]the value of Pid from Registry is 0x" + pid,
                 "[STI]RegQueryValueEx success (for DeviceMonitor)"};
  if (deviceMonitor) {
    lines.push_back("[STI]Device Monitor(prtmon.dll) is used for Port Contention");
  }
  return lines;
}

Lines LoadLines(Route route) {
  if (route == Route::kDeviceMonitor) {
    return {"[STI]trying to load prtmon64.dll....", "[STI]Loading DLL file Success",
            "This STI Uses prtmon.dll for Port Contention"};
  }
  return {"[STI]trying to load portarb.dll....", "[STI]Loading DLL file Success",
          "This STI Uses Portarb.dll for Port Contention"};
}

const Lines kAcquireLines = {"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is not acquired currently",
                             "[STI]portA is not NULL", "[STI]Port acquire success!!"};

// No "\\.\Usbscan"N exists here: every name fails to open, as a missing file.
Lines UsbscanSearchLines() {
  Lines lines;
  for (int n = 0; n < 255; ++n) {
    lines.push_back("[STI]Invalid handle value => \\\\.\\Usbscan" + std::to_string(n));
    lines.push_back("[STI]Error code =>" + std::to_string(ERROR_FILE_NOT_FOUND));
  }
  return lines;
}

Lines OpenLines(Route route) {
  if (route == Route::kDeviceMonitor) {
    return {"CSTIIOHandler::OpenPort_prtmon()", "[STI]DeviceOpen success"};
  }
  return UsbscanSearchLines();
}

Lines CloseLines(Route route, bool released = true) {
  Lines lines = {"[STI] CloseDevice()"};
  if (route == Route::kDeviceMonitor) {
    lines = lines + Lines{"[STI] Close Handle in case Device Monitor",
                          "[STI] Success Closing Handle of USBSCAN in case of Device Monitor"};
  }
  lines.push_back("[STI]CSTIIOHandler::ReleasePort");
  if (released) {
    lines.push_back("[STI]Port Release Success");
  }
  lines.push_back("[STI]Port Contention DLL file Freed");
  return lines;
}

// The lines from the first one naming `first` (inclusive) to the first one after it naming `last`
// (exclusive; to the end when absent).
Lines Between(const Lines& lines, const std::string& first, const std::string& last) {
  auto begin = lines.begin();
  while (begin != lines.end() && begin->find(first) == std::string::npos) {
    ++begin;
  }
  auto end = begin;
  while (end != lines.end() && end->find(last) == std::string::npos) {
    ++end;
  }
  return Lines(begin, end);
}

Lines From(const Lines& lines, const std::string& first) {
  return Between(lines, first, "\n");
}

class DeviceAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(lib_.InitializeDll, nullptr);
    lib_.TerminateDll();
    harness::ResetDoubles();
    ASSERT_EQ(lib_.InitializeDll(1), S_OK);
    harness::ClearDebugLines();
  }
  void TearDown() override { lib_.TerminateDll(); }

  HRESULT Initialize() { return lib_.Initialize(&control_, 2, key_.Parameters()); }

  harness::Library& lib_ = harness::TheLibrary();
  harness::DeviceKey key_;
  harness::DeviceControl control_;
};

// Each setting as the registry hands it over decides the module loaded and what its entry points get.
TEST_F(DeviceAccess, RegistrySettingsChooseModuleAndArguments) {
  struct Case {
    const char* name;
    std::function<void(harness::DeviceKey&)> store;
    Lines registryLines;
    Route route;
    WORD vid;  // as DeviceOpen receives it (device-monitor route)
    WORD pid;
  };
  const std::vector<BYTE> eleven = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::string vidMissing =
      "[STI]Query Value from Vid is fail. Result value => 0x" + std::to_string(ERROR_FILE_NOT_FOUND);
  const std::string pidMissing =
      "[STI]Query Value from Pid is fail. Result value => 0x" + std::to_string(ERROR_FILE_NOT_FOUND);
  const Case cases[] = {
      {"no DeviceData subkey",
       [](harness::DeviceKey&) {},
       {"[STI]Fail to open DeviceData KEY"},
       Route::kDeviceMonitor,
       0,
       0},
      {"values missing",
       [](harness::DeviceKey& k) { k.SetBinary("Other", {1}); },
       {"[STI]Registry Open Success", vidMissing, pidMissing, "[STI]Getting m_bDeviceMonitor value Fails"},
       Route::kDeviceMonitor,
       0,
       0},
      {"REG_DWORD ids, DeviceMonitor 1",
       [](harness::DeviceKey& k) {
         k.SetDword("Vid", 0x00011234);
         k.SetDword("Pid", 0x5678);
         k.SetDword("DeviceMonitor", 1);
       },
       RegistryLines("1234", "5678", true), Route::kDeviceMonitor, 0x1234, 0x5678},
      {"REG_BINARY ids of 2 and 1 bytes",
       [](harness::DeviceKey& k) {
         k.SetBinary("Vid", {0x34, 0x12});
         k.SetBinary("Pid", {0x78});
         k.SetDword("DeviceMonitor", 2);
       },
       RegistryLines("1234", "0078", true), Route::kDeviceMonitor, 0x1234, 0x0078},
      {"REG_BINARY ids of 10 bytes",
       [](harness::DeviceKey& k) {
         k.SetBinary("Vid", {0x2B, 0x1A, 1, 2, 3, 4, 5, 6, 7, 8});
         k.SetBinary("Pid", {0x4D, 0x3C, 9, 9, 9, 9, 9, 9, 9, 9});
         k.SetBinary("DeviceMonitor", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
       },
       RegistryLines("1A2B", "3C4D", true), Route::kDeviceMonitor, 0x1A2B, 0x3C4D},
      {"values longer than the 10-byte buffer",
       [&](harness::DeviceKey& k) {
         k.SetBinary("Vid", eleven);
         k.SetBinary("Pid", eleven);
         k.SetBinary("DeviceMonitor", eleven);
       },
       {"[STI]Registry Open Success",
        "[STI]Query Value from Vid is fail. Result value => 0x" + std::to_string(ERROR_MORE_DATA),
        "[STI]Query Value from Pid is fail. Result value => 0x" + std::to_string(ERROR_MORE_DATA),
        "[STI]Getting m_bDeviceMonitor value Fails"},
       Route::kDeviceMonitor,
       0,
       0},
      {"DeviceMonitor without data keeps the device monitor",
       [](harness::DeviceKey& k) {
         k.SetDword("Vid", 1);
         k.SetDword("Pid", 2);
         k.SetBinary("DeviceMonitor", {});
       },
       RegistryLines("0001", "0002", true), Route::kDeviceMonitor, 1, 2},
      {"DeviceMonitor 0",
       [](harness::DeviceKey& k) {
         k.SetDword("Vid", 1);
         k.SetDword("Pid", 2);
         k.SetDword("DeviceMonitor", 0);
       },
       RegistryLines("0001", "0002", false), Route::kPortArbitration, 1, 2},
      {"DeviceMonitor 0x100 has a zero first byte",
       [](harness::DeviceKey& k) {
         k.SetDword("Vid", 1);
         k.SetDword("Pid", 2);
         k.SetDword("DeviceMonitor", 0x100);
       },
       RegistryLines("0001", "0002", false), Route::kPortArbitration, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness::DeviceKey key;
    c.store(key);
    lib_.TerminateDll();
    harness::ResetDoubles();
    ASSERT_EQ(lib_.InitializeDll(1), S_OK);
    harness::ClearDebugLines();

    EXPECT_EQ(lib_.Initialize(&control_, 2, key.Parameters()), S_OK);

    const Lines lines = harness::DebugLines();
    EXPECT_EQ(Between(lines, "[STI]CSTIIOHandler::Initialize", "[STI]trying to load"),
              Lines{"[STI]CSTIIOHandler::Initialize"} + c.registryLines)
        << harness::Show(lines);
    Lines calls =
        c.route == Route::kDeviceMonitor
            ? Lines{"PortAcquire(33)", "DeviceOpen(3,3," + std::to_string(c.vid) + "," + std::to_string(c.pid) + ",0)",
                    "DeviceClose(1)", "PortRelease(33)"}
            : Lines{"PortAcquire(2)", "PortRelease(2)"};
    EXPECT_EQ(Module(c.route).DescribeCalls(), calls);
    EXPECT_EQ(OtherModule(c.route).CallCount(), 0u);
  }
  EXPECT_TRUE(harness::ModuleReleasedByLibrary("prtmon64.dll"));
  EXPECT_TRUE(harness::ModuleReleasedByLibrary("portarb.dll"));
}

// A probe cycle on each route, every line in order; on the direct route the search for a scanner port
// finds none and Initialize still succeeds.
TEST_F(DeviceAccess, ProbeCycleLinesOnEachRoute) {
  for (Route route : {Route::kDeviceMonitor, Route::kPortArbitration}) {
    SCOPED_TRACE(ModuleFile(route));
    const bool monitor = route == Route::kDeviceMonitor;
    key_.SetIds(kVid, kPid, monitor);
    harness::ResetDoubles();
    harness::ClearDebugLines();

    EXPECT_EQ(Initialize(), S_OK);

    const Lines expected = Lines{"[STI]CSTIIOHandler::Initialize"} + RegistryLines("1A2B", "3C4D", monitor) +
                           LoadLines(route) + kAcquireLines + OpenLines(route) + Lines{"[STI]End of Auquire Port"} +
                           CloseLines(route);
    const Lines lines = harness::DebugLines();
    EXPECT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size() && i < expected.size(); ++i) {
      ASSERT_EQ(lines[i], expected[i]) << "line " << i << "\n" << harness::Show(lines);
    }
    if (!monitor) {
      size_t searched = 0;
      for (const std::string& line : lines) {
        searched += line.rfind("[STI]Invalid handle value => \\\\.\\Usbscan", 0) == 0 ? 1 : 0;
      }
      EXPECT_EQ(searched, 255u);
    }
    const Lines calls =
        monitor ? Lines{"PortAcquire(33)", "DeviceOpen(3,3,6699,15437,0)", "DeviceClose(1)", "PortRelease(33)"}
                : Lines{"PortAcquire(2)", "PortRelease(2)"};
    EXPECT_EQ(Module(route).DescribeCalls(), calls);
    EXPECT_EQ(OtherModule(route).CallCount(), 0u);
    EXPECT_FALSE(Module(route).Held());
    EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleFile(route)));
  }
}

// Refused before anything is read or loaded.
TEST_F(DeviceAccess, InitializeWithoutAUsableDeviceControl) {
  struct Case {
    const char* name;
    IStiDeviceControl* control;
    HRESULT result;
  };
  harness::DeviceControl refusing(E_ACCESSDENIED);
  const Case cases[] = {{"no device control", nullptr, E_INVALIDARG}, {"open mode refused", &refusing, E_ACCESSDENIED}};
  key_.SetIds(kVid, kPid, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness::ResetDoubles();
    harness::ClearDebugLines();
    EXPECT_EQ(lib_.Initialize(c.control, 2, key_.Parameters()), c.result);
    EXPECT_EQ(harness::DebugLines(), Lines{"[STI]CSTIIOHandler::Initialize"});
    EXPECT_EQ(harness::DeviceMonitor().CallCount(), 0u);
    EXPECT_EQ(harness::PortArbitration().CallCount(), 0u);
  }
  EXPECT_EQ(refusing.openModeCalls, 1);
}

// A refused port opens nothing; the module stays loaded until the handler ends the cycle.
TEST_F(DeviceAccess, PortAcquireRefused) {
  for (Route route : {Route::kDeviceMonitor, Route::kPortArbitration}) {
    SCOPED_TRACE(ModuleFile(route));
    const bool monitor = route == Route::kDeviceMonitor;
    key_.SetIds(kVid, kPid, monitor);
    lib_.TerminateDll();
    harness::ResetDoubles();
    ASSERT_EQ(lib_.InitializeDll(1), S_OK);
    Module(route).SetAcquireAnswer(false);
    harness::ClearDebugLines();

    EXPECT_EQ(Initialize(), E_FAIL);

    const Lines refused =
        LoadLines(route) + Lines{"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is not acquired currently",
                                 "[STI]portA is not NULL",          "[STI]acquire fail!",
                                 "[STI]End of Auquire Port",        "[STI] Port Acquire Fail"};
    EXPECT_EQ(From(harness::DebugLines(), "[STI]trying to load"), refused) << harness::Show(harness::DebugLines());
    EXPECT_EQ(Module(route).DescribeCalls(), Lines{"PortAcquire(" + Mode(route) + ")"});

    harness::ClearDebugLines();
    EXPECT_EQ(lib_.TerminateDll(), S_OK);
    EXPECT_EQ(From(harness::DebugLines(), "[STI]CSTIIOHandler::DeleteMemory"),
              (Lines{"[STI]CSTIIOHandler::DeleteMemory", "[STI] CloseDevice()", "[STI]CSTIIOHandler::ReleasePort",
                     "[STI] Port is Already Rreleased", "[STI]Port Contention DLL file Freed"}))
        << harness::Show(harness::DebugLines());
    EXPECT_EQ(Module(route).CallCount(EntryPoint::PortRelease), 0u);
    EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleFile(route)));
  }
}

// A release that fails leaves the grant recorded: the next cycle loads the module again but does not
// ask for the port, only opens it.
TEST_F(DeviceAccess, FailedReleaseCarriesTheGrantIntoTheNextCycle) {
  for (Route route : {Route::kDeviceMonitor, Route::kPortArbitration}) {
    SCOPED_TRACE(ModuleFile(route));
    const bool monitor = route == Route::kDeviceMonitor;
    key_.SetIds(kVid, kPid, monitor);
    lib_.TerminateDll();
    harness::ResetDoubles();
    ASSERT_EQ(lib_.InitializeDll(1), S_OK);
    Module(route).SetReleaseAnswer(false);
    harness::ClearDebugLines();

    EXPECT_EQ(Initialize(), S_OK) << "a failed release does not fail Initialize";
    EXPECT_EQ(From(harness::DebugLines(), "[STI] CloseDevice()"),
              CloseLines(route, false) + Lines{"[STI]Port Releasing Fail"})
        << harness::Show(harness::DebugLines());
    EXPECT_EQ(Module(route).CallCount(EntryPoint::PortRelease), 1u);
    EXPECT_TRUE(Module(route).Held());
    // The module is let go all the same.
    EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleFile(route)));

    // A fresh module (the last one was unloaded) that releases as asked.
    Module(route).ClearCalls();
    harness::ClearDebugLines();
    EXPECT_EQ(Initialize(), S_OK);
    const Lines reopened = Lines{"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is Already Acquired"} +
                           OpenLines(route) + Lines{"[STI]End of Auquire Port"} + CloseLines(route);
    EXPECT_EQ(From(harness::DebugLines(), "[STI]CSTIIOHandler::AcquirePort"), reopened)
        << harness::Show(harness::DebugLines());
    const Lines calls =
        monitor ? Lines{"DeviceOpen(3,3,6699,15437,0)", "DeviceClose(1)", "PortRelease(33)"} : Lines{"PortRelease(2)"};
    EXPECT_EQ(Module(route).DescribeCalls(), calls);
    EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleFile(route)));
  }
}

}  // namespace
