// The WIA log channel: "entering"/"leaving" around each traced method, on every path out of it, the
// service's formatter bound only when an entry is really written, and the log's reference counted.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "simulator/ScannerModel.h"
#include "support/Harness.h"
#include "support/Transcript.h"
#include "support/WiaLog.h"

namespace handlertest {
using harness::FormatCalls;
using harness::InstallWiaService;
using harness::LogEntry;
using harness::RecordingLog;
namespace {

struct Method {
  const char* trace;  // after "CSTIIOHandler::"
  std::function<HRESULT(CSTIIOHandler&)> call;
  HRESULT result;
};

std::vector<Method> TracedMethods() {
  static STI_USD_CAPS caps;
  static DWORD count;
  static BYTE buffer[8];
  return {
      {"GetCapabilities", [](CSTIIOHandler& h) { return h.GetCapabilities(nullptr); }, E_INVALIDARG},
      {"GetCapabilities", [](CSTIIOHandler& h) { return h.GetCapabilities(&caps); }, S_OK},
      {"DeviceReset", [](CSTIIOHandler& h) { return h.DeviceReset(); }, E_NOTIMPL},
      {"GetLastError", [](CSTIIOHandler& h) { return h.GetLastError(nullptr); }, E_INVALIDARG},
      {"LockDevice", [](CSTIIOHandler& h) { return h.LockDevice(); }, S_OK},
      {"UnLockDevice", [](CSTIIOHandler& h) { return h.UnLockDevice(); }, S_OK},
      {"RawReadData", [](CSTIIOHandler& h) { return h.RawReadData(buffer, nullptr, nullptr); }, E_INVALIDARG},
      {"RawWriteData", [](CSTIIOHandler& h) { return h.RawWriteData(nullptr, 8, nullptr); }, E_INVALIDARG},
      {"RawReadCommand", [](CSTIIOHandler& h) { return h.RawReadCommand(buffer, &count, nullptr); }, E_NOTIMPL},
      {"RawWriteCommand", [](CSTIIOHandler& h) { return h.RawWriteCommand(buffer, 8, nullptr); }, E_NOTIMPL},
      {"GetLastErrorInfo", [](CSTIIOHandler& h) { return h.GetLastErrorInfo(nullptr); }, E_INVALIDARG},
      {"Diagnostic", [](CSTIIOHandler& h) { return h.Diagnostic(nullptr); }, E_INVALIDARG},
      {"SetNotificationHandle", [](CSTIIOHandler& h) { return h.SetNotificationHandle(nullptr); }, S_OK},
      {"GetNotificationData", [](CSTIIOHandler& h) { return h.GetNotificationData(nullptr); }, E_INVALIDARG},
      {"Escape", [](CSTIIOHandler& h) { return h.Escape(0x4000, nullptr, 0, nullptr, 0, nullptr); }, E_NOTIMPL},
      // Refused before any command: the early return still closes the trace.
      {"Escape", [](CSTIIOHandler& h) { return h.Escape(ESC_READ, nullptr, 0, nullptr, 0, nullptr); }, DEVICE_UNLOCKED},
      {"Escape", [](CSTIIOHandler& h) { return h.Escape(GET_DEVICE_INFO, nullptr, 0, nullptr, 0, nullptr); },
       E_INVALIDARG},
  };
}

class CallTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    UnbindWiasFormatArgs();
    winplat::ResetAll();
    harness::ResetDoubles();
    InstallWiaService();
    bstrsBefore_ = winplat::LiveBStrings();
  }
  void TearDown() override {
    UnbindWiasFormatArgs();
    EXPECT_EQ(winplat::LiveBStrings(), bstrsBefore_) << "every logged text is freed";
    winplat::ResetAll();
    harness::ResetDoubles();
  }

  size_t bstrsBefore_ = 0;
};

// "flags resource-id detail @debug-lines-written-before text", as tests/handler/call-trace.txt holds them.
std::string Show(const LogEntry& e) {
  return std::to_string(e.flags) + " " + std::to_string(e.resID) + " " + std::to_string(e.detail) + " @" +
         std::to_string(e.debugLinesBefore) + " " + e.text;
}

const std::vector<std::string> kHeader = {
    "The WIA log entries of each call (tests/handler/CallTraceTest.cpp): \"> name, N debug lines\" the",
    "debugger lines it wrote in all, then each entry: flags resource-id detail @lines-before text."};

