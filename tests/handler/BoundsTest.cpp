// Copies inside the handler that no export can drive to their limits today: the set-window command
// header and an announced block. Each must write exactly what it copies and nothing past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/HandlerAccess.h"
#include "support/Harness.h"

namespace {

using Access = CSTIIOHandlerTestAccess;

TEST(Bounds, SetWindowKeepsTheBytesAfterTheCommandHeader) {
  auto handler = std::make_unique<CSTIIOHandler>(FALSE);
  SWP_PARAMETER window;
  std::memset(&window, 0xEE, sizeof(window));
  window.byResolutionCode = 0;
  window.dwWindowWidth = 64;  // a window that fits 32-bit units is built before it is sent
  window.dwWindowHeight = 40;
  Access::Window(*handler) = window;
  // No port is open: the command fails at its write, after the header and sizes are filled in.
  CSTIIOHandlerTestAccess::CallSetWindowParameter(*handler);
  EXPECT_EQ(Access::Window(*handler).byHeader[0], COMMAND_ESCAPE);
  for (BYTE padding : Access::Window(*handler).byPadding) {
    EXPECT_EQ(padding, 0xEE);
  }
}

// The scanner's answers for the announcement test: every write goes out whole, every read gets g_answer.
BYTE g_answer[32];
BOOL WINAPI WriteWhole(LPCVOID, DWORD dwLength, LPDWORD lpdwWritten) {
  *lpdwWritten = dwLength;
  return TRUE;
}
BOOL WINAPI ReadAnswer(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  *lpdwRead = std::min<DWORD>(dwLength, sizeof(g_answer));
  std::memcpy(lpBuffer, g_answer, *lpdwRead);
  return TRUE;
}

// A block announced beyond what the window can produce (6 bytes a pixel and the trailer), or beyond
// 256 MiB before any window, is a failed read: the caller's record is left alone and nothing is kept to
// allocate. The simulator announces only what it scans, so the answers come from a stand-in here.
TEST(Bounds, AnnouncedBlockBeyondTheWindowIsAFailedRead) {
  struct Case {
    DWORD height;  // of a window 64 pixels wide at 300 dpi taken first; 0: none
    DWORD size;
    HRESULT expected;
  } const cases[] = {
      {0, 256u << 20, S_OK},
      {0, (256u << 20) + 1, E_FAIL},
      {0, 0xFFFFFFFF, E_FAIL},
      {40, 15376, S_OK},
      {40, 15377, E_FAIL},
      // Its pixels at 6 bytes and the trailer come to 144 bytes past 32 bits: the bound is the most a
      // record can announce, not 144.
      {11184811, 0xFFFFFFFF, S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    Access::DeviceWrite(*handler) = WriteWhole;
    Access::DeviceRead(*handler) = ReadAnswer;
    std::memset(g_answer, 0, sizeof(g_answer));
    g_answer[0] = COMMAND_PREFIX;
    if (c.height != 0) {
      Access::Window(*handler).dwWindowWidth = 64;
      Access::Window(*handler).dwWindowHeight = c.height;
      Access::Window(*handler).byResolutionCode = 5;
      ASSERT_EQ(CSTIIOHandlerTestAccess::CallSetWindowParameter(*handler), S_OK);
    }
    g_answer[3] = 0x80;
    for (int i = 0; i < 4; ++i) {
      g_answer[4 + i] = static_cast<BYTE>(c.size >> (24 - 8 * i));
    }
    READ_RESPONSE record;
    std::memset(&record, 0xEE, sizeof(record));
    harness::ClearDebugLines();

    EXPECT_EQ(CSTIIOHandlerTestAccess::CallRead(*handler, &record), c.expected);

    const std::vector<std::string> lines = harness::DebugLines();
    const bool refused = c.expected == E_FAIL;
    EXPECT_EQ(lines.back() == "[STI]Announced block of " + std::to_string(c.size) + " bytes is more than the " +
                                  (c.height != 0 ? "15376" : "268435456") + " the window can produce; refused",
              refused)
        << lines.back();
    EXPECT_EQ(record.byStartCode == 0xEE, refused);
    EXPECT_EQ(Access::AnnouncedBlock(*handler), refused ? 0 : c.size);
  }
}

// The identification texts end at their terminator: bytes of the answer after it do not reach the
// record, whose fields are zero from there to their end.
TEST(Bounds, IdentificationTextsStopAtTheirTerminator) {
  INQUIRY_RESPONSE response = {};
  std::memcpy(response.byVendorID, "AB\0XYZUV", sizeof(response.byVendorID));
  std::memcpy(response.byProductID, "CD\0QRSTUVWXYZ123", sizeof(response.byProductID));
  response.byUnused28[0] = 'E';
  auto handler = std::make_unique<CSTIIOHandler>(FALSE);
  std::memset(Access::DeviceInfo(*handler).szVendorID, 'v', sizeof(Access::DeviceInfo(*handler).szVendorID));
  std::memset(Access::DeviceInfo(*handler).szProductID, 'p', sizeof(Access::DeviceInfo(*handler).szProductID));

  ASSERT_EQ(CSTIIOHandlerTestAccess::ChangeDeviceInfoFormat(*handler, &response), S_OK);

  const SCAN_DEVICE_INFO& info = Access::DeviceInfo(*handler);
  EXPECT_EQ(std::string(info.szVendorID, sizeof(info.szVendorID)), std::string("AB\0\0\0\0\0\0", 8));
  EXPECT_EQ(std::string(info.szProductID, sizeof(info.szProductID)), std::string("CD") + std::string(18, '\0'));
}

// The extended error text reaches the caller terminated: a text that fills the handler's field is cut
// one unit short of it, and a vendor error past the table gives no text.
TEST(Bounds, ExtendedErrorTextIsTerminated) {
  const struct {
    DWORD vendorError;
    size_t length;
    size_t copied;
  } cases[] = {{0, 10, 10}, {0, EXTENDED_ERROR_TEXT_SIZE, EXTENDED_ERROR_TEXT_SIZE - 1}, {EXTENDED_ERROR_TEXTS, 10, 0}};
  for (const auto& c : cases) {
    auto handler = std::make_unique<CSTIIOHandler>(FALSE);
    Access::VendorError(*handler) = c.vendorError;
    std::fill_n(Access::ExtendedErrorText(*handler), c.length, WCHAR{'x'});
    STI_ERROR_INFO info;
    std::memset(&info, 0xAA, sizeof(info));
    ASSERT_EQ(handler->GetLastErrorInfo(&info), S_OK);
    size_t length = 0;
    while (length < std::size(info.szExtendedErrorText) && info.szExtendedErrorText[length] != 0) {
      ++length;
    }
    EXPECT_EQ(length, c.copied) << "vendor error " << c.vendorError << ", a text of " << c.length;
  }
}

}  // namespace
