// The still-image operations besides the escape: notification, capabilities, error reporting, lock and
// reset, and the raw transfers, with the scanner simulator behind the port.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/DeviceFixture.h"

namespace devicetest {
namespace {

using Operation = doubles::UsbscanDevice::Operation;
using scansim::Fault;

class OperationsTest : public DeviceFixture {
 protected:
  // Opens the port on the direct route, as a port cycle on that route leaves it.
  std::shared_ptr<doubles::UsbscanDevice> OpenDirectPort() {
    auto device = Plug(0);
    Settle(Route::kDirect);
    EXPECT_EQ(handler_->OpenPort_usbscan(), S_OK);
    device->ClearCalls();
    harness::ClearDebugLines();
    return device;
  }
};

TEST_F(OperationsTest, ANullEventCancelsPortIoAndKeepsTheEvent) {
  enum class Port { kNone, kOpen, kNotFound };
  struct Case {
    const char* what;
    HANDLE event;
    Port port;
    size_t cancels;  // CancelIo calls, whether they succeed or not
    std::vector<std::string> lines;
  };
  const std::string entry = "[STI]CSTIIOHandler::SetNotificationHandle";
  const std::string none = "[STI SetNotificationHandle]Null Event Handle Pointer is received";
  const Case cases[] = {
      {"null, no port", nullptr, Port::kNone, 0, {entry, none}},
      {"invalid handle, no port", INVALID_HANDLE_VALUE, Port::kNone, 0, {entry, none}},
      {"null, port open", nullptr, Port::kOpen, 1, {entry, none}},
      {"invalid handle, port open", INVALID_HANDLE_VALUE, Port::kOpen, 1, {entry, none}},
      // A search that found nothing leaves an invalid handle, on which the cancel fails.
      {"null, no port found", nullptr, Port::kNotFound, 1, {entry, none, "[STI]Calcel IO Fail, Error Code => 6"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    std::shared_ptr<doubles::UsbscanDevice> device;
    if (c.port == Port::kOpen) {
      device = OpenDirectPort();
    } else if (c.port == Port::kNotFound) {
      Settle(Route::kDirect);
      ASSERT_EQ(handler_->OpenPort_usbscan(), E_FAIL);
    }
    HANDLE stored = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(handler_->SetNotificationHandle(stored), S_OK);
    handler_->m_guidEvent.Data1 = 0x12345678;
    winplat::ResetDeviceCalls();
    harness::ClearDebugLines();

    EXPECT_EQ(handler_->SetNotificationHandle(c.event), S_OK);

    EXPECT_EQ(winplat::DeviceCalls().cancels, c.cancels);
    if (device) {
      EXPECT_EQ(device->CallCount(Operation::Cancel), c.cancels);
    }
    EXPECT_EQ(harness::DebugLines(), c.lines) << harness::Show(harness::DebugLines());
    EXPECT_EQ(handler_->m_Overlapped.hEvent, stored);
    EXPECT_EQ(handler_->m_guidEvent.Data1, 0x12345678u) << "a pending code survives";
    CloseHandle(stored);
  }
}

TEST_F(OperationsTest, AnEventIsStoredAndClearsWhatWasPending) {
  AttachLog();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::memset(&handler_->m_Overlapped, 0x5A, sizeof(handler_->m_Overlapped));
  std::memset(handler_->m_abNotifyBuffer, 0x5A, sizeof(handler_->m_abNotifyBuffer));
  handler_->m_guidEvent.Data1 = 0x12345678;

  EXPECT_EQ(handler_->SetNotificationHandle(event), S_OK);

  OVERLAPPED expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.hEvent = event;
  EXPECT_EQ(std::memcmp(&handler_->m_Overlapped, &expected, sizeof(expected)), 0);
  EXPECT_EQ(std::vector<BYTE>(std::begin(handler_->m_abNotifyBuffer), std::end(handler_->m_abNotifyBuffer)),
            std::vector<BYTE>(sizeof(handler_->m_abNotifyBuffer), 0));
  const GUID none = {};
  EXPECT_EQ(std::memcmp(&handler_->m_guidEvent, &none, sizeof(GUID)), 0);
  EXPECT_EQ(harness::DebugLines(),
            (std::vector<std::string>{"[STI]CSTIIOHandler::SetNotificationHandle",
                                      "[STI SetNotificationHandle]Valid Event Handle Pointer is received"}));
  const std::vector<LogEntry> single = log_.Single();
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].flags, 2);
  EXPECT_EQ(single[0].detail, 0);
  EXPECT_EQ(single[0].text,
            "SetNotificationHandle, hEvent = " + std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(event))));
  EXPECT_EQ(log_.entries.front().text, "CSTIIOHandler::SetNotificationHandle, entering");
  EXPECT_EQ(log_.entries.back().text, "CSTIIOHandler::SetNotificationHandle, leaving");
  CloseHandle(event);
}

