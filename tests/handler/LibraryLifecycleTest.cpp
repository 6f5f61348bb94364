// The handler's life as the minidriver sees it, through the exports of the real library: calls with no
// handler, InitializeDll twice, TerminateDll twice, the debug flag, and what destruction writes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "protocol/Protocol.h"
#include "support/Harness.h"

namespace handlertest {
namespace {

using Lines = std::vector<std::string>;

constexpr HRESULT kNoHandler = static_cast<HRESULT>(0x8000FFFF);
constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

const Lines kConstructorLine = {"[STI]CSTIIOHandler::CSTIIOHandler"};

Lines DestructorLines(const Lines& middle = {}) {
  Lines lines = {"[STI]CSTIIOHandler::~CSTIIOHandler", "[STI]CSTIIOHandler::SetNotificationHandle",
                 "[STI SetNotificationHandle]Null Event Handle Pointer is received"};
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.insert(lines.end(), {"[STI]CSTIIOHandler::DeleteMemory", "[STI] CloseDevice()",
                             "[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased"});
  return lines;
}

Lines Concat(const Lines& a, const Lines& b) {
  Lines all = a;
  all.insert(all.end(), b.begin(), b.end());
  return all;
}

class LibraryLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(lib_.InitializeDll, nullptr);
    lib_.TerminateDll();
    winplat::ResetAll();
    harness::ResetDoubles();
    key_ = std::make_unique<harness::DeviceKey>();
  }
  void TearDown() override {
    lib_.TerminateDll();
    key_.reset();
    winplat::ResetAll();
    harness::ResetDoubles();
  }

  // Settings for Initialize: the direct route looks for kVid/kPid, the device monitor opens them.
  void Settings(bool deviceMonitor) { key_->SetIds(kVid, kPid, deviceMonitor); }
  std::shared_ptr<doubles::UsbscanDevice> PlugPort() {
    auto device = std::make_shared<doubles::UsbscanDevice>(nullptr, kVid, kPid);
    doubles::PlugUsbscan(0, device);
    return device;
  }

  harness::Library& lib_ = harness::TheLibrary();
  std::unique_ptr<harness::DeviceKey> key_;
  harness::DeviceControl control_;
};

TEST_F(LibraryLifecycle, ExportsWithoutAHandlerAnswerAtOnce) {
  STI_USD_CAPS caps = {};
  STI_DEVICE_STATUS status = {};
  STI_DIAG diag = {};
  STINOTIFY notify = {};
  STI_ERROR_INFO info = {};
  BYTE buffer[152] = {};
  DWORD count = sizeof(buffer);
  struct Export {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT result;
  } const exports[] = {
      {"Initialize", [&] { return lib_.Initialize(&control_, 2, key_->Parameters()); }, kNoHandler},
      {"GetCapabilities", [&] { return lib_.GetCapabilities(&caps); }, kNoHandler},
      {"GetStatus", [&] { return lib_.GetStatus(&status); }, kNoHandler},
      {"DeviceReset", [&] { return lib_.DeviceReset(); }, kNoHandler},
      {"Diagnostic", [&] { return lib_.Diagnostic(&diag); }, kNoHandler},
      {"STIEscape", [&] { return lib_.Escape(GET_DEVICE_INFO, nullptr, 0, buffer, sizeof(buffer), &count); },
       kNoHandler},
      {"STIGetLastError", [&] { return lib_.STIGetLastError(&count); }, kNoHandler},
      {"LockDevice", [&] { return lib_.LockDevice(); }, kNoHandler},
      {"UnLockDevice", [&] { return lib_.UnLockDevice(); }, kNoHandler},
      {"RawReadData", [&] { return lib_.RawReadData(buffer, &count, nullptr); }, kNoHandler},
      {"RawWriteData", [&] { return lib_.RawWriteData(buffer, 4, nullptr); }, kNoHandler},
      {"RawReadCommand", [&] { return lib_.RawReadCommand(buffer, &count, nullptr); }, kNoHandler},
      {"RawWriteCommand", [&] { return lib_.RawWriteCommand(buffer, 4, nullptr); }, kNoHandler},
      {"SetNotificationHandle", [&] { return lib_.SetNotificationHandle(nullptr); }, kNoHandler},
      {"GetNotificationData", [&] { return lib_.GetNotificationData(&notify); }, kNoHandler},
      {"GetLastErrorInfo", [&] { return lib_.GetLastErrorInfo(&info); }, kNoHandler},
      {"DeleteMemory", [&] { return lib_.DeleteMemory(); }, S_OK},
      {"TerminateDll", [&] { return lib_.TerminateDll(); }, S_OK},
  };
  Settings(true);
  for (const char* when : {"before InitializeDll", "after TerminateDll"}) {
    SCOPED_TRACE(when);
    if (std::string(when) == "after TerminateDll") {
      ASSERT_EQ(lib_.InitializeDll(1), S_OK);
      ASSERT_EQ(lib_.TerminateDll(), S_OK);
    }
    harness::ClearDebugLines();
    for (const Export& e : exports) {
      EXPECT_EQ(e.call(), e.result) << e.name;
    }
    EXPECT_TRUE(harness::DebugLines().empty()) << harness::Show(harness::DebugLines());
    EXPECT_EQ(control_.openModeCalls, 0);
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 0u) << "no port cycle without a handler";
  }
  // The library is usable again afterwards, and says so first thing.
  harness::ClearDebugLines();
  ASSERT_EQ(lib_.InitializeDll(1), S_OK);
  EXPECT_EQ(harness::DebugLines(), kConstructorLine);
  EXPECT_EQ(lib_.GetCapabilities(&caps), S_OK);
}

