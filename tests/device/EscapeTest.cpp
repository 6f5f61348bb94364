// The escape dispatcher as the minidriver drives it, with the scanner simulator on the wire: which
// escapes reach the scanner, when the port is taken and given back, what is refused before anything is
// sent, and what the caller gets back.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceFixture.h"

namespace devicetest {
namespace {

using doubles::EntryPoint;
using scansim::Fault;
using scansim::Phase;

// A small grey flatbed window: 64 by 40 pixels at 300 dpi, 8 bits a pixel.
SWP_PARAMETER FlatbedWindow() {
  SWP_PARAMETER window;
  std::memset(&window, 0, sizeof(window));
  window.dwWindowWidth = 64;
  window.dwWindowHeight = 40;
  window.byResolutionCode = 5;
  window.byParameters[0] = static_cast<BYTE>(scansim::ImageType::kGrey);
  window.byParameters[1] = 8;
  window.byScanSource = scansim::kSourceFlatbed;
  return window;
}

class EscapeTest : public DeviceFixture {
 protected:
  HRESULT Escape(DWORD code, void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0,
                 DWORD* actual = nullptr) {
    return handler_->Escape(code, in, inSize, out, outSize, actual);
  }

  // Reserves the unit on `route` with a scanner plugged on both routes, then forgets the calls.
  void Reserve(Route route) {
    Plug(0);
    Settle(route);
    ASSERT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
    ASSERT_TRUE(sim_->UnitReserved());
    ForgetCalls();
  }

  // Spoils the write or read of the next exchange.
  void SpoilNext(Phase phase, const Fault& fault) { faults_->AtExchange(faults_->Exchanges() + 1, phase, fault); }

  bool NothingSent() const { return sim_->Log().empty(); }
};

TEST_F(EscapeTest, UnknownCodesAreNotImplemented) {
  for (DWORD code : {0x0000u, 0x1000u, 0x1003u, 0x1004u, 0x1800u, 0x4000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    Fresh();
    Plug(0);
    BYTE buffer[256] = {};
    DWORD actual = 0x55;
    EXPECT_EQ(Escape(code, buffer, sizeof(buffer), buffer, sizeof(buffer), &actual), E_NOTIMPL);
    EXPECT_EQ(harness::DebugLines(), std::vector<std::string>{"[STI]CSTIIOHandler::Escape"});
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 0u);
    EXPECT_EQ(winplat::DeviceCalls().creates, 0u);
    EXPECT_EQ(actual, 0x55u);
    EXPECT_TRUE(NothingSent());
  }
}

TEST_F(EscapeTest, ReadsNeedAReservedUnit) {
  struct Case {
    const char* what;
    bool reserveAndRelease;
    DWORD code;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"read before any reserve", false, ESC_READ, {"[STI] Device Unlocked... Break READ"}},
      {"read image before any reserve", false, ESC_READ_IMAGE, {}},
      {"read after a release", true, ESC_READ, {"[STI] Device Unlocked... Break READ"}},
      {"read image after a release", true, ESC_READ_IMAGE, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Debug output off: the one line of a refused read is written anyway.
    Fresh(false);
    if (c.reserveAndRelease) {
      Reserve(Route::kDeviceMonitor);
      ASSERT_EQ(Escape(ESC_RELEASE_UNIT), S_OK);
      ForgetCalls();
    }
    // The refusal comes before any look at the buffers.
    EXPECT_EQ(Escape(c.code), DEVICE_UNLOCKED);
    EXPECT_EQ(harness::DebugLines(), c.lines);
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(harness::DeviceMonitor().CallCount(), 0u);
  }
}

TEST_F(EscapeTest, BuffersThatDoNotFitAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* what;
    DWORD code;
    bool in;
    DWORD inSize;
    bool out;
    DWORD outSize;
  };
  const Case cases[] = {
      {"device info without a buffer", GET_DEVICE_INFO, false, 0, false, 152},
      {"device info into 151 bytes", GET_DEVICE_INFO, false, 0, true, 151},
      {"window without a record", ESC_SET_WINDOW_PARAMETER, false, 28, false, 0},
      {"window of 27 bytes", ESC_SET_WINDOW_PARAMETER, true, 27, false, 0},
      {"read without a buffer", ESC_READ, false, 0, false, 32},
      {"read image without a buffer", ESC_READ_IMAGE, false, 0, false, 0x10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Reserve(Route::kDeviceMonitor);
    const SWP_PARAMETER before = handler_->m_SWPParam;
    SWP_PARAMETER window = FlatbedWindow();
    BYTE out[256];
    std::memset(out, 0xCD, sizeof(out));
    DWORD actual = 0x55;

    EXPECT_EQ(Escape(c.code, c.in ? &window : nullptr, c.inSize, c.out ? out : nullptr, c.outSize, &actual),
              E_INVALIDARG);

    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").loads, 0u);
    EXPECT_EQ(out[0], 0xCD);
    EXPECT_EQ(actual, 0x55u);
    EXPECT_EQ(std::memcmp(&handler_->m_SWPParam, &before, sizeof(before)), 0);
    EXPECT_FALSE(handler_->m_bDeviceInfoValid);
    // The reservation and the port are as they were.
    EXPECT_TRUE(harness::DeviceMonitor().Held());
    EXPECT_TRUE(handler_->m_bUnitReserved);
  }
}

// The output size of the read escapes is not a reason to refuse them (the minidriver never set it): a
// size of 0 reads exactly what the record's own size reads, and a size that is too small is only noted.
TEST_F(EscapeTest, ReadOutputSizeDoesNotDecide) {
  struct Case {
    const char* what;
    DWORD readSize;
    DWORD imageSize;  // 0xFFFFFFFF: the payload
    const char* note;
  };
  const char* kNoteRead = "[STI]Output buffer size 31 is below the 32 bytes handed back";
  const char* kNoteImage = "[STI]Output buffer size 5 is below the 2560 bytes handed back";
  const Case cases[] = {
      {"sizes given", sizeof(READ_RESPONSE), 0xFFFFFFFF, nullptr},
      {"sizes left at 0", 0, 0, nullptr},
      {"read size too small", 31, 0xFFFFFFFF, kNoteRead},
      {"image size too small", sizeof(READ_RESPONSE), 5, kNoteImage},
  };
  std::vector<std::string> reference;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Reserve(Route::kDeviceMonitor);
    SWP_PARAMETER window = FlatbedWindow();
    ASSERT_EQ(Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)), S_OK);
    ASSERT_EQ(Escape(ESC_OBJECT_POSITION), S_OK);
    harness::ClearDebugLines();
    sim_->ClearLog();

