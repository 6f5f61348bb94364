// The port cycle with the contention modules: what each module is asked, what the handler writes on
// the debugger channel, and what it holds afterwards, including when a module refuses or lacks an entry
// point.
#include <string>
#include <vector>

#include "device/DeviceFixture.h"

namespace devicetest {
namespace {

using doubles::EntryPoint;

class PortCycleTest : public DeviceFixture {};

TEST_F(PortCycleTest, AWholeCycleOnEachRoute) {
  struct Case {
    Route route;
    std::vector<std::string> lines;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {Route::kDirect,
       {"[STI]trying to load portarb.dll....", "[STI]Loading DLL file Success",
        "This STI Uses Portarb.dll for Port Contention", "[STI]CSTIIOHandler::AcquirePort",
        "[STI] Port is not acquired currently", "[STI]portA is not NULL", "[STI]Port acquire success!!",
        "[STI]success => \\\\.\\Usbscan0", "[STI]End of Auquire Port", "[STI] CloseDevice()",
        "[STI]CSTIIOHandler::ReleasePort", "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"},
       {"PortAcquire(2)", "PortRelease(2)"}},
      {Route::kDeviceMonitor,
       {"[STI]trying to load prtmon64.dll....", "[STI]Loading DLL file Success",
        "This STI Uses prtmon.dll for Port Contention", "[STI]CSTIIOHandler::AcquirePort",
        "[STI] Port is not acquired currently", "[STI]portA is not NULL", "[STI]Port acquire success!!",
        "CSTIIOHandler::OpenPort_prtmon()", "[STI]DeviceOpen success", "[STI]End of Auquire Port",
        "[STI] CloseDevice()", "[STI] Close Handle in case Device Monitor",
        "[STI] Success Closing Handle of USBSCAN in case of Device Monitor", "[STI]CSTIIOHandler::ReleasePort",
        "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"},
       {"PortAcquire(33)", "DeviceOpen(3,3,6699,15437,0)", "DeviceClose(1)", "PortRelease(33)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(RouteName(c.route));
    Fresh();
    Plug(0);
    Settle(c.route);

    EXPECT_EQ(handler_->LoadPortContentionDll(), S_OK);
    EXPECT_TRUE(Module(c.route).Held());
    EXPECT_EQ(winplat::ModuleStatistics(ModuleFile(c.route)).references, 1u);
    EXPECT_EQ(handler_->CloseDevice(), S_OK);

    EXPECT_EQ(harness::DebugLines(), c.lines) << harness::Show(harness::DebugLines());
    EXPECT_EQ(Module(c.route).DescribeCalls(), c.calls);
    EXPECT_FALSE(Module(c.route).Held());
    const winplat::ModuleCounts counts = winplat::ModuleStatistics(ModuleFile(c.route));
    EXPECT_EQ(counts.loads, 1u);
    EXPECT_EQ(counts.frees, 1u);
    EXPECT_EQ(counts.references, 0u);
    // The directly opened port outlives the cycle; the device monitor's does not.
    EXPECT_EQ(winplat::OpenHandles().devices, c.route == Route::kDirect ? 1u : 0u);
    EXPECT_FALSE(harness::DeviceMonitor().Opened());
  }
}

// Each case spoils one step of a device-monitor cycle and follows it to the end of the cycle.
TEST_F(PortCycleTest, TroubleWithTheModule) {
  enum class Spoil {
    kAcquireAbsent,
    kAcquireRefused,
    kOpenAbsent,
    kOpenRefused,
    kReadAbsent,
    kWriteAbsent,
    kCloseAbsent,
    kCloseRefused,
    kReleaseAbsent,
    kReleaseRefused,
  };
  struct Case {
    const char* what;
    Spoil spoil;
    HRESULT acquired;
    std::vector<std::string> acquireLines;  // from AcquirePort on
    HRESULT closed;
    std::vector<std::string> closeLines;
    bool portAcquiredAfter;
    bool portOpenedAfter;
  };
  const std::vector<std::string> granted = {"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is not acquired currently",
                                            "[STI]portA is not NULL", "[STI]Port acquire success!!",
                                            "CSTIIOHandler::OpenPort_prtmon()"};
  auto with = [](std::vector<std::string> lines, std::initializer_list<const char*> more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
  };
  const std::vector<std::string> closedWell = {"[STI] CloseDevice()",
                                               "[STI] Close Handle in case Device Monitor",
                                               "[STI] Success Closing Handle of USBSCAN in case of Device Monitor",
                                               "[STI]CSTIIOHandler::ReleasePort",
                                               "[STI]Port Release Success",
                                               "[STI]Port Contention DLL file Freed"};
  const std::vector<std::string> closedNotReleased = {
      "[STI] CloseDevice()", "[STI] Close Handle in case Device Monitor",
      "[STI] Success Closing Handle of USBSCAN in case of Device Monitor", "[STI]CSTIIOHandler::ReleasePort",
      "[STI]Port Contention DLL file Freed"};
  const std::vector<std::string> releasedOnly = {"[STI] CloseDevice()", "[STI]CSTIIOHandler::ReleasePort",
                                                 "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"};
  const Case cases[] = {
      {"PortAcquire missing",
       Spoil::kAcquireAbsent,
       PORT_ACQUIRE_FAIL,
       {"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is not acquired currently",
        "[STI]STI got wrong function pointer!!"},
       S_OK,
       {"[STI] CloseDevice()", "[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased",
        "[STI]Port Contention DLL file Freed"},
       false,
       false},
      {"port refused",
       Spoil::kAcquireRefused,
       PORT_ACQUIRE_FAIL,
       {"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is not acquired currently", "[STI]portA is not NULL",
        "[STI]acquire fail!", "[STI]End of Auquire Port"},
       S_OK,
       {"[STI] CloseDevice()", "[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased",
        "[STI]Port Contention DLL file Freed"},
       false,
       false},
      {"DeviceOpen missing", Spoil::kOpenAbsent, S_OK,
       with(granted, {"[STI]getting function pointer fails", "[STI]End of Auquire Port"}), S_OK, releasedOnly, false,
       false},
      {"device not opened", Spoil::kOpenRefused, S_OK,
       with(granted, {"[STI]DLL Function call fails", "[STI]End of Auquire Port"}), S_OK, releasedOnly, false, false},
      {"DeviceRead missing", Spoil::kReadAbsent, S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]Getting Pointer(DeviceRead) from prtmon.dll fails",
                      "[STI]End of Auquire Port"}),
       S_OK, closedWell, false, false},
      {"DeviceWrite missing", Spoil::kWriteAbsent, S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]Getting Pointer(DeviceWrite) from prtmon.dll fails",
                      "[STI]End of Auquire Port"}),
       S_OK, closedWell, false, false},
      {"DeviceClose missing",
       Spoil::kCloseAbsent,
       S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]End of Auquire Port"}),
       S_OK,
       {"[STI] CloseDevice()", "[STI] Close Handle in case Device Monitor",
        "[STI]getting function pointer from dll fails", "[STI]CSTIIOHandler::ReleasePort", "[STI]Port Release Success",
        "[STI]Port Contention DLL file Freed"},
       false,
       true},
      {"device not closed",
       Spoil::kCloseRefused,
       S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]End of Auquire Port"}),
       S_OK,
       {"[STI] CloseDevice()", "[STI] Close Handle in case Device Monitor", "[STI]Closing Device Monitor fails",
        "[STI]CSTIIOHandler::ReleasePort", "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"},
       false,
       true},
      {"PortRelease missing", Spoil::kReleaseAbsent, S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]End of Auquire Port"}), E_FAIL, closedNotReleased, true, false},
      {"port not released", Spoil::kReleaseRefused, S_OK,
       with(granted, {"[STI]DeviceOpen success", "[STI]End of Auquire Port"}), E_FAIL, closedNotReleased, true, false},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Settle(Route::kDeviceMonitor);
    doubles::ContentionDouble& monitor = harness::DeviceMonitor();
    switch (c.spoil) {
      case Spoil::kAcquireAbsent:
        monitor.SetAbsent(EntryPoint::PortAcquire, true);
        break;
      case Spoil::kAcquireRefused:
        monitor.SetAcquireAnswer(false);
        break;
      case Spoil::kOpenAbsent:
        monitor.SetAbsent(EntryPoint::DeviceOpen, true);
        break;
      case Spoil::kOpenRefused:
        monitor.SetOpenAnswer(false);
        break;
      case Spoil::kReadAbsent:
        monitor.SetAbsent(EntryPoint::DeviceRead, true);
        break;
      case Spoil::kWriteAbsent:
        monitor.SetAbsent(EntryPoint::DeviceWrite, true);
        break;
      case Spoil::kCloseAbsent:
        monitor.SetAbsent(EntryPoint::DeviceClose, true);
        break;
      case Spoil::kCloseRefused:
        monitor.SetCloseAnswer(false);
        break;
      case Spoil::kReleaseAbsent:
        monitor.SetAbsent(EntryPoint::PortRelease, true);
        break;
      case Spoil::kReleaseRefused:
        monitor.SetReleaseAnswer(false);
        break;
    }
    harness::ApplyAbsentEntryPoints();

    EXPECT_EQ(handler_->LoadPortContentionDll(), c.acquired);
    std::vector<std::string> lines = harness::DebugLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), c.acquireLines) << harness::Show(lines);
    if (c.acquired == PORT_ACQUIRE_FAIL) {
      // A refused port is never opened.
      EXPECT_EQ(monitor.CallCount(EntryPoint::DeviceOpen), 0u);
    }

    harness::ClearDebugLines();
    EXPECT_EQ(handler_->CloseDevice(), c.closed);
    EXPECT_EQ(harness::DebugLines(), c.closeLines) << harness::Show(harness::DebugLines());
    EXPECT_EQ(handler_->m_bPortAcquired != FALSE, c.portAcquiredAfter);
    EXPECT_EQ(handler_->m_bPortOpened != FALSE, c.portOpenedAfter);
    // Every cycle ends with the module freed and nothing left pointing into it.
    EXPECT_EQ(handler_->m_hDll, nullptr);
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").references, 0u);
    EXPECT_EQ(handler_->m_pfnDeviceRead, nullptr);
    EXPECT_EQ(handler_->m_pfnDeviceWrite, nullptr);
  }
}