TEST_F(OperationsTest, NotificationDataIsDeliveredOnce) {
  STINOTIFY record;
  std::memset(&record, 0xCD, sizeof(record));
  const STINOTIFY untouched = record;

  EXPECT_EQ(handler_->GetNotificationData(nullptr), E_INVALIDARG);
  EXPECT_EQ(handler_->GetNotificationData(&record), STI_NO_EVENT);
  EXPECT_EQ(std::memcmp(&record, &untouched, sizeof(record)), 0);

  // Nothing in the handler raises an event; one that is pending is handed over once.
  const GUID code = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
  handler_->m_guidEvent = code;
  harness::ClearDebugLines();
  EXPECT_EQ(handler_->GetNotificationData(&record), S_OK);
  EXPECT_EQ(record.dwSize, 84u);
  EXPECT_EQ(std::memcmp(&record.guidNotificationCode, &code, sizeof(GUID)), 0);
  EXPECT_EQ(std::vector<BYTE>(std::begin(record.abNotificationData), std::end(record.abNotificationData)),
            std::vector<BYTE>(MAX_NOTIFICATION_DATA, 0));
  EXPECT_EQ(harness::DebugLines(),
            (std::vector<std::string>{"[STI]CSTIIOHandler::GetNotificationData", "[STI]Event Reset!!!"}));

  harness::ClearDebugLines();
  EXPECT_EQ(handler_->GetNotificationData(&record), STI_NO_EVENT);
  EXPECT_EQ(harness::DebugLines(),
            (std::vector<std::string>{"[STI]CSTIIOHandler::GetNotificationData", "[STI]No Event!!!"}));
}

