// ESC_SET_WINDOW_PARAMETER between the minidriver's 28-byte record and the scanner's 25-byte command:
// the sizes in 1200-dpi units, the bytes passed through, the flatbed-only source change, and how the
// answer becomes a result.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"

namespace protocoltest {
namespace {

using scansim::Fault;
using scansim::Phase;

SWP_PARAMETER Record(DWORD width, DWORD height, BYTE resolutionCode, BYTE source = scansim::kSourceFlatbed) {
  SWP_PARAMETER record;
  std::memset(&record, 0, sizeof(record));
  record.dwWindowWidth = width;
  record.dwWindowHeight = height;
  record.byResolutionCode = resolutionCode;
  record.byParameters[0] = static_cast<BYTE>(scansim::ImageType::kGrey);
  record.byParameters[1] = 8;
  record.byScanSource = source;
  return record;
}

Bytes GoodAnswer() {
  Bytes answer(scansim::kResponseSize, 0);
  answer[scansim::kOffStartCode] = scansim::kCommandPrefix;
  return answer;
}

std::string Format(const char* format, unsigned a, unsigned b = 0) {
  char text[128];
  std::snprintf(text, sizeof(text), format, a, b);
  return text;
}

class ScanWindowTest : public ProtocolFixture {
 protected:
  HRESULT SetWindow(SWP_PARAMETER record) {
    return handler_->Escape(ESC_SET_WINDOW_PARAMETER, &record, sizeof(record), nullptr, 0, nullptr);
  }

  // The window sent to a scanner that takes anything and answers `answer`.
  Bytes SendToScript(const SWP_PARAMETER& record, const Bytes& answer = GoodAnswer()) {
    script_.Reset();
    script_.Answer(answer);
    EXPECT_EQ(SetWindow(record), S_OK);
    return script_.Written().empty() ? Bytes() : script_.Written().back();
  }

