// GET_DEVICE_INFO as the minidriver sees it: the inquiry on the wire, the 152-byte record it gets back,
// and what a failed inquiry, a refused port and a second request leave behind.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"

namespace protocoltest {
// Nothrow array allocations still to be made before one fails (0: none fails), and how many fail then.
int g_arrayAllocationsBeforeFailure = 0;
int g_arrayAllocationsToFail = 0;
}  // namespace protocoltest

// The handler's nothrow array allocations, made to fail on request; otherwise the ordinary ones.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  using protocoltest::g_arrayAllocationsBeforeFailure;
  using protocoltest::g_arrayAllocationsToFail;
  if (g_arrayAllocationsToFail > 0) {
    if (g_arrayAllocationsBeforeFailure > 0) {
      --g_arrayAllocationsBeforeFailure;
    } else {
      --g_arrayAllocationsToFail;
      return nullptr;
    }
  }
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace protocoltest {
namespace {

using scansim::Fault;
using scansim::Phase;

// A 70-byte inquiry answer with a good header and everything else zero, filled in field by field.
struct InquiryAnswer {
  Bytes bytes = Bytes(scansim::kInquiryResponseSize, 0);

  InquiryAnswer() {
    bytes[scansim::kOffStartCode] = scansim::kCommandPrefix;
    bytes[scansim::kOffStatus] = scansim::kStatusGood;
  }
  InquiryAnswer& Set(size_t offset, const Bytes& values) {
    std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
  }
  InquiryAnswer& Text(size_t offset, const std::string& text) { return Set(offset, Bytes(text.begin(), text.end())); }
  InquiryAnswer& Be32(size_t offset, uint32_t value) {
    scansim::PutBe32(&bytes[offset], value);
    return *this;
  }
  InquiryAnswer& Lengths(uint32_t bedWidth, uint32_t flatbedLength, uint32_t feederLength) {
    return Be32(scansim::kInqBedWidth, bedWidth)
        .Be32(scansim::kInqFlatbedMaxLength, flatbedLength)
        .Be32(scansim::kInqFeederMaxLength, feederLength);
  }
};

std::string Narrow(const WCHAR* text) {
  std::string narrow;
  for (; *text != 0; ++text) {
    narrow.push_back(static_cast<char>(*text));
  }
  return narrow;
}

// The lines from `first` up to and including `last`.
std::vector<std::string> Between(const std::vector<std::string>& lines, const std::string& first,
                                 const std::string& last) {
  auto from = std::find(lines.begin(), lines.end(), first);
  auto to = std::find(from, lines.end(), last);
  if (to == lines.end()) {
    return {};
  }
  return std::vector<std::string>(from, to + 1);
}

class DeviceInfoTest : public ProtocolFixture {
 protected:
  void UseRoute(Route route) {
    handler_->m_bDeviceMonitor = route == Route::kDeviceMonitor ? TRUE : FALSE;
    handler_->m_wVid = kVid;
    handler_->m_wPid = kPid;
  }

  // GET_DEVICE_INFO into a record that starts filled with 0xEE.
  HRESULT GetDeviceInfo() {
    std::memset(&record_, 0xEE, sizeof(record_));
    return handler_->Escape(GET_DEVICE_INFO, nullptr, 0, &record_, sizeof(record_), nullptr);
  }

  // GET_DEVICE_INFO answered by a scanner that says exactly `answer`.
  HRESULT GetDeviceInfoFrom(const InquiryAnswer& answer) {
    UseScript();
    UseRoute(Route::kDeviceMonitor);
    script_.Answer(answer.bytes);
    return GetDeviceInfo();
  }

  // The record as the caller's buffer holds it, padding included.
  Bytes RecordBytes() const {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&record_);
    return Bytes(bytes, bytes + sizeof(record_));
  }

  bool RecordUntouched() const {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&record_);
    return std::all_of(bytes, bytes + sizeof(record_), [](BYTE b) { return b == 0xEE; });
  }

  std::vector<LONG> Resolutions(const LONG* array) const {
    return std::vector<LONG>(array, array + record_.nX_Resolutions);
  }

  SCAN_DEVICE_INFO record_{};
};