TEST_F(OperationsTest, OperationsWithFixedAnswers) {
  BYTE buffer[16] = {};
  DWORD count = sizeof(buffer);
  struct Case {
    const char* name;
    std::function<HRESULT(CSTIIOHandler&)> call;
    HRESULT expected;
  };
  const Case cases[] = {
      {"DeviceReset", [](CSTIIOHandler& h) { return h.DeviceReset(); }, E_NOTIMPL},
      {"LockDevice", [](CSTIIOHandler& h) { return h.LockDevice(); }, S_OK},
      {"UnLockDevice", [](CSTIIOHandler& h) { return h.UnLockDevice(); }, S_OK},
      {"RawReadCommand", [&](CSTIIOHandler& h) { return h.RawReadCommand(buffer, &count, nullptr); }, E_NOTIMPL},
      {"RawReadCommand", [](CSTIIOHandler& h) { return h.RawReadCommand(nullptr, nullptr, nullptr); }, E_NOTIMPL},
      {"RawWriteCommand", [&](CSTIIOHandler& h) { return h.RawWriteCommand(buffer, count, nullptr); }, E_NOTIMPL},
      {"RawWriteCommand", [](CSTIIOHandler& h) { return h.RawWriteCommand(nullptr, 0, nullptr); }, E_NOTIMPL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    auto device = OpenDirectPort();
    AttachLog();
    EXPECT_EQ(c.call(*handler_), c.expected);
    // Traced, silent on the debugger channel, and the scanner is not touched.
    const std::string name = std::string("CSTIIOHandler::") + c.name;
    ASSERT_EQ(log_.entries.size(), 2u);
    EXPECT_EQ(log_.entries[0].text, name + ", entering");
    EXPECT_EQ(log_.entries[1].text, name + ", leaving");
    EXPECT_TRUE(harness::DebugLines().empty());
    EXPECT_TRUE(device->Calls().empty());
    EXPECT_TRUE(sim_->Log().empty());
  }
}

TEST_F(OperationsTest, CapabilitiesAndErrorReports) {
  AttachLog();
  STI_USD_CAPS caps = {0xFFFF, 0xFFFF};
  EXPECT_EQ(handler_->GetCapabilities(&caps), S_OK);
  EXPECT_EQ(caps.dwVersion, 2u);
  EXPECT_EQ(caps.dwGenericCaps, 0x11u);
  EXPECT_TRUE(log_.Single().empty());

  harness::ClearDebugLines();
  EXPECT_EQ(handler_->GetCapabilities(nullptr), E_INVALIDARG);
  EXPECT_EQ(
      harness::DebugLines(),
      (std::vector<std::string>{"[STI]CSTIIOHandler::GetCapabilities",
                                "[STI]CSTIIOHandler::GetCapabilities ==> \t\t\t\t\t\t\tInvalid Parameter Error"}));
  ASSERT_EQ(log_.Single().size(), 1u);
  EXPECT_EQ(log_.Single()[0].flags, 4);
  EXPECT_EQ(log_.Single()[0].text, "CSTIIOHandler::GetCapabilities, NULL parameter");
  EXPECT_EQ(log_.entries.back().text, "CSTIIOHandler::GetCapabilities, leaving");

  // The last error of a port call is kept but never reported.
  handler_->m_dwLastError = 1167;
  DWORD last = 0xDEADBEEF;
  EXPECT_EQ(handler_->GetLastError(nullptr), E_INVALIDARG);
  EXPECT_EQ(handler_->GetLastError(&last), S_OK);
  EXPECT_EQ(last, 0xDEADBEEFu);
}

TEST_F(OperationsTest, ExtendedErrorInformation) {
  struct Case {
    const char* what;
    DWORD vendorError;
    std::u16string table;  // entry 0 of the table; may fill it to the last unit without a terminator
    std::u16string expected;
  };
  const Case cases[] = {
      {"empty table", 0, u"", u""},
      {"a text", 0, u"Lamp failure", u"Lamp failure"},
      {"a full entry is cut to stay terminated", 0, std::u16string(EXTENDED_ERROR_TEXT_SIZE, u'x'),
       std::u16string(254, u'x')},
      {"a vendor error past the table", 3, u"Lamp failure", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    std::memset(handler_->m_szExtendedErrorText, 0, sizeof(handler_->m_szExtendedErrorText));
    std::memcpy(handler_->m_szExtendedErrorText[0], c.table.data(), c.table.size() * sizeof(WCHAR));
    handler_->m_dwVendorError = c.vendorError;
    STI_ERROR_INFO info;
    std::memset(&info, 0xCD, sizeof(info));

    EXPECT_EQ(handler_->GetLastErrorInfo(&info), S_OK);

    EXPECT_EQ(info.dwSize, 0xCDCDCDCDu);
    EXPECT_EQ(info.dwGenericError, 0xCDCDCDCDu);
    EXPECT_EQ(info.dwVendorError, c.vendorError);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.szExtendedErrorText)), c.expected);
  }
  EXPECT_EQ(handler_->GetLastErrorInfo(nullptr), E_INVALIDARG);
}