    READ_RESPONSE record;
    std::memset(&record, 0, sizeof(record));
    ASSERT_EQ(Escape(ESC_READ, nullptr, 0, &record, c.readSize), PAGE_END);
    const DWORD payload = record.dwDataSize - IMAGE_TRAILER_SIZE;
    ASSERT_EQ(payload, 2560u);  // the whole window in one block
    std::vector<BYTE> block(payload + 1, 0xCD);
    DWORD actual = 0;
    ASSERT_EQ(
        Escape(ESC_READ_IMAGE, nullptr, 0, block.data(), c.imageSize == 0xFFFFFFFF ? payload : c.imageSize, &actual),
        S_OK);
    EXPECT_EQ(actual, payload);
    EXPECT_EQ(block[payload], 0xCD);

    // Debug lines and wire bytes are those of the sized call, with the note the only addition.
    std::vector<std::string> lines = harness::DebugLines();
    const auto note = std::find(lines.begin(), lines.end(), std::string(c.note ? c.note : ""));
    EXPECT_EQ(note != lines.end(), c.note != nullptr) << harness::Show(lines);
    if (note != lines.end()) {
      lines.erase(note);
    }
    for (const scansim::WireRecord& record : sim_->Log()) {
      lines.push_back(std::to_string(record.length) + ":" + std::string(record.bytes.begin(), record.bytes.end()));
    }
    if (reference.empty()) {
      reference = lines;
    }
    EXPECT_EQ(lines, reference);
  }
}