TEST_F(DeviceInfoTest, InquiryRunsInItsOwnPortCycle) {
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    SetUp();
    UseRoute(route);
    ForgetCalls();

    ASSERT_EQ(GetDeviceInfo(), S_OK);

    ASSERT_EQ(Sim().Log().size(), 2u);
    EXPECT_EQ(Sim().Log()[0].bytes, (Bytes{0x1B, 0xA8, 0x12, 0x00}));
    EXPECT_EQ(Sim().Log()[1].length, scansim::kInquiryResponseSize);
    EXPECT_TRUE(Sim().ProtocolViolations().empty());
    EXPECT_FALSE(PortHeld(route));
    EXPECT_EQ(route == Route::kDeviceMonitor ? DirectTransfers() : MonitorTransfers(), 0u);
    EXPECT_EQ(handler_->m_bDeviceInfoValid, TRUE);

    // The simulator's own identity, as the minidriver reads it.
    EXPECT_STREQ(record_.szVendorID, "SCANSIM");
    EXPECT_STREQ(record_.szProductID, "Sheetfed Flatbed");
    EXPECT_EQ(Resolutions(record_.pX_Resolutions), (std::vector<LONG>{75, 100, 150, 200, 300, 600, 1200}));
    EXPECT_EQ(record_.dwScannerType, 0x0Cu);
    EXPECT_EQ(record_.dwScanBedWidth, 8500);
    EXPECT_EQ(record_.dwScanBedHeight, 11700);
    EXPECT_EQ(record_.dwDocFeederHeight, 14000);
    EXPECT_EQ(record_.dwDocFeederStatus, 2u);
    EXPECT_EQ(Narrow(record_.wszFirmwareVersion), "0.3");
    TearDown();
  }
}

TEST_F(DeviceInfoTest, InquiryWritesItsWholeDialogue) {
  UseRoute(Route::kDeviceMonitor);
  ASSERT_EQ(GetDeviceInfo(), S_OK);

  const std::vector<std::string> expected = {
      "[STI]In GET_DEVICE_INFO,Port acquire success",
      "[STI]CSTIIOHandler::CallGetDeviceInfo",
      "[QZ] sizeof(m_cmdInquiry)= 4,dwBytesWritten = 4, bResult = 1",
      "[STI]CSTIIOHandler::CallGetDeviceInfo => CoWriteFile Success",
      "[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success",
      "[STI]CSTIIOHandler::ChangeDeviceInfoFormat",
      "[STI]Response.wSupportedRes => 3319",
      "[STI]nCountResol => 7",
      "[STI] Memory m_WiaDeviceInfo.pX_Resolutions new",
      "[STI] Memory m_WiaDeviceInfo.pY_Resolutions new",
      "[STI]before adjust:bed width = 10200 , height = 14040",
      "[STI] adjust width is 10200 ",
      "[STI] adjust Height is 14040 ",
      "[STI] adjust Height is 16800 ",
      "[STI]after adjust:bed width = 10200 , bed height = 14040 , adf height = 16800",
      "[STI] Response.dwFlatbedMaxLength = 14040, Response.dwADFMaxLength = 16800",
      "[STI]===========ALL INFORMATION FROM DEVICE=============",
      "[STI]Vendor ID : SCANSIM",
      "[STI]Product ID : Sheetfed Flatbed",
      "[STI]Number of supported X resolution : 7",
      "[STI]Number of supported Y resolution : 7",
      "[STI]Scanner Type : 0xC",
      "[STI]Compression Type : 0x0",
      "[STI]Image Composition : 0x29",
      "[STI]Doc Feeder Status : 0x2",
      "[STI]Scan Bed Width : 8500",
      "[STI]Scan Bed Height : 11700",
      "[STI]Doc Feeder Width : 8500",
      "[STI]Doc Feeder Height : 14000",
      "[STI]RGB Order : 0x0",
      "[STI]Max Scan Time(mili sec) : 600000",
      "[STI]Firmware Version : 0.3",
      "[STI]=============END OF ALL INFORMATION =================",
      "[STI]CSTIIOHandler::CallGetDeviceInfo[F/W version] = > 0.3",
      "[STI] CloseDevice()",
  };
  const auto lines = harness::DebugLines();
  EXPECT_EQ(Between(lines, expected.front(), expected.back()), expected) << harness::Show(lines);
  // The inquiry ends the port cycle and so does GET_DEVICE_INFO after it.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[STI] CloseDevice()"), 2) << harness::Show(lines);
}