TEST_F(PortCycleTest, AReleaseThatFailedIsNotAskedForAgain) {
  Settle(Route::kDeviceMonitor);
  doubles::ContentionDouble& monitor = harness::DeviceMonitor();
  monitor.SetReleaseAnswer(false);
  ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK);
  ASSERT_EQ(handler_->CloseDevice(), E_FAIL);

  // The next cycle loads the module again but goes straight to the open.
  monitor.SetReleaseAnswer(true);
  ForgetCalls();
  EXPECT_EQ(handler_->LoadPortContentionDll(), S_OK);
  EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 1u);
  EXPECT_EQ(monitor.DescribeCalls(), (std::vector<std::string>{"DeviceOpen(3,3,6699,15437,0)"}));
  const std::vector<std::string> lines = harness::DebugLines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 6),
            (std::vector<std::string>{"[STI]CSTIIOHandler::AcquirePort", "[STI] Port is Already Acquired",
                                      "CSTIIOHandler::OpenPort_prtmon()"}));

  EXPECT_EQ(handler_->CloseDevice(), S_OK);
  EXPECT_FALSE(monitor.Held());
  EXPECT_FALSE(handler_->m_bPortAcquired);
}

TEST_F(PortCycleTest, TheModuleIsLoadedOncePerCycle) {
  struct Case {
    const char* what;
    bool installed;
    std::vector<std::string> firstLines;
  };
  const Case cases[] = {
      {"module present", true, {"[STI]trying to load prtmon64.dll....", "[STI]Loading DLL file Success"}},
      // ERROR_MOD_NOT_FOUND
      {"module missing",
       false,
       {"[STI]trying to load prtmon64.dll....", "[STI]Loading DLL file Fails. Error code => 126"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Settle(Route::kDeviceMonitor);
    if (!c.installed) {
      winplat::RemoveModule("prtmon64.dll");
    }
    const HRESULT first = handler_->LoadPortContentionDll();
    EXPECT_EQ(first, c.installed ? S_OK : PORT_ACQUIRE_FAIL);
    std::vector<std::string> lines = harness::DebugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), c.firstLines);

    // Within a cycle a second acquire finds the module loaded.
    harness::ClearDebugLines();
    EXPECT_EQ(handler_->LoadPortContentionDll(), first);
    lines = harness::DebugLines();
    if (c.installed) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.front(), "[STI]Already Loaded");
      EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 1u);
    } else {
      // Nothing was loaded, so the next attempt tries again.
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.front(), "[STI]trying to load prtmon64.dll....");
      EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").failed, 2u);
    }
    handler_->CloseDevice();
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").references, 0u);
  }
}

