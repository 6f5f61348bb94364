// Initialize as the imaging service calls it: the settings under the device's "DeviceData" key decide
// which scanner port is looked for and which contention module is loaded, and one probe cycle decides
// the result. The service's device-control interface cannot run here; the harness stands in for it.
#include <string>
#include <vector>

#include "device/DeviceFixture.h"

namespace devicetest {
namespace {

using doubles::EntryPoint;

class InitializeTest : public DeviceFixture {};

TEST_F(InitializeTest, SettingsChooseIdsAndRoute) {
  struct Value {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  struct Case {
    const char* what;
    bool subkey;
    std::vector<Value> values;
    BOOL monitorBefore;
    WORD expectedVid;
    WORD expectedPid;
    Route expectedRoute;
    std::vector<std::string> expectedLines;  // the lines of the registry reading
  };
  const BYTE kDword1234[] = {0x34, 0x12, 0x01, 0x00};  // 0x00011234
  // Ids the handler holds before the settings are read; a setting that cannot be read keeps them.
  const WORD kKept = 0x0BAD;
  const Case cases[] = {
      {"dword ids, device monitor on",
       true,
       {{"Vid", REG_DWORD, {0x2B, 0x1A, 0, 0}},
        {"Pid", REG_DWORD, {0x4D, 0x3C, 0, 0}},
        {"DeviceMonitor", REG_DWORD, {2, 0, 0, 0}}},
       FALSE,
       kVid,
       kPid,
       Route::kDeviceMonitor,
       {"[STI]Registry Open Success", "[STI]RegQueryValueEx success", "[STI]the value of Vid from Registry is 0x1A2B",
        "[STI]RegQueryValueEx success", "[STI]the value of Pid from Registry is 0x3C4D",
        "[STI]RegQueryValueEx success (for DeviceMonitor)",
        "[STI]Device Monitor(prtmon.dll) is used for Port Contention"}},
      {"a dword's high half is ignored; 0x100 has a zero first byte",
       true,
       {{"Vid", REG_DWORD, {kDword1234, kDword1234 + 4}},
        {"Pid", REG_BINARY, {0x34, 0x12}},
        {"DeviceMonitor", REG_DWORD, {0x00, 0x01, 0, 0}}},
       TRUE,
       0x1234,
       0x1234,
       Route::kDirect,
       {"[STI]Registry Open Success", "[STI]RegQueryValueEx success", "[STI]the value of Vid from Registry is 0x1234",
        "[STI]RegQueryValueEx success", "[STI]the value of Pid from Registry is 0x1234",
        "[STI]RegQueryValueEx success (for DeviceMonitor)"}},
      {"one byte of data is the low byte",
       true,
       {{"Vid", REG_BINARY, {0x7F}}, {"Pid", REG_SZ, {'A', 0}}, {"DeviceMonitor", REG_BINARY, {0}}},
       TRUE,
       0x007F,
       0x0041,
       Route::kDirect,
       {"[STI]Registry Open Success", "[STI]RegQueryValueEx success", "[STI]the value of Vid from Registry is 0x007F",
        "[STI]RegQueryValueEx success", "[STI]the value of Pid from Registry is 0x0041",
        "[STI]RegQueryValueEx success (for DeviceMonitor)"}},
      {"a value without data keeps the device monitor chosen",
       true,
       {{"DeviceMonitor", REG_BINARY, {}}},
       FALSE,
       kKept,
       kKept,
       Route::kDeviceMonitor,
       {"[STI]Registry Open Success", "[STI]Query Value from Vid is fail. Result value => 0x2",
        "[STI]Query Value from Pid is fail. Result value => 0x2", "[STI]RegQueryValueEx success (for DeviceMonitor)",
        "[STI]Device Monitor(prtmon.dll) is used for Port Contention"}},
      {"more than ten bytes do not fit and leave the settings alone",
       true,
       {{"Vid", REG_BINARY, std::vector<BYTE>(11, 0x11)},
        {"Pid", REG_BINARY, std::vector<BYTE>(10, 0x22)},
        {"DeviceMonitor", REG_BINARY, std::vector<BYTE>(11, 0)}},
       TRUE,
       kKept,
       0x2222,
       Route::kDeviceMonitor,
       {"[STI]Registry Open Success", "[STI]Query Value from Vid is fail. Result value => 0x234",
        "[STI]RegQueryValueEx success", "[STI]the value of Pid from Registry is 0x2222",
        "[STI]Getting m_bDeviceMonitor value Fails"}},
      {"no DeviceData key", false, {}, TRUE, kKept, kKept, Route::kDeviceMonitor, {"[STI]Fail to open DeviceData KEY"}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    if (c.subkey) {
      key_->SetValue("Unrelated", REG_DWORD, {0, 0, 0, 0});
    }
    for (const Value& v : c.values) {
      key_->SetValue(v.name, v.type, v.data);
    }
    handler_->m_bDeviceMonitor = c.monitorBefore;
    handler_->m_wVid = kKept;
    handler_->m_wPid = kKept;
    harness::DeviceControl control;

    EXPECT_EQ(handler_->Initialize(&control, 0, key_->Parameters()), S_OK);

    EXPECT_EQ(handler_->m_wVid, c.expectedVid);
    EXPECT_EQ(handler_->m_wPid, c.expectedPid);
    EXPECT_EQ(handler_->m_bDeviceMonitor != FALSE, c.expectedRoute == Route::kDeviceMonitor);
    // The route also decides the module and the port mode of the probe cycle.
    const std::string mode = c.expectedRoute == Route::kDeviceMonitor ? "33" : "2";
    const std::vector<std::string> calls = Module(c.expectedRoute).DescribeCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "PortAcquire(" + mode + ")");
    EXPECT_EQ(calls.back(), "PortRelease(" + mode + ")");
    const Route other = c.expectedRoute == Route::kDeviceMonitor ? Route::kDirect : Route::kDeviceMonitor;
    EXPECT_EQ(Module(other).CallCount(), 0u);
    EXPECT_EQ(winplat::ModuleStatistics(ModuleFile(other)).loads, 0u);

    std::vector<std::string> lines = harness::DebugLines();
    ASSERT_GE(lines.size(), c.expectedLines.size() + 1);
    EXPECT_EQ(lines[0], "[STI]CSTIIOHandler::Initialize");
    std::vector<std::string> registryLines(lines.begin() + 1, lines.begin() + 1 + c.expectedLines.size());
    EXPECT_EQ(registryLines, c.expectedLines) << harness::Show(lines);
    EXPECT_EQ(winplat::OpenKeyHandles(), c.subkey ? 2u : 1u) << "only the test's own keys stay open";
  }
}

TEST_F(InitializeTest, ResultFollowsTheProbeCycle) {
  enum class Trouble { kNone, kNoControl, kOpenModeFails, kNoModule, kRefused, kReleaseFails, kNoScannerPort };
  struct Case {
    const char* what;
    Trouble trouble;
    Route route;
    HRESULT expected;
    bool registryRead;
    const char* lastLine;  // the last debug line Initialize writes
  };
  const Case cases[] = {
      {"granted, device monitor", Trouble::kNone, Route::kDeviceMonitor, S_OK, true,
       "[STI]Port Contention DLL file Freed"},
      {"granted, direct", Trouble::kNone, Route::kDirect, S_OK, true, "[STI]Port Contention DLL file Freed"},
      {"no device control", Trouble::kNoControl, Route::kDeviceMonitor, E_INVALIDARG, false,
       "[STI]CSTIIOHandler::Initialize"},
      {"open mode refused", Trouble::kOpenModeFails, Route::kDeviceMonitor, static_cast<HRESULT>(0x80070005), false,
       "[STI]CSTIIOHandler::Initialize"},
      {"module missing", Trouble::kNoModule, Route::kDirect, E_FAIL, true, "[STI] Port Acquire Fail"},
      {"port refused", Trouble::kRefused, Route::kDeviceMonitor, E_FAIL, true, "[STI] Port Acquire Fail"},
      {"release refused", Trouble::kReleaseFails, Route::kDirect, S_OK, true, "[STI]Port Releasing Fail"},
      {"granted but no scanner port matches", Trouble::kNoScannerPort, Route::kDirect, S_OK, true,
       "[STI]Port Contention DLL file Freed"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    key_->SetIds(kVid, kPid, c.route == Route::kDeviceMonitor);
    Plug(0, c.trouble == Trouble::kNoScannerPort ? kVid + 1 : kVid, kPid);
    harness::DeviceControl control(c.trouble == Trouble::kOpenModeFails ? static_cast<HRESULT>(0x80070005) : S_OK);
    if (c.trouble == Trouble::kNoModule) {
      winplat::RemoveModule(ModuleFile(c.route));
    }
    if (c.trouble == Trouble::kRefused) {
      Module(c.route).SetAcquireAnswer(false);
    }
    if (c.trouble == Trouble::kReleaseFails) {
      Module(c.route).SetReleaseAnswer(false);
    }

    const HRESULT hr =
        handler_->Initialize(c.trouble == Trouble::kNoControl ? nullptr : &control, 0x0102, key_->Parameters());

    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(control.openModeCalls, c.trouble == Trouble::kNoControl ? 0 : 1);
    EXPECT_EQ(handler_->m_wVid, c.registryRead ? kVid : 0);
    const std::vector<std::string> lines = harness::DebugLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.lastLine) << harness::Show(lines);
    // The probe leaves the port released and the module unloaded; only a refused port leaves the
    // module loaded, for the next cycle to find.
    EXPECT_EQ(harness::ModuleReleasedByLibrary(ModuleFile(c.route)), c.trouble != Trouble::kRefused);
    if (c.trouble != Trouble::kReleaseFails) {
      EXPECT_FALSE(Module(c.route).Held());
    }
    EXPECT_FALSE(harness::DeviceMonitor().Opened());
    if (!c.registryRead) {
      EXPECT_EQ(winplat::ModuleStatistics(ModuleFile(c.route)).loads, 0u);
    }
  }
}

TEST_F(InitializeTest, ErrorEntriesGoToTheLog) {
  struct Case {
    const char* what;
    HRESULT openMode;
    bool subkey;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"open mode refused", E_FAIL, true, {"CSTIIOHandler::Initialize, couldn't get device open mode"}},
      {"no DeviceData key", S_OK, false, {"CSTIIOHandler::Initialize, couldn't open DeviceData KEY"}},
      {"nothing wrong", S_OK, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    AttachLog();
    if (c.subkey) {
      key_->SetIds(0, 0, true);
    }
    harness::DeviceControl control(c.openMode);
    handler_->Initialize(&control, 0, key_->Parameters());

    std::vector<std::string> texts;
    for (const LogEntry& entry : log_.Single()) {
      EXPECT_EQ(entry.flags, 4);
      EXPECT_EQ(entry.resID, 0);
      EXPECT_EQ(entry.detail, 0);
      texts.push_back(entry.text);
    }
    EXPECT_EQ(texts, c.expected);
    // Initialize opens no trace scope of its own, nor do the port-cycle steps it runs.
    EXPECT_TRUE(log_.entries.size() == log_.Single().size());
  }
}

TEST_F(InitializeTest, ASecondInitializeReadsTheSettingsAfresh) {
  harness::DeviceControl control;
  key_->SetIds(kVid, kPid, true);
  Plug(0);
  ASSERT_EQ(handler_->Initialize(&control, 0, key_->Parameters()), S_OK);
  EXPECT_EQ(harness::DeviceMonitor().DescribeCalls(),
            (std::vector<std::string>{"PortAcquire(33)", "DeviceOpen(3,3,6699,15437,0)", "DeviceClose(1)",
                                      "PortRelease(33)"}));

  key_->SetDword("DeviceMonitor", 0);
  key_->SetDword("Pid", 0x0001);
  ForgetCalls();
  ASSERT_EQ(handler_->Initialize(&control, 0, key_->Parameters()), S_OK);

  EXPECT_EQ(harness::DeviceMonitor().CallCount(), 0u);
  EXPECT_EQ(harness::PortArbitration().DescribeCalls(), (std::vector<std::string>{"PortAcquire(2)", "PortRelease(2)"}));
  EXPECT_EQ(winplat::ModuleStatistics("portarb.dll").loads, 1u);
  EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 0u);
  EXPECT_EQ(handler_->m_wPid, 0x0001);
}

}  // namespace
}  // namespace devicetest