TEST_F(DeviceInfoTest, ResolutionMaskBecomesAscendingLists) {
  struct Case {
    BYTE byte36;
    BYTE byte37;
    std::vector<LONG> dpi;
  };
  const Case cases[] = {
      {0x00, 0x00, {}},
      {0x01, 0x00, {600}},
      {0x00, 0x01, {75}},
      {0x19, 0x21, {75, 100, 300, 600, 1200}},
      {0x80, 0x10, {200, 2400}},
      {0xFF, 0xFF, {75, 100, 150, 200, 300, 600, 1200, 2400}},
      // Bits without a resolution are passed over.
      {0x66, 0xCC, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "bytes 36, 37 = " << int{c.byte36} << ", " << int{c.byte37});
    SetUp();
    ASSERT_EQ(GetDeviceInfoFrom(InquiryAnswer().Set(scansim::kInqSupportedRes, {c.byte36, c.byte37})), S_OK);

    EXPECT_EQ(record_.nX_Resolutions, static_cast<LONG>(c.dpi.size()));
    EXPECT_EQ(record_.nY_Resolutions, static_cast<LONG>(c.dpi.size()));
    // Two lists of their own, there even when empty, that stay valid while the library is loaded.
    ASSERT_NE(record_.pX_Resolutions, nullptr);
    ASSERT_NE(record_.pY_Resolutions, nullptr);
    EXPECT_NE(record_.pX_Resolutions, record_.pY_Resolutions);
    EXPECT_EQ(Resolutions(record_.pX_Resolutions), c.dpi);
    EXPECT_EQ(Resolutions(record_.pY_Resolutions), c.dpi);
    TearDown();
  }
}

// A resolution list that cannot be allocated fails the request without a crash or a leak, and a later
// request fills the lists, however long, into what was kept.
TEST_F(DeviceInfoTest, ResolutionListsThatCannotBeAllocated) {
  struct Case {
    const char* name;
    int before;  // allocations that succeed first
    int failing;
    std::vector<std::string> newLines;
  };
  const Case cases[] = {
      {"first list", 0, 1, {"[STI] Memory m_WiaDeviceInfo.pY_Resolutions new"}},
      {"second list", 1, 1, {"[STI] Memory m_WiaDeviceInfo.pX_Resolutions new"}},
      {"both lists", 0, 2, {}},
  };
  const char* kNewLines[] = {"[STI] Memory m_WiaDeviceInfo.pX_Resolutions new",
                             "[STI] Memory m_WiaDeviceInfo.pY_Resolutions new"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    UseScript();
    UseRoute(Route::kDeviceMonitor);
    script_.Answer(InquiryAnswer().Set(scansim::kInqSupportedRes, {0x01, 0x00}).bytes);
    g_arrayAllocationsBeforeFailure = c.before;
    g_arrayAllocationsToFail = c.failing;

    const HRESULT hr = GetDeviceInfo();
    const int leftToFail = g_arrayAllocationsToFail;
    g_arrayAllocationsBeforeFailure = 0;
    g_arrayAllocationsToFail = 0;

    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(leftToFail, 0);
    EXPECT_TRUE(RecordUntouched());
    EXPECT_EQ(handler_->m_bDeviceInfoValid, FALSE);
    EXPECT_EQ(handler_->m_WiaDeviceInfo.nX_Resolutions, 0);
    EXPECT_EQ(handler_->m_WiaDeviceInfo.nY_Resolutions, 0);
    EXPECT_FALSE(PortHeld(Route::kDeviceMonitor));
    const auto lines = harness::DebugLines();
    for (const char* line : kNewLines) {
      const bool expected = std::find(c.newLines.begin(), c.newLines.end(), line) != c.newLines.end();
      EXPECT_EQ(Contains(lines, line), expected) << line << "\n" << harness::Show(lines);
    }

    script_.Answer(InquiryAnswer().Set(scansim::kInqSupportedRes, {0xFF, 0xFF}).bytes);
    ASSERT_EQ(GetDeviceInfo(), S_OK);
    const std::vector<LONG> all = {75, 100, 150, 200, 300, 600, 1200, 2400};
    EXPECT_EQ(Resolutions(record_.pX_Resolutions), all);
    EXPECT_EQ(Resolutions(record_.pY_Resolutions), all);
    TearDown();
  }
}

