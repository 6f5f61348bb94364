// The four-byte command exchanges of reserve, release, abort, object position and read: which route
// carries them, how each command judges its response, and what a failed or short transfer leaves.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"

namespace protocoltest {
namespace {

using scansim::Fault;
using scansim::Phase;

enum class Method { kReserve, kRelease, kAbort, kObjectPosition, kRead };

const char* MethodName(Method method) {
  switch (method) {
    case Method::kReserve:
      return "CallReserveUnit";
    case Method::kRelease:
      return "CallReleaseUnit";
    case Method::kAbort:
      return "CallAbort";
    case Method::kObjectPosition:
      return "CallObjectPosition";
    case Method::kRead:
      return "CallRead";
  }
  return "?";
}

uint8_t OpCode(Method method) {
  switch (method) {
    case Method::kReserve:
      return scansim::kOpReserveUnit;
    case Method::kRelease:
      return scansim::kOpReleaseUnit;
    case Method::kAbort:
      return scansim::kOpAbort;
    case Method::kObjectPosition:
      return scansim::kOpObjectPosition;
    case Method::kRead:
      return scansim::kOpRead;
  }
  return 0;
}

class ExchangeTest : public ProtocolFixture {
 protected:
  HRESULT Run(Method method) {
    switch (method) {
      case Method::kReserve:
        return handler_->CallReserveUnit();
      case Method::kRelease:
        return handler_->CallReleaseUnit();
      case Method::kAbort:
        return handler_->CallAbort();
      case Method::kObjectPosition:
        return handler_->CallObjectPosition();
      case Method::kRead:
        return handler_->CallRead(record_.data());
    }
    ADD_FAILURE() << "unknown method";
    return E_FAIL;
  }