TEST_F(LibraryLifecycle, TerminateDllTwice) {
  ASSERT_EQ(lib_.InitializeDll(1), S_OK);
  harness::ClearDebugLines();
  EXPECT_EQ(lib_.TerminateDll(), S_OK);
  EXPECT_EQ(harness::DebugLines(), DestructorLines());
  harness::ClearDebugLines();
  EXPECT_EQ(lib_.TerminateDll(), S_OK);
  EXPECT_TRUE(harness::DebugLines().empty()) << harness::Show(harness::DebugLines());
}

TEST_F(LibraryLifecycle, DeleteMemoryWithNothingHeld) {
  ASSERT_EQ(lib_.InitializeDll(1), S_OK);
  harness::ClearDebugLines();
  EXPECT_EQ(lib_.DeleteMemory(), S_OK);
  EXPECT_EQ(harness::DebugLines(), (Lines{"[STI]CSTIIOHandler::DeleteMemory", "[STI] CloseDevice()",
                                          "[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased"}));
}

// The first handler holds a port opened directly; replacing it must close that port, and the new
// handler starts afresh with the new debug flag.
TEST_F(LibraryLifecycle, ASecondInitializeDllDestroysTheFirstHandler) {
  struct Case {
    DWORD first;
    DWORD second;
  } const cases[] = {{1, 1}, {1, 0}, {0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.first) + " then " + std::to_string(c.second));
    lib_.TerminateDll();
    Settings(false);
    PlugPort();
    ASSERT_EQ(lib_.InitializeDll(c.first), S_OK);
    ASSERT_EQ(lib_.Initialize(&control_, 2, key_->Parameters()), S_OK);
    ASSERT_EQ(winplat::OpenHandles().devices, 1u) << "the first handler keeps its port open";
    harness::ClearDebugLines();

    EXPECT_EQ(lib_.InitializeDll(c.second), S_OK);

    Lines expected;
    if (c.first) {
      expected = DestructorLines({"[STI]CloseHandle Success"});
    }
    if (c.second) {
      expected = Concat(expected, kConstructorLine);
    }
    EXPECT_EQ(harness::DebugLines(), expected) << harness::Show(harness::DebugLines());
    EXPECT_EQ(winplat::OpenHandles().devices, 0u) << "the first handler's port was closed";

    // The new handler holds no port of the old one.
    harness::ClearDebugLines();
    EXPECT_EQ(lib_.TerminateDll(), S_OK);
    EXPECT_EQ(harness::DebugLines(), c.second ? DestructorLines() : Lines{}) << harness::Show(harness::DebugLines());
    winplat::UnplugAllDevices();
  }
}