TEST_F(DeviceInfoTest, LengthsAreSnappedToPaperSizesAndGivenInThousandths) {
  struct Case {
    uint32_t bedWidth, flatbedLength, feederLength;  // 1/1200 inch, as the scanner reports them
    LONG width, flatbedHeight, feederHeight;         // 1/1000 inch, as the record gives them
  };
  const Case cases[] = {
      {10000, 14100, 16000, 8300, 11700, 13333},
      {10200, 14040, 16800, 8500, 11700, 14000},
      {12000, 12000, 12000, 10000, 10000, 10000},
      // Each window takes its ends and nothing beyond them.
      {9864, 13944, 16704, 8220, 11620, 13920},
      {9865, 13945, 16705, 8300, 11700, 14000},
      {10055, 14135, 16895, 8300, 11700, 14000},
      {10056, 14136, 16896, 8380, 11780, 14080},
      {10104, 19704, 19705, 8420, 16420, 16500},
      {10105, 19895, 19896, 8500, 16500, 16580},
      {10295, 0, 1, 8500, 0, 0},
      {10296, 14040, 14040, 8580, 11700, 11700},
      // The width takes 11.7 in as well; the heights take neither 8.3 nor 8.5 in.
      {13945, 10000, 10200, 11700, 8333, 8500},
      {14135, 9960, 9960, 11700, 8300, 8300},
      // Far below a window: the difference is taken without a sign and stays outside.
      {0, 0, 0, 0, 0, 0},
      // The thousandths wrap like a signed 32-bit product and are truncated toward zero.
      {0x00300000, 0xFFFFFFFF, 2147484, -957699, 0, -1789569},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bedWidth << " x " << c.flatbedLength << ", feeder " << c.feederLength);
    SetUp();
    ASSERT_EQ(GetDeviceInfoFrom(InquiryAnswer().Lengths(c.bedWidth, c.flatbedLength, c.feederLength)), S_OK);

    EXPECT_EQ(record_.dwScanBedWidth, c.width);
    EXPECT_EQ(record_.dwDocFeederWidth, c.width);
    EXPECT_EQ(record_.dwScanBedHeight, c.flatbedHeight);
    EXPECT_EQ(record_.dwDocFeederHeight, c.feederHeight);
    TearDown();
  }
}