  std::array<uint8_t, 32> record_{};
};

TEST_F(ExchangeTest, EachCommandTravelsOnlyTheRouteInForce) {
  const Method methods[] = {Method::kReserve, Method::kObjectPosition, Method::kAbort, Method::kRead, Method::kRelease};
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    SetUp();
    TakePort(route);
    for (Method method : methods) {
      Run(method);
    }

    std::vector<Bytes> commands;
    for (const scansim::WireRecord& record : Sim().Log()) {
      if (record.direction == scansim::WireRecord::Direction::kCommand) {
        commands.push_back(record.bytes);
      }
    }
    ASSERT_EQ(commands.size(), std::size(methods));
    for (size_t i = 0; i < commands.size(); ++i) {
      EXPECT_EQ(commands[i], (Bytes{0x1B, 0xA8, OpCode(methods[i]), 0x00})) << MethodName(methods[i]);
    }
    if (route == Route::kDeviceMonitor) {
      EXPECT_EQ(DirectTransfers(), 0u);
      // One write of the whole command and one read of the whole response per exchange.
      std::vector<std::string> expected;
      for (size_t i = 0; i < std::size(methods); ++i) {
        expected.push_back("DeviceWrite(4)->4");
        expected.push_back("DeviceRead(32)->32");
      }
      EXPECT_EQ(harness::DeviceMonitor().DescribeCalls(), expected);
    } else {
      EXPECT_EQ(MonitorTransfers(), 0u);
      const auto calls = usbscan_->Calls();
      ASSERT_EQ(calls.size(), 2 * std::size(methods));
      for (size_t i = 0; i < calls.size(); i += 2) {
        EXPECT_EQ(calls[i].operation, doubles::UsbscanDevice::Operation::Write);
        EXPECT_EQ(calls[i].length, 4u);
        EXPECT_EQ(calls[i + 1].operation, doubles::UsbscanDevice::Operation::Read);
        EXPECT_EQ(calls[i + 1].length, 32u);
      }
    }
    TearDown();
  }
}

TEST_F(ExchangeTest, ResponsesAreJudgedByEachCommandsOwnRules) {
  const HRESULT kBusy = WIA_ERROR_BUSY;
  struct Case {
    Method method;
    Fault answer;  // how the scanner's answer is rewritten on its way back
    HRESULT result;
    const char* line;  // a line the judgement writes, or null
  };
  const Case cases[] = {
      {Method::kReserve, Fault::ReplaceStatus(0x00), S_OK,
       "[STI]CSTIIOHandler::CallReserveUnit => \t\t\t\t\t\t\tLocking Success"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x0004), kBusy, "[STI] Gereral Error"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x8004), kBusy, "[STI] Gereral Error"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x9000), WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x3000), WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x2000), WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x8000), WIA_ERROR_WARMING_UP, "[STI] WIA_ERROR_WARMING_UP Error"},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x4000), E_FAIL, nullptr},
      {Method::kReserve, Fault::ReplaceStatus(0x02, 0x0000), E_FAIL, nullptr},
      {Method::kReserve, Fault::ReplaceStatus(0x08), kBusy, "[STI] Gereral Error"},
      {Method::kReserve, Fault::ReplaceStatus(0x05), E_FAIL, nullptr},
      {Method::kReserve, Fault::CorruptStartCode(0x00), E_FAIL, nullptr},

      {Method::kRelease, Fault::ReplaceStatus(0x00), S_OK, "[STI]CSTIIOHandler::CallReleaseUnit => UnLocking Success"},
      {Method::kRelease, Fault::ReplaceStatus(0x02, 0x0004), E_FAIL, nullptr},
      {Method::kRelease, Fault::ReplaceStatus(0x02, 0x2000), E_FAIL, nullptr},
      {Method::kRelease, Fault::ReplaceStatus(0x08), kBusy, "[STI] Gereral Error"},
      {Method::kRelease, Fault::ReplaceStatus(0x05), E_FAIL, nullptr},
      {Method::kRelease, Fault::CorruptStartCode(0x00), E_NOTIMPL, nullptr},

      {Method::kObjectPosition, Fault::ReplaceStatus(0x00), S_OK, "[STI]CSTIIOHandler::CallObjectPosition =>"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x1000), ADF_NO_DOCUMENT, "[STI] No document in ADF"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x3000), ADF_NO_DOCUMENT, "[STI] No document in ADF"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x2004), kBusy, "[STI] MSG_DATA_RESOURCEBUSY Error"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x2000), WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x8000), WIA_ERROR_WARMING_UP,
       "[STI] WIA_ERROR_WARMING_UP Error"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x02, 0x4000), E_FAIL, nullptr},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x08), kBusy, "[STI] Gereral Error"},
      {Method::kObjectPosition, Fault::ReplaceStatus(0x05), E_FAIL, nullptr},
      {Method::kObjectPosition, Fault::CorruptStartCode(0x00), E_FAIL, nullptr},

      // Abort reports success whatever the scanner says, and does not look at the start code.
      {Method::kAbort, Fault::ReplaceStatus(0x00), S_OK, "[STI]CSTIIOHandler::CallAbort => CoReadFile Success"},
      {Method::kAbort, Fault::ReplaceStatus(0x02, 0x0004), S_OK, nullptr},
      {Method::kAbort, Fault::ReplaceStatus(0x08), S_OK, nullptr},
      {Method::kAbort, Fault::CorruptStartCode(0x00), S_OK, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << MethodName(c.method) << " status " << int{c.answer.status} << " data 0x"
                                      << std::hex << c.answer.msg_data << " start " << int{c.answer.start_code}
                                      << " kind " << static_cast<int>(c.answer.kind));
    SetUp();
    TakePort(Route::kDeviceMonitor);
    handler_->m_bUnitReserved = c.method == Method::kRelease ? TRUE : FALSE;
    SpoilNext(Phase::kRead, c.answer);

    EXPECT_EQ(Run(c.method), c.result);

    const auto lines = harness::DebugLines();
    if (c.line != nullptr) {
      EXPECT_TRUE(Contains(lines, c.line)) << harness::Show(lines);
    }
    // A judged response never gives the port back: that is for the dispatcher to decide.
    EXPECT_TRUE(PortHeld(Route::kDeviceMonitor));
    if (c.method == Method::kReserve) {
      EXPECT_EQ(handler_->m_bUnitReserved, c.result == S_OK ? TRUE : FALSE);
    }
    if (c.method == Method::kRelease) {
      // The command went out, so the unit counts as released whatever came back.
      EXPECT_EQ(handler_->m_bUnitReserved, FALSE);
    }
    TearDown();
  }
}

TEST_F(ExchangeTest, ReserveWritesItsWholeDialogue) {
  scansim::Config config;
  config.script.warming_up_reserves = 1;
  config.script.warmup_time = 30;
  UseSimulator(config);
  TakePort(Route::kDeviceMonitor);

  EXPECT_EQ(handler_->CallReserveUnit(), WIA_ERROR_WARMING_UP);

  // The dump shows the two little-endian words as the scanner meant them.
  const std::vector<std::string> expected = {
      "[STI]CSTIIOHandler::CallReserveUnit",
      "[QZ] sizeof(m_cmdReserveUnit)= 4,dwBytesWritten = 4, bResult = 1",
      "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Success",
      "[STI]CSTIIOHandler::CallReserveUnit =>CoReadFile Success",
      "[STI]response start code => A8",
      "[STI]response status code(0x00 is good) => 02",
      "[STI]response byMsgCode => 00",
      "[STI]response wMsgData => 8000",
      "[STI]response wWarmupTime => 1E",
      "[STI] WIA_ERROR_WARMING_UP Error",
  };
  EXPECT_EQ(harness::DebugLines(), expected) << harness::Show(harness::DebugLines());
  EXPECT_EQ(handler_->m_bUnitReserved, FALSE);
}