  void SetUpScript(Route route = Route::kDeviceMonitor) {
    SetUp();
    UseScript();
    TakePort(route);
  }
};

TEST_F(ScanWindowTest, SizesGoOutIn1200DpiUnits) {
  struct Case {
    DWORD width, height;
    BYTE code;
    DWORD alignedWidth;  // pixels, a multiple of 32
    DWORD widthUnits, heightUnits;
  };
  const Case cases[] = {
      {2550, 3300, 5, 2560, 10240, 13200},
      {2560, 3301, 5, 2560, 10240, 13204},
      {1, 1, 8, 32, 32, 1},
      {0, 0, 8, 0, 0, 0},
      {33, 10, 0, 64, 1024, 160},
      {100, 7, 2, 128, 1024, 56},
      {31, 5, 7, 32, 64, 10},
      {65, 9, 9, 96, 576, 54},
      {96, 11, 10, 96, 1152, 132},
      {0x0FFFFFE0, 0x0FFFFFFF, 0, 0x0FFFFFE0, 0xFFFFFE00, 0xFFFFFFF0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height << " at code " << int{c.code});
    SetUpScript();

    const Bytes command = SendToScript(Record(c.width, c.height, c.code));

    ASSERT_EQ(command.size(), SWP_COMMAND_SIZE);
    EXPECT_EQ(scansim::GetBe32(&command[scansim::kWinWidth]), c.widthUnits);
    EXPECT_EQ(scansim::GetBe32(&command[scansim::kWinHeight]), c.heightUnits);
    // The handler's copy holds the same sizes in its own byte order.
    EXPECT_EQ(handler_->m_SWPParam.dwWindowWidth, c.widthUnits);
    EXPECT_EQ(handler_->m_SWPParam.dwWindowHeight, c.heightUnits);
    const auto lines = harness::DebugLines();
    EXPECT_TRUE(InOrder(
        lines,
        {"[STI]CSTIIOHandler::CallSetWindowParameter", Format("[STI]before alignment : width => %d", c.width),
         Format("[STI]after alignment : width => %d", c.alignedWidth),
         Format("[STI]after division for 1200-base : width => %d", c.widthUnits), "CSTIIOHandler::ValidateSWPForADF"}))
        << harness::Show(lines);
    TearDown();
  }
}

TEST_F(ScanWindowTest, RecordBytesPassThroughWithoutPaddingAndReservedBytes) {
  SetUpScript();
  SWP_PARAMETER record;
  std::memset(&record, 0x99, sizeof(record));  // header and padding: anything at all
  record.dwWindowWidth = 64;
  record.dwWindowHeight = 0x01020304;
  record.byResolutionCode = 8;
  for (BYTE i = 0; i < 7; ++i) {
    record.byParameters[i] = static_cast<BYTE>(0xA1 + i);
  }
  record.byReserved1 = 0xB0;
  record.byParameter2 = 0xB1;
  record.byScanSource = 0x10;
  record.byReserved2 = 0xB3;

  const Bytes command = SendToScript(record);

  const Bytes expected = {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x00, 0x40, 0x01, 0x02, 0x03, 0x04,
                          0x08, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0x00, 0xB1, 0x10, 0x00};
  EXPECT_EQ(command, expected);

  // Every byte sent is dumped, indices and values in two hexadecimal digits, just before the write.
  std::vector<std::string> dump;
  for (unsigned i = 0; i < expected.size(); ++i) {
    dump.push_back(Format("[STI][sent SWP command][%02X] => %02X", i, expected[i]));
  }
  dump.push_back("[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Success");
  const auto lines = harness::DebugLines();
  const auto first = std::find(lines.begin(), lines.end(), dump.front());
  const size_t available = static_cast<size_t>(lines.end() - first);
  EXPECT_EQ(std::vector<std::string>(first, first + std::min(available, dump.size())), dump) << harness::Show(lines);

  // The handler's copy is rewritten in place: the command header, the reserved bytes cleared; its
  // padding and the source are left as the caller gave them.
  const SWP_PARAMETER& kept = handler_->m_SWPParam;
  EXPECT_EQ(Bytes(kept.byHeader, kept.byHeader + 5), (Bytes{0x1B, 0xA8, 0x24, 0x13, 0x30}));
  EXPECT_EQ(Bytes(kept.byPadding, kept.byPadding + 3), (Bytes{0x99, 0x99, 0x99}));
  EXPECT_EQ(kept.byReserved1, 0);
  EXPECT_EQ(kept.byReserved2, 0);
  EXPECT_EQ(kept.byParameter2, 0xB1);
  EXPECT_EQ(kept.byScanSource, 0x10);
}

TEST_F(ScanWindowTest, FlatbedOnlyScannerTakesFeederRequestsFromTheGlass) {
  struct Case {
    DWORD scannerType;
    BYTE source;
    BYTE sent;
  };
  const Case cases[] = {
      {4, 0x10, 0x40},    {4, 0x20, 0x40},    {4, 0x40, 0x40}, {4, 0x00, 0x00},    {4, 0x30, 0x30},    {4, 0x11, 0x11},
      {0x0C, 0x10, 0x10}, {0x0C, 0x20, 0x20}, {0, 0x10, 0x10}, {0x1C, 0x20, 0x20}, {0x06, 0x10, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "scanner type " << c.scannerType << ", source " << int{c.source});
    SetUpScript();
    handler_->m_WiaDeviceInfo.dwScannerType = c.scannerType;

    const Bytes command = SendToScript(Record(320, 320, 5, c.source));

    ASSERT_EQ(command.size(), SWP_COMMAND_SIZE);
    EXPECT_EQ(command[scansim::kWinSource], c.sent);
    EXPECT_EQ(handler_->m_SWPParam.byScanSource, c.source);
    const auto lines = harness::DebugLines();
    const bool flatbedOnly = c.scannerType == 4;
    EXPECT_TRUE(
        InOrder(lines, {"CSTIIOHandler::ValidateSWPForADF",
                        flatbedOnly ? "[STI]Scanner Type is FlatBed Only" : "[STI]Scanner Type is not FlatBed Only"}))
        << harness::Show(lines);
    EXPECT_EQ(Contains(lines, "[STI]Set Window Parameter command is changed to flat bed scanning"), c.sent != c.source);
    TearDown();
  }
}

// From the scanner's side: a window it can scan arrives as the pixels the minidriver asked for, and a
// flatbed-only scanner that learnt its type from the inquiry gets no feeder request.
TEST_F(ScanWindowTest, ScannerScansTheWindowAskedFor) {
  for (bool hasFeeder : {true, false}) {
    SCOPED_TRACE(hasFeeder ? "with feeder" : "flatbed only");
    SetUp();
    scansim::Config config;
    config.identity.has_feeder = hasFeeder;
    UseSimulator(config);
    handler_->m_wVid = kVid;
    handler_->m_wPid = kPid;
    SCAN_DEVICE_INFO info;
    ASSERT_EQ(handler_->Escape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), nullptr), S_OK);
    TakePort(Route::kDeviceMonitor);