TEST_F(DeviceInfoTest, IdentificationTextsKeepTheirFieldSizes) {
  struct Case {
    const char* name;
    InquiryAnswer answer;
    Bytes vendor;   // the 8 bytes of szVendorID
    Bytes product;  // the 20 bytes of szProductID
  };
  auto padded = [](const std::string& text, size_t size) {
    Bytes bytes(text.begin(), text.end());
    bytes.resize(size, 0);
    return bytes;
  };
  const Case cases[] = {
      {"short texts", InquiryAnswer().Text(4, "ACME").Text(12, "Model 1"), padded("ACME", 8), padded("Model 1", 20)},
      // Eight vendor characters fill the field without a terminator.
      {"full vendor", InquiryAnswer().Text(4, "VENDOR12").Text(12, "P1"), padded("VENDOR12", 8), padded("P1", 20)},
      // The product runs on into byte 28, and no further; bytes 17 to 19 stay zero.
      {"17-byte product", InquiryAnswer().Text(12, "ABCDEFGHIJKLMNOPQRS"), padded("", 8),
       padded("ABCDEFGHIJKLMNOPQ", 20)},
      // A copy stops at the first zero byte, and what follows it is not taken.
      {"zero inside", InquiryAnswer().Text(4, "AB").Text(7, "CDE").Text(12, "XY").Text(15, "Z"), padded("AB", 8),
       padded("XY", 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_EQ(GetDeviceInfoFrom(c.answer), S_OK);

    const BYTE* vendor = reinterpret_cast<const BYTE*>(record_.szVendorID);
    const BYTE* product = reinterpret_cast<const BYTE*>(record_.szProductID);
    EXPECT_EQ(Bytes(vendor, vendor + 8), c.vendor);
    EXPECT_EQ(Bytes(product, product + 20), c.product);
    // The dump shows the vendor text alone, never running on into the product text.
    const std::string vendorText(c.vendor.begin(), std::find(c.vendor.begin(), c.vendor.end(), 0));
    EXPECT_TRUE(Contains(harness::DebugLines(), "[STI]Vendor ID : " + vendorText))
        << harness::Show(harness::DebugLines());
    TearDown();
  }
}

TEST_F(DeviceInfoTest, CodedFieldsAreRecoded) {
  struct Case {
    const char* name;
    InquiryAnswer answer;
    DWORD scannerType, imageComposition, feederStatus, rgbOrder;
    std::string firmware;
    bool statusLine;  // "[STI]Incorrect document status value from device" written
  };
  const Case cases[] = {
      {"all bits", InquiryAnswer().Set(38, {0xFF, 0xFF}).Set(48, {0x12, 0x34}).Set(53, {1}).Set(64, {0xFF, 0xFF}), 0x1E,
       0x29, 2, 0x1234, "0.255", false},
      {"flatbed only", InquiryAnswer().Set(38, {0x04, 0x08}).Set(53, {2}).Set(64, {0x07, 0x03}), 0x04, 0x08, 3, 0,
       "0.3", false},
      {"masked bits", InquiryAnswer().Set(38, {0xE1, 0xD6}).Set(48, {0x00, 0x01}).Set(53, {0}).Set(65, {10}), 0x00,
       0x00, 0, 1, "0.10", true},
      {"feeder status 3", InquiryAnswer().Set(53, {3}), 0, 0, 0, 0, "0.0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    // An odd feeder status is reported but does not fail the inquiry.
    ASSERT_EQ(GetDeviceInfoFrom(c.answer), S_OK);

    EXPECT_EQ(record_.dwScannerType, c.scannerType);
    EXPECT_EQ(record_.dwCompressionType, 0u);
    EXPECT_EQ(record_.dwImageComposition, c.imageComposition);
    EXPECT_EQ(record_.dwDocFeederStatus, c.feederStatus);
    EXPECT_EQ(record_.dwRGBOrder, c.rgbOrder);
    EXPECT_EQ(record_.dwMaxScanTime, 600000u);
    EXPECT_EQ(Narrow(record_.wszFirmwareVersion), c.firmware);
    const auto lines = harness::DebugLines();
    EXPECT_EQ(Contains(lines, "[STI]Incorrect document status value from device"), c.statusLine);
    EXPECT_TRUE(Contains(lines, "[STI]Firmware Version : " + c.firmware)) << harness::Show(lines);
    TearDown();
  }
}

// Every failure ends the port cycle, hands nothing to the caller and leaves the next GET_DEVICE_INFO
// to ask the scanner again.
TEST_F(DeviceInfoTest, FailedInquiries) {
  constexpr DWORD kEarlier = 0xABCD;
  constexpr uint32_t kWriteError = 31;
  constexpr uint32_t kReadError = 1117;
  struct Case {
    const char* name;
    Phase phase;
    Fault fault;
    HRESULT result;
    DWORD lastError;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"short write",
       Phase::kWrite,
       Fault::ShortCount(3),
       E_FAIL,
       kEarlier,
       {"[QZ] sizeof(m_cmdInquiry)= 4,dwBytesWritten = 3, bResult = 1", "[QZ]Writefile Fail"}},
      {"write moving nothing",
       Phase::kWrite,
       Fault::FailZeroCount(kWriteError),
       E_FAIL,
       kEarlier,
       {"[QZ] sizeof(m_cmdInquiry)= 4,dwBytesWritten = 0, bResult = 0", "[QZ]Writefile Fail"}},
      {"failed write",
       Phase::kWrite,
       Fault::FailFullCount(kWriteError),
       E_NOTIMPL,
       kWriteError,
       {"[QZ] sizeof(m_cmdInquiry)= 4,dwBytesWritten = 4, bResult = 0",
        "[STI]CSTIIOHandler::CallGetDeviceInfo = > CoWriteFile Fail"}},
      {"short read", Phase::kRead, Fault::ShortCount(69), E_FAIL, kEarlier, {"[QZ]Readfile Fail"}},
      {"failed read",
       Phase::kRead,
       Fault::FailFullCount(kReadError),
       E_NOTIMPL,
       kReadError,
       {"[STI]CSTIIOHandler::CallGetDeviceInfo => CoReadFile Fail", "[STI]Error code => 1117"}},
      {"bad start code",
       Phase::kRead,
       Fault::CorruptStartCode(0xA9),
       E_FAIL,
       kEarlier,
       {"[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success"}},
      {"check condition",
       Phase::kRead,
       Fault::ReplaceStatus(0x02),
       E_FAIL,
       kEarlier,
       {"[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success"}},
      {"busy",
       Phase::kRead,
       Fault::ReplaceStatus(0x08),
       E_FAIL,
       kEarlier,
       {"[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success"}},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ", " << c.name);
      SetUp();
      UseRoute(route);
      handler_->m_dwLastError = kEarlier;
      SpoilNext(c.phase, c.fault);

      EXPECT_EQ(GetDeviceInfo(), c.result);

      EXPECT_TRUE(RecordUntouched());
      EXPECT_EQ(handler_->m_bDeviceInfoValid, FALSE);
      EXPECT_EQ(handler_->m_dwLastError, c.lastError);
      EXPECT_FALSE(PortHeld(route));
      auto lines = harness::DebugLines();
      EXPECT_TRUE(InOrder(lines, c.lines)) << harness::Show(lines);
      EXPECT_FALSE(Contains(lines, "[STI]CSTIIOHandler::ChangeDeviceInfoFormat")) << harness::Show(lines);
      // No second attempt: one inquiry command in all.
      EXPECT_EQ(Sim().CommandOpcodes().size(), c.fault.kind == Fault::Kind::kFailZeroCount ? 0u : 1u);

      ForgetCalls();
      EXPECT_EQ(GetDeviceInfo(), S_OK);
      EXPECT_EQ(Sim().CommandOpcodes(), (std::vector<uint8_t>{scansim::kOpInquiry}));
      EXPECT_STREQ(record_.szVendorID, "SCANSIM");
      TearDown();
    }
  }
}