TEST_F(ExchangeTest, ObjectPositionWritesItsWholeDialogue) {
  TakePort(Route::kDirect);
  handler_->CallObjectPosition();  // no window set: the scanner refuses
  const std::vector<std::string> expected = {
      "[STI]CSTIIOHandler::CallObjectPosition => \t\t\t\tCoWriteFile / CoReadFile Success",
      "[STI]Start  Code\t=>0xA8",
      "[STI]Status Code\t=>0x02",
      "[STI]Msg Data\t\t=>0x00",
  };
  EXPECT_EQ(harness::DebugLines(), expected) << harness::Show(harness::DebugLines());
}

// A count that falls short ends the port cycle on the methods that check counts, before the call's
// own result is looked at; a call that fails after moving everything keeps the port and leaves the
// system's error code behind.
TEST_F(ExchangeTest, FailedAndShortTransfers) {
  constexpr DWORD kEarlier = 0xABCD;  // m_dwLastError before the call
  constexpr uint32_t kWriteError = 31;
  constexpr uint32_t kReadError = 1117;
  struct Case {
    Method method;
    Phase phase;
    Fault fault;
    HRESULT result;
    bool portKept;
    DWORD lastError;
    std::vector<std::string> lines;  // written in this order
  };
  const Case cases[] = {
      {Method::kReserve,
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       E_FAIL,
       false,
       kEarlier,
       {"[QZ] sizeof(m_cmdReserveUnit)= 4,dwBytesWritten = 0, bResult = 0", "[STI] I/O Error"}},
      {Method::kReserve,
       Phase::kWrite,
       Fault::ShortCount(3),
       E_FAIL,
       false,
       kEarlier,
       {"[QZ] sizeof(m_cmdReserveUnit)= 4,dwBytesWritten = 3, bResult = 1", "[STI] I/O Error"}},
      {Method::kReserve,
       Phase::kWrite,
       Fault::FailFullCount(kWriteError),
       E_NOTIMPL,
       true,
       kWriteError,
       {"[QZ] sizeof(m_cmdReserveUnit)= 4,dwBytesWritten = 4, bResult = 0",
        "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Fail", "[STI]Error Code => 31"}},
      {Method::kReserve, Phase::kRead, Fault::ShortCount(31), E_FAIL, false, kEarlier, {}},
      {Method::kReserve, Phase::kRead, Fault::FailZeroCount(kReadError), E_FAIL, false, kEarlier, {}},
      {Method::kReserve,
       Phase::kRead,
       Fault::FailFullCount(kReadError),
       E_NOTIMPL,
       true,
       kReadError,
       {"[STI]CSTIIOHandler::CallReserveUnit = > CoReadFile Fail", "[STI]Error code => 1117",
        "[STI]response start code => A8", "[STI]response wWarmupTime => 00"}},

      {Method::kRead,
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       E_FAIL,
       false,
       kEarlier,
       {"[STI]Writefile I/O Fail"}},
      {Method::kRead,
       Phase::kWrite,
       Fault::FailFullCount(kWriteError),
       E_FAIL,
       true,
       kWriteError,
       {"[STI]CSTIIOHandler::CallRead = > CoWriteFile Fail"}},
      {Method::kRead, Phase::kRead, Fault::ShortCount(16), E_FAIL, false, kEarlier, {"[STI]Readfile I/O Fail"}},
      {Method::kRead,
       Phase::kRead,
       Fault::FailFullCount(kReadError),
       E_FAIL,
       true,
       kReadError,
       {"[STI]CSTIIOHandler::CallRead = > CoReadFile Fail"}},

      // No counts are checked here: every failure is a failed call and the port stays.
      {Method::kRelease,
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       E_NOTIMPL,
       true,
       kWriteError,
       {"[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Fail"}},
      {Method::kRelease,
       Phase::kRead,
       Fault::FailZeroCount(kReadError),
       E_NOTIMPL,
       true,
       kReadError,
       {"[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Success",
        "[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Fail"}},
      {Method::kObjectPosition,
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       E_NOTIMPL,
       true,
       kWriteError,
       {"[STI]CSTIIOHandler::CallObjectPosition = > CoWriteFile Fail"}},
      {Method::kObjectPosition,
       Phase::kRead,
       Fault::FailFullCount(kReadError),
       E_NOTIMPL,
       true,
       kReadError,
       {"[STI]CSTIIOHandler::CallObjectPosition =>CoReadFile Fail"}},
      {Method::kAbort,
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       S_OK,
       true,
       kWriteError,
       {"[STI]CSTIIOHandler::CallAbort => CoWriteFile Fail,Error Code =>31"}},
      {Method::kAbort,
       Phase::kRead,
       Fault::FailZeroCount(kReadError),
       S_OK,
       true,
       kReadError,
       {"[STI]CSTIIOHandler::CallAbort => CoWriteFile Success", "[STI]CSTIIOHandler::CallAbort => CoReadFile Fail"}},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ", " << MethodName(c.method) << ", "
                                        << (c.phase == Phase::kWrite ? "write" : "read") << " fault "
                                        << static_cast<int>(c.fault.kind));
      SetUp();
      TakePort(route);
      handler_->m_dwLastError = kEarlier;
      handler_->m_bUnitReserved = TRUE;
      record_.fill(0xEE);
      SpoilNext(c.phase, c.fault);
      const uint32_t callsBefore = faults_.Calls();

      EXPECT_EQ(Run(c.method), c.result);

      EXPECT_EQ(PortHeld(route), c.portKept);
      EXPECT_EQ(handler_->m_dwLastError, c.lastError);
      const auto lines = harness::DebugLines();
      EXPECT_TRUE(InOrder(lines, c.lines)) << harness::Show(lines);
      // Nothing more crosses the port after a failure, and a failed read hands nothing to the caller.
      EXPECT_EQ(faults_.Calls() - callsBefore, c.phase == Phase::kWrite ? 1u : 2u);
      if (c.method == Method::kRead) {
        EXPECT_EQ(record_[0], 0xEE);
      }
      if (c.method == Method::kRelease) {
        EXPECT_EQ(handler_->m_bUnitReserved, c.phase == Phase::kWrite ? TRUE : FALSE);
      } else {
        EXPECT_EQ(handler_->m_bUnitReserved, TRUE);
      }
      TearDown();
    }
  }
}

