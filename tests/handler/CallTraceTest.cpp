// The WIA log channel: "entering"/"leaving" around each traced method, on every path out of it, the
// service's formatter bound only when an entry is really written, and the log's reference counted.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "simulator/ScannerSimulator.h"
#include "support/Harness.h"
#include "support/WiaLog.h"

namespace handlertest {
using harness::FormatCalls;
using harness::InstallWiaService;
using harness::LogEntry;
using harness::RecordingLog;
namespace {

struct Single {
  LONG flags;
  LONG detail;
  std::string text;
};

struct Method {
  const char* trace;  // after "CSTIIOHandler::"
  std::function<HRESULT(CSTIIOHandler&)> call;
  HRESULT result;
  size_t linesBeforeEntering;   // the method's own debug line comes before its trace
  std::vector<Single> between;  // single entries between entering and leaving
};

std::vector<Method> TracedMethods() {
  static STI_USD_CAPS caps;
  static DWORD count;
  static BYTE buffer[8];
  return {
      {"GetCapabilities",
       [](CSTIIOHandler& h) { return h.GetCapabilities(nullptr); },
       E_INVALIDARG,
       1,
       {{4, 0, "CSTIIOHandler::GetCapabilities, NULL parameter"}}},
      {"GetCapabilities", [](CSTIIOHandler& h) { return h.GetCapabilities(&caps); }, S_OK, 1, {}},
      {"DeviceReset", [](CSTIIOHandler& h) { return h.DeviceReset(); }, E_NOTIMPL, 0, {}},
      {"GetLastError", [](CSTIIOHandler& h) { return h.GetLastError(nullptr); }, E_INVALIDARG, 1, {}},
      {"LockDevice", [](CSTIIOHandler& h) { return h.LockDevice(); }, S_OK, 0, {}},
      {"UnLockDevice", [](CSTIIOHandler& h) { return h.UnLockDevice(); }, S_OK, 0, {}},
      {"RawReadData", [](CSTIIOHandler& h) { return h.RawReadData(buffer, nullptr, nullptr); }, E_INVALIDARG, 0, {}},
      {"RawWriteData", [](CSTIIOHandler& h) { return h.RawWriteData(nullptr, 8, nullptr); }, E_INVALIDARG, 0, {}},
      {"RawReadCommand", [](CSTIIOHandler& h) { return h.RawReadCommand(buffer, &count, nullptr); }, E_NOTIMPL, 0, {}},
      {"RawWriteCommand", [](CSTIIOHandler& h) { return h.RawWriteCommand(buffer, 8, nullptr); }, E_NOTIMPL, 0, {}},
      {"GetLastErrorInfo", [](CSTIIOHandler& h) { return h.GetLastErrorInfo(nullptr); }, E_INVALIDARG, 1, {}},
      {"SetNotificationHandle", [](CSTIIOHandler& h) { return h.SetNotificationHandle(nullptr); }, S_OK, 1, {}},
      {"GetNotificationData", [](CSTIIOHandler& h) { return h.GetNotificationData(nullptr); }, E_INVALIDARG, 1, {}},
      {"Escape", [](CSTIIOHandler& h) { return h.Escape(0x4000, nullptr, 0, nullptr, 0, nullptr); }, E_NOTIMPL, 1, {}},
      // Refused before any command: the early return still closes the trace.
      {"Escape",
       [](CSTIIOHandler& h) { return h.Escape(ESC_READ, nullptr, 0, nullptr, 0, nullptr); },
       DEVICE_UNLOCKED,
       1,
       {}},
      {"Escape",
       [](CSTIIOHandler& h) { return h.Escape(GET_DEVICE_INFO, nullptr, 0, nullptr, 0, nullptr); },
       E_INVALIDARG,
       1,
       {}},
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

TEST_F(CallTrace, TracedMethodsWriteEnteringAndLeavingOnEveryPath) {
  for (const Method& m : TracedMethods()) {
    const std::string name = std::string("CSTIIOHandler::") + m.trace;
    SCOPED_TRACE(name + " returning " + std::to_string(m.result));
    RecordingLog log;
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    handler->SetWiaLog(&log);
    harness::ClearDebugLines();

    EXPECT_EQ(m.call(*handler), m.result);

    const std::vector<LogEntry>& e = log.entries;
    ASSERT_EQ(e.size(), m.between.size() + 2) << ::testing::PrintToString(log.Texts());
    EXPECT_EQ(e.front().text, name + ", entering");
    EXPECT_EQ(e.back().text, name + ", leaving");
    for (const LogEntry* entry : {&e.front(), &e.back()}) {
      EXPECT_EQ(entry->flags, 1) << entry->text;
      EXPECT_EQ(entry->resID, 0) << entry->text;
      EXPECT_EQ(entry->detail, 3) << entry->text;
    }
    for (size_t i = 0; i < m.between.size(); ++i) {
      EXPECT_EQ(e[i + 1].flags, m.between[i].flags);
      EXPECT_EQ(e[i + 1].resID, 0);
      EXPECT_EQ(e[i + 1].detail, m.between[i].detail);
      EXPECT_EQ(e[i + 1].text, m.between[i].text);
    }
    EXPECT_EQ(e.front().debugLinesBefore, m.linesBeforeEntering);
    EXPECT_EQ(e.back().debugLinesBefore, harness::DebugLines().size()) << "leaving comes after every line";
    handler.reset();
    EXPECT_EQ(log.references, 0u);
  }
}

// The entries the commands and untraced paths write, and the traces of the commands (by name).
TEST_F(CallTrace, SingleEntriesOfUntracedPathsAndCommands) {
  scansim::ScannerSimulator scanner;
  harness::DeviceMonitor().SetPort(&scanner);
  harness::DeviceKey key;
  key.SetDword("DeviceMonitor", 1);
  harness::DeviceKey empty;
  harness::DeviceControl control;
  harness::DeviceControl refusing(E_FAIL);
  struct Case {
    const char* name;
    std::function<void(CSTIIOHandler&)> call;
    std::vector<std::string> entries;  // flags, resource id, detail and text; traces by name
  } const cases[] = {
      {"open mode refused",
       [&](CSTIIOHandler& h) { h.Initialize(&refusing, 2, key.Parameters()); },
       {"4 0 0 CSTIIOHandler::Initialize, couldn't get device open mode"}},
      {"no DeviceData key",
       [&](CSTIIOHandler& h) { h.Initialize(&control, 2, empty.Parameters()); },
       {"4 0 0 CSTIIOHandler::Initialize, couldn't open DeviceData KEY"}},
      {"notification handle",
       [](CSTIIOHandler& h) { h.SetNotificationHandle(reinterpret_cast<HANDLE>(0x2A)); },
       {"SetNotificationHandle", "2 0 0 SetNotificationHandle, hEvent = 42"}},
      {"a page's commands",
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
         h.Escape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
       },
       {"CallReserveUnit", "1 0 2 locking success.", "CallSetWindowParameter", "CallObjectPosition",
        "1 0 2 locking success.", "CallRead", "CallReadImage", "CallAbort", "1 0 2 aborting success.",
        "CallReleaseUnit", "1 0 2 locking success."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingLog log;
    CSTIIOHandler handler(TRUE);
    handler.SetWiaLog(&log);
    c.call(handler);
    std::vector<std::string> entries;
    for (const LogEntry& entry : log.entries) {
      // The traces of the escape and of methods that write no entry of their own show by name.
      const std::string kEscape = "CSTIIOHandler::Escape, ";
      if (entry.text.find(", leaving") != std::string::npos || entry.text.rfind(kEscape, 0) == 0) {
        continue;
      }
      const size_t entering = entry.text.find(", entering");
      entries.push_back(entering != std::string::npos
                            ? entry.text.substr(15, entering - 15)
                            : std::to_string(entry.flags) + " " + std::to_string(entry.resID) + " " +
                                  std::to_string(entry.detail) + " " + entry.text);
    }
    EXPECT_EQ(entries, c.entries);
    handler.SetWiaLog(nullptr);
  }
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
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    handler->SetWiaLog(c.withLog ? &log : nullptr);
    for (const Method& m : TracedMethods()) {
      EXPECT_EQ(m.call(*handler), m.result) << m.trace;
    }
    handler.reset();
    EXPECT_EQ(winplat::ModuleStatistics("wiaservc.dll").loads, c.loads);
    EXPECT_EQ(FormatCalls(), static_cast<int>(log.entries.size()));
    EXPECT_EQ(log.entries.empty(), c.name != std::string("with a log interface"));
    EXPECT_EQ(log.references, 0u);
    // Letting the binding go (as TerminateDll does) gives the module back.
    UnbindWiasFormatArgs();
    EXPECT_EQ(winplat::ModuleStatistics("wiaservc.dll").references, 0u);
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
    EXPECT_EQ(handler.m_pIWiaLog, nullptr);
    handler.SetWiaLog(&first);
  }
  EXPECT_EQ(first.references, 0u) << "the destructor releases the log it holds";
}

}  // namespace
}  // namespace handlertest