TEST_F(OperationsTest, RawDataTransfers) {
  enum class Call { kWrite, kRead, kWriteNull, kReadNullBuffer, kReadNullCount };
  struct Case {
    const char* what;
    Route route;
    Call call;
    bool spoil;
    HRESULT expected;
    DWORD lastError;                           // m_dwLastError afterwards (it starts at 7)
    DWORD count;                               // the count afterwards: a read reports the bytes that arrived
    Fault fault = Fault::FailZeroCount(1167);  // ERROR_DEVICE_NOT_CONNECTED
  };
  const Case cases[] = {
      {"write, direct", Route::kDirect, Call::kWrite, false, S_OK, 7, 32},
      {"write, monitor", Route::kDeviceMonitor, Call::kWrite, false, S_OK, 7, 32},
      {"read, direct", Route::kDirect, Call::kRead, false, S_OK, 7, 32},
      {"read, monitor", Route::kDeviceMonitor, Call::kRead, false, S_OK, 7, 32},
      {"short read, direct", Route::kDirect, Call::kRead, true, S_OK, 7, 9, Fault::ShortCount(9)},
      {"short read, monitor", Route::kDeviceMonitor, Call::kRead, true, S_OK, 7, 9, Fault::ShortCount(9)},
      {"write refused, direct", Route::kDirect, Call::kWrite, true, E_NOTIMPL, 1167, 32},
      {"write refused, monitor", Route::kDeviceMonitor, Call::kWrite, true, E_NOTIMPL, 1167, 32},
      {"read refused, direct", Route::kDirect, Call::kRead, true, E_NOTIMPL, 1167, 0},
      {"read refused, monitor", Route::kDeviceMonitor, Call::kRead, true, E_NOTIMPL, 1167, 0},
      {"write without data", Route::kDirect, Call::kWriteNull, false, E_INVALIDARG, 7, 32},
      {"read without a buffer", Route::kDeviceMonitor, Call::kReadNullBuffer, false, E_INVALIDARG, 7, 32},
      {"read without a count", Route::kDirect, Call::kReadNullCount, false, E_INVALIDARG, 7, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Plug(0);
    Settle(c.route);
    ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK);
    BYTE reserve[4] = {0x1B, 0xA8, 0x16, 0x00};
    if (c.call == Call::kRead || c.call == Call::kReadNullBuffer || c.call == Call::kReadNullCount) {
      // Something for the read to fetch.
      ASSERT_EQ(handler_->RawWriteData(reserve, sizeof(reserve), nullptr), S_OK);
    }
    ForgetCalls();
    handler_->m_dwLastError = 7;
    const uint32_t portCallsBefore = faults_->Calls();
    if (c.spoil) {
      faults_->AtCall(faults_->Calls() + 1, c.fault);
    }
    BYTE response[32];
    std::memset(response, 0, sizeof(response));
    DWORD count = sizeof(response);

    HRESULT hr = S_FALSE;
    switch (c.call) {
      case Call::kWrite:
        hr = handler_->RawWriteData(reserve, sizeof(reserve), nullptr);
        break;
      case Call::kRead:
        hr = handler_->RawReadData(response, &count, nullptr);
        break;
      case Call::kWriteNull:
        hr = handler_->RawWriteData(nullptr, 4, nullptr);
        break;
      case Call::kReadNullBuffer:
        hr = handler_->RawReadData(nullptr, &count, nullptr);
        break;
      case Call::kReadNullCount:
        hr = handler_->RawReadData(response, nullptr, nullptr);
        break;
    }

    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(handler_->m_dwLastError, c.lastError);
    EXPECT_EQ(count, c.count);
    const size_t transfers = sim_->Log().size();
    if (c.expected == E_INVALIDARG) {
      EXPECT_EQ(faults_->Calls(), portCallsBefore);
    } else if (!c.spoil) {
      EXPECT_EQ(transfers, 1u);
      if (c.call == Call::kRead) {
        EXPECT_EQ(response[0], 0xA8);
      } else {
        EXPECT_EQ(sim_->CommandOpcodes(), std::vector<uint8_t>{0x16});
      }
    }

    if (c.spoil && c.expected != S_OK) {
      // A later transfer that goes through does not clear the error.
      EXPECT_EQ(handler_->RawWriteData(reserve, sizeof(reserve), nullptr), S_OK);
      EXPECT_EQ(handler_->m_dwLastError, 1167u);
    }
    handler_->CloseDevice();
  }
}

}  // namespace
}  // namespace devicetest