    EXPECT_EQ(SetWindow(Record(2550, 3300, 5, scansim::kSourceFeederFront)), S_OK);

    ASSERT_TRUE(Sim().CurrentWindow().has_value()) << scansim::WindowRefusalName(Sim().LastWindowRefusal());
    const scansim::Window& window = *Sim().CurrentWindow();
    EXPECT_EQ(window.dpi, 300u);
    EXPECT_EQ(window.width, 2560u);
    EXPECT_EQ(window.height, 3300u);
    EXPECT_EQ(window.source, hasFeeder ? scansim::kSourceFeederFront : scansim::kSourceFlatbed);
    // The scanner's answer stays in the handler until the next window.
    EXPECT_EQ(handler_->m_SWPResponse.dwHWindowsSize, 10240u);
    EXPECT_EQ(handler_->m_SWPResponse.dwVWindowsSize, 13200u);
    TearDown();
  }
}

TEST_F(ScanWindowTest, AnswerIsJudgedByStatusAndConditionBits) {
  struct Case {
    Fault answer;
    HRESULT result;
    const char* line;  // null: the good answer, which writes no judgement line
  };
  const Case cases[] = {
      {Fault::ReplaceStatus(0x00), S_OK, nullptr},
      {Fault::CorruptStartCode(0x00), S_OK, nullptr},  // the start code is not looked at
      {Fault::ReplaceStatus(0x00, 0x2000), S_OK, nullptr},
      {Fault::ReplaceStatus(0x08), WIA_ERROR_BUSY, "[STI] STATUS_CODE_BUSY"},
      {Fault::ReplaceStatus(0x08, 0x2000), WIA_ERROR_BUSY, "[STI] STATUS_CODE_BUSY"},
      {Fault::ReplaceStatus(0x02, 0x0004), WIA_ERROR_BUSY, "[STI] Resource Busy"},
      {Fault::ReplaceStatus(0x02, 0x3004), WIA_ERROR_BUSY, "[STI] Resource Busy"},
      {Fault::ReplaceStatus(0x02, 0x1000), WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
      {Fault::ReplaceStatus(0x02, 0x3000), WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
      {Fault::ReplaceStatus(0x02, 0x2000), WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
      {Fault::ReplaceStatus(0x02, 0xA000), WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
      {Fault::ReplaceStatus(0x02, 0x8000), WIA_ERROR_WARMING_UP, "[STI] WarmingUp"},
      {Fault::ReplaceStatus(0x02, 0x4000), WIA_ERROR_GENERAL_ERROR, "[STI] Gereral Error"},
      {Fault::ReplaceStatus(0x02, 0x0000), WIA_ERROR_GENERAL_ERROR, "[STI] Gereral Error"},
      {Fault::ReplaceStatus(0x01, 0x1000), WIA_ERROR_GENERAL_ERROR, "[STI] Gereral Error"},
      {Fault::ReplaceStatus(0xFF), WIA_ERROR_GENERAL_ERROR, "[STI] Gereral Error"},
  };
  const char* judgements[] = {"[STI] STATUS_CODE_BUSY", "[STI] Resource Busy", "[STI] No document in ADF",
                              "[STI] PaperJAM",         "[STI] WarmingUp",     "[STI] Gereral Error"};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status " << int{c.answer.status} << " data 0x" << std::hex
                                      << c.answer.msg_data << " kind " << static_cast<int>(c.answer.kind));
    SetUp();
    TakePort(Route::kDeviceMonitor);
    SpoilNext(Phase::kRead, c.answer);

    EXPECT_EQ(SetWindow(Record(320, 320, 5)), c.result);

    const auto lines = harness::DebugLines();
    for (const char* judgement : judgements) {
      const bool expected = c.line != nullptr && std::string(c.line) == judgement;
      EXPECT_EQ(Contains(lines, judgement), expected) << judgement << "\n" << harness::Show(lines);
    }
    // The scanner's refusals leave the port to the scan.
    EXPECT_TRUE(PortHeld(Route::kDeviceMonitor));
    EXPECT_EQ(Sim().CommandOpcodes(), (std::vector<uint8_t>{scansim::kOpSetWindow}));
    TearDown();
  }
}

TEST_F(ScanWindowTest, AnswerIsDumpedButAShortOneIsNotJudged) {
  SetUpScript();
  const Bytes first = {0xA8, 0x02, 0x18, 0x80, 0x34, 0x12, 0x78, 0x56, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55,
                       0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  script_.Answer(first);
  EXPECT_EQ(SetWindow(Record(320, 320, 5)), WIA_ERROR_BUSY);

  const std::vector<std::string> dump = {
      "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Success",
      "[STI]=====RESPONSE FOR SETWINDOWPARAMETER====",
      "[STI]byStartCode = >0xA8",
      "[STI]byStatusCode = >0x2",
      "[STI]byLength = >0x18",
      "[STI]byMsgCode = >0x80",
      "[STI]wMsgData = >0x1234",
      "[STI] wReserved= >0x5678",
      "[STI]dwVWindowsSize = >(hexa)11223344",
      "[STI]dwHWindowsSize = >(hexa)55667788",
      "[STI]byRequireMirror = >0x1",
      "[STI]====END OF RESPONSE FOR SETWINDOWPARAMETER =====",
      "[STI]========RECEIVED DATA FOR S.W.P RESPONSE : 32BYTEs ",
      "[STI] Resource Busy",
  };
  auto lines = harness::DebugLines();
  auto from = std::find(lines.begin(), lines.end(), dump.front());
  EXPECT_EQ(std::vector<std::string>(from, lines.end()), dump) << harness::Show(lines);

  // An answer shorter than 32 bytes would be judged on what the last answer left: it fails instead, and
  // is neither dumped nor judged.
  for (const Bytes& answer : {Bytes{0xA8, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00, 0x00}, Bytes{}}) {
    TearDown();
    SetUpScript();
    script_.Answer(answer);
    EXPECT_EQ(SetWindow(Record(320, 320, 5)), E_FAIL);
    lines = harness::DebugLines();
    EXPECT_TRUE(Contains(lines, Format("[STI]CSTIIOHandler::CallSetWindowParameter => short answer of %u of 32 "
                                       "bytes refused",
                                       static_cast<unsigned>(answer.size()))))
        << harness::Show(lines);
    EXPECT_FALSE(Contains(lines, "[STI]=====RESPONSE FOR SETWINDOWPARAMETER===="));
  }
}

TEST_F(ScanWindowTest, FailedTransfers) {
  constexpr DWORD kEarlier = 0xABCD;
  struct Case {
    const char* name;
    Phase phase;
    Fault fault;
    const char* line;
  };
  const Case cases[] = {
      {"failed write", Phase::kWrite, Fault::FailFullCount(31),
       "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Fail"},
      {"write moving nothing", Phase::kWrite, Fault::FailZeroCount(31),
       "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Fail"},
      {"failed read", Phase::kRead, Fault::FailFullCount(1117),
       "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Fail"},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ", " << c.name);
      SetUp();
      TakePort(route);
      handler_->m_dwLastError = kEarlier;
      std::memset(&handler_->m_SWPResponse, 0x5A, sizeof(handler_->m_SWPResponse));
      handler_->m_SWPParam = Record(320, 320, 5);
      SpoilNext(c.phase, c.fault);
      const uint32_t callsBefore = faults_.Calls();

      EXPECT_EQ(handler_->CallSetWindowParameter(), E_FAIL);

      EXPECT_EQ(handler_->m_dwLastError, c.fault.error);
      // Nothing is read after a failed write, and nothing is judged after a failed read.
      EXPECT_EQ(faults_.Calls() - callsBefore, c.phase == Phase::kWrite ? 1u : 2u);
      const auto lines = harness::DebugLines();
      EXPECT_EQ(lines.back(), c.line) << harness::Show(lines);
      if (c.phase == Phase::kWrite) {
        EXPECT_EQ(handler_->m_SWPResponse.byStatusCode, 0x5A);
      }
      // Ending the port cycle is the dispatcher's decision, not the command's.
      EXPECT_TRUE(PortHeld(route));
      TearDown();
    }
  }
}

// Windows the scanner cannot be given are refused before the wire, with a line that says why: a code
// without a whole number of window units per pixel, a size that wraps in 32-bit units, and (once the
// device has described itself) a size beyond its area.
TEST_F(ScanWindowTest, WindowsThatCannotBeSentAreRefusedBeforeTheWire) {
  struct Case {
    DWORD width, height;
    BYTE code;
    bool deviceKnown;
    std::string line;
  };
  std::vector<Case> cases;
  for (BYTE code : {1, 3, 4, 6, 11, 12, 0x80, 0xFF}) {
    cases.push_back({2550, 3300, code, false, Format("[STI]Unsupported resolution code => %d", code)});
  }
  const char* kWraps = "[STI]Window of %u x %u pixels does not fit 32-bit 1200-dpi units; refused";
  const char* kTooLarge = "[STI]Window of %u x %u pixels is larger than the device's area; refused";
  cases.push_back({0xFFFFFFF0, 16, 8, false, Format(kWraps, 0xFFFFFFF0, 16)});
  cases.push_back({0x10000000, 16, 0, false, Format(kWraps, 0x10000000, 16)});
  cases.push_back({32, 0x10000000, 0, false, Format(kWraps, 32, 0x10000000)});
  // An 8.5 by 14 inch device: at 300 dpi a window aligned to 32 pixels may be 2550 + 32 wide and 4200 + 1
  // long, no more.
  cases.push_back({2561, 3300, 5, true, Format(kTooLarge, 2561, 3300)});
  cases.push_back({2550, 4202, 5, true, Format(kTooLarge, 2550, 4202)});
  cases.push_back({2560, 4201, 5, true, ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    SetUp();
    TakePort(Route::kDeviceMonitor);
    handler_->m_bDeviceInfoValid = c.deviceKnown;
    handler_->m_WiaDeviceInfo.dwScanBedWidth = 8500;
    handler_->m_WiaDeviceInfo.dwScanBedHeight = 11690;
    handler_->m_WiaDeviceInfo.dwDocFeederHeight = 14000;
    const SWP_PARAMETER record = Record(c.width, c.height, c.code);
    const uint32_t callsBefore = faults_.Calls();

    const HRESULT hr = SetWindow(record);

    const auto lines = harness::DebugLines();
    if (c.line.empty()) {
      EXPECT_NE(hr, E_INVALIDARG) << harness::Show(lines);
      EXPECT_NE(faults_.Calls(), callsBefore);
      TearDown();
      continue;
    }
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(faults_.Calls(), callsBefore);
    EXPECT_EQ(std::memcmp(&handler_->m_SWPParam, &record, sizeof(record)), 0);
    EXPECT_TRUE(PortHeld(Route::kDeviceMonitor));
    EXPECT_TRUE(Contains(lines, c.line)) << harness::Show(lines);
    EXPECT_FALSE(Contains(lines, "CSTIIOHandler::ValidateSWPForADF")) << harness::Show(lines);
    TearDown();
  }
}

}  // namespace
}  // namespace protocoltest