// After the cycle the module is gone, so a raw transfer on the device-monitor route must fail without
// calling into it; inside the cycle it reaches the scanner.
TEST_F(PortCycleTest, RawTransfersOnlyReachTheMonitorInsideACycle) {
  Settle(Route::kDeviceMonitor);
  doubles::ContentionDouble& monitor = harness::DeviceMonitor();
  BYTE reserve[4] = {0x1B, 0xA8, 0x16, 0x00};
  BYTE response[32] = {};
  DWORD count = sizeof(response);

  ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK);
  EXPECT_EQ(handler_->RawWriteData(reserve, sizeof(reserve), nullptr), S_OK);
  EXPECT_EQ(handler_->RawReadData(response, &count, nullptr), S_OK);
  EXPECT_EQ(response[0], 0xA8);
  EXPECT_TRUE(sim_->UnitReserved());
  ASSERT_EQ(handler_->CloseDevice(), S_OK);

  monitor.ClearCalls();
  sim_->ClearLog();
  handler_->m_dwLastError = 0;
  EXPECT_EQ(handler_->RawWriteData(reserve, sizeof(reserve), nullptr), E_NOTIMPL);
  EXPECT_EQ(handler_->m_dwLastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  handler_->m_dwLastError = 0;
  count = sizeof(response);
  EXPECT_EQ(handler_->RawReadData(response, &count, nullptr), E_NOTIMPL);
  EXPECT_EQ(handler_->m_dwLastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(monitor.CallCount(), 0u);
  EXPECT_TRUE(sim_->Log().empty());
}

}  // namespace
}  // namespace devicetest
