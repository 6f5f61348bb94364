// GetStatus and Diagnostic: whether the port can be taken is what they report, and each runs a whole
// port cycle without a scanner command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"

namespace protocoltest {
namespace {

const char* ModuleOf(Route route) {
  return route == Route::kDeviceMonitor ? "prtmon64.dll" : "portarb.dll";
}

doubles::ContentionDouble& ContentionOf(Route route) {
  return route == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
}

class StatusTest : public ProtocolFixture {
 protected:
  void Choose(Route route) {
    handler_->m_bDeviceMonitor = route == Route::kDeviceMonitor ? TRUE : FALSE;
    handler_->m_wVid = kVid;
    handler_->m_wPid = kPid;
  }
};

TEST_F(StatusTest, GetStatusReportsWhetherThePortCanBeTaken) {
  constexpr DWORD kUntouched = 0x5A5A;
  struct Case {
    DWORD mask;
    bool grant;
    HRESULT result;
    DWORD onlineState;
    bool cycle;  // a port cycle runs
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {STI_DEVSTATUS_ONLINE_STATE,
       true,
       S_OK,
       0x41,
       true,
       {"[STI]CSTIIOHandler::GetStatus", "[STI]CSTIIOHandler::GetStatus[check online state]",
        "[STI]In ESC_OBJECT_POSITION(Get Status),Port acquire success", "[STI]GetStatus, Device is ONLINE",
        "[STI] CloseDevice()"}},
      {STI_DEVSTATUS_ONLINE_STATE | STI_DEVSTATUS_EVENTS_STATE,
       true,
       S_OK,
       0x41,
       true,
       {"[STI]GetStatus, Device is ONLINE"}},
      {STI_DEVSTATUS_ONLINE_STATE,
       false,
       PORT_ACQUIRE_FAIL,
       0x40,
       true,
       {"[STI]CSTIIOHandler::GetStatus[check online state]", "[STI] Port Acquire Fail",
        "[STI]Escape(ESC_OBJECT_POSITION) for [GetStatus] Failed", "[STI]GetStatus, Device is NOT ONLINE",
        "[STI] CloseDevice()"}},
      {STI_DEVSTATUS_EVENTS_STATE, true, S_OK, kUntouched, false, {"[STI]CSTIIOHandler::GetStatus"}},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ", mask " << c.mask << (c.grant ? "" : ", refused"));
      SetUp();
      Choose(route);
      ContentionOf(route).SetAcquireAnswer(c.grant);
      harness::ClearDebugLines();
      STI_DEVICE_STATUS status;
      std::memset(&status, 0, sizeof(status));
      status.StatusMask = c.mask;
      status.dwOnlineState = kUntouched;
      status.dwHardwareStatusCode = kUntouched;

      EXPECT_EQ(handler_->GetStatus(&status), c.result);

      EXPECT_EQ(status.dwOnlineState, c.onlineState);
      EXPECT_EQ(status.dwHardwareStatusCode, kUntouched);
      const auto lines = harness::DebugLines();
      EXPECT_TRUE(InOrder(lines, c.lines)) << harness::Show(lines);
      EXPECT_EQ(winplat::ModuleStatistics(ModuleOf(route)).loads, c.cycle ? 1u : 0u);
      EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleOf(route)));
      EXPECT_FALSE(PortHeld(route));
      EXPECT_TRUE(Sim().Log().empty()) << "no scanner command";
      if (c.cycle && !c.grant) {
        EXPECT_FALSE(Contains(lines, "[STI]GetStatus, Device is ONLINE"));
      }
      TearDown();
    }
  }
}

TEST_F(StatusTest, GetStatusDuringAScanGivesThePortBack) {
  TakePort(Route::kDeviceMonitor);
  ASSERT_EQ(handler_->CallReserveUnit(), S_OK);
  STI_DEVICE_STATUS status = {};
  status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;

  EXPECT_EQ(handler_->GetStatus(&status), S_OK);
  EXPECT_EQ(status.dwOnlineState, 0x41u);
  EXPECT_FALSE(PortHeld(Route::kDeviceMonitor));
  EXPECT_EQ(handler_->m_bUnitReserved, TRUE);
}

TEST_F(StatusTest, NullPointersAreRefusedBeforeAnyModuleIsLoaded) {
  Choose(Route::kDeviceMonitor);
  harness::ClearDebugLines();
  EXPECT_EQ(handler_->GetStatus(nullptr), E_INVALIDARG);
  EXPECT_EQ(handler_->Diagnostic(nullptr), E_INVALIDARG);
  EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 0u);
  EXPECT_EQ(harness::DebugLines(),
            (std::vector<std::string>{"[STI]CSTIIOHandler::GetStatus", "CSTIIOHandler::Diagnostic"}));
}

TEST_F(StatusTest, DiagnosticTakesThePortAndGivesItBack) {
  struct Case {
    bool grant;
    HRESULT result;
    bool released;  // PortRelease called, module freed
  };
  const Case cases[] = {{true, S_OK, true}, {false, PORT_ACQUIRE_FAIL, false}};
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << (c.grant ? "" : ", refused"));
      SetUp();
      Choose(route);
      ContentionOf(route).SetAcquireAnswer(c.grant);
      harness::ClearDebugLines();
      STI_DIAG diag;
      std::memset(&diag, 0x5A, sizeof(diag));
      STI_DIAG before = diag;

      EXPECT_EQ(handler_->Diagnostic(&diag), c.result);

      EXPECT_EQ(0, std::memcmp(&diag, &before, sizeof(diag))) << "nothing is written into the record";
      EXPECT_FALSE(PortHeld(route));
      EXPECT_EQ(ContentionOf(route).CallCount(doubles::EntryPoint::PortRelease), c.released ? 1u : 0u);
      const auto lines = harness::DebugLines();
      const std::string module = route == Route::kDeviceMonitor ? "prtmon64.dll" : "portarb.dll";
      EXPECT_TRUE(InOrder(lines, {"CSTIIOHandler::Diagnostic", "[STI]trying to load " + module + "....",
                                  "[STI]CSTIIOHandler::AcquirePort"}))
          << harness::Show(lines);
      EXPECT_EQ(Contains(lines, "[STI] CloseDevice()"), c.released);
      EXPECT_EQ(Contains(lines, "[STI] Port Acquire Fail"), !c.released);
      EXPECT_TRUE(Sim().Log().empty()) << "no scanner command";
      TearDown();
    }
  }
}

}  // namespace
}  // namespace protocoltest