// The whole of a flatbed page through the escapes: window, position, then read and read image until the
// scanner reports the end of the page. The image buffer must hold a block without its 16-byte trailer.
TEST_F(EscapeTest, APageThroughTheEscapes) {
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    scansim::Config scanner;
    scanner.block_bytes = 64 * 16;  // the page comes in three blocks
    Fresh(true, scanner);
    Reserve(route);
    SWP_PARAMETER window = FlatbedWindow();
    ASSERT_EQ(Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)), S_OK);
    ASSERT_EQ(Escape(ESC_OBJECT_POSITION), S_OK);

    std::vector<BYTE> image;
    HRESULT hr = S_OK;
    int blocks = 0;
    for (; blocks < 100; ++blocks) {
      READ_RESPONSE record;
      std::memset(&record, 0, sizeof(record));
      DWORD actual = 0;
      harness::ClearDebugLines();
      hr = Escape(ESC_READ, nullptr, 0, &record, sizeof(record), &actual);
      const std::vector<std::string> lines = harness::DebugLines();
      EXPECT_EQ(lines.back() == "[STI]PAGE_END returned to WIAHandler", hr == PAGE_END) << harness::Show(lines);
      // The last block comes with the end of the page.
      if (hr != S_OK && hr != PAGE_END) {
        break;
      }
      ASSERT_GT(record.dwDataSize, static_cast<DWORD>(IMAGE_TRAILER_SIZE));
      const DWORD payload = record.dwDataSize - IMAGE_TRAILER_SIZE;
      std::vector<BYTE> block(payload + 1, 0xCD);

      // The minidriver leaves the output size at 0 on the device-monitor route here; the block still comes.
      actual = 0;
      const DWORD outSize = route == Route::kDeviceMonitor ? 0 : payload;
      ASSERT_EQ(Escape(ESC_READ_IMAGE, nullptr, 0, block.data(), outSize, &actual), S_OK);
      EXPECT_EQ(actual, payload);
      EXPECT_EQ(block[payload], 0xCD) << "nothing written past the block";
      image.insert(image.end(), block.begin(), block.begin() + payload);
      if (hr == PAGE_END) {
        break;
      }
    }
    // The end of the page reaches the caller as it is.
    EXPECT_EQ(hr, PAGE_END);
    EXPECT_EQ(blocks, 2);
    EXPECT_EQ(image.size(), 64u * 40u);

    EXPECT_EQ(Escape(ESC_RELEASE_UNIT), S_OK);
    EXPECT_FALSE(sim_->UnitReserved());
    EXPECT_FALSE(Module(route).Held());
    EXPECT_TRUE(harness::ModuleReleasedByLibrary(ModuleFile(route)));
    EXPECT_TRUE(sim_->ProtocolViolations().empty());
  }
}

TEST_F(EscapeTest, AReserveAfterABusyAnswerKeepsThePort) {
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    Fresh();
    Plug(0);
    Settle(route);
    sim_->script().busy_reserves = 1;

    EXPECT_EQ(Escape(ESC_RESERVE_UNIT), WIA_ERROR_BUSY);
    EXPECT_TRUE(Module(route).Held());
    EXPECT_TRUE(handler_->m_bReserveRetry);

    // The retry goes straight to the command: no load, no acquire, no open.
    ForgetCalls();
    EXPECT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
    EXPECT_EQ(winplat::ModuleStatistics(ModuleFile(route)).loads, 0u);
    EXPECT_EQ(Module(route).CallCount(EntryPoint::PortAcquire), 0u);
    EXPECT_EQ(Module(route).CallCount(EntryPoint::DeviceOpen), 0u);
    EXPECT_EQ(winplat::DeviceCalls().creates, 0u);
    EXPECT_EQ(sim_->CommandOpcodes(), std::vector<uint8_t>{0x16});
    EXPECT_FALSE(handler_->m_bReserveRetry);

    // After any other answer the next reserve takes the port first (here it still holds it).
    harness::ClearDebugLines();
    EXPECT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
    const std::vector<std::string> lines = harness::DebugLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[STI]CSTIIOHandler::AcquirePort"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[STI] Port is Already Acquired"), lines.end());
  }
}

TEST_F(EscapeTest, AReserveWithoutThePortSendsNothing) {
  struct Case {
    const char* what;
    bool moduleMissing;
  };
  for (const Case& c : {Case{"port refused", false}, Case{"module missing", true}}) {
    SCOPED_TRACE(c.what);
    Fresh();
    AttachLog();
    Settle(Route::kDeviceMonitor);
    if (c.moduleMissing) {
      winplat::RemoveModule("prtmon64.dll");
    } else {
      harness::DeviceMonitor().SetAcquireAnswer(false);
    }

    EXPECT_EQ(Escape(ESC_RESERVE_UNIT), PORT_ACQUIRE_FAIL);
    EXPECT_EQ(harness::DebugLines().back(), "[STI] Port Acquire Fail");
    EXPECT_TRUE(NothingSent());
    EXPECT_FALSE(handler_->m_bReserveRetry);
    EXPECT_FALSE(handler_->m_bUnitReserved);
    ASSERT_FALSE(log_.entries.empty());
    EXPECT_EQ(log_.entries.front().text, "CSTIIOHandler::Escape, entering");
    EXPECT_EQ(log_.entries.back().text, "CSTIIOHandler::Escape, leaving");
  }
}