// Each traced method and each untraced path or command, its entries in tests/handler/call-trace.txt.
TEST_F(CallTrace, EntriesOfEveryPathAsInTheirTranscript) {
  scansim::ScannerModel scanner;
  harness::DeviceMonitor().SetPort(&scanner);
  harness::DeviceKey key;
  key.SetDword("DeviceMonitor", 1);
  key.SetDword("Vid", 0x1234);
  key.SetDword("Pid", 0x5678);
  harness::DeviceKey empty;
  harness::DeviceControl control;
  harness::DeviceControl refusing(E_FAIL);
  std::vector<Method> calls = TracedMethods();
  calls.push_back(
      {"open mode refused", [&](CSTIIOHandler& h) { return h.Initialize(&refusing, 2, key.Parameters()); }, E_FAIL});
  calls.push_back(
      {"no DeviceData key", [&](CSTIIOHandler& h) { return h.Initialize(&control, 2, empty.Parameters()); }, S_OK});
  calls.push_back({"notification handle",
                   [](CSTIIOHandler& h) { return h.SetNotificationHandle(reinterpret_cast<HANDLE>(0x2A)); }, S_OK});
  // No port: the abort's write fails, and a failed abort is no success to log.
  calls.push_back({"an abort with no port",
                   [](CSTIIOHandler& h) { return h.Escape(ESC_ABORT, nullptr, 0, nullptr, 0, nullptr); }, S_OK});
  calls.push_back({"a page's commands",
                   [&](CSTIIOHandler& h) {
                     h.Initialize(&control, 2, key.Parameters());
                     h.Escape(ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, nullptr);
                     SWP_PARAMETER window = {};
                     window.dwWindowWidth = 32;
                     window.dwWindowHeight = 8;
                     window.byScanSource = SCAN_SOURCE_FLATBED;
                     h.Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window), nullptr, 0, nullptr);
                     h.Escape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
                     READ_RESPONSE response = {};
                     h.Escape(ESC_READ, nullptr, 0, &response, sizeof(response), nullptr);
                     std::vector<BYTE> block(response.dwDataSize);
                     DWORD actual = 0;
                     h.Escape(ESC_READ_IMAGE, nullptr, 0, block.data(), static_cast<DWORD>(block.size()), &actual);
                     h.Escape(ESC_ABORT, nullptr, 0, nullptr, 0, nullptr);
                     return h.Escape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
                   },
                   S_OK});
  std::vector<std::string> lines;
  for (const Method& m : calls) {
    RecordingLog log;
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    handler->SetWiaLog(&log);
    harness::ClearDebugLines();
    EXPECT_EQ(m.call(*handler), m.result) << m.trace;
    lines.push_back(std::string("> ") + m.trace + ", " + std::to_string(harness::DebugLines().size()) + " debug lines");
    for (const LogEntry& entry : log.entries) {
      lines.push_back(Show(entry));
    }
    handler.reset();
    EXPECT_EQ(log.references, 0u);
  }
  transcript::ExpectLines("../handler/call-trace.txt", kHeader, lines);
}

TEST_F(CallTrace, NamesAreCutTo258Characters) {
  for (size_t length : {257u, 258u, 259u, 300u, 1000u}) {
    SCOPED_TRACE("name of " + std::to_string(length));
    const std::string name = "CSTIIOHandler::" + std::string(length - 15, 'n');
    const std::string kept = name.substr(0, std::min<size_t>(length, 258));
    RecordingLog log;
    { CCallTrace trace(&log, 0, 3, name.c_str()); }
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{kept + ", entering", kept + ", leaving"}));
  }
}

// The service module is bound on the first entry really written, once; without it (or its formatter)
// nothing is logged and every result stays.
TEST_F(CallTrace, ServiceModuleBoundOnlyForAnEntry) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool withLog;
    size_t loads;
  } const cases[] = {
      {"no log interface", [] {}, false, 0},
      {"with a log interface", [] {}, true, 1},
      {"no service module", [] { winplat::RemoveModule("wiaservc.dll"); }, true, 0},
      {"service without the formatter", [] { InstallWiaService(false); }, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UnbindWiasFormatArgs();
    winplat::ResetModuleStatistics();
    FormatCalls() = 0;
    c.prepare();
    RecordingLog log;
    ASSERT_EQ(InitializeDll(TRUE), S_OK);
    g_pSTIIOHandler->SetWiaLog(c.withLog ? &log : nullptr);
    for (const Method& m : TracedMethods()) {
      EXPECT_EQ(m.call(*g_pSTIIOHandler), m.result) << m.trace;
    }
    // TerminateDll destroys the handler and gives the service module back.
    ASSERT_EQ(TerminateDll(), S_OK);
    EXPECT_EQ(winplat::ModuleStatistics("wiaservc.dll").loads, c.loads);
    EXPECT_EQ(winplat::ModuleStatistics("wiaservc.dll").references, 0u);
    EXPECT_EQ(FormatCalls(), static_cast<int>(log.entries.size()));
    EXPECT_EQ(log.entries.empty(), c.name != std::string("with a log interface"));
    EXPECT_EQ(log.references, 0u);
  }
}

TEST_F(CallTrace, SetWiaLogHoldsOneReference) {
  RecordingLog first, second;
  {
    CSTIIOHandler handler(FALSE);
    handler.SetWiaLog(&first);
    EXPECT_EQ(first.references, 1u);
    handler.SetWiaLog(&second);
    EXPECT_EQ(first.references, 0u) << "the earlier log is released";
    EXPECT_EQ(second.references, 1u);
    handler.SetWiaLog(&second);
    EXPECT_EQ(second.references, 1u) << "setting the same log again";
    handler.SetWiaLog(nullptr);
    EXPECT_EQ(second.references, 0u);
    handler.SetWiaLog(&first);
  }
  EXPECT_EQ(first.references, 0u) << "the destructor releases the log it holds";
  EXPECT_EQ(second.references, 0u) << "a log let go is not released again";
}

}  // namespace
}  // namespace handlertest