// The device-monitor route calls only entry points the module in force has handed out: none once the
// port cycle has ended and the module is freed, and no DeviceRead from a module that lacks it. Such a
// transfer fails as one that moved nothing.
TEST_F(ExchangeTest, NoCallThroughAMissingEntryPoint) {
  constexpr DWORD kEarlier = 0xABCD;
  struct Case {
    Method method;
    HRESULT result;
    DWORD lastError;  // m_dwLastError afterwards
  };
  // A read that moved nothing is a short read, and a write that moved nothing a short write, on the
  // methods that check counts; on the others it is a failed call.
  const Case cases[] = {
      {Method::kReserve, E_FAIL, kEarlier},
      {Method::kRead, E_FAIL, kEarlier},
      {Method::kRelease, E_NOTIMPL, ERROR_INVALID_HANDLE},
      {Method::kObjectPosition, E_NOTIMPL, ERROR_INVALID_HANDLE},
      {Method::kAbort, S_OK, ERROR_INVALID_HANDLE},
  };
  for (bool moduleFreed : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << MethodName(c.method)
                                        << (moduleFreed ? ", module freed" : ", module without DeviceRead"));
      SetUp();
      if (moduleFreed) {
        TakePort(Route::kDeviceMonitor);
        ASSERT_EQ(handler_->CallReserveUnit(), S_OK);
        // A status query during the scan ends the cycle and frees the module.
        STI_DEVICE_STATUS status = {};
        status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
        ASSERT_EQ(handler_->GetStatus(&status), S_OK);
        ASSERT_TRUE(harness::ModuleReleasedByLibrary("prtmon64.dll"));
        ForgetCalls();
      } else {
        harness::DeviceMonitor().SetAbsent(doubles::EntryPoint::DeviceRead, true);
        ASSERT_TRUE(harness::ApplyAbsentEntryPoints());
        TakePort(Route::kDeviceMonitor);
      }
      handler_->m_dwLastError = kEarlier;

      EXPECT_EQ(Run(c.method), c.result);

      EXPECT_EQ(harness::DeviceMonitor().CallCount(doubles::EntryPoint::DeviceRead), 0u);
      EXPECT_EQ(harness::DeviceMonitor().CallCount(doubles::EntryPoint::DeviceWrite), moduleFreed ? 0u : 1u);
      EXPECT_EQ(Sim().CommandOpcodes().size(), moduleFreed ? 0u : 1u);
      EXPECT_EQ(handler_->m_dwLastError, c.lastError);
      TearDown();
    }
  }
}

}  // namespace
}  // namespace protocoltest