TEST_F(DeviceInfoTest, RefusedPortSendsNothing) {
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    SetUp();
    UseRoute(route);
    (route == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration()).SetAcquireAnswer(false);

    EXPECT_EQ(GetDeviceInfo(), PORT_ACQUIRE_FAIL);

    EXPECT_TRUE(Sim().Log().empty());
    EXPECT_TRUE(RecordUntouched());
    EXPECT_EQ(handler_->m_bDeviceInfoValid, FALSE);
    const auto lines = harness::DebugLines();
    EXPECT_TRUE(Contains(lines, "[STI] Port Acquire Fail")) << harness::Show(lines);
    EXPECT_FALSE(Contains(lines, "[STI]CSTIIOHandler::CallGetDeviceInfo")) << harness::Show(lines);
    TearDown();
  }
}

TEST_F(DeviceInfoTest, SecondRequestIsAnsweredFromTheFirst) {
  UseRoute(Route::kDeviceMonitor);
  ASSERT_EQ(GetDeviceInfo(), S_OK);
  const Bytes first = RecordBytes();

  // Whatever the scanner would say now, and even while a scan holds the port, the kept record is
  // handed out again and the port cycle ends.
  TakePort(Route::kDeviceMonitor);
  Sim().script().failed_inquiries = 1;

  EXPECT_EQ(GetDeviceInfo(), S_OK);

  EXPECT_EQ(RecordBytes(), first);
  EXPECT_TRUE(Sim().Log().empty());
  EXPECT_FALSE(PortHeld(Route::kDeviceMonitor));
  EXPECT_TRUE(InOrder(harness::DebugLines(),
                      {"[STI]CallGetDeviceInfo Function is already called before", "[STI] CloseDevice()"}))
      << harness::Show(harness::DebugLines());
}

}  // namespace
}  // namespace protocoltest
