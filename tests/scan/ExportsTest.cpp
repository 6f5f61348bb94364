// The exports hand back their methods' results unchanged, the positive protocol results included, and
// the exports besides the escape answer as the minidriver and the imaging service expect.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "scan/ScanSession.h"

namespace scantest {
namespace {

using doubles::EntryPoint;
using scansim::ImageType;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Exports : public ScanOnRoute {};

TEST_P(Exports, PositiveResultsReachTheCallerUnchanged) {
  struct Case {
    const char* what;
    bool refusePort;
    std::function<HRESULT()> call;
    HRESULT expected;
  };
  READ_RESPONSE response;
  const Case cases[] = {
      {"reserve, port refused", true, [&] { return Reserve(); }, PORT_ACQUIRE_FAIL},
      {"device information, port refused", true,
       [&] {
         SCAN_DEVICE_INFO info;
         return GetDeviceInfo(&info);
       },
       PORT_ACQUIRE_FAIL},
      {"status, port refused", true,
       [&] {
         STI_DEVICE_STATUS status = {};
         status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
         const HRESULT hr = Lib().GetStatus(&status);
         EXPECT_EQ(status.dwOnlineState, static_cast<DWORD>(STI_ONLINESTATE_OFFLINE)) << "not online";
         return hr;
       },
       PORT_ACQUIRE_FAIL},
      {"diagnostic, port refused", true,
       [&] {
         STI_DIAG diag = {};
         return Lib().Diagnostic(&diag);
       },
       PORT_ACQUIRE_FAIL},
      {"read before a reserve", false, [&] { return Read(&response); }, DEVICE_UNLOCKED},
      {"read image before a reserve", false,
       [&] {
         BYTE block[64];
         DWORD actual = 0;
         return Escape(ESC_READ_IMAGE, nullptr, 0, block, sizeof(block), &actual);
       },
       DEVICE_UNLOCKED},
      {"read of a page's only block", false,
       [&] {
         EXPECT_EQ(Reserve(), S_OK);
         EXPECT_EQ(SetWindow(Window(32, 8, 0, ImageType::kGrey, scansim::kSourceFlatbed)), S_OK);
         EXPECT_EQ(ObjectPosition(), S_OK);
         return Read(&response);
       },
       PAGE_END},
      {"object position, feeder empty", false,
       [&] {
         EXPECT_EQ(Reserve(), S_OK);
         EXPECT_EQ(SetWindow(Window(32, 8, 0, ImageType::kGrey, scansim::kSourceFeederFront)), S_OK);
         return ObjectPosition();
       },
       ADF_NO_DOCUMENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    Contention().SetAcquireAnswer(!c.refusePort);
    EXPECT_EQ(c.call(), c.expected);
    if (c.refusePort) {
      EXPECT_TRUE(Sim().Log().empty()) << "nothing is sent without the port";
      EXPECT_TRUE(Contains(harness::DebugLines(), "[STI] Port Acquire Fail")) << harness::Show(harness::DebugLines());
      EXPECT_EQ(Contention().CallCount(EntryPoint::DeviceOpen), 0u);
    }
  }
}

TEST_P(Exports, OperationsBesideTheEscapeAnswerAsTheirMethods) {
  const bool direct = route() == Route::kDirect;
  const BYTE inquiry[4] = {0x1B, 0xA8, scansim::kOpInquiry, 0x00};
  struct Case {
    const char* what;
    bool reserveFirst;  // inside a port cycle
    std::function<HRESULT()> call;
    HRESULT expected;
    std::vector<uint8_t> commands;  // what reaches the scanner
  };
  const Case cases[] = {
      {"capabilities",
       false,
       [&] {
         STI_USD_CAPS caps = {0xEEEE, 0xEEEE};
         const HRESULT hr = Lib().GetCapabilities(&caps);
         EXPECT_EQ(caps.dwVersion, 2u);
         EXPECT_EQ(caps.dwGenericCaps, static_cast<DWORD>(STI_GENCAP_NOTIFICATIONS | STI_GENCAP_WIA));
         return hr;
       },
       S_OK,
       {}},
      {"capabilities without a structure", false, [&] { return Lib().GetCapabilities(nullptr); }, E_INVALIDARG, {}},
      {"last error",
       false,
       [&] {
         DWORD error = 0xABCD;
         const HRESULT hr = Lib().STIGetLastError(&error);
         EXPECT_EQ(error, 0xABCDu) << "left as it was";
         return hr;
       },
       S_OK,
       {}},
      {"last error without a pointer", false, [&] { return Lib().STIGetLastError(nullptr); }, E_INVALIDARG, {}},
      {"extended error information",
       false,
       [&] {
         STI_ERROR_INFO info;
         std::memset(&info, 0x5A, sizeof(info));
         const HRESULT hr = Lib().GetLastErrorInfo(&info);
         EXPECT_EQ(info.dwVendorError, 0u);
         EXPECT_EQ(info.szExtendedErrorText[0], 0) << "an empty text";
         EXPECT_EQ(info.dwSize, 0x5A5A5A5Au) << "untouched";
         EXPECT_EQ(info.dwGenericError, 0x5A5A5A5Au) << "untouched";
         return hr;
       },
       S_OK,
       {}},
      {"extended error information without a structure",
       false,
       [&] { return Lib().GetLastErrorInfo(nullptr); },
       E_INVALIDARG,
       {}},
      {"reset", false, [&] { return Lib().DeviceReset(); }, E_NOTIMPL, {}},
      {"lock", true, [&] { return Lib().LockDevice(); }, S_OK, {}},
      {"unlock", true, [&] { return Lib().UnLockDevice(); }, S_OK, {}},
      {"raw read command",
       true,
       [&] {
         BYTE buffer[32];
         DWORD size = sizeof(buffer);
         return Lib().RawReadCommand(buffer, &size, nullptr);
       },
       E_NOTIMPL,
       {}},
      {"raw write command",
       true,
       [&] { return Lib().RawWriteCommand(const_cast<BYTE*>(inquiry), sizeof(inquiry), nullptr); },
       E_NOTIMPL,
       {}},
      {"raw write and read of an inquiry during a scan",
       true,
       [&] {
         EXPECT_EQ(Lib().RawWriteData(const_cast<BYTE*>(inquiry), sizeof(inquiry), nullptr), S_OK);
         BYTE answer[scansim::kInquiryResponseSize] = {};
         DWORD size = sizeof(answer);
         const HRESULT hr = Lib().RawReadData(answer, &size, nullptr);
         EXPECT_EQ(size, sizeof(answer)) << "the count asked for";
         EXPECT_EQ(answer[0], 0xA8);
         EXPECT_EQ(std::string(reinterpret_cast<char*>(answer + scansim::kInqVendor), 7), "SCANSIM");
         return hr;
       },
       S_OK,
       {scansim::kOpInquiry}},
      {"raw read with no answer waiting",
       true,
       [&] {
         BYTE answer[32];
         DWORD size = sizeof(answer);
         return Lib().RawReadData(answer, &size, nullptr);
       },
       E_NOTIMPL,
       {}},
      {"raw read without a count",
       true,
       [&] {
         BYTE answer[32];
         return Lib().RawReadData(answer, nullptr, nullptr);
       },
       E_INVALIDARG,
       {}},
      {"raw write without a buffer", true, [&] { return Lib().RawWriteData(nullptr, 4, nullptr); }, E_INVALIDARG, {}},
      // Outside a port cycle the device monitor's module is gone; a directly opened port stays open.
      {"raw write between port cycles", false,
       [&] { return Lib().RawWriteData(const_cast<BYTE*>(inquiry), sizeof(inquiry), nullptr); },
       direct ? S_OK : E_NOTIMPL, direct ? std::vector<uint8_t>{scansim::kOpInquiry} : std::vector<uint8_t>{}},
      {"notification event, then no event pending",
       false,
       [&] {
         HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
         EXPECT_NE(event, nullptr);
         EXPECT_EQ(Lib().SetNotificationHandle(event), S_OK);
         STINOTIFY notify;
         std::memset(&notify, 0xCD, sizeof(notify));
         const HRESULT hr = Lib().GetNotificationData(&notify);
         EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<BYTE*>(&notify), reinterpret_cast<BYTE*>(&notify + 1)),
                   std::vector<BYTE>(sizeof(notify), 0xCD))
             << "the record is left as it was";
         EXPECT_TRUE(Contains(harness::DebugLines(), "[STI]No Event!!!"));
         CloseHandle(event);
         return hr;
       },
       static_cast<HRESULT>(0x80070103),
       {}},
      {"notification without a record", false, [&] { return Lib().GetNotificationData(nullptr); }, E_INVALIDARG, {}},
      {"no notification event",
       true,
       [&] {
         EXPECT_EQ(Lib().SetNotificationHandle(INVALID_HANDLE_VALUE), S_OK);
         return Lib().SetNotificationHandle(nullptr);
       },
       S_OK,
       {}},
      {"online state",
       false,
       [&] {
         STI_DEVICE_STATUS status = {};
         status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
         const HRESULT hr = Lib().GetStatus(&status);
         EXPECT_EQ(status.dwOnlineState, static_cast<DWORD>(STI_ONLINESTATE_OFFLINE | STI_ONLINESTATE_OPERATIONAL));
         EXPECT_EQ(Contention().CallCount(EntryPoint::PortAcquire), 1u);
         return hr;
       },
       S_OK,
       {}},
      {"event state only",
       false,
       [&] {
         STI_DEVICE_STATUS status = {};
         status.StatusMask = STI_DEVSTATUS_EVENTS_STATE;
         status.dwOnlineState = 0x77;
         const HRESULT hr = Lib().GetStatus(&status);
         EXPECT_EQ(status.dwOnlineState, 0x77u) << "not answered";
         EXPECT_EQ(Contention().CallCount(), 0u) << "the port is not touched";
         return hr;
       },
       S_OK,
       {}},
      {"diagnostic",
       false,
       [&] {
         STI_DIAG diag;
         std::memset(&diag, 0x3C, sizeof(diag));
         const HRESULT hr = Lib().Diagnostic(&diag);
         EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<BYTE*>(&diag), reinterpret_cast<BYTE*>(&diag + 1)),
                   std::vector<BYTE>(sizeof(diag), 0x3C));
         EXPECT_EQ(Contention().CallCount(EntryPoint::PortAcquire), 1u);
         return hr;
       },
       S_OK,
       {}},
      {"diagnostic without a structure", false, [&] { return Lib().Diagnostic(nullptr); }, E_INVALIDARG, {}},
      {"unknown escape", true, [&] { return Escape(0x4000); }, E_NOTIMPL, {}},
      {"memory given back during a scan",
       true,
       [&] {
         const HRESULT hr = Lib().DeleteMemory();
         EXPECT_FALSE(Contention().Held()) << "the port cycle ends";
         return hr;
       },
       S_OK,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    if (c.reserveFirst) {
      ASSERT_EQ(Reserve(), S_OK);
      ForgetCalls();
    }
    EXPECT_EQ(c.call(), c.expected);
    EXPECT_EQ(Sim().CommandOpcodes(), c.commands);
    EXPECT_FALSE(Contention().Held() && !c.reserveFirst) << "only a scan holds the port";
  }
}

INSTANTIATE_ON_BOTH_ROUTES(Exports);

}  // namespace
}  // namespace scantest