// What the destructor writes about the port handle, after the Initialize that left it so.
TEST_F(LibraryLifecycle, DestructionClosesOnlyAPortItOpened) {
  struct Case {
    const char* name;
    bool initialize;
    bool deviceMonitor;
    bool plugPort;
    Lines middle;
  } const cases[] = {
      {"no Initialize", false, true, false, {}},
      {"device-monitor route", true, true, true, {}},
      {"direct route, port found", true, false, true, {"[STI]CloseHandle Success"}},
      // The search left INVALID_HANDLE_VALUE behind, which is no handle of ours to close.
      {"direct route, no port",
       true,
       false,
       false,
       {"[STI]Calcel IO Fail, Error Code => 6", "[STI]CloseHandle Fail.Error Code => 6"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    winplat::UnplugAllDevices();
    Settings(c.deviceMonitor);
    if (c.plugPort) {
      PlugPort();
    }
    ASSERT_EQ(lib_.InitializeDll(1), S_OK);
    if (c.initialize) {
      ASSERT_EQ(lib_.Initialize(&control_, 2, key_->Parameters()), S_OK);
    }
    harness::ClearDebugLines();
    EXPECT_EQ(lib_.TerminateDll(), S_OK);
    EXPECT_EQ(harness::DebugLines(), DestructorLines(c.middle)) << harness::Show(harness::DebugLines());
    EXPECT_EQ(winplat::OpenHandles().devices, 0u);
  }
}

// With the flag 0 not one line goes through the printer, whatever runs; the one string the dispatcher
// writes itself still comes. The results do not depend on the flag.
TEST_F(LibraryLifecycle, DebugFlagDecidesEveryLine) {
  auto run = [&](DWORD flag) {
    std::vector<HRESULT> results;
    STI_USD_CAPS caps = {};
    STI_DEVICE_STATUS status = {};
    status.dwSize = sizeof(status);
    status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
    STI_DIAG diag = {};
    STINOTIFY notify = {};
    STI_ERROR_INFO info = {};
    BYTE record[152] = {};
    DWORD count = 0;
    harness::ResetDoubles();
    harness::ClearDebugLines();
    results.push_back(lib_.InitializeDll(flag));
    results.push_back(lib_.Initialize(&control_, 2, key_->Parameters()));
    results.push_back(lib_.GetCapabilities(&caps));
    results.push_back(lib_.GetStatus(&status));
    results.push_back(lib_.Diagnostic(&diag));
    results.push_back(lib_.Escape(GET_DEVICE_INFO, nullptr, 0, record, sizeof(record), &count));
    results.push_back(lib_.Escape(ESC_READ, nullptr, 0, record, 32, &count));
    harness::DeviceMonitor().SetAcquireAnswer(false);
    results.push_back(lib_.Escape(ESC_RESERVE_UNIT));
    harness::DeviceMonitor().SetAcquireAnswer(true);
    results.push_back(lib_.SetNotificationHandle(nullptr));
    results.push_back(lib_.GetNotificationData(&notify));
    results.push_back(lib_.GetLastErrorInfo(&info));
    results.push_back(lib_.STIGetLastError(&count));
    results.push_back(lib_.LockDevice());
    results.push_back(lib_.UnLockDevice());
    results.push_back(lib_.DeviceReset());
    results.push_back(lib_.DeleteMemory());
    results.push_back(lib_.TerminateDll());
    return results;
  };
  Settings(true);

  const std::vector<HRESULT> quiet = run(0);
  EXPECT_EQ(harness::DebugLines(), Lines{"[STI] Device Unlocked... Break READ"})
      << harness::Show(harness::DebugLines());
  EXPECT_GT(harness::DeviceMonitor().CallCount(doubles::EntryPoint::PortAcquire), 0u) << "the port cycles ran";

  const std::vector<HRESULT> loud = run(1);
  const Lines lines = harness::DebugLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), kConstructorLine.front());
  EXPECT_GT(lines.size(), 50u);
  EXPECT_EQ(loud, quiet);
  // Among the results, the two positive protocol values pass through the export unchanged.
  EXPECT_EQ(quiet[6], DEVICE_UNLOCKED);
  EXPECT_EQ(quiet[7], PORT_ACQUIRE_FAIL);
}

}  // namespace
}  // namespace handlertest