// Which outcomes end the port cycle: E_FAIL from reserve, window and object position; every release.
TEST_F(EscapeTest, FailuresThatEndThePortCycle) {
  struct Case {
    const char* what;
    DWORD code;
    Phase phase;
    Fault fault;
    HRESULT expected;
    bool portHeldAfter;
  };
  const Case cases[] = {
      {"reserve answered check condition", ESC_RESERVE_UNIT, Phase::kRead, Fault::ReplaceStatus(0x02), E_FAIL, false},
      {"reserve answered paper jam", ESC_RESERVE_UNIT, Phase::kRead, Fault::ReplaceStatus(0x02, 0x2000),
       WIA_ERROR_PAPER_JAM, true},
      {"reserve answered busy", ESC_RESERVE_UNIT, Phase::kRead, Fault::ReplaceStatus(0x08), WIA_ERROR_BUSY, true},
      {"window not written", ESC_SET_WINDOW_PARAMETER, Phase::kWrite, Fault::FailZeroCount(), E_FAIL, false},
      {"window answered busy", ESC_SET_WINDOW_PARAMETER, Phase::kRead, Fault::ReplaceStatus(0x08), WIA_ERROR_BUSY,
       true},
      {"position answered check condition", ESC_OBJECT_POSITION, Phase::kRead, Fault::ReplaceStatus(0x02), E_FAIL,
       false},
      {"position answered paper jam", ESC_OBJECT_POSITION, Phase::kRead, Fault::ReplaceStatus(0x02, 0x2000),
       WIA_ERROR_PAPER_JAM, true},
      {"abort not written", ESC_ABORT, Phase::kWrite, Fault::FailZeroCount(), S_OK, true},
      {"abort answered busy", ESC_ABORT, Phase::kRead, Fault::ReplaceStatus(0x08), S_OK, true},
      {"release answered", ESC_RELEASE_UNIT, Phase::kRead, Fault::ReplaceStatus(0x00), S_OK, false},
      {"release answered check condition", ESC_RELEASE_UNIT, Phase::kRead, Fault::ReplaceStatus(0x02), E_FAIL, false},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ": " << c.what);
      Fresh();
      Reserve(route);
      SWP_PARAMETER window = FlatbedWindow();
      SpoilNext(c.phase, c.fault);

      EXPECT_EQ(Escape(c.code, &window, sizeof(window)), c.expected);

      EXPECT_EQ(Module(route).Held(), c.portHeldAfter);
      EXPECT_EQ(harness::ModuleReleasedByLibrary(ModuleFile(route)), !c.portHeldAfter);
      if (c.code == ESC_ABORT) {
        // An abort leaves the scan where it was: a read is still let through.
        EXPECT_TRUE(handler_->m_bUnitReserved);
        READ_RESPONSE record;
        EXPECT_NE(Escape(ESC_READ, nullptr, 0, &record, sizeof(record)), DEVICE_UNLOCKED);
      }
    }
  }
}

TEST_F(EscapeTest, ReleaseReportsTheScannerEvenWhenThePortStaysHeld) {
  Reserve(Route::kDeviceMonitor);
  harness::DeviceMonitor().SetReleaseAnswer(false);
  EXPECT_EQ(Escape(ESC_RELEASE_UNIT), S_OK);
  EXPECT_FALSE(sim_->UnitReserved());
  EXPECT_TRUE(harness::DeviceMonitor().Held());
  EXPECT_TRUE(harness::ModuleReleasedByLibrary("prtmon64.dll"));
}

TEST_F(EscapeTest, DeviceInformationIsAskedForOnceItArrived) {
  Plug(0);
  Settle(Route::kDeviceMonitor);
  sim_->script().failed_inquiries = 1;
  BYTE first[sizeof(SCAN_DEVICE_INFO)];
  std::memset(first, 0xCD, sizeof(first));

  // A failed inquiry hands nothing over and is asked again next time.
  EXPECT_EQ(Escape(GET_DEVICE_INFO, nullptr, 0, first, sizeof(first)), E_FAIL);
  EXPECT_EQ(first[0], 0xCD);
  EXPECT_EQ(first[sizeof(first) - 1], 0xCD);
  EXPECT_FALSE(handler_->m_bDeviceInfoValid);

  sim_->ClearLog();
  EXPECT_EQ(Escape(GET_DEVICE_INFO, nullptr, 0, first, sizeof(first)), S_OK);
  EXPECT_EQ(sim_->CommandOpcodes(), std::vector<uint8_t>{0x12});
  EXPECT_TRUE(handler_->m_bDeviceInfoValid);
  EXPECT_EQ(std::memcmp(first, &handler_->m_WiaDeviceInfo, sizeof(first)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first)), "SCANSIM");

  ForgetCalls();
  BYTE second[sizeof(SCAN_DEVICE_INFO) + 8];
  std::memset(second, 0xCD, sizeof(second));
  EXPECT_EQ(Escape(GET_DEVICE_INFO, nullptr, 0, second, sizeof(second)), S_OK);
  EXPECT_TRUE(NothingSent());
  EXPECT_EQ(harness::DeviceMonitor().CallCount(), 0u);
  EXPECT_EQ(std::memcmp(first, second, sizeof(first)), 0);
  EXPECT_EQ(second[sizeof(SCAN_DEVICE_INFO)], 0xCD) << "exactly 152 bytes are handed over";
}

}  // namespace
}  // namespace devicetest
